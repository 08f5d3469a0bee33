// norvalis.Sparvel.Sparvel: a probability distribution prepared as a quantum state from
// its few largest Walsh-Hadamard or Fourier coefficients.
//
// The square roots of the probabilities go into the transform basis, all but the `cut`
// largest coefficients are dropped, the rest is renormalised and amplitude-encoded, and the
// inverse basis change (H on every qubit, or the QFT) brings the state back.
#include <nanobind/ndarray.h>

#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <utility>
#include <vector>

#include "kestrix/lib/ir/encode.h"
#include "kestrix/lib/run/statevector.h"
#include "norvalis/frame/frame.h"

namespace {

using namespace norvalis::frame;
using cplx = std::complex<double>;

// A one-dimensional copy of `values` with the given NumPy dtype, and a view of its buffer.
template <class T>
std::pair<nb::object, nb::ndarray<T, nb::ndim<1>, nb::c_contig>> vector_copy(nb::handle np,
                                                                             nb::handle values,
                                                                             const char* dtype,
                                                                             size_t padded_to = 0) {
    nb::object copy = np.attr("array")(values, nb::arg("dtype") = np.attr(dtype));
    if (nb::cast<int>(copy.attr("ndim")) != 1) {
        raise(PyExc_ValueError, "expected a one-dimensional array, got shape %S",
              copy.attr("shape").ptr());
    }
    const size_t size = length(copy);
    if (padded_to > size) {
        nb::object zeros = np.attr("zeros")(padded_to - size, nb::arg("dtype") = np.attr(dtype));
        copy = np.attr("append")(copy, zeros);
    }
    return {copy, nb::cast<nb::ndarray<T, nb::ndim<1>, nb::c_contig>>(copy)};
}

// The unnormalised Walsh-Hadamard transform in natural (Hadamard) order, in place.
template <class T>
void walsh_hadamard(T* a, size_t n) {
    for (size_t half = 1; half < n; half *= 2) {
        for (size_t block = 0; block < n; block += 2 * half) {
            for (size_t k = block; k < block + half; ++k) {
                const T u = a[k], v = a[k + half];
                a[k] = u + v;
                a[k + half] = u - v;
            }
        }
    }
}

// The Walsh-Hadamard coefficients of `amp`, zero-padded to a power of two as SymPy's fwht
// pads, each divided by `scale`.
template <class T>
nb::object walsh_coefficients(nb::handle np, nb::handle amp, const char* dtype, double scale) {
    const size_t size = length(amp);
    auto [array, values] = vector_copy<T>(np, amp, dtype, size > 1 ? std::bit_ceil(size) : 0);
    T* a = values.data();
    const size_t n = values.shape(0);
    walsh_hadamard(a, n);
    for (size_t k = 0; k < n; ++k) a[k] /= scale;
    return array;
}

// A unit vector given as a NumPy array, read as complex amplitudes.
std::vector<cplx> complex_vector(nb::handle np, nb::handle vector) {
    auto [array, values] = vector_copy<cplx>(np, vector, "complex128");
    return std::vector<cplx>(values.data(), values.data() + values.shape(0));
}

nb::handle float_type() { return reinterpret_cast<PyObject*>(&PyFloat_Type); }

bool mode_is(nb::handle self, const char* mode) {
    return rich_compare_bool(self.attr("mode"), nb::str(mode), Py_EQ);
}

[[noreturn]] void unknown_mode() { raise(PyExc_ValueError, "mode only support walsh or fourier"); }

// Whether `values` is exactly a 1-D float64 ndarray: every element is then a float, and
// the element checks can read its buffer instead of making a NumPy scalar per element.
bool is_plain_float64_vector(nb::handle np, nb::handle values) {
    return Py_IS_TYPE(values.ptr(), reinterpret_cast<PyTypeObject*>(np.attr("ndarray").ptr())) &&
           nb::cast<int>(values.attr("ndim")) == 1 &&
           values.attr("dtype").equal(np.attr("dtype")("float64"));
}

// all(map(lambda x: isinstance(x, float), values)).
bool all_floats(nb::handle values) {
    for (nb::handle x : values) {
        if (PyFloat_Check(x.ptr())) continue;
        const int r = PyObject_IsInstance(x.ptr(), reinterpret_cast<PyObject*>(&PyFloat_Type));
        if (r < 0) throw nb::python_error();
        if (r == 0) return false;
    }
    return true;
}

// min(values) < 0, reading a plain float64 vector straight from its buffer (the same
// comparisons builtin min makes, NaN included).
bool minimum_is_negative(const Call& call, nb::handle values, bool plain) {
    if (!plain) return rich_compare_bool(call.global("min")(values), nb::int_(0), Py_LT);
    auto a = nb::cast<nb::ndarray<const double, nb::ndim<1>>>(values);
    double least = a(0);
    for (size_t k = 1; k < a.shape(0); ++k)
        if (a(k) < least) least = a(k);
    return least < 0;
}

// Refuses NaN and infinities, naming the first one.
void check_finite(nb::handle values, bool plain) {
    Py_ssize_t index = 0;
    auto refuse = [&](double v) {
        nb::object shown = nb::steal(PyFloat_FromDouble(v));
        raise(PyExc_ValueError, "probabilities must be finite numbers, got %S at index %zd",
              shown.ptr(), index);
    };
    if (plain) {
        auto a = nb::cast<nb::ndarray<const double, nb::ndim<1>>>(values);
        for (; index < Py_ssize_t(a.shape(0)); ++index)
            if (!std::isfinite(a(index))) refuse(a(index));
        return;
    }
    for (nb::handle x : values) {
        const double v = as_double(x);
        if (!std::isfinite(v)) refuse(v);
        ++index;
    }
}

// ceil(log2(length)), exactly.
long long qubits_for(Py_ssize_t length) {
    return std::bit_width(static_cast<uint64_t>(length - 1));
}

void q_spare_code_init(const Call& call) {
    auto [self, prob_list, cut_length, mode] = call.args<4>();
    nb::object np = call.global("np");
    if (prob_list.is_none()) raise(PyExc_ValueError, "prob list should be supported");
    if (!nb::isinstance(prob_list, np.attr("ndarray")) && !PyList_Check(prob_list.ptr())) {
        raise(PyExc_ValueError, "prob_list should be np.ndarray or list");
    }
    if (length(prob_list) == 0) raise(PyExc_ValueError, "at least one number in the prob_list ");
    const bool plain = is_plain_float64_vector(np, prob_list);
    if (!plain && !all_floats(prob_list))
        raise(PyExc_ValueError, "elements of prob_list should be float type");
    if (minimum_is_negative(call, prob_list, plain)) raise(PyExc_ValueError, "prob must > 0");
    check_finite(prob_list, plain);
    nb::object total = np.attr("sum")(prob_list);
    nb::object off = absolute(total - nb::int_(1));
    if (rich_compare_bool(off, nb::float_(0.001), Py_GT))
        raise(PyExc_Warning, "sum of prob list should be 1");

    nb::object prob = np.attr("array")(prob_list) / np.attr("sum")(np.attr("array")(prob_list));
    // The copy's length: the checks above may have run code that resized the list.
    const Py_ssize_t count = length(prob);
    if (count < 2) {
        raise(PyExc_ValueError, "prob_list needs at least 2 probabilities (one qubit), got %zd",
              count);
    }
    const long long qubits_num = qubits_for(count);
    const long long padding = (1LL << qubits_num) - count;
    prob = np.attr("append")(prob, np.attr("zeros")(padding));
    nb::setattr(self, "prob", prob);
    nb::setattr(self, "qubits_num", nb::int_(qubits_num));
    nb::setattr(self, "amp", power(prob, nb::float_(0.5)));
    nb::setattr(
        self, "cut",
        cut_length.is_none() ? nb::object(nb::int_(2 * qubits_num)) : nb::borrow(cut_length));
    nb::setattr(self, "mode", mode);
}

nb::object q_spare_code_select_top_n_complex_numbers(const Call& call) {
    auto [self, arr, n] = call.args<3>();
    if (!PyLong_CheckExact(n.ptr()) || rich_compare_bool(n, nb::int_(0), Py_LE))
        raise(PyExc_ValueError, "n must > 0 and with class int");
    nb::object np = call.global("np");
    nb::object order = np.attr("argsort")(np.attr("abs")(arr));
    nb::object top = slice_between(order, -nb::borrow(n), nb::none());
    nb::object result = np.attr("zeros_like")(arr, nb::arg("dtype") = arr.attr("dtype"));
    result[top] = arr[top];
    return np.attr("array")(result);
}

nb::object q_spare_code_Transform(const Call& call) {
    auto [self, amp] = call.args<2>();
    nb::object np = call.global("np");
    if (mode_is(self, "walsh")) {
        nb::object two = nb::int_(2);
        const double scale = as_double(np.attr("sqrt")(power(two, self.attr("qubits_num"))));
        if (truthy(np.attr("iscomplexobj")(amp)))
            return walsh_coefficients<cplx>(np, amp, "complex128", scale);
        return walsh_coefficients<double>(np, amp, "float64", scale);
    }
    if (mode_is(self, "fourier")) return np.attr("array")(call.global("fft")(amp));
    unknown_mode();
}

Circuit q_spare_code_quantum_cir(const Call& call) {
    auto [self, qubits] = call.args<2>();
    nb::object select = self.attr("select_top_n_complex_numbers");
    nb::object coefficients = self.attr("Transform")(self.attr("amp"));
    nb::object spare_sel = select(coefficients, self.attr("cut"));
    nb::object np = call.global("np");
    if (mode_is(self, "walsh")) spare_sel = spare_sel.attr("astype")(float_type());
    spare_sel = np.attr("array")(spare_sel) / np.attr("linalg").attr("norm")(spare_sel);

    const std::vector<int> q = to_index_list(qubits, "qubit");
    Circuit circuit;
    circuit.append(kestrix::amplitude_encode(q, complex_vector(np, spare_sel)));
    if (mode_is(self, "walsh")) {
        for (int qubit : q) circuit.append(make_gate(GateKind::H, {qubit}));
    } else if (mode_is(self, "fourier")) {
        append(circuit, call.global("QFT")(qubits));
    } else {
        unknown_mode();
    }
    return circuit;
}

nb::object q_spare_code_Quantum_Res(const Call& call) {
    auto [self] = call.args<1>();
    const int width = to_index(self.attr("qubits_num"), "qubits_num");
    kestrix::check_fits_in_memory(width);  // before listing its qubits
    nb::list qubit;
    for (int k = 0; k < width; ++k) qubit.append(k);
    Program program{to_circuit(self.attr("quantum_cir")(qubit)), width};
    const kestrix::Result result = run_program(program, 1000);
    std::vector<int> q(width);
    for (int k = 0; k < width; ++k) q[k] = k;
    nb::list probs;
    for (double p : result.probabilities(q)) probs.append(p);
    return call.global("parse_quantum_result_list")(probs, qubit, nb::arg("select_max") = -1);
}

}  // namespace

