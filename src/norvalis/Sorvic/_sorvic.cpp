// norvalis.Sorvic._sorvic: the native variational eigensolver behind norvalis.Sorvic.
//
// The smallest eigenvalue of a real symmetric matrix H is the minimum over states of
// <psi|H|psi>. The solver pads H to 2^n x 2^n, prepares psi with the hardware-efficient
// ansatz on n qubits (simulated by kestrix), and minimises the exact energy with BFGS on
// its adjoint-method gradient. Everything runs in C++; NumPy only reads the matrix in.
#include <nanobind/stl/string.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>
#include <vector>

#include "ansatz.h"
#include "energy.h"
#include "minimise.h"
#include "norvalis/frame/frame.h"

namespace {

using namespace norvalis::frame;
using namespace norvalis::sorvic;

// A matrix divided by `unit`, its infinity norm, and padded to a power of two: its energies
// lie in [-2, 2], so the optimiser's steps and tolerances suit a matrix in any unit, tiny
// or near the double range.
struct Hamiltonian {
    int qubits = 1;
    std::vector<double> matrix;  // row-major, 2^qubits x 2^qubits
    double unit = 1;
};

// The optimiser keeps a dense n x n inverse Hessian and updates all of it at each step:
// 4096 angles take 128 MiB and minutes; many more would exhaust memory.
constexpr size_t kMaxSolverAngles = 4096;

int qubit_count(nb::handle value) {
    if (!kestrix::py::is_integer_scalar(value)) {
        raise(PyExc_TypeError, "qubit_num must be an integer, got %s",
              Py_TYPE(value.ptr())->tp_name);
    }
    nb::object index = as_index(value);
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow < 0 || (overflow == 0 && n < 1))
        raise(PyExc_ValueError, "qubit_num must be at least 1, got %S", index.ptr());
    if (overflow > 0 || n > (1 << 20))
        raise(PyExc_ValueError, "qubit_num %S is too large", index.ptr());
    return int(n);
}

// The angles of a list or array, read once from a snapshot (user code may run meanwhile).
std::vector<double> read_angles(nb::handle values, const char* name) {
    if (PyUnicode_Check(values.ptr()) || PyBytes_Check(values.ptr()))
        raise(PyExc_TypeError, "%s must be a sequence of real numbers, got %s", name,
              Py_TYPE(values.ptr())->tp_name);
    nb::object items = nb::steal(PySequence_List(values.ptr()));
    if (!items.is_valid()) {
        PyErr_Clear();
        raise(PyExc_TypeError, "%s must be a sequence of real numbers, got %s", name,
              Py_TYPE(values.ptr())->tp_name);
    }
    std::vector<double> angles;
    const std::string what = std::string("an angle of ") + name;
    for (nb::handle item : items) angles.push_back(to_angle(item, what.c_str()));
    return angles;
}

int64_t whole_layers(size_t count, int qubits, const char* name) {
    const int64_t per_layer = angles_per_layer(qubits);
    if (count == 0 || count % per_layer != 0) {
        raise(PyExc_ValueError,
              "%s must hold a whole number of layers of %lld angles for %d qubit%s, got %zu "
              "angles",
              name, (long long)per_layer, qubits, qubits == 1 ? "" : "s", count);
    }
    return int64_t(count) / per_layer;
}

// The matrix as a C-contiguous float64 NumPy array, after the checks NumPy cannot make. A
// kestrix PauliSum stands for its dense matrix, which must then be real.
nb::object real_square_array(const Call& call, nb::handle matrix) {
    nb::object np = call.global("np");
    nb::object source = nb::borrow(matrix);
    if (nb::isinstance(matrix, call.global("PauliSum"))) {
        source = matrix.attr("to_matrix")();
        if (truthy(np.attr("any")(source.attr("imag")))) {
            raise(PyExc_ValueError,
                  "the PauliSum's matrix is complex (a term with an odd number of Y factors): "
                  "the solver takes real symmetric matrices");
        }
    }
    nb::object array = np.attr("asarray")(source);
    const std::string kind = nb::cast<std::string>(array.attr("dtype").attr("kind"));
    if (kind == "c") {
        if (truthy(np.attr("any")(array.attr("imag")))) {
            raise(PyExc_ValueError, "matrix must be real: complex entries are not supported");
        }
        array = array.attr("real");
    } else if (kind == "O") {
        array = np.attr("asarray")(array, nb::arg("dtype") = np.attr("float64"));
    } else if (kind != "b" && kind != "i" && kind != "u" && kind != "f") {
        raise(PyExc_ValueError, "matrix must hold real numbers, got dtype %S",
              array.attr("dtype").ptr());
    }
    nb::object shape = array.attr("shape");
    if (length(shape) != 2 || !item(shape, 0).equal(item(shape, 1)))
        raise(PyExc_ValueError, "matrix must be square and two-dimensional, got shape %S",
              shape.ptr());
    if (nb::cast<Py_ssize_t>(item(shape, 0)) == 0) raise(PyExc_ValueError, "matrix is empty");
    return np.attr("ascontiguousarray")(array, nb::arg("dtype") = np.attr("float64"));
}

