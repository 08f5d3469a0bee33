// norvalis.QSVM.ostrakin: a quantum kernel for support-vector classification. Each entry
// of the Gram matrix is the share of 1024 shots in which the overlap circuit (the feature
// map of one sample, then the inverse map of the other) leaves every qubit in 0.
//
// Kernel entries are built and run entirely in C++: all circuits of a batch are built
// first, then their seeds are drawn from NumPy (one per computed pair, row-major), then
// they run together over the engine's threads, then their values are written. Each entry
// equals what _run_circuit returns for that pair under the same NumPy state.
#include <nanobind/ndarray.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "norvalis/frame/frame.h"

namespace {

using namespace norvalis::frame;

constexpr uint64_t kShots = 1024;
// The value of an entry whose all-zero outcome never came up in its shots.
constexpr double kNoZeroShots = 0.0001;
constexpr double kPi = std::numbers::pi;
// At most this many programs are held at once (a few MiB), whatever the batch size: a
// batch only groups the runs, so splitting it further changes no value.
constexpr Py_ssize_t kMaxPendingPrograms = 4096;

using RealMatrix = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using KernelMatrix = nb::ndarray<double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

// One repetition's single-qubit layer: a Hadamard (U2(0, pi)) then the phase 2 x[i].
void hadamard_phase_layer(Circuit& c, std::span<const int> q, int layers, const double* x) {
    for (int i = 0; i < layers; ++i) {
        c.append(make_gate(GateKind::U2, {q[i]}, {0.0, kPi}));
        c.append(make_gate(GateKind::U1, {q[i]}, {2.0 * x[i]}));
    }
}

// The inverse of that layer: the phase -2 y[i], then the Hadamard.
void inverse_phase_hadamard_layer(Circuit& c, std::span<const int> q, int layers, const double* y) {
    for (int i = 0; i < layers; ++i) {
        c.append(make_gate(GateKind::U1, {q[i]}, {-2.0 * y[i]}));
        c.append(make_gate(GateKind::U2, {q[i]}, {0.0, kPi}));
    }
}

double pair_phase(const double* v) { return 2.0 * (kPi - v[0]) * (kPi - v[1]); }
double inverse_pair_phase(const double* v) { return -2.0 * (kPi - v[0]) * (kPi - v[1]); }

// The overlap circuit: the feature map of x twice, then the inverse map of y twice. The
// closing CNOT of the x part and the opening CNOT of the y part cancel, so the middle
// pair phases share one CNOT on each side. `q`, `x` and `y` hold at least max(layers, 2)
// entries; only features 0 and 1 enter the pair phase.
Circuit overlap_circuit(std::span<const int> q, int layers, const double* x, const double* y) {
    const Gate cnot = make_gate(GateKind::CNOT, {q[0], q[1]});
    Circuit c;
    hadamard_phase_layer(c, q, layers, x);
    c.append(cnot);
    c.append(make_gate(GateKind::U1, {q[1]}, {pair_phase(x)}));
    c.append(cnot);
    hadamard_phase_layer(c, q, layers, x);
    c.append(cnot);
    c.append(make_gate(GateKind::U1, {q[1]}, {pair_phase(x)}));
    c.append(make_gate(GateKind::U1, {q[1]}, {inverse_pair_phase(y)}));
    c.append(cnot);
    inverse_phase_hadamard_layer(c, q, layers, y);
    c.append(cnot);
    c.append(make_gate(GateKind::U1, {q[1]}, {inverse_pair_phase(y)}));
    c.append(cnot);
    inverse_phase_hadamard_layer(c, q, layers, y);
    return c;
}

// The 1024-shot program of one pair on qubits 0..n-1, every qubit measured into its own
// classical bit. n >= 2 and both vectors have at least n features.
Program overlap_program(int n, const double* x, const double* y) {
    std::vector<int> q(n);
    for (int k = 0; k < n; ++k) q[k] = k;
    Program program{overlap_circuit(q, n, x, y), n};
    for (int k = 0; k < n; ++k) program.circuit.append(make_measure(k, k));
    return program;
}

// The subscriptions of the overlap circuit, checked in the order they are made: the
// features 0 .. n-1, then qubit 1 of the register (features 0 and 1 follow, and exist
// once both checks pass). The IndexErrors end with the words of the subscriptions that
// fail.
void check_overlap_shape(int n, Py_ssize_t features) {
    if (features < n) {
        raise(PyExc_IndexError,
              "the samples have %zd feature%s but n_qbits is %d: each qubit encodes one "
              "feature, so n_qbits can be at most the number of features (index %zd is out of "
              "bounds for axis 0 with size %zd)",
              features, features == 1 ? "" : "s", n, features, features);
    }
    if (n < 2) {
        raise(PyExc_IndexError,
              "n_qbits must be at least 2, got %d: the feature map's pair phase acts on qubits 0 "
              "and 1 (list index out of range)",
              n);
    }
}

// Share of the shots that read all zeros, or kNoZeroShots when none did.
double zero_share(const kestrix::Result& result) {
    const auto& counts = result.counts();
    if (counts.empty() || !counts.front().first.is_zero()) return kNoZeroShots;
    return double(counts.front().second) / double(result.shots());
}

// Where the runs' seeds come from: NumPy's global generator (no source), or a caller's
// numpy.random.RandomState, one random_sample() per run scaled as the global draw is.
struct SeedSource {
    nb::object random_state;

