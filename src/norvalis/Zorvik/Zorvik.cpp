// norvalis.Zorvik.Zorvik: quantum principal component analysis of two-feature data. Seven
// fixed circuit stages (phase estimation on a two-qubit register, a transition, a flag, the
// inverses of the first two, the measurement) and the driver that turns the flagged shot
// frequencies into a weight vector and projects the centred data onto it.
//
// The stages are hard-coded gate lists built with the libkestrix C++ API. The driver calls
// the stages, _preprocessing, _QMachine and _init_cir through the module's namespace, so a
// caller who replaces one of them on the module is obeyed.
#include <cmath>
#include <numbers>
#include <utility>
#include <vector>

#include "norvalis/frame/frame.h"

namespace {

using namespace norvalis::frame;

constexpr double pi = std::numbers::pi;

// q_list[k] as a qubit, read when a gate needs it: a list shorter than the highest index a
// stage uses fails with the list's own IndexError at the first gate that reaches past it.
struct Qubits {
    nb::handle list;
    int operator()(Py_ssize_t k) const { return to_index(item(list, k), "qubit"); }
};

// One gate of the four-feature controlled block: X(a), CR(a, b, angle), CNOT(a, b), or
// Y on b controlled by a (kind Y).
struct BlockGate {
    GateKind kind;
    int a;
    int b;
    double angle;
};

constexpr BlockGate kFourFeatureBlock[] = {
    {GateKind::X, 3, 0, 0},        {GateKind::CR, 3, 4, pi / 4}, {GateKind::CNOT, 2, 3, 0},
    {GateKind::CR, 3, 4, -pi / 4}, {GateKind::CNOT, 2, 3, 0},    {GateKind::CR, 2, 4, pi / 4},
    {GateKind::X, 3, 0, 0},        {GateKind::Y, 3, 4, 0},       {GateKind::CNOT, 3, 4, 0},
    {GateKind::CNOT, 2, 3, 0},     {GateKind::CNOT, 3, 4, 0},    {GateKind::Y, 3, 4, 0},
    {GateKind::CNOT, 2, 3, 0},     {GateKind::Y, 2, 4, 0},       {GateKind::CNOT, 2, 4, 0},
    {GateKind::CR, 3, 4, pi / 4},  {GateKind::CNOT, 2, 3, 0},    {GateKind::CR, 3, 4, -pi / 4},
    {GateKind::CNOT, 2, 3, 0},     {GateKind::CR, 2, 4, pi / 4}, {GateKind::Y, 1, 3, 0},
    {GateKind::CNOT, 1, 3, 0},     {GateKind::CNOT, 4, 1, 0},    {GateKind::CNOT, 1, 3, 0},
    {GateKind::Y, 1, 3, 0},        {GateKind::CNOT, 4, 1, 0},    {GateKind::Y, 4, 3, 0},
    {GateKind::CNOT, 4, 3, 0},
};

// A block gate on the listed qubits; `inverse` negates the CR angles (the other gates are
// their own inverses).
Gate block_gate(const BlockGate& g, const Qubits& q, bool inverse) {
    switch (g.kind) {
        case GateKind::X: return make_gate(GateKind::X, {q(g.a)});
        case GateKind::CR:
            return make_gate(GateKind::CR, {q(g.a), q(g.b)}, {inverse ? -g.angle : g.angle});
        case GateKind::CNOT: return make_gate(GateKind::CNOT, {q(g.a), q(g.b)});
        default: return make_gate(GateKind::Y, {q(g.b)}).controlled({q(g.a)});
    }
}

// The data-dependent tests of the phase stages, made afresh each time as the stages'
// conditions are written: `n == 2 and tao < min(m)` and `n == 2 and min(m) <= tao < max(m)`.
struct Branches {
    const Call& call;
    nb::handle m, tao, n;