// The symmetric matrix in units of its infinity norm, padded with a diagonal one unit
// above its Gershgorin bound, so that the padding adds only eigenvalues larger than every
// original one, by a margin that scales with the matrix.
Hamiltonian read_hamiltonian(const Call& call, nb::handle matrix) {
    nb::object array = real_square_array(call, matrix);
    Py_buffer view;
    if (PyObject_GetBuffer(array.ptr(), &view, PyBUF_C_CONTIGUOUS) != 0) throw nb::python_error();
    const double* data = static_cast<const double*>(view.buf);
    const size_t m = size_t(std::llround(std::sqrt(double(view.len / sizeof(double)))));
    std::vector<double> a(data, data + m * m);
    PyBuffer_Release(&view);

    double largest = 0;
    for (double v : a) {
        if (!std::isfinite(v))
            raise(PyExc_ValueError, "matrix must be finite, got %R", nb::float_(v).ptr());
        largest = std::max(largest, std::abs(v));
    }
    for (size_t r = 0; r < m; ++r) {
        for (size_t c = 0; c < r; ++c) {
            const double upper = a[c * m + r], lower = a[r * m + c];
            if (std::abs(upper - lower) > 1e-10 * largest) {
                raise(PyExc_ValueError,
                      "matrix must be symmetric: entry (%zu, %zu) is %R but (%zu, %zu) is %R", r, c,
                      nb::float_(lower).ptr(), c, r, nb::float_(upper).ptr());
            }
            a[c * m + r] = a[r * m + c] = (upper + lower) / 2;  // exactly symmetric
        }
    }

    Hamiltonian h;
    h.qubits = std::max(1, int(std::bit_width(m - 1)));
    const size_t dim = size_t{1} << h.qubits;
    double gershgorin = -INFINITY, norm = 0;
    for (size_t r = 0; r < m; ++r) {
        double radius = 0;
        for (size_t c = 0; c < m; ++c) radius += c == r ? 0 : std::abs(a[r * m + c]);
        gershgorin = std::max(gershgorin, a[r * m + r] + radius);
        norm = std::max(norm, radius + std::abs(a[r * m + r]));
    }
    if (!std::isfinite(norm))
        raise(PyExc_ValueError, "matrix is too large: its row sums overflow a double");
    h.unit = norm > 0 ? norm : 1.0;
    const double pad = gershgorin / h.unit + 1;
    h.matrix.assign(dim * dim, 0.0);
    for (size_t r = 0; r < dim; ++r) {
        for (size_t c = 0; c < dim; ++c)
            h.matrix[r * dim + c] = r < m && c < m ? a[r * m + c] / h.unit : (r == c ? pad : 0.0);
    }
    return h;
}

Circuit HardwareEfficientCircuit(const Call& call) {
    auto [qubit_num, para_list] = call.args<2>();
    const int qubits = qubit_count(qubit_num);
    const std::vector<double> angles = read_angles(para_list, "para_list");
    const int64_t layers = whole_layers(angles.size(), qubits, "para_list");
    return ansatz_circuit(ansatz_layout(qubits, layers), angles);
}

// restarts: a non-negative integer (not a bool).
long long restart_count(nb::handle value) {
    if (!kestrix::py::is_integer_scalar(value)) {
        raise(PyExc_TypeError, "restarts must be an integer, got %s",
              Py_TYPE(value.ptr())->tp_name);
    }
    nb::object index = as_index(value);
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow < 0 || (overflow == 0 && n < 0))
        raise(PyExc_ValueError, "restarts must not be negative, got %S", index.ptr());
    if (overflow > 0) raise(PyExc_ValueError, "restarts %S is too large", index.ptr());
    return n;
}

// tol: a positive, finite real number (not a bool).
double gradient_tolerance(nb::handle value) {
    if (PyBool_Check(value.ptr()) || !PyNumber_Check(value.ptr()) || PyComplex_Check(value.ptr())) {
        raise(PyExc_TypeError, "tol must be a real number, got %s", Py_TYPE(value.ptr())->tp_name);
    }
    const double tol = as_double(value);
    if (!(tol > 0) || !std::isfinite(tol))
        raise(PyExc_ValueError, "tol must be positive and finite, got %R", nb::float_(tol).ptr());
    return tol;
}