    std::vector<kestrix::Result> run(const std::vector<Program>& programs) const {
        if (!random_state.is_valid() || random_state.is_none())
            return kestrix::py::run_programs(programs, kShots);
        std::vector<uint64_t> seeds;
        seeds.reserve(programs.size());
        nb::object draw = random_state.attr("random_sample");
        for (size_t k = 0; k < programs.size(); ++k)
            seeds.push_back(uint64_t(as_double(draw()) * 0x1.0p53));
        return kestrix::py::run_programs(programs, kShots, std::span<const uint64_t>(seeds));
    }
};

// Runs the programs as one engine batch and reads their all-zero shares. The batch draws
// one seed per program, in order, before any runs: the seeds one run_program per program
// would draw.
std::vector<double> zero_shares(const std::vector<Program>& programs, const SeedSource& seeds) {
    std::vector<double> shares;
    shares.reserve(programs.size());
    for (const kestrix::Result& result : seeds.run(programs)) shares.push_back(zero_share(result));
    return shares;
}

// Reads q[0..count-1] as qubits and x[0..count-1], y[0..count-1] as reals, through the
// object protocol, so any sequence indexes as in Python.
struct OverlapInputs {
    std::vector<int> qubits;
    std::vector<double> x, y;
};

OverlapInputs read_inputs(nb::handle qlist, nb::handle weights_x, nb::handle weights_y, int count) {
    OverlapInputs in;
    for (int i = 0; i < count; ++i) {
        in.qubits.push_back(to_index(item(qlist, i), "qubit"));
        in.x.push_back(as_double(item(weights_x, i)));
    }
    for (int i = 0; i < count; ++i) in.y.push_back(as_double(item(weights_y, i)));
    return in;
}

// The number of qubits as QProg(n) reads it.
int qubit_count(nb::handle n_qbits) { return to_index(n_qbits, "number of qubits"); }

// The number of qubits behind the all-zeros key "0" * n_qbits: a value that cannot repeat
// a string (None while n_qbits is unset) fails as that repetition does, a TypeError ending
// in its words, without building the string.
int qubit_count_of_key(nb::handle n_qbits) {
    if (n_qbits.is_none()) {
        raise(PyExc_TypeError,
              "n_qbits is required: the number of qubits of the feature map, one per feature, "
              "as in QuantumKernel_lumet(n_qbits=2) (can't multiply sequence by non-int of "
              "type 'NoneType')");
    }
    if (!PyIndex_Check(n_qbits.ptr())) {
        raise(PyExc_TypeError,
              "n_qbits must be an int, the number of qubits of the feature map, got %R "
              "(can't multiply sequence by non-int of type '%.200s')",
              n_qbits.ptr(), Py_TYPE(n_qbits.ptr())->tp_name);
    }
    return qubit_count(n_qbits);
}

// Feature rows as a C-contiguous float64 matrix. Complex and non-numeric data are refused:
// a phase angle is a real number.
nb::object real_matrix(nb::handle np, nb::handle array, const char* name) {
    const std::string_view kind = nb::str(array.attr("dtype").attr("kind")).c_str();
    if (kind.find_first_of("biufO") == std::string_view::npos) {
        raise(PyExc_TypeError, "%s must hold real numbers, got dtype %S", name,
              array.attr("dtype").ptr());
    }
    return np.attr("ascontiguousarray")(array, nb::arg("dtype") = np.attr("float64"));
}

// `value` as an ndarray, converted only when it is not one already.
nb::object as_array(nb::handle np, nb::handle value) {
    return nb::isinstance(value, np.attr("ndarray")) ? nb::borrow(value)
                                                     : np.attr("asarray")(value);
}

// A 1-D or 2-D array as rows of samples (a 1-D array is one sample).
nb::object as_sample_rows(nb::handle np, nb::object array, const char* name) {
    const Py_ssize_t ndim = nb::cast<Py_ssize_t>(array.attr("ndim"));
    // A 0-D array (a bare number) is not a sample either.
    if (ndim > 2 || ndim == 0) raise(PyExc_ValueError, "%s must be a 1D or 2D array", name);
    if (ndim == 1) {
        array = np.attr("reshape")(array, nb::make_tuple(-1, nb::len(array)));
    }
    return array;
}

Py_ssize_t dim(nb::handle array, int axis) {
    return nb::cast<Py_ssize_t>(array.attr("shape")[axis]);
}

// The kernel entries, pair by pair in row-major order: the strict upper triangle when
// `symmetric`, else every (row of x, row of y). Pairs whose samples are equal element for
// element get 1.0 without a circuit; the others are run `batch` pairs at a time.
void fill_kernel(double* kernel, const RealMatrix& x, const RealMatrix& y, bool symmetric, int n,
                 Py_ssize_t batch, const SeedSource& seeds, Progress& progress) {
    // Batches only group the runs: under an executor they grow to spread over its workers.
    const Py_ssize_t limit = Py_ssize_t(kestrix::py::pending_programs_limit());
    batch = limit > kMaxPendingPrograms ? limit : std::min(batch, kMaxPendingPrograms);
    const Py_ssize_t rows = Py_ssize_t(x.shape(0)), cols = Py_ssize_t(y.shape(0));
    const Py_ssize_t features = Py_ssize_t(x.shape(1));
    auto set = [&](Py_ssize_t i, Py_ssize_t j, double value) {
        kernel[i * cols + j] = value;
        if (symmetric) kernel[j * cols + i] = value;
    };
    Py_ssize_t i = 0, j = symmetric ? 1 : 0;
    auto advance = [&]() {
        if (++j < cols) return;
        ++i;
        j = symmetric ? i + 1 : 0;
    };
    auto remaining = [&]() { return i < rows && j < cols; };

    std::vector<Program> programs;
    std::vector<std::pair<Py_ssize_t, Py_ssize_t>> places;
    while (remaining()) {
        programs.clear();
        places.clear();
        for (Py_ssize_t taken = 0; taken < batch && remaining(); ++taken, advance()) {
            const double* xi = x.data() + i * features;
            const double* yj = y.data() + j * features;
            if (std::equal(xi, xi + features, yj)) {
                set(i, j, 1.0);  // the fidelity of a state with itself
                continue;
            }
            check_overlap_shape(n, features);
            programs.push_back(overlap_program(n, xi, yj));
            places.emplace_back(i, j);
        }
        const std::vector<double> values = zero_shares(programs, seeds);
        for (size_t k = 0; k < places.size(); ++k)
            set(places[k].first, places[k].second, values[k]);
        progress.advance(Py_ssize_t(places.size()));
    }
}

// The batch size as a range() step reads it, refused below 1.
Py_ssize_t batch_size_of(nb::handle value) {
    nb::object index = as_index(value);
    if (index < nb::int_(1))
        raise(PyExc_ValueError, "batch_size must be at least 1, got %S", index.ptr());
    return PyNumber_AsSsize_t(index.ptr(), nullptr);  // clipped: a step past the end is one batch
}

Circuit build_circuit(const Call& call) {
    auto [qlist, n_qbits, weights_x, weights_y] = call.args<4>();
    nb::object count = as_index(n_qbits);
    const int layers = int(std::clamp<long long>(as_long(count), 0, INT32_MAX));
    const OverlapInputs in = read_inputs(qlist, weights_x, weights_y, std::max(layers, 2));
    return overlap_circuit(in.qubits, layers, in.x.data(), in.y.data());
}

nb::object run_circuit(const Call& call) {
    auto [n_qbits, weights_x, weights_y] = call.args<3>();
    const int n = qubit_count(n_qbits);
    // Before listing the qubits: a list of 2**31 of them would exhaust memory first.
    if (n >= kestrix::kMaxQubits) {
        raise(PyExc_ValueError, "n_qbits is %d: qubits are numbered below %d", n,
              kestrix::kMaxQubits);
    }
    kestrix::check_fits_in_memory(n);
    nb::list qlist;
    for (int k = 0; k < n; ++k) qlist.append(k);
    const OverlapInputs in = read_inputs(qlist, weights_x, weights_y, std::max(n, 2));
    const kestrix::Result result =
        run_program(overlap_program(n, in.x.data(), in.y.data()), kShots);
    nb::dict counts;
    for (auto [outcome, shots] : result.counts()) {
        std::string key(size_t(n), '0');
        for (int k = 0; k < n; ++k)
            if (outcome.bit(size_t(k))) key[size_t(n - 1 - k)] = '1';
        counts[key.c_str()] = shots;
    }
    return counts;
}

void quantum_kernel_lumet_init(const Call& call) {
    auto [self, batch_size, n_qbits] = call.args<3>();
    check_exact_type(batch_size, &PyLong_Type, "batch_size");
    // A step below 1 would give an unfilled matrix (or fail later in range).
    if (batch_size < nb::int_(1)) {
        raise(PyExc_ValueError, "batch_size must be at least 1, got %S", batch_size.ptr());
    }
    nb::setattr(self, "_batch_size", batch_size);
    nb::setattr(self, "_n_qbits", n_qbits);
}

// evaluate's steps, with the seeds from `seeds` and a progress bar over the computed entries
// when `verbose`.
nb::object kernel_matrix(const Call& call, nb::handle self, nb::handle x_arg, nb::handle y_arg,
                         const SeedSource& seeds, nb::handle verbose) {
    nb::object np = call.global("np");
    // Both are converted before either is checked.
    nb::object x_vec = as_array(np, x_arg);
    nb::object y_vec;
    if (!y_arg.is_none()) y_vec = as_array(np, y_arg);
    x_vec = as_sample_rows(np, x_vec, "x_vec");
    if (y_vec.is_valid()) y_vec = as_sample_rows(np, y_vec, "y_vec");
    if (y_vec.is_valid() && dim(y_vec, 1) != dim(x_vec, 1)) {
        raise(PyExc_ValueError,
              "x_vec and y_vec have incompatible dimensions.\nx_vec has %zd "
              "dimensions, but y_vec has %zd.",
              dim(x_vec, 1), dim(y_vec, 1));
    }
    const bool symmetric = !y_vec.is_valid() || truthy(np.attr("array_equal")(x_vec, y_vec));
    if (!y_vec.is_valid()) y_vec = x_vec;
    nb::object kernel = np.attr("zeros")(nb::make_tuple(dim(x_vec, 0), dim(y_vec, 0)));
    if (symmetric) np.attr("fill_diagonal")(kernel, 1);
    const int n = qubit_count_of_key(self.attr("_n_qbits"));
    const Py_ssize_t batch = batch_size_of(self.attr("_batch_size"));

    nb::object x_data = real_matrix(np, x_vec, "x_vec");
    nb::object y_data = symmetric ? x_data : real_matrix(np, y_vec, "y_vec");
    const Py_ssize_t rows = dim(x_vec, 0), cols = dim(y_vec, 0);
    Progress progress(verbose, "kernel entries", symmetric ? rows * (rows - 1) / 2 : rows * cols);
    fill_kernel(nb::cast<KernelMatrix>(kernel).data(), nb::cast<RealMatrix>(x_data),
                nb::cast<RealMatrix>(y_data), symmetric, n, batch, seeds, progress);
    progress.close();
    if (!symmetric) return kernel;
    // eigh: orthonormal eigenvectors even for repeated eigenvalues, and a real result that
    // SVC(kernel="precomputed") accepts.
    nb::object eigen = np.attr("linalg").attr("eigh")(kernel);
    nb::object clipped = np.attr("diag")(np.attr("maximum")(0, eigen[0]));
    nb::object u = eigen[1];
    return np.attr("matmul")(np.attr("matmul")(u, clipped), u.attr("transpose")());
}

nb::object quantum_kernel_lumet_evaluate(const Call& call) {
    auto [self, x_arg, y_arg] = call.args<3>();
    return kernel_matrix(call, self, x_arg, y_arg, SeedSource{}, nb::bool_(false));
}

nb::object quantum_kernel_lumet_evaluate_with(const Call& call) {
    auto [self, x_arg, y_arg, random_state, verbose] = call.args<5>();
    if (!random_state.is_none() && !nb::hasattr(random_state, "random_sample")) {
        raise(PyExc_TypeError,
              "random_state must be None or a numpy.random.RandomState, got %.200s",
              Py_TYPE(random_state.ptr())->tp_name);
    }
    return kernel_matrix(call, self, x_arg, y_arg, SeedSource{nb::borrow(random_state)}, verbose);
}

}  // namespace