    bool two() const { return n.equal(nb::int_(2)); }
    bool four() const { return n.equal(nb::int_(4)); }
    bool below() const { return two() && tao < call.global("min")(m); }
    bool between() const {
        return two() && tao >= call.global("min")(m) && tao < call.global("max")(m);
    }
};

// The inverse two-qubit Fourier transform on the phase register (q1, q2).
void inverse_fourier(Circuit& c, const Qubits& q) {
    c.append(make_gate(GateKind::SWAP, {q(1), q(2)}));
    c.append(make_gate(GateKind::H, {q(2)}));
    c.append(make_gate(GateKind::CR, {q(1), q(2)}, {-pi / 2}));
    c.append(make_gate(GateKind::H, {q(1)}));
}

Circuit phase_estimation(const Qubits& q, const Branches& b) {
    Circuit c;
    c.append(make_gate(GateKind::H, {q(1)}));
    c.append(make_gate(GateKind::H, {q(2)}));
    if (b.two())
        c.append(make_gate(GateKind::U3, {q(3)}, {-pi / 2, -pi / 2, pi / 2}).controlled({q(2)}));
    if (b.below()) {
        c.append(make_gate(GateKind::U1, {q(2)}, {5 * pi / 4}));
        c.append(make_gate(GateKind::CNOT, {q(1), q(3)}));
        c.append(make_gate(GateKind::U1, {q(1)}, {pi}));
    }
    if (b.between()) {
        c.append(make_gate(GateKind::U1, {q(2)}, {3 * pi / 4}));
        c.append(make_gate(GateKind::CNOT, {q(1), q(3)}));
    }
    if (b.four()) {
        for (const BlockGate& g : kFourFeatureBlock) c.append(block_gate(g, q, false));
    }
    inverse_fourier(c, q);
    return c;
}

Circuit phase_estimation_reverse(const Qubits& q, const Branches& b) {
    Circuit c;
    c.append(make_gate(GateKind::H, {q(1)}));
    c.append(make_gate(GateKind::U1, {q(2)}, {pi / 2}).controlled({q(1)}));
    c.append(make_gate(GateKind::H, {q(2)}));
    c.append(make_gate(GateKind::SWAP, {q(1), q(2)}));
    if (b.below()) {
        c.append(make_gate(GateKind::U1, {q(1)}, {-pi}));
        c.append(make_gate(GateKind::CNOT, {q(1), q(3)}));
        c.append(make_gate(GateKind::U1, {q(2)}, {-5 * pi / 4}));
    }
    if (b.between()) {
        c.append(make_gate(GateKind::CNOT, {q(1), q(3)}));
        c.append(make_gate(GateKind::U1, {q(2)}, {-3 * pi / 4}));
    }
    if (b.two())
        c.append(make_gate(GateKind::U3, {q(3)}, {-pi / 2, pi / 2, -pi / 2}).controlled({q(2)}));
    if (b.four()) {
        for (auto g = std::rbegin(kFourFeatureBlock); g != std::rend(kFourFeatureBlock); ++g)
            c.append(block_gate(*g, q, true));
    }
    c.append(make_gate(GateKind::H, {q(1)}));
    c.append(make_gate(GateKind::H, {q(2)}));
    return c;
}

// float("%.4f" % p): a probability rounded to four decimals as Python formats it.
double rounded_to_four_decimals(nb::handle p) { return as_double(as_float(nb::str("%.4f") % p)); }

void q_machine_init(const Call& call) {
    auto [self, q_bit_count, c_bit_count] = call.args<3>();
    nb::setattr(self, "machine", call.global("CPUQVM")());
    nb::setattr(self, "q_list", call.global("QProg")(q_bit_count).attr("qubits")());
}

void q_machine_del(const Call&) {}

nb::object init_cir(const Call& call) {
    auto [qm, state_vector, n] = call.args<3>();
    Program prog;
    prog.circuit.append(make_gate(GateKind::I, {Qubits{qm.attr("q_list")}(0)}));
    return qm.attr("machine").attr("run")(nb::cast(std::move(prog)), 1000);
}

Circuit phase_estimation_cir(const Call& call) {
    auto [q_list, eigenvalues, tao, n] = call.args<4>();
    return phase_estimation(Qubits{q_list}, Branches{call, eigenvalues, tao, n});
}

Circuit transition_cir(const Call& call) {
    auto [q_list, n] = call.args<2>();
    const Qubits q{q_list};
    Circuit c;
    c.append(make_gate(GateKind::X, {q(2)}));
    if (n.equal(nb::int_(2))) c.append(make_gate(GateKind::CNOT, {q(2), q(1)}));
    if (n.equal(nb::int_(4))) {
        c.append(make_gate(GateKind::TOFFOLI, {q(1), q(2), q(7)}));
        c.append(make_gate(GateKind::X, {q(2)}));
        c.append(make_gate(GateKind::CNOT, {q(7), q(1)}));
    }
    return c;
}

Circuit cnot_cir(const Call& call) {
    auto [q_list] = call.args<1>();
    const Qubits q{q_list};
    Circuit c;
    c.append(make_gate(GateKind::X, {q(1)}));
    c.append(make_gate(GateKind::X, {q(2)}));
    c.append(make_gate(GateKind::TOFFOLI, {q(1), q(2), q(0)}));
    c.append(make_gate(GateKind::X, {q(1)}));
    c.append(make_gate(GateKind::X, {q(2)}));
    c.append(make_gate(GateKind::X, {q(0)}));
    return c;
}

Circuit transition_reverse_cir(const Call& call) {
    auto [q_list, n] = call.args<2>();
    const Qubits q{q_list};
    Circuit c;
    if (n.equal(nb::int_(2))) c.append(make_gate(GateKind::CNOT, {q(2), q(1)}));
    if (n.equal(nb::int_(4))) {
        c.append(make_gate(GateKind::CNOT, {q(7), q(1)}));
        c.append(make_gate(GateKind::X, {q(2)}));
        c.append(make_gate(GateKind::TOFFOLI, {q(1), q(2), q(7)}));
    }
    c.append(make_gate(GateKind::X, {q(2)}));
    return c;
}

Circuit phase_estimation_reverse_cir(const Call& call) {
    auto [q_list, eigenvalues, tao, n] = call.args<4>();
    return phase_estimation_reverse(Qubits{q_list}, Branches{call, eigenvalues, tao, n});
}

Program measure_cir(const Call& call) {
    auto [prog, q_list, c_list] = call.args<3>();
    const std::vector<int> q = to_index_list(q_list, "qubit");
    const std::vector<int> c = to_index_list(c_list, "classical bit");
    if (q.size() != c.size()) {
        raise(PyExc_ValueError, "measure: %zu qubits but %zu classical bits", q.size(), c.size());
    }
    kestrix::check_distinct_qubits(q, "measure");
    Program measured;
    for (size_t k = 0; k < q.size(); ++k) measured.circuit.append(make_measure(q[k], c[k]));
    return measured;
}

nb::object preprocessing(const Call& call) {
    auto [x] = call.args<1>();
    auto [n_samples, n_features] = unpack_pair_whole(x.attr("shape"));
    nb::object np = call.global("np");
    const Py_ssize_t features = PyNumber_AsSsize_t(n_features.ptr(), PyExc_OverflowError);
    if (features == -1 && PyErr_Occurred()) throw nb::python_error();
    nb::list means;
    for (Py_ssize_t i = 0; i < features; ++i) {
        means.append(np.attr("mean")(column(x, i)));
    }
    nb::object norm_x = x - np.attr("array")(means);
    nb::object covariance = np.attr("dot")(np.attr("transpose")(norm_x), norm_x);
    return nb::make_tuple(norm_x, covariance);
}

nb::object zorvik(const Call& call) {
    auto [sample_A, k] = call.args<2>();
    nb::object np = call.global("np");
    auto [norm_x, A] = unpack_pair_whole(call.global("_preprocessing")(sample_A));
    auto [lambda_A, vector_A] = unpack_pair_whole(np.attr("linalg").attr("eig")(A));
    nb::object features = item(A.attr("shape"), 0);
    // The flattened scatter matrix; its reshape refuses feature counts other than 2 and 4, before
    // any quantum step.
    nb::object A1 = item(A.attr("reshape")(1, power(nb::int_(2), features)), 0);
    nb::object state_vector = np.attr("sqrt")(nb::int_(1) / np.attr("sum")(A1 * A1)) * A1;

    nb::object tao, qm;
    if (features.equal(nb::int_(2))) {
        if (k.equal(nb::int_(2))) {
            tao = call.global("min")(lambda_A) - nb::int_(1);
        } else if (k.equal(nb::int_(1))) {
            tao = np.attr("sum")(lambda_A) / nb::int_(2);
        } else {
            // A refusal, so the exit status is 1: a script that ends here fails.
            call.global("print")("The K Error!");
            call.global("sys").attr("exit")(1);
            return nb::none();
        }
        qm = call.global("_QMachine")(5, 5);
    }
    // The stages define no threshold and no readout for four features: refused here rather than
    // after a wasted run.
    if (features.equal(nb::int_(4))) raise(PyExc_ValueError, "zorvik supports two features; got 4");

    call.global("_init_cir")(qm, state_vector, features);
    nb::object q_list = qm.attr("q_list");
    Circuit cir;
    append(cir, call.global("_phase_estimation_cir")(q_list, lambda_A, tao, features));
    append(cir, call.global("_transition_cir")(q_list, features));
    append(cir, call.global("_cnot_cir")(q_list));
    append(cir, call.global("_transition_reverse_cir")(q_list, features));
    append(cir, call.global("_phase_estimation_reverse_cir")(q_list, lambda_A, tao, features));
    nb::object prog = nb::cast(Program{});
    prog <<= nb::cast(std::move(cir));
    prog <<= call.global("_measure_cir")(prog, q_list, q_list);
    qm.attr("machine").attr("run")(prog, 8192);
    nb::object result = qm.attr("machine").attr("result")().attr("get_prob_dict")(q_list);

    // Shot frequencies of the flagged outcomes, in the dictionary's order.
    nb::list a;
    std::vector<double> flagged;
    for (nb::handle entry : as_list(result.attr("items")())) {
        if (!builtin_int()(item(item(entry, 0), -1)).equal(nb::int_(1))) continue;
        flagged.push_back(rounded_to_four_decimals(item(entry, 1)));
        a.append(flagged.back());
    }
    const double sum_A = as_double(np.attr("sum")(np.attr("array")(a)));

    if (k.equal(nb::int_(1))) {
        if (flagged.empty())
            raise(PyExc_IndexError, "zorvik: no measured outcome has the flag qubit at 1");
        double w0 = std::sqrt(std::sqrt(flagged.front() / sum_A));
        double w1 = std::sqrt(std::sqrt(flagged.back() / sum_A));
        const double norm = std::sqrt(w0 * w0 + w1 * w1);
        w0 /= norm;
        w1 /= norm;
        nb::object vector_zorvik = np.attr("array")(nb::make_tuple(w0, w1)).attr("reshape")(1, 2);
        return np.attr("dot")(norm_x, np.attr("transpose")(vector_zorvik));
    }
    // k == 2: the data in the principal-axis basis, largest eigenvalue first.
    auto [values, vectors] = unpack_pair_whole(np.attr("linalg").attr("eigh")(A));
    return np.attr("dot")(norm_x, np.attr("fliplr")(vectors));
}

}  // namespace

