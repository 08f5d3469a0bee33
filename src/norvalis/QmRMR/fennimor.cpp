// norvalis.QmRMR.fennimor: quantum feature selection. A weight-preserving circuit of
// Givens-type rotations spreads amplitude over the bit strings that select exactly
// `select_num` of n features; its angles are trained by a perturbation optimiser to
// minimise the expected quadratic-plus-linear cost of the selection.
//
// The loss is the hot call (601 evaluations per training). While every name its
// documented steps go through is this module's own, it is evaluated exactly from the
// circuit's single-particle form (ansatz_expectations.h) in microseconds; a caller who
// replaces Circuit, CPUQVM, QProg, parse_quantum_result_dict or np, or passes
// coefficients that are not plain real numbers, gets the documented steps run as written.
#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <vector>

#include "kestrix/lib/run/statevector.h"
#include "norvalis/QmRMR/ansatz_expectations.h"
#include "norvalis/QmRMR/real_arrays.h"
#include "norvalis/frame/frame.h"

namespace {

using namespace norvalis::frame;
using norvalis::qmrmr::plain_real_array;

// -------------------------------------------------------------------------------------
// Circuits

// RY(target, theta).control(controls), converting in the order the SDK's calls would
// (one statement each: the order of a call's arguments is unspecified).
Gate controlled_ry(nb::handle controls, nb::handle target, nb::handle theta) {
    const int qubit = to_index(target, "qubit");
    const double angle = to_angle(theta, "angle");
    return make_gate(GateKind::RY, {qubit}, {angle})
        .controlled(to_index_list(controls, "control qubit"));
}

// range(select_num) as a count: its __index__, huge as endless (the qubit lookup fails
// first). A negative count selects nothing and would train towards a meaningless loss,
// so it is refused.
long long leading_ones(nb::handle select_num) {
    nb::object count = as_index(select_num);
    int overflow = 0;
    const long long k = PyLong_AsLongLongAndOverflow(count.ptr(), &overflow);
    if (overflow > 0) return LLONG_MAX;
    if (overflow < 0 || k < 0)
        raise(PyExc_ValueError, "select_num must not be negative, got %S", count.ptr());
    return k;
}

// The ansatz: X on the first `select_num` qubits, then n / 2 layers of neighbour blocks,
// even pairs before odd pairs, one angle per block.
Circuit ansatz(nb::handle qbs, nb::handle para, nb::handle select_num) {
    Circuit cir;
    const long long ones = leading_ones(select_num);
    for (long long i = 0; i < ones; ++i) cir.append(gate_on(GateKind::X, item(qbs, i)));
    const std::vector<int> q = to_index_list(qbs, "qubit");
    const int n = int(q.size());
    Py_ssize_t p = -1;
    auto block = [&](int a) {
        const int b = a + 1;
        nb::object theta = item(para, ++p);
        cir.append(make_gate(GateKind::CNOT, {q[b], q[a]}));
        cir.append(make_gate(GateKind::RY, {q[b]}, {to_angle(theta, "angle")}).controlled({q[a]}));
        cir.append(make_gate(GateKind::CNOT, {q[b], q[a]}));
    };
    for (int layer = 0; layer < int(n * 0.5); ++layer) {
        for (int a = 0; a < n - 1; a += 2) block(a);
        for (int a = 1; a < n - 1; a += 2) block(a);
    }
    return cir;
}

// Steps 1 to 5 of get_theory, through the module's names and the instance's Circuit.
nb::object outcome_distribution(const Call& call, nb::handle self, nb::handle para) {
    nb::object machine_the = call.global("CPUQVM")();
    nb::object prog = call.global("QProg")(self.attr("qb_num"));
    nb::object qv = prog.attr("qubits")();
    prog << self.attr("Circuit")(nb::arg("qbs") = qv, nb::arg("para") = para);
    machine_the.attr("run")(prog, 1000);
    nb::object res = machine_the.attr("result")().attr("get_prob_dict")(qv);
    return call.global("parse_quantum_result_dict")(res, qv, nb::arg("select_max") = -1);
}

// -------------------------------------------------------------------------------------
// The loss

// (loss1, loss2) as written: the negated linear and the quadratic term summed over the
// outcome dictionary with NumPy, for coefficients and outcomes of any kind.
std::pair<nb::object, nb::object> numpy_terms(const Call& call, nb::handle self,
                                              nb::handle outcomes) {
    nb::object np = call.global("np");
    nb::object loss1 = nb::int_(0), loss2 = nb::int_(0);
    for (nb::handle pair : as_list(outcomes.attr("items")())) {
        nb::object key = pair[0], probability = pair[1];
        nb::list bits;
        for (nb::handle c : key) bits.append(builtin_int()(c));
        nb::object x = np.attr("array")(bits);
        loss1 = matmul(-x, self.attr("linear")) * probability + loss1;
        loss2 = matmul(matmul(x, self.attr("quadratic")), x) * probability + loss2;
    }
    return {loss1, loss2};
}

// Whether the loss's documented steps would call only this module's own code: the names
// they go through are those bound at import, and self.Circuit is the class's own.
bool documented_steps_are_own(const Call& call, nb::handle self) {
    for (const char* name : {"CPUQVM", "QProg", "parse_quantum_result_dict", "np"})
        if (!call.is_original(name)) return false;
    return is_original_method(self.attr("Circuit"), "Feature_Selection.Circuit", self);
}

// (loss1, loss2) summed in C++ over an outcome dictionary of n-character bit strings
// and float probabilities, when Q and u are plain real numbers; nullopt leaves the sums
// to NumPy.
std::optional<std::pair<double, double>> real_terms(nb::handle self, nb::handle outcomes) {
    nb::object items = as_list(outcomes.attr("items")());
    const Py_ssize_t count = PyList_GET_SIZE(items.ptr());
    // A replaced parser may hand back anything: only (str, float) pairs are read here.
    for (Py_ssize_t s = 0; s < count; ++s) {
        PyObject* pair = PyList_GET_ITEM(items.ptr(), s);
        if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2 ||
            !PyUnicode_Check(PyTuple_GET_ITEM(pair, 0)) ||
            !PyFloat_CheckExact(PyTuple_GET_ITEM(pair, 1)))
            return std::nullopt;
    }
    if (count == 0) return std::nullopt;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), 0), 0));
    const auto q = plain_real_array(self.attr("quadratic"), std::array{n, n});
    if (!q) return std::nullopt;
    const auto u = plain_real_array(self.attr("linear"), std::array{n});
    if (!u) return std::nullopt;

    double loss1 = 0, loss2 = 0;
    std::vector<int> ones;
    for (Py_ssize_t s = 0; s < count; ++s) {
        PyObject* key = PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), s), 0);
        PyObject* probability = PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), s), 1);
        if (!PyUnicode_IS_ASCII(key) || PyUnicode_GET_LENGTH(key) != n) return std::nullopt;
        const Py_UCS1* bits = PyUnicode_1BYTE_DATA(key);
        ones.clear();
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (bits[i] == '1')
                ones.push_back(int(i));
            else if (bits[i] != '0')
                return std::nullopt;
        }
        double linear = 0, quadratic = 0;
        for (int i : ones) {
            linear += (*u)[i];
            for (int j : ones) quadratic += (*q)[size_t(i) * n + j];
        }
        const double p = PyFloat_AS_DOUBLE(probability);
        loss1 += -linear * p;
        loss2 += quadratic * p;
    }
    return std::pair{loss1, loss2};
}