double sorvic_solver(const Call& call) {
    auto [matrix, para, restarts_in, tol_in, seed] = call.args<5>();
    const Hamiltonian h = read_hamiltonian(call, matrix);
    std::vector<double> angles = read_angles(para, "para");
    const int64_t layers = whole_layers(angles.size(), h.qubits, "para");
    if (angles.size() > kMaxSolverAngles) {
        raise(PyExc_ValueError, "para holds %zu angles; the solver optimises at most %zu",
              angles.size(), kMaxSolverAngles);
    }
    const long long restarts = restart_count(restarts_in);
    MinimiseOptions options;
    options.gradient_tolerance = gradient_tolerance(tol_in);
    // Further starts come from NumPy's global generator, as the SDK's sampling does, unless
    // a seed is given; none is drawn without restarts, so the default call draws nothing.
    nb::object generator;
    if (restarts > 0) {
        nb::object random = call.global("np").attr("random");
        generator = seed.is_none() ? random : random.attr("default_rng")(seed);
    }
    Energy energy(h.qubits, h.matrix, ansatz_layout(h.qubits, layers));
    const Objective objective = [&](std::span<const double> x, std::span<double> g) {
        if (PyErr_CheckSignals() != 0) throw nb::python_error();  // Ctrl-C
        return energy(x, g);
    };
    const size_t count = angles.size();
    double best = minimise(objective, std::move(angles), options).value;
    for (long long start = 0; start < restarts; ++start) {
        nb::object drawn = generator.attr("uniform")(-std::numbers::pi, std::numbers::pi, count);
        best = std::min(best, minimise(objective, read_angles(drawn, "para"), options).value);
    }
    return best * h.unit;
}

}  // namespace

NORVALIS_MODULE(_sorvic, m) {
    m.import_from("kestrix.core", {"QCircuit"});          // the type the circuits are returned as
    m.import_from("kestrix.quantum_info", {"PauliSum"});  // an observable taken as its matrix
    m.import_as("numpy", "np");

    m.def("_HardwareEfficientCircuit", HardwareEfficientCircuit,
          {arg("qubit_num"), arg("para_list")}, R"DOC(
The hardware-efficient ansatz on qubits 0 .. qubit_num - 1 as a QCircuit.

Each layer applies RZ, RX, RZ to qubit 0, then to qubit 1, and so on; from two
qubits on it ends with a ring of controlled RY gates: an RY on qubit q + 1
controlled by qubit q for q = 0 .. n - 2, then an RY on qubit 0 controlled by
qubit n - 1. A layer thus takes 3 angles on one qubit and 4 * qubit_num angles
on more, used in gate order; para_list holds one or more whole layers.

Raises:
    TypeError: qubit_num is not an integer, or para_list is not a sequence of
        real numbers.
    ValueError: qubit_num is below 1, an angle is not finite, or the length of
        para_list is not a whole number of layers.
)DOC");

    m.def("_sorvic_solver", sorvic_solver,
          {arg("matrix"), arg("para"), arg("restarts", 0), arg("tol", 1e-10),
           arg("seed", nb::none())},
          R"DOC(
The smallest eigenvalue of a real symmetric matrix (a NumPy array or nested
list, or a kestrix PauliSum, taken as its to_matrix()) found variationally,
as a float.

The matrix is padded to 2^n x 2^n (n >= 1) with a diagonal value above its
Gershgorin bound by its infinity norm (by one for a zero matrix), so the
padding never lowers the minimum. The hardware-
efficient ansatz on n qubits (see _HardwareEfficientCircuit) starts from the
angles `para`, whose length fixes the number of layers, and BFGS minimises the
exact energy <psi|H|psi> of the simulated state using its exact gradient
(adjoint method), until every derivative is below 1e-10 times the matrix's
infinity norm. It works on the matrix divided by that norm, so a matrix in any
unit, however small or large its entries, converges alike. Stationary points
that are not minima are left by probing each angle a quarter, half and whole
turn away. No random numbers are drawn.

The result is a variational upper bound: it never lies below the true smallest
eigenvalue (beyond rounding) and reaches it where the ansatz can express the
ground state from the given start. One layer on one or two qubits and two
layers on three reach it from most starts; a single layer on three qubits
often does not (see docs/modules/sorvic.md).

Options (their defaults give the run above):
    restarts: further starts after `para`, each of len(para) angles drawn
        uniformly from [-pi, pi); the lowest energy of all is returned. The
        angles come from numpy.random.default_rng(seed), or from NumPy's
        global generator when seed is None (np.random.seed repeats them).
        On 10 random 16 x 16 matrices two layers reached the smallest
        eigenvalue (to 1e-4) from 6 starts, 9 with restarts=1 and all 10
        with restarts=3; three layers from all 10 without restarts (see
        docs/modules/sorvic.md, up to 64 x 64).
    tol: BFGS stops once every derivative is below tol times the matrix's
        infinity norm (positive and finite).
    seed: an int, a SeedSequence or a numpy Generator; used only with
        restarts.

Raises:
    TypeError: para is not a sequence of real numbers; restarts is not an
        integer; tol is not a real number.
    ValueError: the matrix is not square, is empty, not real, not finite or not
        symmetric (to 1e-10 of its largest entry); an angle is not finite; the
        length of para is not a whole number of layers for n qubits; para
        holds more than 4096 angles (the optimiser keeps one number per pair
        of angles); restarts is negative; tol is not positive and finite; a
        PauliSum's matrix is complex.
)DOC");
}