NORVALIS_MODULE(Zorvik, m) {
    m.import_from("kestrix.core", {"CPUQVM", "QCircuit", "QProg", "TOFFOLI", "SWAP", "CNOT", "U1",
                                   "U3", "CR", "I", "H", "X", "Y", "measure"});
    m.import_as("numpy", "np");
    m.import_as("math", "math");
    m.import_as("sys", "sys");
    m.import_star("plugin", 2);

    // -----------------------------------------------------------------------------------
    // Principal-component circuits

    auto machine = m.define_class("_QMachine", R"DOC(
A simulator and the qubit list of a program over q_bit_count qubits, as the
attributes `machine` (a new CPUQVM) and `q_list` ([0, 1, ..., q_bit_count - 1]).
)DOC");
    machine.method("__init__", q_machine_init,
                   {arg("self"), arg("q_bit_count"), arg("c_bit_count")},
                   "Creates `machine` and `q_list`; c_bit_count is accepted and not used.");
    machine.method("__del__", q_machine_del, {arg("self")},
                   "Nothing to release: the simulator goes with the object.");
    machine.finish();

    m.def("_init_cir", init_cir, {arg("qm"), arg("state_vector"), arg("n", 2)}, R"DOC(
Runs a one-gate program, I on qm.q_list[0], for 1000 shots on qm.machine and
returns what run returns. state_vector and n are accepted and do not enter the
program: the data are not encoded, the run starts and ends in |0...0>.
)DOC");

    m.def("_phase_estimation_cir", phase_estimation_cir,
          {arg("q_list"), arg("m"), arg("tao"), arg("n", 2)}, R"DOC(
The phase-estimation stage as a new QCircuit: H on q1 and q2 (the phase
register), the controlled evolution, then the inverse two-qubit Fourier
transform (SWAP(q1, q2), H(q2), CR(q1, q2, -pi/2), H(q1)).

For n == 2 the evolution is U3(q3, -pi/2, -pi/2, pi/2) controlled by q2,
followed by U1(q2, 5pi/4), CNOT(q1, q3), U1(q1, pi) when tao < min(m), or by
U1(q2, 3pi/4), CNOT(q1, q3) when min(m) <= tao < max(m), or by nothing when tao
is not below max(m). For n == 4 it is a fixed 28-gate block on q1..q4 and m and
tao are not read. For other n the stage is the register's H gates and the
inverse transform alone. qN is q_list[N].
)DOC");

    m.def("_transition_cir", transition_cir, {arg("q_list"), arg("n", 2)}, R"DOC(
The transition stage as a new QCircuit: X(q2), then CNOT(q2, q1) for n == 2,
or TOFFOLI(q1, q2, q7), X(q2), CNOT(q7, q1) for n == 4.
)DOC");

    m.def("_cnot_cir", cnot_cir, {arg("q_list")}, R"DOC(
The flag stage as a new QCircuit: X(q1), X(q2), TOFFOLI(q1, q2, q0), X(q1),
X(q2), X(q0). On basis states it inverts q0 exactly when q1 or q2 is 1.
)DOC");

    m.def("_transition_reverse_cir", transition_reverse_cir, {arg("q_list"), arg("n", 2)}, R"DOC(
The inverse of _transition_cir(q_list, n) as a new QCircuit: CNOT(q2, q1) for
n == 2, or CNOT(q7, q1), X(q2), TOFFOLI(q1, q2, q7) for n == 4; then X(q2).
)DOC");

    m.def("_phase_estimation_reverse_cir", phase_estimation_reverse_cir,
          {arg("q_list"), arg("m"), arg("tao"), arg("n", 2)}, R"DOC(
The inverse of _phase_estimation_cir(q_list, m, tao, n) as a new QCircuit: the
Fourier transform (H(q1), U1(q2, pi/2) controlled by q1, H(q2), SWAP(q1, q2)),
the inverse of the chosen evolution (the 28-gate block reversed with its CR
angles negated for n == 4), then H(q1), H(q2).
)DOC");

    m.def("_measure_cir", measure_cir, {arg("prog"), arg("q_list"), arg("c_list")}, R"DOC(
A new QProg measuring q_list[i] into classical bit c_list[i]; `prog` is
accepted and not used.
)DOC");

    // -----------------------------------------------------------------------------------
    // Principal-component driver

    m.def("_preprocessing", preprocessing, {arg("x")}, R"DOC(
(norm_x, covariance_matrix): the data with each column's mean subtracted, and
the scatter matrix norm_x.T @ norm_x (not divided by the number of samples).
`x` must be a two-dimensional array.
)DOC");

    m.def("zorvik", zorvik,
          {arg("sample_A").typed("numpy.typing.ArrayLike"), arg("k").typed("int"),
           returns("numpy.ndarray")},
          R"DOC(
Reduces two-feature data to one component with a fixed phase-estimation
circuit, as a quantum version of principal component analysis.

The rows of sample_A are centred (norm_x) and the scatter matrix
A = norm_x.T @ norm_x is formed; its eigenvalues (np.linalg.eig) set the
threshold tao, half their sum for k == 1. The five stages (phase estimation,
transition, flag, reverse transition, reverse phase estimation) run on five
qubits from |00000>, every qubit is measured, 8192 shots. The shot frequencies
of the outcomes whose flag qubit (qubit 0) reads 1 are rounded to four
decimals; the weights are the fourth roots of the first and the last of them
(in ascending outcome order) divided by their sum, scaled to unit length. The
result is norm_x @ w.

What the circuit computes: the data reach it only through the threshold, which
selects one of three fixed gate sequences (tao between the eigenvalues, equal
to both, below both). With k == 1 and distinct eigenvalues exactly two
outcomes are flagged, each with probability 1/4, so w is (1, 1)/sqrt(2) up to
shot noise (within about 0.02 rad of the diagonal); with equal eigenvalues one
outcome is flagged and w is (1, 1)/sqrt(2) exactly. The result is therefore the
projection on the diagonal. It equals the first principal component (up to
sign) only when the principal axis is the diagonal, as for two standardised,
positively correlated features; for standardised, negatively correlated
features it is the second component instead, and for other data somewhere in
between.

Choices made here:
- w is divided by its norm: the fourth roots alone have norm 2**(1/4) for two
  equal weights, which would scale every projected value.
- k == 2 returns norm_x @ V, shape (n_samples, 2), V the eigenvectors of A
  (np.linalg.eigh) ordered by decreasing eigenvalue, signs free: the data in
  the principal-axis basis. The circuit still runs but carries no information
  on the axes.
- Four features are refused before any simulator is created.

Args:
    sample_A: ndarray (n_samples, 2), integer or floating point.
    k: 1, or 2 for both components.

Returns:
    ndarray of shape (n_samples, 1) for k == 1, (n_samples, 2) for k == 2.

Raises:
    SystemExit: for k other than 1 and 2, with exit status 1 (SystemExit(1)),
        after printing "The K Error!" and before any simulator is created.
    ValueError: "zorvik supports two features; got 4"; NumPy's reshape error
        for other feature counts; one-dimensional input.
    IndexError: no measured outcome has the flag qubit at 1 (k == 1).

Example:
    >>> X = np.array([[2, 1], [3, 4], [5, 5], [6, 8], [8, 7], [9, 10]])
    >>> zorvik(X, 1).shape
    (6, 1)
)DOC");
}