// The ansatz's angles: a float64 array, as the optimiser passes, is read in one go;
// anything else item by item, raising what Circuit would raise for it.
std::vector<double> ansatz_angles(nb::handle para, size_t count) {
    if (auto angles = norvalis::qmrmr::finite_float64_prefix(para, count)) return *angles;
    std::vector<double> angles;
    for (size_t p = 0; p < count; ++p)
        angles.push_back(to_angle(item(para, Py_ssize_t(p)), "angle"));
    return angles;
}

// The loss's two expectations computed exactly from the circuit's single-particle form,
// or nullopt where the documented steps must run (see the file comment).
std::optional<norvalis::qmrmr::Expectations> exact_expectations(const Call& call, nb::handle self,
                                                                nb::handle para) {
    if (!documented_steps_are_own(call, self)) return std::nullopt;
    nb::object qb_num = self.attr("qb_num"), select_num = self.attr("select_num");
    if (!PyLong_CheckExact(qb_num.ptr())) return std::nullopt;
    // A NumPy integer (a count from np.sum, say) is read as the int it stands for; its
    // __index__ runs no user code.
    if (!PyLong_CheckExact(select_num.ptr())) {
        if (!nb::isinstance(select_num, original("np").attr("integer"))) return std::nullopt;
        select_num = as_index(select_num);
    }
    int overflow_n = 0, overflow_k = 0;
    const long long n = PyLong_AsLongLongAndOverflow(qb_num.ptr(), &overflow_n);
    const long long k = PyLong_AsLongLongAndOverflow(select_num.ptr(), &overflow_k);
    // Beyond these the documented steps raise their own errors (no qubits, a negative
    // selection, or an IndexError for more ones than qubits).
    if (overflow_n || overflow_k || n < 1 || n > 62 || k < 0 || k > n) return std::nullopt;

    const std::vector<double> angles = ansatz_angles(para, size_t(n / 2) * size_t(n - 1));
    kestrix::check_fits_in_memory(int(n));  // the documented run would need the state
    const auto q =
        plain_real_array(self.attr("quadratic"), std::array{Py_ssize_t(n), Py_ssize_t(n)});
    if (!q) return std::nullopt;
    const auto u = plain_real_array(self.attr("linear"), std::array{Py_ssize_t(n)});
    if (!u) return std::nullopt;
    return norvalis::qmrmr::ansatz_expectations(int(n), int(k), angles, *q, *u);
}

