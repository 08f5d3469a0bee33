// norvalis.Kavrel._Kavrel: the native quantum linear-system solver behind norvalis.Kavrel.
// It reads the flattened system, checks it, builds the HHL circuit on kestrix (hhl.h) and
// reads the solution from the simulated state. NumPy only diagonalises the Hermitian
// matrix, for the evolution gates and the register's size.
#include <nanobind/ndarray.h>

#include <bit>
#include <cmath>
#include <string>
#include <vector>

#include "hhl.h"
#include "linear_system.h"
#include "norvalis/frame/frame.h"

namespace {

using namespace norvalis::frame;
using namespace norvalis::kavrel;

constexpr const char* kModuleDoc = R"DOC(The native HHL linear-system solver behind norvalis.Kavrel.

A x = b is solved by the quantum algorithm of Harrow, Hassidim and Lloyd on the
kestrix state-vector simulator. A Hermitian A is used as it is; any other
non-singular A through the Hermitian embedding H = [[0, A], [A^dagger, 0]], whose
solution for [b, 0] is [0, x].

Register layout of the circuit (qubit indices, first qubit least significant):
    0 .. s-1       the system: index bit k of H's vector space on qubit k
                   (s = log2 N, one more under the embedding, where x is the
                   upper half);
    s .. s+m-1     the eigenvalue register: lambda * 2^f as an m-bit two's-
                   complement integer, so negative eigenvalues are resolved;
    s+m            the ancilla that carries 1/lambda.
f = ceil(log2(10^precision_cnt)) fractional bits (0, 4, 7 for 0, 1, 2 digits);
m = f + 1 + I, I the integer bits that hold the largest |eigenvalue| with a
whole unit to spare (so each decimal digit costs only its fractional bits).
The circuit: amplitude encoding of b/|b|; phase estimation of exp(iHt),
t = 2 pi 2^f / 2^m, with each controlled power one UNITARY gate; RY(2 asin(1/k))
on the ancilla for each register value k != 0; phase estimation undone. With the
ancilla at 1 and the register at 0 the system holds 2^-f A^-1 b/|b|, so
x = (those amplitudes) * |b| * 2^f.
)DOC";

std::string type_of(nb::handle value) { return Py_TYPE(value.ptr())->tp_name; }

// A snapshot of the items (user code may run while they are read).
nb::object items_of(nb::handle value, const char* name) {
    if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()))
        raise(PyExc_TypeError, "%s must be a list of numbers, got %s", name,
              type_of(value).c_str());
    nb::object items = nb::steal(PySequence_List(value.ptr()));
    if (!items.is_valid()) {
        PyErr_Clear();
        raise(PyExc_TypeError, "%s must be a list of numbers, got %s", name,
              type_of(value).c_str());
    }
    return items;
}

bool is_complex_number(nb::handle value) {
    static nb::object* numbers = new nb::object(nb::module_::import_("numbers"));
    return PyObject_IsInstance(value.ptr(), numbers->attr("Complex").ptr()) == 1 &&
           PyObject_IsInstance(value.ptr(), numbers->attr("Real").ptr()) == 0;
}

LinearSystem read_system(nb::handle matrix_A, nb::handle data_b) {
    nb::object a = items_of(matrix_A, "matrix_A"), b = items_of(data_b, "data_b");
    const Py_ssize_t count = length(a);
    if (count == 0) raise(PyExc_ValueError, "matrix_A is empty");
    const size_t n = size_t(std::llround(std::sqrt(double(count))));
    if (Py_ssize_t(n * n) != count) {
        raise(PyExc_ValueError,
              "matrix_A must be a square matrix flattened row by row, but %zd entries are not "
              "a square number",
              count);
    }
    if (size_t(length(b)) != n) {
        raise(PyExc_ValueError, "data_b must hold %zu entries, one per row of matrix_A, got %zd", n,
              length(b));
    }
    LinearSystem system;
    system.size = n;
    for (Py_ssize_t k = 0; k < count; ++k) {
        nb::object entry = item(a, k);
        const Py_complex z = PyComplex_AsCComplex(entry.ptr());
        if (z.real == -1.0 && PyErr_Occurred()) {
            const bool overflow = PyErr_ExceptionMatches(PyExc_OverflowError);
            PyErr_Clear();
            if (overflow) raise(PyExc_ValueError, "matrix_A[%zd] is too large for a double", k);
            raise(PyExc_TypeError, "matrix_A[%zd] must be a number, got %s", k,
                  type_of(entry).c_str());
        }
        if (!std::isfinite(z.real) || !std::isfinite(z.imag))
            raise(PyExc_ValueError, "matrix_A[%zd] must be finite, got %R", k, entry.ptr());
        system.a.emplace_back(z.real, z.imag);
    }
    for (size_t k = 0; k < n; ++k) {
        nb::object entry = item(b, Py_ssize_t(k));
        if (is_complex_number(entry)) {
            raise(PyExc_TypeError, "data_b[%zu] must be a real number, got %s", k,
                  type_of(entry).c_str());
        }
        const double v = PyFloat_AsDouble(entry.ptr());
        if (v == -1.0 && PyErr_Occurred()) {
            const bool overflow = PyErr_ExceptionMatches(PyExc_OverflowError);
            PyErr_Clear();
            if (overflow) raise(PyExc_ValueError, "data_b[%zu] is too large for a double", k);
            raise(PyExc_TypeError, "data_b[%zu] must be a real number, got %s", k,
                  type_of(entry).c_str());
        }
        if (!std::isfinite(v))
            raise(PyExc_ValueError, "data_b[%zu] must be finite, got %R", k, entry.ptr());
        system.b.push_back(v);
    }
    return system;
}