NORVALIS_MODULE(ostrakin, m) {
    m.import_as("numpy", "np");
    m.import_from("kestrix.core", {"CPUQVM", "QCircuit", "QProg", "CNOT", "U1", "U2", "measure"});
    m.import_star("plugin", 2);

    m.def("_build_circuit", build_circuit,
          {arg("qlist"), arg("n_qbits"), arg("weights_x"), arg("weights_y")}, R"DOC(
The overlap circuit of two feature vectors, as a QCircuit: the feature map of
weights_x applied twice, then the inverse feature map of weights_y twice.

One repetition of the map is U2(q, 0, pi) (a Hadamard) and U1(q, 2 x[i]) on
each of the first n_qbits qubits, then the pair phase
2 (pi - x[0]) (pi - x[1]) on qubit 1 between two CNOTs controlled by qubit 0.
Only features 0 and 1 enter the pair phase. Too few qubits in qlist or too
few features raise IndexError.
)DOC");

    m.def("_run_circuit", run_circuit, {arg("n_qbits"), arg("weights_x"), arg("weights_y")}, R"DOC(
The shot counts {bit string: shots} of one 1024-shot run of the overlap
circuit on qubits 0 .. n_qbits-1, every qubit measured into its own
classical bit; the all-zeros key is "0" * n_qbits. The run is seeded from
NumPy's global generator.
)DOC");

    auto kernel = m.define_class("QuantumKernel_lumet", R"DOC(
A help class that builds the quantum kernel matrix for use with sklearn.svm.

evaluate(x_vec, y_vec=None) has the shape of a scikit-learn kernel: pass the
bound method as SVC(kernel=qk.evaluate), or pass evaluate(X_train) and
evaluate(X_test, X_train) to SVC(kernel="precomputed").
)DOC");

    kernel.method("__init__", quantum_kernel_lumet_init,
                  {arg("self"), arg("batch_size", 100), arg("n_qbits", nb::none())}, R"DOC(
batch_size (exactly an int, at least 1) is how many index pairs are
collected before their circuits run; it changes no value. n_qbits is the
number of qubits of every kernel circuit, stored as given.
)DOC");

    kernel.method("evaluate", quantum_kernel_lumet_evaluate,
                  {arg("self"), arg("x_vec"), arg("y_vec", nb::none())}, R"DOC(
The quantum kernel matrix of shape (rows of x_vec, rows of y_vec): entry
(i, j) is the share of 1024 shots in which the overlap circuit of x_vec[i]
and y_vec[j] reads all zeros (0.0001 when no shot does). A 1-D array is one
sample. Every computed entry draws one seed from NumPy's global generator,
pairs in row-major order, so np.random.seed makes a kernel repeatable and
the batch size changes nothing.

Without y_vec, or with a y_vec equal to x_vec, the case is symmetric: only
the strict upper triangle is run, mirrored, with 1 on the diagonal, and the
matrix is then projected onto the positive-semidefinite cone with
np.linalg.eigh (negative eigenvalues set to 0), giving a real float matrix.

An entry whose two samples are equal element for element is 1.0, the
fidelity of a state with itself, and runs no circuit. Features are read as
float64; complex or non-numeric data raise TypeError.
)DOC");

    kernel.method("_evaluate", quantum_kernel_lumet_evaluate_with,
                  {arg("self"), arg("x_vec").typed("numpy.typing.ArrayLike"),
                   arg("y_vec", nb::none()).typed("numpy.typing.ArrayLike | None"),
                   arg("random_state", nb::none()).typed("numpy.random.RandomState | None"),
                   arg("verbose", false).typed("bool"), returns("numpy.ndarray")},
                  R"DOC(
evaluate(x_vec, y_vec) with its seeds drawn from `random_state` (a
numpy.random.RandomState, one random_sample() per computed entry, in the
order evaluate draws them; None: NumPy's global generator, as evaluate) and,
when `verbose`, a progress bar over the computed entries (tqdm's, else a line
on standard error). norvalis.sklearn.QuantumKernel calls it.
)DOC");
    nb::object cls = kernel.finish();

    nb::dict init_annotations;
    init_annotations["batch_size"] = nb::handle(reinterpret_cast<PyObject*>(&PyLong_Type));
    init_annotations["return"] = nb::none();
    nb::setattr(cls.attr("__init__"), "__annotations__", init_annotations);
    nb::object ndarray = m.globals()["np"].attr("ndarray");
    nb::dict evaluate_annotations;
    evaluate_annotations["x_vec"] = ndarray;
    evaluate_annotations["y_vec"] = ndarray;
    evaluate_annotations["return"] = ndarray;
    nb::setattr(cls.attr("evaluate"), "__annotations__", evaluate_annotations);
}