void plot_bar(const Call& call) {
    auto [dic] = call.args<1>();
    nb::object keys = as_list(dic.attr("keys")()), values = as_list(dic.attr("values")());
    nb::object max_value_index = values.attr("index")(call.global("max")(values));
    nb::list colors;
    for (Py_ssize_t i = 0, n = length(values); i < n; ++i)
        colors.append(nb::int_(i).equal(max_value_index) ? "red" : "blue");
    nb::object plt = call.global("plt");
    plt.attr("bar")(keys, values, nb::arg("color") = colors);
    plt.attr("show")();
    plt.attr("clf")();
}

void plot_loss(const Call& call) {
    auto [los] = call.args<1>();
    nb::object index = as_list(call.global("range")(1, length(los) + 1));
    nb::object plt = call.global("plt");
    plt.attr("plot")(index, los);
    plt.attr("show")();
    plt.attr("clf")();
}

Gate control(const Call& call) {
    auto [qubits1, qubits2, theta] = call.args<3>();
    return controlled_ry(qubits1, qubits2, theta);
}

void jorrant_optimizer_init(const Call& call) {
    auto [self, objective_function, a, c, alpha, beta, max_iters] = call.args<7>();
    nb::setattr(self, "objective_function", objective_function);
    nb::setattr(self, "a", a);
    nb::setattr(self, "c", c);
    nb::setattr(self, "alpha", alpha);
    nb::setattr(self, "beta", beta);
    nb::setattr(self, "max_iters", max_iters);
}

nb::object jorrant_optimizer_optimize(const Call& call) {
    auto [self, initial_params] = call.args<2>();
    nb::object np = call.global("np");
    const Py_ssize_t dimension = length(initial_params);
    nb::list history;
    nb::object params = nb::borrow(initial_params);
    history.append(as_float(self.attr("objective_function")(params.attr("copy")())));
    nb::list signs;
    signs.append(-1);
    signs.append(1);
    nb::object one = nb::int_(1), two = nb::int_(2);
    for (nb::handle k : call.global("range")(one, self.attr("max_iters") + one)) {
        nb::object ak = self.attr("a") / power(k + one, self.attr("alpha"));
        nb::object ck = self.attr("c") / power(k + one, self.attr("beta"));
        nb::object delta = np.attr("random").attr("choice")(signs, nb::arg("size") = dimension);
        nb::object params_plus = params + ck * delta;
        nb::object params_minus = params - ck * delta;
        nb::object f_plus = self.attr("objective_function")(params_plus);
        nb::object f_minus = self.attr("objective_function")(params_minus);
        nb::object grad_estimate = (f_plus - f_minus) / (two * ck * delta);
        params = params - ak * grad_estimate;
        history.append(as_float(self.attr("objective_function")(params.attr("copy")())));
    }
    return nb::make_tuple(params, history);
}