// The system of a solver or circuit builder: N must already be a power of two.
LinearSystem read_square_system(nb::handle matrix_A, nb::handle data_b) {
    LinearSystem system = read_system(matrix_A, data_b);
    if (!std::has_single_bit(system.size)) {
        raise(PyExc_ValueError,
              "matrix_A is %zu x %zu: the solver needs a power-of-two size (extend the system "
              "with expand_linear_equations first)",
              system.size, system.size);
    }
    return system;
}

int read_precision(nb::handle value) {
    if (!kestrix::py::is_integer_scalar(value))
        raise(PyExc_TypeError, "precision_cnt must be an integer, got %s", type_of(value).c_str());
    nb::object index = as_index(value);
    int overflow = 0;
    const long long p = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (p == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow < 0 || (overflow == 0 && p < 0))
        raise(PyExc_ValueError, "precision_cnt must be non-negative, got %S", index.ptr());
    if (overflow > 0 || p > kMaxPrecision) {
        raise(PyExc_ValueError, "precision_cnt=%S needs more than %d eigenvalue qubits",
              index.ptr(), kMaxEigenvalueQubits);
    }
    return int(p);
}

// The entries of an array as T, converted by NumPy; there must be `count` of them.
template <class T>
std::vector<T> numpy_values(nb::handle np, nb::handle array, const char* dtype, size_t count) {
    nb::object contiguous = np.attr("ascontiguousarray")(array, nb::arg("dtype") = np.attr(dtype));
    Py_buffer view;
    if (PyObject_GetBuffer(contiguous.ptr(), &view, PyBUF_C_CONTIGUOUS) != 0)
        throw nb::python_error();
    const T* begin = static_cast<const T*>(view.buf);
    const size_t got = view.itemsize == sizeof(T) ? size_t(view.len) / sizeof(T) : 0;
    std::vector<T> out(begin, begin + got);
    PyBuffer_Release(&view);
    if (got != count) {
        raise(PyExc_ValueError, "np.linalg.eigh gave %zu %s entries where %zu were expected", got,
              dtype, count);
    }
    return out;
}

// numpy.linalg.eigh, looked up through the module's `np` at call time; its result is
// checked, since the gates are built by indexing into it.
EigenSolver numpy_eigh(const Call& call) {
    return [np = call.global("np")](const std::vector<cplx>& matrix, size_t dim) {
        auto* copy = new cplx[matrix.size()];
        std::copy(matrix.begin(), matrix.end(), copy);
        nb::capsule owner(copy, [](void* p) noexcept { delete[] static_cast<cplx*>(p); });
        nb::object array = nb::cast(nb::ndarray<nb::numpy, cplx>(copy, {dim, dim}, owner));
        nb::object pair = np.attr("linalg").attr("eigh")(array);
        return Eigensystem{numpy_values<double>(np, item(pair, 0), "float64", dim),
                           numpy_values<cplx>(np, item(pair, 1), "complex128", dim * dim)};
    };
}

nb::list complex_list(const std::vector<cplx>& values) {
    nb::list out;
    for (const cplx& z : values) out.append(nb::steal(PyComplex_FromDoubles(z.real(), z.imag())));
    return out;
}

nb::list int_list(const std::vector<int>& values) {
    nb::list out;
    for (int v : values) out.append(v);
    return out;
}

