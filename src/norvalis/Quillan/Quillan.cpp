// norvalis.Quillan.Quillan: support-vector regression with a quantum kernel. Features are
// standardised and brought to two columns; each vector is encoded into a two-qubit state
// and the kernel value of two vectors is the fidelity of their states, read exactly from
// the simulator. scikit-learn's SVR does the regression with that kernel as a callable.
//
// The encoding circuit is reached through self.cir_real and each entry through self.dist,
// so subclasses may replace either; the scikit-learn and Matplotlib names are looked up
// on the module at call time. While both are the class's own, k_kernel builds its
// programs in C++ and runs them as engine batches, with the same values bit for bit.
#include <nanobind/ndarray.h>

#include <optional>
#include <vector>

#include "norvalis/frame/frame.h"

namespace {

using namespace norvalis::frame;

using KernelMatrix = nb::ndarray<double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

// The probability that both qubits read 0, as parse_quantum_result_dict(...)["00"] gives
// it: scaled by the total probability. An outcome of probability exactly 0 gives 0.0.
double both_zero_probability(const std::vector<double>& probs) {
    if (probs[0] == 0) return 0.0;
    double total = 0;
    for (double p : probs) total += p;
    return probs[0] / total;
}

// The encoding circuit of the angles cs on the qubits qb: H on every qubit, RY(qb[i],
// cs[i]), CZ(qb[0], qb[1]), then RX(qb[k], cs[n-1-k]).
Circuit encoding(nb::handle qb, nb::handle cs) {
    const std::vector<int> q = to_index_list(qb, "qubit");
    const size_t n = q.size();
    Circuit c;
    for (int qubit : q) c.append(make_gate(GateKind::H, {qubit}));
    for (size_t i = 0; i < n; ++i)
        c.append(make_gate(GateKind::RY, {q[i]}, {to_angle(item(cs, Py_ssize_t(i)), "angle")}));
    if (n < 2) item(qb, 1);  // raises the sequence's own IndexError
    c.append(make_gate(GateKind::CZ, {q[0], q[1]}));
    for (size_t k = 0; k < n; ++k)
        c.append(
            make_gate(GateKind::RX, {q[k]}, {to_angle(item(cs, Py_ssize_t(n - 1 - k)), "angle")}));
    return c;
}

// The fidelity program of dist: the encoding of x, then the inverse encoding of y.
Program fidelity_program(const Circuit& x, const Circuit& y_inverse) {
    Program prog{Circuit(), 2};
    prog.circuit.append(x);
    prog.circuit.append(y_inverse);
    return prog;
}

// Whether self.dist and self.cir_real are the class's own, so that an entry is the
// fidelity program of the encodings without any user code in between.
bool own_kernel_steps(nb::handle self) {
    return is_original_method(self.attr("dist"), "Quantum_SVR.dist", self) &&
           is_original_method(self.attr("cir_real"), "Quantum_SVR.cir_real");
}

// The kernel matrix through the class's own steps: every encoding built once, in the
// order the entry-by-entry loop first reads it (so a bad row fails as it would there), and
// the fidelity programs run as engine batches in row-major order.
void fill_kernel(double* matrix, nb::handle X, nb::handle Y, Py_ssize_t rows, Py_ssize_t cols) {
    nb::list qv = int_list({0, 1});
    std::vector<std::optional<Circuit>> y_inverse(static_cast<size_t>(cols));
    std::vector<Program> programs;
    size_t done = 0;
    // A few thousand programs at once (a few MiB) however large the matrix; more while an
    // executor takes the batches.
    const size_t pending = kestrix::py::pending_programs_limit();
    auto flush = [&]() {
        for (const std::vector<double>& probs :
             kestrix::py::probabilities_of_programs(programs, std::vector<int>{0, 1}))
            matrix[done++] = both_zero_probability(probs);
        programs.clear();
    };
    for (Py_ssize_t i = 0; i < rows; ++i) {
        nb::object x = item(X, i);
        std::optional<Circuit> x_encoding;
        for (Py_ssize_t j = 0; j < cols; ++j) {
            std::optional<Circuit>& y = y_inverse[size_t(j)];
            nb::object y_row;
            if (!y) y_row = item(Y, j);
            if (!x_encoding) x_encoding = encoding(qv, x);
            if (!y) y = encoding(qv, y_row).daggered();
            programs.push_back(fidelity_program(*x_encoding, *y));
            if (programs.size() == pending) flush();
        }
    }
    flush();
}

// A new SVR with this instance's quantum kernel, fitted to its data.
nb::object fitted_svr(const Call& call, nb::handle self) {
    nb::object svr =
        call.global("SVR")(nb::arg("kernel") = self.attr("k_kernel"), nb::arg("gamma") = 0.1);
    svr.attr("fit")(self.attr("x"), self.attr("y"));
    return svr;
}

// Standardised features brought to two columns: a zero column after a single feature, the
// principal axes of two or more (`projection`, None for one feature).
nb::object two_columns(const Call& call, nb::object x, nb::handle projection) {
    nb::object width = x.attr("shape")[1];
    if (width <= nb::int_(1)) {
        nb::list shape;
        shape.append(nb::len(x));
        shape.append(nb::int_(2) - width);
        return call.global("np").attr("hstack")(
            nb::make_tuple(x, call.global("np").attr("zeros")(shape)));
    }
    return projection.attr("transform")(x);
}

void quantum_svr_init(const Call& call) {
    auto [self, x_arg, y] = call.args<3>();
    nb::object scaler = call.global("StandardScaler")();
    nb::object x = scaler.attr("fit_transform")(x_arg);
    nb::object projection = nb::none();
    if (x.attr("shape")[1] <= nb::int_(1)) {
        x = two_columns(call, x, projection);
    } else {
        projection = call.global("PCA")(nb::arg("n_components") = 2);
        x = projection.attr("fit_transform")(x);
    }
    nb::setattr(self, "x", x);
    nb::setattr(self, "y", y);
    // Kept so that transform can bring new samples the same way.
    nb::setattr(self, "scaler", scaler);
    nb::setattr(self, "projection", projection);
}

nb::object quantum_svr_transform(const Call& call) {
    auto [self, x_new] = call.args<2>();
    nb::object x = self.attr("scaler").attr("transform")(x_new);
    return two_columns(call, x, self.attr("projection"));
}

Circuit quantum_svr_cir_real(const Call& call) {
    auto [qb, cs] = call.args<2>();
    return encoding(qb, cs);
}

double quantum_svr_dist(const Call& call) {
    auto [self, x, y] = call.args<3>();
    nb::object cir_real = self.attr("cir_real");
    nb::list qv = int_list({0, 1});
    Program prog{Circuit(), 2};
    append(prog.circuit, cir_real(qv, x));
    append(prog.circuit, cir_real(qv, y).attr("dagger")());
    // Unmeasured: exact probabilities, and no seed is drawn.
    const kestrix::Result result = run_program(prog, 1000);
    return both_zero_probability(result.probabilities({0, 1}));
}

nb::object quantum_svr_k_kernel(const Call& call) {
    auto [self, X, Y] = call.args<3>();
    const Py_ssize_t rows = length(X), cols = length(Y);
    nb::object matrix = call.global("np").attr("zeros")(nb::make_tuple(rows, cols));
    if (own_kernel_steps(self)) {
        KernelMatrix out;
        if (nb::try_cast(matrix, out) && out.shape(0) == size_t(rows) &&
            out.shape(1) == size_t(cols)) {
            fill_kernel(out.data(), X, Y, rows, cols);
            return matrix;
        }
        // np.zeros gave something else (a replaced np): set item by item.
        std::vector<double> values(size_t(rows) * size_t(cols));
        fill_kernel(values.data(), X, Y, rows, cols);
        for (Py_ssize_t i = 0; i < rows; ++i) {
            nb::object row = matrix[nb::int_(i)];
            for (Py_ssize_t j = 0; j < cols; ++j) row[nb::int_(j)] = values[size_t(i * cols + j)];
        }
        return matrix;
    }
    for (Py_ssize_t i = 0; i < rows; ++i) {
        nb::object row = matrix[nb::int_(i)];
        for (Py_ssize_t j = 0; j < cols; ++j)
            row[nb::int_(j)] = self.attr("dist")(item(X, i), item(Y, j));
    }
    return matrix;
}

nb::object quantum_svr_get_res(const Call& call) {
    auto [self] = call.args<1>();
    nb::object y_ppp = fitted_svr(call, self).attr("predict")(self.attr("x"));
    return nb::make_tuple(y_ppp, self.attr("y"));
}

void quantum_svr_show_res(const Call& call) {
    auto [self] = call.args<1>();
    nb::object np = call.global("np"), plt = call.global("plt");
    nb::object fitted = fitted_svr(call, self);
    nb::object x = self.attr("x");
    nb::object low = call.global("min")(column(x, 0));
    nb::object high = call.global("max")(column(x, 1));
    nb::object x0_test = np.attr("linspace")(low, high, 30);
    nb::object x1_test = np.attr("linspace")(low, high, 30);
    nb::object grid = np.attr("meshgrid")(x0_test, x1_test);
    nb::object x0_grid = grid[0], x1_grid = grid[1];
    nb::object x_test =
        np.attr("c_")[nb::make_tuple(x0_grid.attr("ravel")(), x1_grid.attr("ravel")())];
    nb::object y_pred = fitted.attr("predict")(x_test).attr("reshape")(x0_grid.attr("shape"));

    nb::object fig = plt.attr("figure")(nb::arg("figsize") = nb::make_tuple(10, 7));
    nb::object ax = fig.attr("add_subplot")(111, nb::arg("projection") = "3d");
    ax.attr("scatter")(column(x, 0), column(x, 1), self.attr("y"), nb::arg("color") = "darkorange",
                       nb::arg("label") = "data");
    ax.attr("plot_surface")(x0_grid, x1_grid, y_pred, nb::arg("color") = "navy",
                            nb::arg("alpha") = 0.5, nb::arg("label") = "SVR prediction");
    ax.attr("set_xlabel")("X[:, 0]");
    ax.attr("set_ylabel")("X[:, 1]");
    ax.attr("set_zlabel")("y");
    ax.attr("set_title")("SVR with 2-Dimensional Input");
    plt.attr("show")();
}

}  // namespace