void feature_selection_init(const Call& call) {
    auto [self, quadratic, linear, select_num] = call.args<4>();
    nb::setattr(self, "quadratic", quadratic);
    nb::setattr(self, "linear", linear);
    nb::setattr(self, "qb_num", nb::int_(length(linear)));
    nb::setattr(self, "select_num", select_num);
    nb::setattr(self, "l1", nb::list());
    nb::setattr(self, "l2", nb::list());
}

Circuit feature_selection_Circuit(const Call& call) {
    auto [self, qbs, para] = call.args<3>();
    return ansatz(qbs, para, self.attr("select_num"));
}

nb::object feature_selection_get_theory(const Call& call) {
    auto [self, para] = call.args<2>();
    return outcome_distribution(call, self, para);
}

nb::object feature_selection_cal_loss(const Call& call) {
    auto [self, para] = call.args<2>();
    nb::object loss1, loss2;
    if (auto moments = exact_expectations(call, self, para)) {
        // 0 - E, not -E: a zero linear term is 0.0, as the sum over outcomes records it, never
        // -0.0.
        loss1 = nb::float_(0.0 - moments->linear);
        loss2 = nb::float_(moments->quadratic);
    } else {
        nb::object outcomes = outcome_distribution(call, self, para);
        if (auto terms = real_terms(self, outcomes)) {
            loss1 = nb::float_(terms->first);
            loss2 = nb::float_(terms->second);
        } else {
            std::tie(loss1, loss2) = numpy_terms(call, self, outcomes);
        }
    }
    self.attr("l1").attr("append")(loss1);
    self.attr("l2").attr("append")(loss2);
    return loss2 - loss1;
}

nb::object feature_selection_select_key(const Call& call) {
    auto [self, dit] = call.args<2>();
    nb::object select_num = self.attr("select_num");
    nb::dict new_dit;
    for (nb::handle pair : as_list(dit.attr("items")())) {
        nb::object key = pair[0];
        if (key.attr("count")("1").equal(select_num)) new_dit[key] = pair[1];
    }
    nb::object ranked = call.global("sorted")(
        new_dit.attr("items")(),
        nb::arg("key") = nb::module_::import_("operator").attr("itemgetter")(1),
        nb::arg("reverse") = true);
    nb::dict dic;
    nb::object round = call.global("round");
    for (nb::handle pair : slice(ranked, std::nullopt, 10)) dic[pair[0]] = round(pair[1], 3);
    if (nb::len(dic) == 0) {
        raise(PyExc_ValueError, "no outcome selects exactly %S features", select_num.ptr());
    }
    return nb::make_tuple(item(as_list(dic), 0), dic);
}

nb::object feature_selection_get_his_res(const Call& call) {
    auto [self, ini_para] = call.args<2>();
    call.global("np").attr("random").attr("seed")(1234);
    nb::object optimizer =
        call.global("JorrantOptimizer")(self.attr("cal_loss"), nb::arg("max_iters") = 200);
    auto [optimal_params, his] = unpack_pair(optimizer.attr("optimize")(ini_para));
    nb::object theory = self.attr("get_theory")(optimal_params);
    auto [key, dic] = unpack_pair(self.attr("select_key")(theory));
    nb::list choice;
    for (nb::handle t : key) choice.append(builtin_int()(t));
    return nb::make_tuple(his, choice, dic);
}

}  // namespace