// x for a system and precision: all zero when b is, else the HHL circuit's result.
std::vector<cplx> solve_system(const Call& call, const LinearSystem& system, int precision) {
    const EigenSolver eigen = numpy_eigh(call);
    const Survey found = survey(system, precision, eigen);
    if (found.norm == 0) return std::vector<cplx>(system.size, cplx(0));
    const Hhl h = build_hhl(system, found, eigen);
    const kestrix::StateVector state = evolve(h.circuit, h.width());
    return read_solution(state, h.system_qubits, h.ancilla, h.solution_offset, h.unknowns, h.size,
                         h.scale);
}

void kavrel_alg_init(const Call& call) {
    auto [self, matrix_A, data_b, precision_cnt] = call.args<4>();
    const LinearSystem system = read_square_system(matrix_A, data_b);
    const int precision = read_precision(precision_cnt);
    const EigenSolver eigen = numpy_eigh(call);
    const Hhl h = build_hhl(system, survey(system, precision, eigen), eigen);
    nb::setattr(self, "size", nb::int_(h.size));
    nb::setattr(self, "unknowns", nb::int_(h.unknowns));
    nb::setattr(self, "hermitian", nb::bool_(h.hermitian));
    nb::setattr(self, "precision_cnt", nb::int_(precision));
    nb::setattr(self, "fraction_bits", nb::int_(h.fraction_bits));
    nb::setattr(self, "system_qubits", int_list(h.system_qubits));
    nb::setattr(self, "eigenvalue_qubits", int_list(h.eigenvalue_qubits));
    nb::setattr(self, "ancilla", nb::int_(h.ancilla));
    nb::setattr(self, "num_qubits", nb::int_(h.width()));
    nb::setattr(self, "solution_offset", nb::int_(h.solution_offset));
    nb::setattr(self, "scale", nb::float_(h.scale));
    nb::setattr(self, "circuit", nb::cast(h.circuit));
}

nb::object kavrel_alg_solve(const Call& call) {
    auto [self] = call.args<1>();
    const kestrix::Circuit circuit = to_circuit(self.attr("circuit"));
    const int width = to_index(self.attr("num_qubits"), "num_qubits");
    const std::vector<int> system = to_index_list(self.attr("system_qubits"), "qubit");
    const int ancilla = to_index(self.attr("ancilla"), "ancilla");
    const size_t offset = to_index(self.attr("solution_offset"), "solution_offset");
    const size_t unknowns = to_index(self.attr("unknowns"), "unknowns");
    const size_t size = to_index(self.attr("size"), "size");
    const double scale = as_double(self.attr("scale"));
    for (int q : system) {
        if (q >= width || q == ancilla)
            raise(PyExc_ValueError, "system qubit %d is not a system qubit of a %d-qubit circuit",
                  q, width);
    }
    if (ancilla >= width || unknowns > size || system.size() > 62 ||
        size > (size_t{1} << system.size()) || offset + unknowns > (size_t{1} << system.size())) {
        raise(PyExc_ValueError, "the solver's registers do not fit its circuit");
    }
    const kestrix::StateVector state = evolve(circuit, width);
    return complex_list(read_solution(state, system, ancilla, offset, unknowns, size, scale));
}

Circuit build_Kavrel_circuit(const Call& call) {
    auto [matrix_A, data_b, precision_cnt] = call.args<3>();
    const LinearSystem system = read_square_system(matrix_A, data_b);
    const int precision = read_precision(precision_cnt);
    const EigenSolver eigen = numpy_eigh(call);
    return build_hhl(system, survey(system, precision, eigen), eigen).circuit;
}

nb::object expand_linear_equations(const Call& call) {
    auto [matrix_A, data_b] = call.args<2>();
    const LinearSystem expanded = expand(read_system(matrix_A, data_b));
    nb::list vector;
    for (double v : expanded.b) vector.append(nb::float_(v));
    nb::list out;
    out.append(complex_list(expanded.a));
    out.append(vector);
    return out;
}

nb::object Kavrel_solve_linear_equations(const Call& call) {
    auto [matrix_A, data_b, precision_cnt] = call.args<3>();
    const LinearSystem system = read_square_system(matrix_A, data_b);
    return complex_list(solve_system(call, system, read_precision(precision_cnt)));
}

}  // namespace

