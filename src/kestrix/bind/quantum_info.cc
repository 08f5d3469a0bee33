// kestrix.quantum_info: exact state vectors, circuit matrices and Pauli observables.
#include <nanobind/ndarray.h>
#include <nanobind/stl/complex.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "gradients.h"
#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/base/memory.h"
#include "kestrix/lib/io/codec.h"
#include "kestrix/lib/noise/density_matrix.h"
#include "kestrix/lib/run/sampling.h"
#include "kestrix/lib/run/statevector.h"
#include "kestrix/py/compare.h"
#include "kestrix/py/convert.h"
#include "kestrix/py/errors.h"
#include "kestrix/py/pickling.h"
#include "kestrix/py/run.h"
#include "kestrix/py/signature.h"
#include "observables.h"

namespace nb = nanobind;
using kestrix::Circuit;
using kestrix::cplx;
using kestrix::DensityMatrix;
using kestrix::StateVector;

namespace {

// Circuit matrices are dense 2^n x 2^n: beyond this width they are of no practical use.
constexpr int kMaxMatrixQubits = 14;
// States up to this width repr as the expression that rebuilds them.
constexpr int kReprQubits = 3;

// A complex64 NumPy array (or scalar type) makes a single-precision state by default.
bool is_complex64(nb::handle data) {
    if (!nb::hasattr(data, "dtype")) return false;
    nb::object dtype = data.attr("dtype");
    return nb::hasattr(dtype, "name") && nb::str(dtype.attr("name")).equal(nb::str("complex64"));
}

StateVector make_state(nb::handle data, nb::handle precision_arg) {
    using kestrix::Precision;
    if (kestrix::py::is_integer_scalar(data)) {
        const int n = kestrix::py::to_index(data, "number of qubits");
        const Precision precision =
            precision_arg.is_none() ? Precision::Double : kestrix::py::to_precision(precision_arg);
        // Filling a state of 28 qubits takes seconds: without the GIL, and Ctrl-C stops it.
        return kestrix::py::interruptible_work(
            std::ldexp(1.0, n), [n, precision](const kestrix::InterruptCheck& check) {
                return StateVector(n, check, precision);
            });
    }
    const Precision precision = !precision_arg.is_none() ? kestrix::py::to_precision(precision_arg)
                                : is_complex64(data)     ? Precision::Single
                                                         : Precision::Double;
    const std::vector<cplx> amplitudes = kestrix::py::to_complex_vector(data, "StateVector");
    if (precision == Precision::Double) return StateVector::from_amplitudes(amplitudes);
    const std::vector<kestrix::cfloat> rounded(amplitudes.begin(), amplitudes.end());
    return StateVector::from_amplitudes(std::span<const kestrix::cfloat>(rounded));
}

// The amplitudes as a new NumPy array of the state's precision.
nb::object amplitudes_array(const StateVector& s) {
    if (s.single()) return nb::cast(kestrix::py::to_numpy(s.single_data(), {s.size()}));
    return nb::cast(kestrix::py::to_numpy(s.data(), {s.size()}));
}

// A bit string as QResult.get_counts writes it: the last character is bit 0.
std::string bits_key(uint64_t value, size_t width) {
    std::string key(width, '0');
    for (size_t k = 0; k < width; ++k)
        if ((value >> k) & 1) key[width - 1 - k] = '1';
    return key;
}

// The qubits a reading method was given, every qubit in order by default.
std::vector<int> qubits_to_read(const StateVector& s, nb::handle qubits, const char* what) {
    std::vector<int> q;
    if (qubits.is_none()) {
        for (int k = 0; k < s.num_qubits(); ++k) q.push_back(k);
        return q;
    }
    q = kestrix::py::to_index_list(qubits, "qubit");
    kestrix::check_distinct_qubits(q, what);
    for (int k : q) {
        if (k >= s.num_qubits()) {
            throw nb::index_error(("qubit " + std::to_string(k) + " is outside the state (" +
                                   std::to_string(s.num_qubits()) + " qubits)")
                                      .c_str());
        }
    }
    return q;
}

nb::dict sample_counts(const StateVector& s, nb::handle shots_arg, nb::handle seed_arg,
                       nb::handle qubits_arg) {
    const uint64_t shots = kestrix::py::to_count_or_zero(shots_arg, "shots");
    const std::optional<uint64_t> seed = kestrix::py::to_seed(seed_arg);
    const std::vector<int> qubits = qubits_to_read(s, qubits_arg, "sample_counts");
    nb::dict out;
    if (shots == 0) return out;
    kestrix::Rng rng(seed ? *seed : kestrix::py::seed_from_numpy());
    // The draw reads the state a few times over: without the GIL for a large one.
    const auto counts =
        kestrix::py::interruptible_work(3 * double(s.size()), [&](const kestrix::InterruptCheck&) {
            return kestrix::sample_qubits(s, qubits, shots, rng);
        });
    for (auto [index, count] : counts) out[bits_key(index, qubits.size()).c_str()] = count;
    return out;
}

nb::dict probabilities_dict(const StateVector& s, nb::handle qubits_arg, nb::handle decimals) {
    const std::vector<int> qubits = qubits_to_read(s, qubits_arg, "probabilities_dict");
    nb::object py_round;
    if (!decimals.is_none()) {
        kestrix::py::to_count_or_zero(decimals, "decimals");
        py_round = nb::module_::import_("builtins").attr("round");
    }
    const std::vector<double> probs = s.probabilities(qubits);
    nb::dict out;
    for (uint64_t i = 0; i < probs.size(); ++i) {
        if (probs[i] == 0) continue;
        nb::object p = nb::float_(probs[i]);
        // Python's own rounding, so that the values are those round() shows.
        if (py_round.is_valid()) {
            p = py_round(p, decimals);
            if (nb::cast<double>(p) == 0) continue;
        }
        out[bits_key(i, qubits.size()).c_str()] = p;
    }
    return out;
}

std::string state_repr(const StateVector& s) {
    if (s.num_qubits() > kReprQubits)
        return "<StateVector: " + std::to_string(s.num_qubits()) + " qubits>";
    std::vector<cplx> amps(s.size());
    s.visit([&](const auto* a) { std::copy(a, a + s.size(), amps.begin()); });
    return "StateVector(" + std::string(nb::repr(nb::cast(amps)).c_str()) +
           (s.single() ? ", precision='single')" : ")");
}

DensityMatrix make_density(nb::handle data) {
    if (kestrix::py::is_integer_scalar(data)) {
        const int n = kestrix::py::to_index(data, "number of qubits");
        kestrix::check_density_fits(n);
        return kestrix::py::interruptible_work(
            std::ldexp(1.0, 2 * n),
            [n](const kestrix::InterruptCheck& check) { return DensityMatrix(n, check); });
    }
    if (nb::isinstance<StateVector>(data))
        return DensityMatrix::from_state(kestrix::py::instance<StateVector>(data));
    static nb::object* numpy = new nb::object(nb::module_::import_("numpy"));
    nb::object array = numpy->attr("asarray")(data, nb::arg("dtype") = numpy->attr("complex128"));
    if (nb::cast<int>(array.attr("ndim")) != 2 ||
        !array.attr("shape")[0].equal(array.attr("shape")[1])) {
        throw nb::value_error(("DensityMatrix: expected a number of qubits, a StateVector or a "
                               "square matrix, got shape " +
                               std::string(nb::repr(array.attr("shape")).c_str()))
                                  .c_str());
    }
    const std::vector<cplx> m =
        kestrix::py::to_complex_vector(array.attr("ravel")(), "DensityMatrix");
    return DensityMatrix::from_matrix(m);
}

nb::ndarray<nb::numpy, cplx> density_array(const DensityMatrix& rho) {
    const size_t d = rho.dim();
    kestrix::check_memory(double(d) * double(d) * sizeof(cplx), "the matrix");
    auto* out = new cplx[d * d];
    for (size_t r = 0; r < d; ++r)
        for (size_t c = 0; c < d; ++c) out[r * d + c] = rho.at(r, c);
    nb::capsule owner(out, [](void* p) noexcept { delete[] static_cast<cplx*>(p); });
    return nb::ndarray<nb::numpy, cplx>(out, {d, d}, owner);
}

// A density matrix pickles as 'D', a format byte, its width, then its entries in storage
// order (row + 2^n column), 16 bytes each.
std::string encode_density(const DensityMatrix& rho) {
    std::string out = {'D', 1, char(rho.num_qubits())};
    const char* bytes = reinterpret_cast<const char*>(rho.data());
    out.append(bytes, bytes + rho.dim() * rho.dim() * sizeof(cplx));
    return out;
}

DensityMatrix decode_density(std::string_view bytes) {
    if (bytes.size() < 3 || bytes[1] != 1 || uint8_t(bytes[2]) > kestrix::kMaxDensityQubits)
        throw nb::value_error("cannot read this DensityMatrix: the data is damaged");
    const int n = uint8_t(bytes[2]);
    const size_t d = size_t{1} << n;
    if (bytes.size() != 3 + d * d * sizeof(cplx))
        throw nb::value_error("cannot read this DensityMatrix: the data is damaged");
    std::vector<cplx> m(d * d);
    const char* src = bytes.data() + 3;
    for (size_t c = 0; c < d; ++c) {
        for (size_t r = 0; r < d; ++r) {
            cplx x;
            std::memcpy(&x, src + (r + c * d) * sizeof(cplx), sizeof(cplx));
            m[r * d + c] = x;
        }
    }
    return DensityMatrix::from_matrix(m);
}

std::vector<int> density_qubits(const DensityMatrix& rho, nb::handle qubits, const char* what) {
    std::vector<int> q;
    if (qubits.is_none()) {
        for (int k = 0; k < rho.num_qubits(); ++k) q.push_back(k);
        return q;
    }
    q = kestrix::py::to_index_list(qubits, "qubit");
    kestrix::check_distinct_qubits(q, what);
    for (int k : q) {
        if (k >= rho.num_qubits()) {
            throw nb::index_error(("qubit " + std::to_string(k) +
                                   " is outside the density matrix (" +
                                   std::to_string(rho.num_qubits()) + " qubits)")
                                      .c_str());
        }
    }
    return q;
}

const kestrix::NoiseModel& noise_or_none(nb::handle noise) {
    static const kestrix::NoiseModel none;
    if (noise.is_none()) return none;
    if (!nb::isinstance<kestrix::NoiseModel>(noise)) {
        throw nb::type_error(("noise must be a kestrix.noise.NoiseModel or None, got " +
                              kestrix::py::type_name_of(noise))
                                 .c_str());
    }
    return kestrix::py::instance<kestrix::NoiseModel>(noise);
}

void bind_density_matrix(nb::module_& m) {
    nb::class_<DensityMatrix> cls(m, "DensityMatrix", R"DOC(An exact n-qubit density matrix.

Row and column index bit k belong to qubit k, as everywhere in the SDK. Held as a
vector of 2n qubits (entry (r, c) at r + 2**n * c), so that evolve() runs a circuit on
the engine's fused kernels: U on the low n qubits, conj(U) on the high n, channels as
superoperators. 4**n entries: about 13 qubits is the practical limit (MemoryError
where it does not fit). Immutable; NumPy reads it (np.asarray(rho) is the matrix); it
pickles, copies and compares exactly (==).

Example:
    >>> import kestrix.noise as kn
    >>> m = kn.NoiseModel()
    >>> m.add(kn.depolarizing(0.1))
    >>> rho = DensityMatrix(1).evolve(H(0), noise=m)
    >>> round(rho.purity(), 6)
    0.905
)DOC");
    cls.def(
           "__init__",
           [](DensityMatrix* self, nb::handle data) {
               new (self) DensityMatrix(make_density(data));
           },
           nb::arg("data"),
           nb::sig("def __init__(self, data: int | StateVector | numpy.typing.ArrayLike) -> None"),
           R"DOC(|0...0><0...0| on `data` qubits, |psi><psi| of a StateVector, or a matrix.

Args:
    data: a number of qubits, a StateVector, or a 2**n x 2**n Hermitian matrix of trace
        1 (within 1e-8).
)DOC")
        .def(
            "evolve",
            [](const DensityMatrix& rho, nb::handle circuit, nb::handle noise) {
                const Circuit c = kestrix::py::to_circuit(circuit);
                const kestrix::NoiseModel& model = noise_or_none(noise);
                kestrix::check_density_fits(rho.num_qubits());
                kestrix::check_memory(std::ldexp(2.0 * sizeof(cplx), 2 * rho.num_qubits()),
                                      "evolving a density matrix of " +
                                          std::to_string(rho.num_qubits()) +
                                          " qubits (it and the new one)");
                if (c.width() > rho.num_qubits()) {
                    throw nb::index_error(("the circuit acts on qubit " +
                                           std::to_string(c.width() - 1) +
                                           " but the density matrix has " +
                                           std::to_string(rho.num_qubits()) + " qubits")
                                              .c_str());
                }
                auto out = std::make_unique<DensityMatrix>(rho);
                const double work =
                    double(c.gate_count() + 1) * std::ldexp(1.0, 2 * rho.num_qubits());
                kestrix::py::interruptible_work(work, [&](const kestrix::InterruptCheck& check) {
                    out->apply(c, model, check);
                });
                return out.release();
            },
            nb::arg("circuit"), nb::arg("noise").none() = nb::none(), nb::rv_policy::take_ownership,
            nb::sig("def evolve(self, circuit: QCircuit | QProg | QGate, noise: "
                    "kestrix.noise.NoiseModel | None = None) -> DensityMatrix"),
            R"DOC(A new density matrix: this one after the circuit, with the model's channels.

Args:
    circuit: a QCircuit, QProg or QGate without measurements, within the width.
    noise: a kestrix.noise.NoiseModel whose channels follow the gates (none by
        default; readout errors play no part here).

Returns:
    DensityMatrix: the evolved matrix; this one is unchanged.

Example:
    >>> DensityMatrix(1).evolve(X(0)).probabilities()
    array([0., 1.])
)DOC")
        .def(
            "probabilities",
            [](const DensityMatrix& rho, nb::handle qubits) {
                const std::vector<double> p =
                    rho.probabilities(density_qubits(rho, qubits, "probabilities"));
                return kestrix::py::to_numpy(p.data(), {p.size()});
            },
            nb::arg("qubits") = nb::none(),
            nb::sig("def probabilities(self, qubits: int | collections.abc.Sequence[int] | None = "
                    "None) -> numpy.typing.NDArray[numpy.float64]"),
            R"DOC(The measurement distribution over some qubits (the diagonal's marginal).

Args:
    qubits: distinct qubits to read (all of them, in order, by default).

Returns:
    numpy.ndarray: 2**len(qubits) probabilities, index bit k = qubits[k].

Example:
    >>> DensityMatrix(2).evolve(X(1)).probabilities([1])
    array([0., 1.])
)DOC")
        .def(
            "expval",
            [](const DensityMatrix& rho, nb::handle observable) {
                kestrix::PauliSum holder;
                return rho.expectation(kestrix::py::as_observable(observable, holder));
            },
            nb::arg("observable"), nb::sig("def expval(self, observable: PauliSum | str) -> float"),
            R"DOC(Tr(rho H) for a Pauli observable.

Args:
    observable: a PauliSum, or a Pauli label such as "ZZ" (as expval takes them).

Returns:
    float: the expectation value.

Example:
    >>> round(DensityMatrix(1).evolve(X(0)).expval("Z"), 12)
    -1.0
)DOC")
        .def("purity", &DensityMatrix::purity, R"DOC(Tr(rho**2): 1 for a pure state.

Returns:
    float: the purity, from 1/2**n to 1.

Example:
    >>> DensityMatrix(2).purity()
    1.0
)DOC")
        .def(
            "partial_trace",
            [](const DensityMatrix& rho, nb::handle qubits) {
                return rho.partial_trace(density_qubits(rho, qubits, "partial_trace"));
            },
            nb::arg("qubits"),
            nb::sig("def partial_trace(self, qubits: int | collections.abc.Sequence[int]) -> "
                    "DensityMatrix"),
            R"DOC(The density matrix of the other qubits, with `qubits` traced out.

Args:
    qubits: distinct qubits to trace out.

Returns:
    DensityMatrix: over the remaining qubits, in ascending order (qubit k of the
    result is the k-th remaining one).

Example:
    >>> bell = DensityMatrix(2).evolve(QCircuit() << H(0) << CNOT(0, 1))
    >>> round(bell.partial_trace([1]).purity(), 12)
    0.5
)DOC")
        .def("to_numpy", &density_array, R"DOC(The matrix as a new complex NumPy array.

Returns:
    numpy.ndarray: complex128, 2**n x 2**n, index bit k = qubit k.

Example:
    >>> DensityMatrix(1).to_numpy().real
    array([[1., 0.],
           [0., 0.]])
)DOC")
        .def(
            "__array__",
            [](const DensityMatrix& rho, nb::handle dtype, nb::handle copy) -> nb::object {
                if (!copy.is_none() && !PyObject_IsTrue(copy.ptr()))
                    throw nb::value_error("a DensityMatrix's entries are always copied out");
                nb::object array = nb::cast(density_array(rho));
                if (dtype.is_none()) return array;
                return array.attr("astype")(dtype, nb::arg("copy") = false);
            },
            nb::arg("dtype").none() = nb::none(), nb::arg("copy").none() = nb::none())
        .def_prop_ro("num_qubits", &DensityMatrix::num_qubits, "The number of qubits.")
        .def("__repr__", [](const DensityMatrix& rho) {
            return "<DensityMatrix: " + std::to_string(rho.num_qubits()) +
                   (rho.num_qubits() == 1 ? " qubit>" : " qubits>");
        });
    kestrix::py::make_picklable(cls, "kestrix.quantum_info", 'D', encode_density, decode_density,
                                true);
    kestrix::py::make_comparable(
        cls, [](const DensityMatrix& a, const DensityMatrix& b) { return a == b; },
        [](const DensityMatrix& rho) {
            size_t h = std::hash<int>()(rho.num_qubits());
            for (uint64_t i = 0; i < rho.dim() * rho.dim(); ++i) {
                h = h * 1000003 ^ std::hash<double>()(rho.data()[i].real() + 0.0);
                h = h * 1000003 ^ std::hash<double>()(rho.data()[i].imag() + 0.0);
            }
            return h;
        });
}

}  // namespace