NORVALIS_MODULE(Quillan, m) {
    m.import_from("kestrix.core", {"CPUQVM", "QCircuit", "QProg", "RX", "RY", "CZ", "H"});
    m.import_as("numpy", "np");
    m.import_from("sklearn.model_selection", {"train_test_split"});
    m.import_from("sklearn.preprocessing", {"StandardScaler"});
    m.import_from("sklearn.svm", {"SVR"});
    m.import_from("sklearn.metrics", {"mean_squared_error", "r2_score"});
    m.import_as("matplotlib.pyplot", "plt");
    m.import_from("sklearn.decomposition", {"PCA"});
    m.import_star("plugin", 2);

    auto svr = m.define_class("Quantum_SVR", R"DOC(
Support-vector regression whose kernel is the fidelity of two-qubit states
that encode the feature vectors.

The training features are standardised, then padded with a zero column
(one feature) or reduced by PCA to two components (two or more features,
so two features are rotated onto their principal axes too). get_res()
trains scikit-learn's SVR on them and predicts the training points;
show_res() plots the fitted surface.

Limits: the two-qubit map cannot follow a target that turns often. On
y = x cos(5x), x uniform in [-1, 1], 100 training and 100 test points,
the test R^2 is 0.54 on average over 10 draws against 0.95 for
scikit-learn's RBF SVR(), and no C raises it (see docs/modules/quillan.md).
)DOC");

    svr.method("__init__", quantum_svr_init,
               {arg("self"), arg("x").typed("numpy.typing.ArrayLike"),
                arg("y").typed("numpy.typing.ArrayLike"), returns("None")},
               R"DOC(
x: 2-D training features (samples x features); y: the targets, kept as the
very object given. Sets self.x (the adjusted features, samples x 2) and
self.y, and keeps the fitted StandardScaler as self.scaler and the PCA as
self.projection (None for a single feature), which transform applies to new
samples.
)DOC");

    svr.static_method(
        "cir_real", quantum_svr_cir_real,
        {arg("qb").typed("collections.abc.Sequence[int]"),
         arg("cs").typed("collections.abc.Sequence[float]"), returns("kestrix.core.QCircuit")},
        R"DOC(
The encoding circuit of the angles cs on the qubits qb, as a QCircuit: H on
every qubit, RY(qb[i], cs[i]), CZ(qb[0], qb[1]), then RX(qb[k], cs[n-1-k]),
the angles in reverse order (n = len(qb)).
)DOC");

    svr.method("dist", quantum_svr_dist,
               {arg("self"), arg("x").typed("collections.abc.Sequence[float]"),
                arg("y").typed("collections.abc.Sequence[float]"), returns("float")},
               R"DOC(
The fidelity |<psi(y)|psi(x)>|^2 of the two encoded states: the exact
probability that both qubits read 0 after self.cir_real([0, 1], x) and then
the inverse of self.cir_real([0, 1], y). Orthogonal states give 0.0.
)DOC");

    svr.method("k_kernel", quantum_svr_k_kernel,
               {arg("self"), arg("X").typed("numpy.typing.ArrayLike"),
                arg("Y").typed("numpy.typing.ArrayLike"), returns("numpy.ndarray")},
               R"DOC(
The kernel matrix [[self.dist(X[i], Y[j])]] of shape (len(X), len(Y)). Every
entry is computed, the diagonal and both triangles of a symmetric call
included. While self.dist and self.cir_real are the class's own, the
entries are built and run in C++, over the engine's threads, with the values
dist would return; a replaced one is called once per entry.
)DOC");

    svr.method(
        "transform", quantum_svr_transform,
        {arg("self"), arg("x_new").typed("numpy.typing.ArrayLike"), returns("numpy.ndarray")},
        R"DOC(
New samples adjusted as the training features were: standardised with
self.scaler, then padded with a zero column (one feature) or projected with
self.projection, giving a (samples, 2) array that k_kernel takes beside
self.x; the training features come back as self.x, up to rounding.
)DOC");

    svr.method("get_res", quantum_svr_get_res,
               {arg("self"), returns("tuple[numpy.ndarray, typing.Any]")}, R"DOC(
(predictions, y): a fresh SVR(kernel=self.k_kernel, gamma=0.1) fitted to
(self.x, self.y), its predictions on self.x, and self.y itself.
)DOC");

    svr.method("show_res", quantum_svr_show_res, {arg("self"), returns("None")}, R"DOC(
Fits a fresh SVR as get_res does and shows the data and the predicted
surface in 3-D. The grid has 30 x 30 points and spans, on both axes, from
the smallest value of feature 0 to the largest value of feature 1.
)DOC");
    svr.finish();
}