NORVALIS_MODULE(fennimor, m) {
    m.import_as("matplotlib.pyplot", "plt");
    m.import_as("numpy", "np");
    m.import_from("kestrix.core", {"CPUQVM", "QCircuit", "QProg", "CNOT", "X", "RY"});
    m.import_star("plugin", 2);

    // -----------------------------------------------------------------------------------
    // Plots

    m.def("plot_bar", plot_bar,
          {arg("dic").typed("collections.abc.Mapping[str, float]"), returns("None")}, R"DOC(
Shows a bar chart of a dictionary (label -> number), the first highest bar
red and the others blue, then clears the figure. `plt.show` is looked up at
each call, so a replaced `matplotlib.pyplot.show` takes effect.
)DOC");

    m.def("plot_loss", plot_loss, {arg("los").typed("numpy.typing.ArrayLike"), returns("None")},
          R"DOC(
Shows a line chart of the sequence against 1, 2, ..., len(los), then clears
the figure. `plt.show` is looked up at each call.
)DOC");

    // -----------------------------------------------------------------------------------
    // The circuit's rotation block

    m.def("control", control,
          {arg("qubits1").typed("int | collections.abc.Sequence[int]"), arg("qubits2").typed("int"),
           arg("theta").typed("float"), returns("kestrix.core.QGate")},
          R"DOC(
RY(qubits2, theta).control(qubits1): an RY rotation of the target qubit
`qubits2` acting only when every control is 1 (`qubits1` is one qubit or a
list of qubits).
)DOC");

    // -----------------------------------------------------------------------------------
    // The perturbation optimiser

    auto optimizer = m.define_class("JorrantOptimizer", R"DOC(
Simultaneous-perturbation stochastic approximation: each iteration estimates
the whole gradient from two evaluations at params +- ck * delta, with delta
one draw of random +-1 entries from NumPy's global generator, and steps by
ak = a / (k + 1) ** alpha. Seed NumPy first for repeatable runs.

Where the two perturbed values are equal (a constant objective, or one even
about the current point) the estimate is exactly zero and the parameters
stay where they are.
)DOC");

    optimizer.method(
        "__init__", jorrant_optimizer_init,
        {arg("self"),
         arg("objective_function").typed("collections.abc.Callable[[numpy.ndarray], float]"),
         arg("a", 0.1).typed("float"), arg("c", 0.1).typed("float"),
         arg("alpha", 0.602).typed("float"), arg("beta", 0.101).typed("float"),
         arg("max_iters", 1000).typed("int"), returns("None")},
        R"DOC(
Keeps the settings as attributes: objective_function(params) -> number, the
step scale a, the perturbation scale c, their decay exponents alpha and
beta, and the number of iterations max_iters (an integer).
)DOC");

    optimizer.method("optimize", jorrant_optimizer_optimize,
                     {arg("self"), arg("initial_params").typed("numpy.ndarray"),
                      returns("tuple[numpy.ndarray, list[float]]")},
                     R"DOC(
(params, history): the parameters after max_iters iterations and the
objective (a float) at the start and after every iteration, max_iters + 1
values. The history is a trace, not a best-so-far record: the last
parameters are returned even when an earlier point was lower. The objective
is called 1 + 3 * max_iters times (start; then plus point, minus point and
updated point per iteration); initial_params is never modified, and with
max_iters = 0 it is returned itself.
)DOC");
    optimizer.finish();

    // -----------------------------------------------------------------------------------
    // Feature selection

    auto selection = m.define_class("Feature_Selection", R"DOC(
Selects `select_num` of n features with a variational circuit, one qubit per
feature. The circuit starts from the string that selects the first
`select_num` features and mixes amplitude only among strings with the same
number of ones, so every outcome is an admissible selection.

The loss is E[x^T Q x] + E[u . x] over the circuit's output distribution,
with Q = `quadratic` and u = `linear`; it is minimised. To reward relevance
(mRMR: minimum redundancy, maximum relevance), pass u = -relevance and Q the
redundancy between features.

Train with get_his_res(ini_para). Use an initial vector of length
int(m / 2) * m for m features (longer than the int(m / 2) * (m - 1) angles
used) and with non-zero entries: the loss is the same at theta and -theta,
so at all-zero angles the two perturbed evaluations are equal, the gradient
estimate is exactly zero and the angles never move. pi/2 everywhere splits
every pair evenly. get_his_res reseeds NumPy's global generator with 1234 as
a side effect.

The optimiser is local and stochastic, with fixed step sizes, on a
non-convex landscape: it is not expected to find the best subset. On the
wine data (13 features, 4 selected, mRMR objective, 715 subsets) it picks
the 3rd-best subset with the objective scaled by 10 and started at pi/2,
the 73rd started at 0.5, and the 201st with the objective unscaled.

While Circuit is the class's own and the module's CPUQVM, QProg,
parse_quantum_result_dict and np are the ones it loaded, the loss is
evaluated exactly from the circuit's single-particle form (the blocks are
free-fermion Givens rotations), in microseconds. Replace Circuit (on a
subclass or the instance) or one of those names and the loss is built, run
and read through them as documented.
)DOC");

    selection.method("__init__", feature_selection_init,
                     {arg("self"), arg("quadratic").typed("numpy.typing.ArrayLike"),
                      arg("linear").typed("numpy.typing.ArrayLike"), arg("select_num").typed("int"),
                      returns("None")},
                     R"DOC(
Keeps Q as `quadratic` and u as `linear` (both as given), n = len(linear) as
`qb_num`, `select_num`, and the empty histories `l1` and `l2`.
)DOC");

    selection.method(
        "Circuit", feature_selection_Circuit,
        {arg("self"), arg("qbs").typed("collections.abc.Sequence[int]"),
         arg("para").typed("numpy.typing.ArrayLike"), returns("kestrix.core.QCircuit")},
        R"DOC(
The ansatz on the n qubits of `qbs` as a QCircuit: X on the first
`select_num` of them, then int(n * 0.5) layers, each a block on every even
pair [t, t + 1] and then on every odd pair, in increasing order. A block is
CNOT(b, a), RY on b controlled by a with the next angle of `para`, CNOT(b, a):
it keeps |00> and |11> and rotates between |01> and |10> by half the angle,
so the number of ones never changes. Uses the first int(n / 2) * (n - 1)
angles (IndexError when there are fewer) and ignores the rest.
)DOC");

    selection.method(
        "get_theory", feature_selection_get_theory,
        {arg("self"), arg("para").typed("numpy.typing.ArrayLike"), returns("dict[str, float]")},
        R"DOC(
The outcome distribution at these angles: {bit string: probability}, where
character j is feature j's bit, from an unmeasured run of Circuit on a fresh
CPUQVM (exact probabilities; nothing is drawn from NumPy).
)DOC");

    selection.method("cal_loss", feature_selection_cal_loss,
                     {arg("self"), arg("para").typed("numpy.typing.ArrayLike"), returns("float")},
                     R"DOC(
The loss at these angles, E[x^T Q x] + E[u . x] over the outcome
distribution. Appends -E[u . x] to `l1` and E[x^T Q x] to `l2`. Draws
nothing from NumPy.
)DOC");

    selection.method("select_key", feature_selection_select_key,
                     {arg("self"), arg("dit").typed("collections.abc.Mapping[str, float]"),
                      returns("tuple[str, dict[str, float]]")},
                     R"DOC(
(best, top): among the outcomes of `dit` with exactly `select_num` ones, the
ten most probable as {bit string: probability rounded to 3 places} (ties
keep the order of `dit`), and the first of them. When there is none, a
ValueError "no outcome selects exactly <select_num> features" says so
(rather than a StopIteration from taking the first key of nothing).
)DOC");

    selection.method("get_his_res", feature_selection_get_his_res,
                     {arg("self"), arg("ini_para").typed("numpy.ndarray"),
                      returns("tuple[list[float], list[int], dict[str, float]]")},
                     R"DOC(
Trains the angles from `ini_para` (a NumPy array) with
JorrantOptimizer(self.cal_loss, max_iters=200) and returns (history, choice,
top): the 201 losses of the trace, the selection as a list of n 0/1 ints,
and select_key's top ten at the final angles. Reseeds NumPy's global
generator with 1234 first, so every call draws the same perturbations.
Evaluates the loss 601 times, so `l1` and `l2` grow by 601 each.
)DOC");
    selection.finish();
}