NB_MODULE(quantum_info, m) {
    m.doc() = "kestrix quantum_info: exact state vectors, circuit matrices and Pauli observables.";
    nb::module_::import_("kestrix.core");
    kestrix::py::register_exceptions();

    nb::class_<StateVector> state(m, "StateVector", R"DOC(An exact n-qubit state.

Amplitude index bit k belongs to qubit k, as everywhere in the SDK. States are
immutable: evolve() returns a new one. NumPy reads them directly
(np.asarray(state) is the complex vector), and they pickle and copy. Two states are
equal (==) when they have the same width and exactly the same amplitudes; compare
with a tolerance through NumPy (np.allclose(a, b)).

Example:
    >>> import numpy as np
    >>> s = StateVector(2).evolve(QCircuit() << H(0))
    >>> np.round(np.asarray(s), 3)
    array([0.707+0.j, 0.707+0.j, 0.   +0.j, 0.   +0.j])
    >>> StateVector([0, 1])
    StateVector([0j, (1+0j)])
)DOC");
    state
        .def(
            "__init__",
            [](StateVector* s, nb::handle data, nb::handle precision) {
                new (s) StateVector(make_state(data, precision));
            },
            nb::arg("data"), nb::kw_only(), nb::arg("precision").none() = nb::none(),
            nb::sig("def __init__(self, data: int | numpy.typing.ArrayLike, *, precision: str | "
                    "None = None) -> None"),
            R"DOC(The all-zero state of `data` qubits, or the state with amplitudes `data`.

Args:
    data: a number of qubits, or a one-dimensional array of amplitudes whose length
        is a power of two and whose norm is 1 (within 1e-8; 1e-4 in single precision).
    precision: "double" (complex128) or "single" (complex64, half the memory; its
        evolutions run on single-precision kernels). By default a complex64 NumPy
        array gives a single-precision state, anything else a double one.
)DOC")
        .def(
            "evolve",
            [](const StateVector& s, nb::handle circuit) {
                Circuit c = kestrix::py::to_circuit(circuit);
                if (c.width() > s.num_qubits()) {
                    throw nb::index_error(("the circuit acts on qubit " +
                                           std::to_string(c.width() - 1) + " but the state has " +
                                           std::to_string(s.num_qubits()) + " qubits")
                                              .c_str());
                }
                // The state stays as it is: the new one is a second buffer of its size.
                const double bytes = s.single() ? sizeof(kestrix::cfloat) : sizeof(kestrix::cplx);
                kestrix::check_memory(std::ldexp(2.0 * bytes, s.num_qubits()),
                                      "evolving a state of " + std::to_string(s.num_qubits()) +
                                          " qubits (it and the new state)");
                auto out = std::make_unique<StateVector>(s);
                kestrix::py::apply(*out, c, out->is_all_zero());
                return out.release();
            },
            nb::arg("circuit"), nb::rv_policy::take_ownership,
            nb::sig("def evolve(self, circuit: QCircuit | QProg | QGate) -> StateVector"),
            R"DOC(A new state: this one after the circuit.

Args:
    circuit: a QCircuit, QProg or QGate without measurements, within the state's
        qubits.

Returns:
    StateVector: the evolved state; this one is unchanged.

Example:
    >>> StateVector(1).evolve(X(0)).probabilities()
    array([0., 1.])
)DOC")
        .def("ndarray", &amplitudes_array,
             nb::sig("def ndarray(self) -> numpy.typing.NDArray[numpy.complex128] | "
                     "numpy.typing.NDArray[numpy.complex64]"),
             R"DOC(The amplitudes as a new complex NumPy array, index bit k = qubit k.

Returns:
    numpy.ndarray: complex128 (complex64 for a single-precision state), length
    2**num_qubits; np.asarray(state) is the same.

Example:
    >>> StateVector(1).ndarray()
    array([1.+0.j, 0.+0.j])
)DOC")
        .def(
            "__array__",
            [](const StateVector& s, nb::handle dtype, nb::handle copy) -> nb::object {
                if (!copy.is_none() && !PyObject_IsTrue(copy.ptr()))
                    throw nb::value_error("a StateVector's amplitudes are always copied out");
                nb::object array = amplitudes_array(s);
                if (dtype.is_none()) return array;
                return array.attr("astype")(dtype, nb::arg("copy") = false);
            },
            nb::arg("dtype").none() = nb::none(), nb::arg("copy").none() = nb::none())
        .def(
            "probabilities",
            [](const StateVector& s, nb::handle qubits) {
                std::vector<int> q;
                if (qubits.is_none()) {
                    for (int k = 0; k < s.num_qubits(); ++k) q.push_back(k);
                } else {
                    q = kestrix::py::to_index_list(qubits, "qubit");
                    kestrix::check_distinct_qubits(q, "probabilities");
                }
                const std::vector<double> p = s.probabilities(q);
                return kestrix::py::to_numpy(p.data(), {p.size()});
            },
            nb::arg("qubits") = nb::none(),
            nb::sig("def probabilities(self, qubits: int | collections.abc.Sequence[int] | None = "
                    "None) -> numpy.typing.NDArray[numpy.float64]"),
            R"DOC(The measurement distribution over some qubits.

Args:
    qubits: distinct qubits to read (all of them, in order, by default).

Returns:
    numpy.ndarray: 2**len(qubits) probabilities, index bit k = qubits[k], as
    get_prob_list orders them.

Example:
    >>> StateVector(2).evolve(X(1)).probabilities([1])
    array([0., 1.])
)DOC")
        .def("probabilities_dict", &probabilities_dict, nb::arg("qubits") = nb::none(),
             nb::kw_only(), nb::arg("decimals").none() = nb::none(),
             nb::sig("def probabilities_dict(self, qubits: int | collections.abc.Sequence[int] | "
                     "None = None, *, decimals: int | None = None) -> dict[str, float]"),
             R"DOC(The measurement distribution over some qubits, as bit strings.

Keys are written as QResult.get_counts writes them: the last character is
qubits[0]. Outcomes of probability zero are left out, in ascending order.

Args:
    qubits: distinct qubits to read (all of them, in order, by default).
    decimals: round each probability to this many decimals (Python's round), and
        leave out those that round to zero.

Returns:
    dict[str, float]: bit string -> probability.

Example:
    >>> StateVector(2).evolve(QCircuit() << H(0) << X(1)).probabilities_dict(decimals=3)
    {'10': 0.5, '11': 0.5}
)DOC")
        .def("sample_counts", &sample_counts, nb::arg("shots"), nb::kw_only(),
             nb::arg("seed").none() = nb::none(), nb::arg("qubits").none() = nb::none(),
             nb::sig("def sample_counts(self, shots: int, *, seed: int | None = None, qubits: "
                     "int | collections.abc.Sequence[int] | None = None) -> dict[str, int]"),
             R"DOC(Shot counts drawn from the state's distribution, as a measurement gives.

The state is unchanged. Keys are written as QResult.get_counts writes them (the
last character is qubits[0]); only outcomes that came up are listed, ascending.

Args:
    shots: how many readings to draw (a non-negative int; 0 gives {}).
    seed: fixes the draw; None draws a seed from NumPy's global generator, as
        CPUQVM(seed=None) does, so np.random.seed(s) makes it repeatable.
    qubits: distinct qubits to read (all of them, in order, by default).

Returns:
    dict[str, int]: bit string -> count; the counts add up to shots.

Example:
    >>> StateVector(2).evolve(X(1)).sample_counts(5, seed=1)
    {'10': 5}
)DOC")
        .def_prop_ro("num_qubits", &StateVector::num_qubits, "The number of qubits.")
        .def_prop_ro(
            "precision",
            [](const StateVector& s) { return kestrix::py::precision_name(s.precision()); },
            nb::sig("def precision(self) -> str"),
            "The precision of the amplitudes: 'double' (complex128) or 'single' (complex64).")
        .def("__len__", &StateVector::size)
        .def("__repr__", &state_repr);
    kestrix::py::make_picklable(state, "kestrix.quantum_info", 'S', kestrix::encode_state,
                                kestrix::decode_state, true);
    kestrix::py::make_comparable(
        state, [](const StateVector& a, const StateVector& b) { return a == b; },
        [](const StateVector& s) {
            // Adding 0.0 makes -0.0 hash as 0.0, which it equals.
            size_t h = std::hash<int>()(s.num_qubits());
            s.visit([&](const auto* a) {
                for (uint64_t i = 0; i < s.size(); ++i) {
                    h = h * 1000003 ^ std::hash<double>()(double(a[i].real()) + 0.0);
                    h = h * 1000003 ^ std::hash<double>()(double(a[i].imag()) + 0.0);
                }
            });
            return h;
        });

    m.def(
        "unitary",
        [](nb::handle circuit, nb::handle num_qubits, nb::handle precision_arg) -> nb::object {
            const kestrix::Precision precision = kestrix::py::to_precision(precision_arg);
            const Circuit c = kestrix::py::to_circuit(circuit);
            const int n =
                num_qubits.is_none() ? c.width() : kestrix::py::to_index(num_qubits, "num_qubits");
            if (n > kMaxMatrixQubits) {
                throw nb::value_error(("unitary: at most " + std::to_string(kMaxMatrixQubits) +
                                       " qubits, got " + std::to_string(n))
                                          .c_str());
            }
            if (c.width() > n) {
                throw nb::index_error(("the circuit acts on qubit " +
                                       std::to_string(c.width() - 1) + " but the matrix has " +
                                       std::to_string(n) + " qubits")
                                          .c_str());
            }
            const size_t dim = size_t{1} << n;
            const std::vector<cplx> u = kestrix::py::matrix_of(c, n, precision);
            if (precision == kestrix::Precision::Double)
                return nb::cast(kestrix::py::to_numpy(u.data(), {dim, dim}));
            // Columns computed in single precision: their values are floats already.
            const std::vector<kestrix::cfloat> rounded(u.begin(), u.end());
            return nb::cast(kestrix::py::to_numpy(rounded.data(), {dim, dim}));
        },
        nb::arg("circuit"), nb::arg("num_qubits") = nb::none(), nb::kw_only(),
        nb::arg("precision") = "double",
        nb::sig("def unitary(circuit: QCircuit | QProg | QGate, num_qubits: int | None = None, "
                "*, precision: str = 'double') -> numpy.typing.NDArray[numpy.complex128] | "
                "numpy.typing.NDArray[numpy.complex64]"),
        R"DOC(The full matrix of a circuit, for small widths (at most 14 qubits).

Args:
    circuit: a QCircuit, QProg or QGate without measurements.
    num_qubits: the matrix's width (the circuit's own by default).
    precision: "double" (complex128, the default) or "single": each column computed
        on a complex64 state, the matrix complex64.

Returns:
    numpy.ndarray: the 2**n x 2**n unitary, index bit k = qubit k.

Example:
    >>> unitary(CNOT(0, 1)).real
    array([[1., 0., 0., 0.],
           [0., 0., 0., 1.],
           [0., 0., 1., 0.],
           [0., 1., 0., 0.]])
)DOC");

    kestrix::py::bind_observables(m);
    kestrix::py::bind_gradients(m);
    bind_density_matrix(m);
    kestrix::py::bind_loads(m);
    kestrix::py::add_signatures(m);
}