NORVALIS_MODULE(Sparvel, m) {
    m.import_as("matplotlib.pyplot", "plt");
    m.import_as("numpy", "np");
    m.import_from("kestrix.core", {"CPUQVM", "QCircuit", "QProg", "Encode", "H"});
    m.import_from("scipy.fft", {"fft"});
    m.import_from("sympy", {"fwht"});
    m.import_star("plugin", 2);

    auto code = m.define_class("QSpare_Code", R"DOC(
A probability distribution prepared as a quantum state from its `cut`
largest transform coefficients ("walsh": Walsh-Hadamard, "fourier":
discrete Fourier).

The square roots of the probabilities are taken into the transform basis,
all but the `cut` coefficients of largest magnitude are set to zero, the rest
is renormalised and amplitude-encoded, and the inverse basis change (H on
every qubit, or the QFT) is applied by gates. Quantum_Res() simulates it and
returns the approximated distribution.

The Walsh-Hadamard transform is computed natively, in 0.2 ms for 2**14
values (SymPy's `fwht` is bound but no longer called: it is symbolic and
takes 1.4 s to 6 s for as many), so Transform gives float64 coefficients,
equal to the symbolic ones to 1e-12, instead of an object array. Ties among
equal magnitudes are then ranked by NumPy's float64 argsort, which with AVX2
or AVX-512 orders them unlike its sort of the object array: where ties
straddle the cut, the kept coefficients can differ from the symbolic
transform's and between machines (ten probabilities of 0.1, cut 3: two
results, each 0.44 from the input in L1, 0.29 apart).

Limits: the amplitude encoding costs about 50 gates per kept coefficient on
14 qubits, so the time grows with the cut (2**14 probabilities: about 25 ms
with the default 28 coefficients, 0.15 to 0.3 s with 256, on one thread),
and the approximation is only as close as the distribution is sparse in the
chosen basis (28 coefficients of a random distribution over 2**14 outcomes
leave an L1 distance of 0.93).
)DOC");

    code.method(
        "__init__", q_spare_code_init,
        {arg("self"), arg("prob_list", nb::none()).typed("list[float] | numpy.ndarray | None"),
         arg("cut_length", nb::none()).typed("int | None"), arg("mode", "walsh").typed("str"),
         returns("None")},
        R"DOC(
Checks and stores the distribution.

Args:
    prob_list: a list or ndarray of float probabilities (NumPy float64
        counts, float32 and int do not) summing to 1 within 0.001; it is
        renormalised exactly and padded with zeros to a power of two.
    cut_length: how many coefficients to keep, an int > 0; None keeps
        2 * qubits_num. Checked only when a circuit is built.
    mode: "walsh" or "fourier", likewise checked when a circuit is built.

Raises ValueError for a missing, empty or non-float list, a negative
probability, a NaN or infinite one, or a single probability (no qubit to
encode it on), and the built-in Warning, raised, when the sum is off by more
than 0.001.
)DOC");

    code.method("select_top_n_complex_numbers", q_spare_code_select_top_n_complex_numbers,
                {arg("self"), arg("arr").typed("numpy.ndarray"), arg("n").typed("int"),
                 returns("numpy.ndarray")},
                R"DOC(
A copy of the array `arr` keeping its `n` entries of largest magnitude (an
exact int n > 0) and zeros elsewhere. Among equal magnitudes the entries
NumPy's default argsort puts last are kept; n >= len(arr) keeps everything.
)DOC");

    code.method("Transform", q_spare_code_Transform,
                {arg("self"), arg("amp").typed("numpy.typing.ArrayLike"), returns("numpy.ndarray")},
                R"DOC(
The transform coefficients of `amp`: for "walsh" the orthonormal
Walsh-Hadamard transform in natural order (as SymPy's fwht, zero-padded to
a power of two, divided by sqrt(2**qubits_num)), float64, or complex128 for
complex input; for "fourier" SciPy's unnormalised forward fft.
)DOC");

    code.method("quantum_cir", q_spare_code_quantum_cir,
                {arg("self"), arg("qubits").typed("collections.abc.Sequence[int]"),
                 returns("kestrix.core.QCircuit")},
                R"DOC(
A QCircuit preparing the sparse approximation on `qubits` (the all-zero
state assumed, len(qubits) == qubits_num): the kept coefficients,
renormalised and amplitude-encoded, then H on every qubit ("walsh") or the
plugin's QFT ("fourier").
)DOC");

    code.method("Quantum_Res", q_spare_code_Quantum_Res, {arg("self"), returns("list[float]")},
                R"DOC(
The distribution the sparse circuit prepares: its exact probabilities over
qubits_num qubits, as the plugin's parse_quantum_result_list gives them, in
basis-state order. Prints nothing.
)DOC");
    code.finish();
}