NORVALIS_MODULE(_Kavrel, m) {
    m.globals()["__doc__"] = kModuleDoc;
    m.import_from("kestrix.core", {"QCircuit"});  // the type the circuits are returned as
    m.import_as("numpy", "np");

    auto alg = m.define_class("KavrelAlg", R"DOC(
A built HHL solver for A x = b (see the module's documentation for the circuit
and its registers).

KavrelAlg(matrix_A, data_b, precision_cnt=0) checks the system and builds its
circuit; solve() simulates it and returns x. The attributes, read by name at
each use:
    size               N, the length of x
    unknowns           M: the leading block of A outside which it is all zero
                       (an expanded system); x[M:] is 0
    hermitian          False when A is solved through [[0, A], [A^dagger, 0]]
    precision_cnt      decimal digits of eigenvalue resolution
    fraction_bits      f = ceil(log2(10^precision_cnt))
    system_qubits      the qubits of the system register
    eigenvalue_qubits  the qubits of the eigenvalue register, lowest bit first
    ancilla            the qubit that carries 1/lambda
    num_qubits         the circuit's width
    solution_offset    the system index where x begins
    scale              |b| * 2^f: x = (amplitudes) * scale
    circuit            the whole solver as a QCircuit
)DOC");

    alg.method("__init__", kavrel_alg_init,
               {arg("self"), arg("matrix_A").typed("list[complex] | list[float] | list[int]"),
                arg("data_b").typed("list[float] | list[int]"),
                arg("precision_cnt", 0).typed("int"), returns("None")},
               "Checks the system (ValueError, TypeError) and builds its circuit.");

    alg.method("solve", kavrel_alg_solve, {arg("self"), returns("list[complex]")}, R"DOC(
x as a list of Python complex numbers: the circuit is run from |0...0>, and the
amplitudes with the ancilla at 1 and the eigenvalue register at 0, at system
indices solution_offset .. solution_offset + unknowns - 1, times scale; the
entries from `unknowns` to `size` are 0.
)DOC");
    alg.finish();

    m.def("_build_Kavrel_circuit", build_Kavrel_circuit,
          {arg("matrix_A").typed("list[complex] | list[float] | list[int]"),
           arg("data_b").typed("list[float] | list[int]"), arg("precision_cnt", 0).typed("int"),
           returns("kestrix.core.QCircuit")},
          R"DOC(
The whole HHL circuit for A x = b as a QCircuit (registers in the module's
documentation). matrix_A is N x N flattened row by row, N a power of two;
data_b holds N real numbers, not all zero. Running it from |0...0> and reading
the amplitudes with the ancilla at 1 and the register at 0 gives x / (|b| 2^f),
f = ceil(log2(10^precision_cnt)).
)DOC");

    m.def("_expand_linear_equations", expand_linear_equations,
          {arg("matrix_A").typed("list[complex] | list[float] | list[int]"),
           arg("data_b").typed("list[float] | list[int]"), returns("list[typing.Any]")},
          R"DOC(
[matrix, vector]: the M x M system (matrix_A flattened row by row, data_b of M
real numbers) placed in the top-left corner of an N x N system, N the next
power of two, every added entry 0. The matrix comes back flattened as complex
numbers, the vector as floats; a power-of-two system comes back unchanged.
)DOC");

    m.def("_Kavrel_solve_linear_equations", Kavrel_solve_linear_equations,
          {arg("matrix_A").typed("list[complex] | list[float] | list[int]"),
           arg("data_b").typed("list[float] | list[int]"), arg("precision_cnt", 0).typed("int"),
           returns("list[complex]")},
          R"DOC(
x for A x = b as a list of Python complex numbers, read from the simulated HHL
circuit (see the module's documentation).

matrix_A is N x N flattened row by row (real or complex), N a power of two, and
non-singular; an expanded system (a zero block after the original one, data_b 0
there) is accepted, and its padding entries of x are 0. data_b holds N real
numbers; if all are 0, x is 0. precision_cnt decimal digits set the eigenvalue
resolution 2^-f, f = ceil(log2(10^precision_cnt)); every |eigenvalue| of A (or
singular value, for a non-Hermitian A) must be at least that.

Accuracy: eigenvalues that are multiples of 2^-f are estimated exactly and x is
exact to rounding; other eigenvalues spread over neighbouring register values,
so x is approximate (see docs/modules/kavrel.md for measured errors per precision_cnt).

Raises:
    TypeError: non-numeric entries, complex entries in data_b, a non-integer
        precision_cnt.
    ValueError: a length that is not a square, data_b of the wrong length, a
        size that is not a power of two, NaN, infinite or out-of-range entries,
        a singular or inconsistent system, an eigenvalue below the resolution,
        or a system or register too wide for the simulator.
)DOC");
}
