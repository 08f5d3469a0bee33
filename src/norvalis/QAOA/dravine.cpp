// norvalis.QAOA.dravine: Dicke states D(n, k) by weight-distribution trees, and the linear
// W state.
//
// Every block appends its gates, in its documented order, to one circuit in C++, so that a
// 64-qubit Dicke state builds in a millisecond. The internal blocks are exposed under
// their leading-underscore names for inspection and reuse; prepare_dicke_state and
// linear_w_state use the compiled blocks directly, so replacing one of those names on the
// module does not change them.
#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "norvalis/frame/frame.h"

namespace {

using namespace norvalis::frame;
using Qubits = std::vector<int>;
using u128 = unsigned __int128;

// ---------------------------------------------------------------------------------------
// Arguments. Qubit lists are read as positions: slicing and indexing follow Python's rules
// on the list, never on qubit values.

// Integer arguments stay within +-2^60, so that sums of two never overflow.
constexpr long long kIntegerLimit = 1LL << 60;

long long to_integer(nb::handle value, const char* name) {
    nb::object index = as_index(value);
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow != 0 || v > kIntegerLimit || v < -kIntegerLimit)
        raise(PyExc_OverflowError, "%s is too large: %S", name, value.ptr());
    return v;
}

// Any sequence of qubit indices (list, tuple, range, NumPy integer array).
Qubits to_qubits(nb::handle value, const char* name) {
    if (kestrix::py::is_integer_scalar(value) || !PySequence_Check(value.ptr()))
        raise(PyExc_TypeError, "%s must be a sequence of qubits, got %s", name,
              Py_TYPE(value.ptr())->tp_name);
    return to_index_list(value, "qubit");
}

std::optional<int> to_optional_qubit(nb::handle value) {
    if (value.is_none()) return std::nullopt;
    return to_index(value, "qubit");
}

// q[i], negative i counting from the end.
int at(const Qubits& q, long long i) {
    const long long n = static_cast<long long>(q.size());
    if (i < 0) i += n;
    if (i < 0 || i >= n) raise(PyExc_IndexError, "list index out of range");
    return q[size_t(i)];
}

long long slice_bound(long long i, long long n) {
    if (i < 0) i = std::max(i + n, 0LL);
    return std::min(i, n);
}

// q[start:stop]; an empty optional is an omitted bound.
Qubits slice_of(const Qubits& q, std::optional<long long> start, std::optional<long long> stop) {
    const long long n = static_cast<long long>(q.size());
    const long long a = start ? slice_bound(*start, n) : 0;
    const long long b = stop ? slice_bound(*stop, n) : n;
    return a < b ? Qubits(q.begin() + a, q.begin() + b) : Qubits{};
}

// The `classic` argument as the blocks test it: its type exactly int selects the classical
// branches of the distribution and the reduction, and None alone brings the one-hot
// conversions around the distribution.
struct Classic {
    bool is_none = true;
    std::optional<long long> weight;
};

Classic to_classic(nb::handle value) {
    Classic classic{value.is_none(), std::nullopt};
    if (PyLong_CheckExact(value.ptr())) classic.weight = to_integer(value, "classic");
    return classic;
}

void check_signals() {
    if (PyErr_CheckSignals() != 0) throw nb::python_error();
}

// ---------------------------------------------------------------------------------------
// Rotation angles

// C(a, b), 0 outside 0 <= b <= a as SciPy's comb gives it; empty when it exceeds 128 bits.
std::optional<u128> exact_binomial(long long a, long long b) {
    if (a < 0 || b < 0 || b > a) return u128(0);
    b = std::min(b, a - b);
    u128 c = 1;
    for (long long j = 0; j < b; ++j) {
        u128 product;  // C(a, j) * (a - j) = C(a, j + 1) * (j + 1): the division is exact
        if (__builtin_mul_overflow(c, u128(a - j), &product)) return std::nullopt;
        c = product / u128(j + 1);
    }
    return c;
}

long double approximate_binomial(long long a, long long b) {
    if (a < 0 || b < 0 || b > a) return 0;
    b = std::min(b, a - b);
    long double c = 1;
    for (long long j = 0; j < b && std::isfinite(c); ++j) c = c * (a - j) / (j + 1);
    return c;
}

// For i = 0 .. min(nl, n - m): pw[i] = C(m, nl - i) * C(n - m, i), the strings of weight nl
// with i units in the lower part, and acc[i] = pw[i] + ... + pw[last], those with at least
// i. The suffix sum equals C(n, nl) minus the prefix sum, without the cancellation that
// the difference suffers from about 35 qubits on. Exact in 128-bit integers while they
// fit (n up to about 125), in long double beyond.
struct WeightCounts {
    std::vector<long double> pw, acc;
};

WeightCounts weight_counts(long long n, long long m, long long nl, long long ctrl_size) {
    const size_t size = size_t(ctrl_size) + 1;
    std::vector<u128> exact(size);
    bool fits = true;
    for (size_t i = 0; i < size && fits; ++i) {
        if ((i & 1023) == 0) check_signals();
        const auto upper = exact_binomial(m, nl - static_cast<long long>(i));
        const auto lower = exact_binomial(n - m, static_cast<long long>(i));
        fits = upper && lower && !__builtin_mul_overflow(*upper, *lower, &exact[i]);
    }
    WeightCounts counts{std::vector<long double>(size), std::vector<long double>(size)};
    if (fits) {
        u128 tail = 0;
        for (size_t i = size; i-- > 0;) {
            fits = fits && !__builtin_add_overflow(tail, exact[i], &tail);
            counts.pw[i] = static_cast<long double>(exact[i]);
            counts.acc[i] = static_cast<long double>(tail);
        }
    }
    if (!fits) {
        long double tail = 0;
        for (size_t i = size; i-- > 0;) {
            if ((i & 1023) == 0) check_signals();
            counts.pw[i] = approximate_binomial(m, nl - static_cast<long long>(i)) *
                           approximate_binomial(n - m, static_cast<long long>(i));
            tail += counts.pw[i];
            counts.acc[i] = tail;
        }
        if (!std::isfinite(tail))
            raise(PyExc_OverflowError, "binomial counts too large for a block of %lld qubits", n);
    }
    return counts;
}

// Angle i = acos(2 pw[i] / acc[i] - 1): an RY of it leaves |0> with probability
// pw[i] / acc[i], the chance that exactly i units move down given that at least i do.
std::vector<double> ry_angles(long long n, long long m, long long nl) {
    const long long ctrl_size = std::min(nl, n - m);
    if (ctrl_size <= 0) return {};
    const WeightCounts counts = weight_counts(n, m, nl, ctrl_size);
    std::vector<double> angles(static_cast<size_t>(ctrl_size));
    for (size_t i = 0; i < angles.size(); ++i) {
        // The ratio in long double: beyond about 1030 qubits the counts exceed a double.
        if (counts.acc[i] == 0) raise(PyExc_ZeroDivisionError, "float division by zero");
        const long double share = 2 * counts.pw[i] / counts.acc[i];
        angles[i] = std::acos(static_cast<double>(share - 1));
    }
    return angles;
}

// ---------------------------------------------------------------------------------------
// Blocks: each appends its gates to `c` in its documented order.

Gate cnot(int control, int target) { return make_gate(GateKind::CNOT, {control, target}); }

// RY(ang) on q2 controlled by q1 (and ctrl_q): one controlled gate, or its decomposition
// RY(ang/2), flip, RY(-ang/2), flip with a CNOT or a TOFFOLI as the flip.
void append_control_ry(Circuit& c, int q1, int q2, double ang, std::optional<int> ctrl_q,
                       bool compress) {
    if (compress) {
        const Gate ry = make_gate(GateKind::RY, {q2}, {ang});
        c.append(ctrl_q ? ry.controlled({q1, *ctrl_q}) : ry.controlled({q1}));
        return;
    }
    const Gate flip = ctrl_q ? make_gate(GateKind::TOFFOLI, {q1, *ctrl_q, q2}) : cnot(q1, q2);
    c.append(make_gate(GateKind::RY, {q2}, {ang / 2}));
    c.append(flip);
    c.append(make_gate(GateKind::RY, {q2}, {-ang / 2}));
    c.append(flip);
}

// Moves the |1> of q1 to q2 with amplitude sin(ang/2); |00> and |11> stay.
void append_rotation_swap(Circuit& c, int q1, int q2, double ang, std::optional<int> ctrl_q,
                          bool compress) {
    c.append(cnot(q2, q1));
    append_control_ry(c, q1, q2, ang, ctrl_q, compress);
    c.append(cnot(q2, q1));
}

// CNOT(qb[i+1], qb[i]) for increasing i (padded to one-hot), or decreasing i (back).
void append_padded_to_one_hot(Circuit& c, const Qubits& qb, bool reverse) {
    const size_t pairs = qb.empty() ? 0 : qb.size() - 1;
    for (size_t p = 0; p < pairs; ++p) {
        const size_t i = reverse ? pairs - 1 - p : p;
        c.append(cnot(qb[i + 1], qb[i]));
    }
}

// Writes, padded on qb2, how many units of weight move down from the upper regime.
void append_distributed_weight(Circuit& c, const Qubits& qb1, const Qubits& qb2, long long n,
                               long long m, long long k, const Classic& classic, bool compress) {
    if (classic.weight) {
        const long long weight = *classic.weight;
        if (weight > k) raise(PyExc_ValueError, "The given classic assumption should less than k.");
        const std::vector<double> ang = ry_angles(n, m, weight);
        const long long ctrl_size = std::min(n - m, weight);
        for (long long j = 0; j < ctrl_size; ++j) {
            if (j == 0) {
                c.append(make_gate(GateKind::RY, {at(qb2, 0)}, {ang[0]}));
            } else {
                append_control_ry(c, at(qb2, j - 1), at(qb2, j), ang[size_t(j)], std::nullopt,
                                  compress);
            }
        }
        return;
    }
    // qb1 holds the upper weight one-hot: qb1[i] is set exactly when it is i + 1.
    for (long long i = k - 1; i >= 0; --i) {
        const int qc_u = at(qb1, i);
        const std::vector<double> ang = ry_angles(n, m, i + 1);
        const long long ctrl_size = std::min(n - m, i + 1);
        for (long long j = 0; j < ctrl_size; ++j) {
            std::optional<int> chain;
            if (j > 0) chain = at(qb2, j - 1);
            append_control_ry(c, qc_u, at(qb2, j), ang[size_t(j)], chain, compress);
        }
    }
}

// Controlled on qc, rotates qts by one place towards the front.
void append_ladder_plus(Circuit& c, const Qubits& qts, int qc) {
    for (size_t i = 0; i + 1 < qts.size(); ++i)
        c.append(make_gate(GateKind::SWAP, {qts[i], qts[i + 1]}).controlled({qc}));
}

// Removes from the upper regime the weight that moved down, keeping it padded.
void append_weight_reduction(Circuit& c, const Qubits& qb1, const Qubits& qb2, long long k,
                             const Classic& classic) {
    if (classic.weight) {
        // One layer of CNOTs: qb2[0] clears qb1[k-1], qb2[1] clears qb1[k-2], ...
        const long long ctrl_size = std::min(*classic.weight, static_cast<long long>(qb2.size()));
        const Qubits upper = slice_of(qb1, k - ctrl_size, k);
        const Qubits lower = slice_of(qb2, std::nullopt, ctrl_size);
        for (size_t j = 0; j < std::min(upper.size(), lower.size()); ++j)
            c.append(cnot(lower[j], upper[upper.size() - 1 - j]));
        return;
    }
    const long long size2 = static_cast<long long>(qb2.size());
    for (long long i = std::min(k, size2) - 1; i >= 0; --i) {
        const int qc = qb2[size_t(i)];
        const Qubits ql = slice_of(qb1, i, k);
        if (ql.size() > 1) append_ladder_plus(c, ql, qc);
        c.append(cnot(qc, at(qb1, -1)));
    }
}

// Moves part of the weight of the upper m qubits of an n-qubit block into the lower part,
// in superposition with hypergeometric amplitudes.
void append_weight_distribution_block(Circuit& c, const Qubits& q_list, long long n, long long m,
                                      long long k, const Classic& classic, bool compress) {
    if (m < n - m) raise(PyExc_ValueError, "Expect the upper regime is bigger.");
    const Qubits upper = slice_of(q_list, std::nullopt, k);
    const Qubits lower = slice_of(q_list, m, m + k);
    if (classic.is_none) append_padded_to_one_hot(c, upper, false);
    append_distributed_weight(c, upper, lower, n, m, k, classic, compress);
    if (classic.is_none) append_padded_to_one_hot(c, upper, true);
    append_weight_reduction(c, upper, lower, k, classic);
}

long long floor_div(long long a, long long b) {
    const long long q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// The upper (left) size when a block of n qubits holding weight up to k is split.
std::optional<long long> left_size(long long n, long long k) {
    if (k == 0) raise(PyExc_ZeroDivisionError, "integer division or modulo by zero");
    const long long size = floor_div(n, k);
    const long long resi = n - size * k;
    if (size == 0) return std::nullopt;
    if (size % 2 == 0) return k * (size / 2) + resi;
    return k * floor_div(size + 1, 2);  // k * ceil(size / 2)
}

// A node covers positions [start, end); `upper` is its upper size, or empty for a leaf.
struct Node {
    long long start, end;
    std::optional<long long> upper;
};
using Tree = std::vector<std::vector<Node>>;

Tree wbd_tree(long long n, long long k) {
    // A negative weight would split one node into itself forever.
    if (k < 0) raise(PyExc_ValueError, "The weight k should not be negative.");
    Tree tree{{Node{0, n, left_size(n, k)}}};
    for (;;) {
        std::vector<Node> layer;
        for (const Node& node : tree.back()) {
            if (!node.upper) continue;
            if ((layer.size() & 4095) == 0) check_signals();
            const long long l_end = node.start + *node.upper;
            const auto sub_lw = left_size(*node.upper, k);
            const auto sub_rw = left_size(node.end - node.start - *node.upper, k);
            layer.push_back({node.start, l_end, l_end - node.start > k ? sub_lw : std::nullopt});
            layer.push_back({l_end, node.end, node.end - l_end > k ? sub_rw : std::nullopt});
        }
        if (layer.empty()) return tree;
        tree.push_back(std::move(layer));
    }
}

// One split-and-shift step: rotation-swaps from q_list[0] onto each later qubit, each
// controlled by the qubit before it; angle i is 2 acos(sqrt(i / n)).
void append_movement_block(Circuit& c, const Qubits& q_list, bool compress) {
    const size_t n = q_list.size();
    if (n < 2) return;
    const double nd = static_cast<double>(n);
    append_rotation_swap(c, q_list[0], q_list[1], std::acos(2 / nd - 1), std::nullopt, compress);
    for (size_t i = 2; i < n; ++i)
        append_rotation_swap(c, q_list[0], q_list[i], std::acos(2.0 * double(i) / nd - 1),
                             q_list[i - 1], compress);
}

// Turns a padded weight w on the leaf into the leaf's Dicke state of weight w, every w at
// once: movement blocks on q_list, q_list[1:], q_list[2:], ... down to two qubits.
void append_smooth_block(Circuit& c, const Qubits& q_list, bool compress) {
    for (size_t start = 0; start + 1 < q_list.size(); ++start)
        append_movement_block(c, Qubits(q_list.begin() + long(start), q_list.end()), compress);
}

Circuit dicke_state(const Qubits& q_list, long long k, bool compress) {
    const long long n = static_cast<long long>(q_list.size());
    Circuit circuit;
    if (k > n || k < 0 || n == 0) raise(PyExc_ValueError, "Invalid Dicke state parameter: k > n");
    if (k == n) {
        for (int q : q_list) circuit.append(make_gate(GateKind::X, {q}));
        return circuit;
    }
    // Above half the register, D(n, n - k) with every qubit flipped at the end.
    const bool tail_x = k > (n + 1) / 2;
    if (tail_x) k = n - k;
    if (k == 0) return circuit;
    for (long long i = 0; i < k; ++i) circuit.append(make_gate(GateKind::X, {q_list[size_t(i)]}));
    circuit.append(make_gate(GateKind::BARRIER, q_list));
    for (const auto& layer : wbd_tree(n, k)) {
        for (const Node& node : layer) {
            const Qubits work = slice_of(q_list, node.start, node.end);
            const long long size = static_cast<long long>(work.size());
            if (!node.upper) {
                append_smooth_block(circuit, work, compress);
            } else {
                // The root's upper regime holds the classical string 1^k 0^(m-k).
                const Classic classic = size == n ? Classic{false, k} : Classic{};
                append_weight_distribution_block(circuit, work, size, *node.upper, k, classic,
                                                 compress);
            }
        }
    }
    if (tail_x)
        for (int q : q_list) circuit.append(make_gate(GateKind::X, {q}));
    return circuit;
}

// The weight of prepare_dicke_state: a NumPy integer acts as the equal int (so the root
// block takes its classical branch either way); bools and floats are refused. Values
// beyond the C range are reported as the out-of-range weights they are.
long long dicke_weight(nb::handle k) {
    if (!kestrix::py::is_integer_scalar(k))
        raise(PyExc_TypeError, "k must be an integer, got %s", Py_TYPE(k.ptr())->tp_name);
    nb::object index = as_index(k);
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return overflow > 0 ? kIntegerLimit : overflow < 0 ? -1 : v;
}

Circuit w_state(const Qubits& q_list, bool compress) {
    const size_t n = q_list.size();
    if (n == 0) raise(PyExc_ValueError, "Apply on at least one qubit.");
    Circuit circuit;
    circuit.append(make_gate(GateKind::X, {q_list[0]}));
    for (size_t i = 1; i < n; ++i) {
        // The excitation moves on with conditional probability (n - i) / (n - i + 1).
        const double ang = std::acos(2 / double(n - i + 1) - 1);
        append_control_ry(circuit, q_list[i - 1], q_list[i], ang, std::nullopt, compress);
        circuit.append(cnot(q_list[i], q_list[i - 1]));
    }
    return circuit;
}

nb::object optional_int(std::optional<long long> value) {
    return value ? nb::object(nb::int_(*value)) : nb::none();
}

Circuit prepare_dicke_state(const Call& call) {
    auto [q_list, k, compress] = call.args<3>();
    const long long weight = dicke_weight(k);
    return dicke_state(to_qubits(q_list, "q_list"), weight, truthy(compress));
}

// The two rotation blocks take the same arguments: (q1, q2, ang, ctrl_q, compress).
using RotationBlock = void (*)(Circuit&, int, int, double, std::optional<int>, bool);

Circuit rotation_block(const Call& call, RotationBlock block) {
    auto [q1, q2, ang, ctrl_q, compress] = call.args<5>();
    Circuit c;
    block(c, to_index(q1, "qubit"), to_index(q2, "qubit"), to_angle(ang, "ang"),
          to_optional_qubit(ctrl_q), truthy(compress));
    return c;
}

Circuit control_ry(const Call& call) { return rotation_block(call, append_control_ry); }

Circuit rotation_swap(const Call& call) { return rotation_block(call, append_rotation_swap); }

Circuit padded_to_one_hot(const Call& call) {
    auto [qb, reverse] = call.args<2>();
    Circuit c;
    append_padded_to_one_hot(c, to_qubits(qb, "qb"), truthy(reverse));
    return c;
}

nb::object generate_ry_angles(const Call& call) {
    auto [n, m, nl] = call.args<3>();
    nb::list angles;
    for (double a : ry_angles(to_integer(n, "n"), to_integer(m, "m"), to_integer(nl, "nl")))
        angles.append(a);
    return angles;
}

Circuit distribute_weight(const Call& call) {
    auto [qb1, qb2, n, mm, k, classic, compress] = call.args<7>();
    Circuit c;
    append_distributed_weight(c, to_qubits(qb1, "qb1"), to_qubits(qb2, "qb2"), to_integer(n, "n"),
                              to_integer(mm, "m"), to_integer(k, "k"), to_classic(classic),
                              truthy(compress));
    return c;
}

Circuit ladder_plus(const Call& call) {
    auto [qts, qc] = call.args<2>();
    Circuit c;
    append_ladder_plus(c, to_qubits(qts, "qts"), to_index(qc, "qubit"));
    return c;
}

Circuit weight_reduction(const Call& call) {
    auto [qb1, qb2, k, classic] = call.args<4>();
    Circuit c;
    append_weight_reduction(c, to_qubits(qb1, "qb1"), to_qubits(qb2, "qb2"), to_integer(k, "k"),
                            to_classic(classic));
    return c;
}

Circuit weight_distribution_block(const Call& call) {
    auto [q_list, n, mm, k, classic, compress] = call.args<6>();
    Circuit c;
    append_weight_distribution_block(c, to_qubits(q_list, "q_list"), to_integer(n, "n"),
                                     to_integer(mm, "m"), to_integer(k, "k"), to_classic(classic),
                                     truthy(compress));
    return c;
}

nb::object cal_left(const Call& call) {
    auto [n, k] = call.args<2>();
    return optional_int(left_size(to_integer(n, "n"), to_integer(k, "k")));
}

nb::object grow_wbd_tree(const Call& call) {
    auto [n, k] = call.args<2>();
    nb::list tree;
    for (const auto& layer : wbd_tree(to_integer(n, "n"), to_integer(k, "k"))) {
        nb::list nodes;
        for (const Node& node : layer) {
            nb::list entry;
            entry.append(nb::make_tuple(node.start, node.end));
            entry.append(optional_int(node.upper));
            nodes.append(entry);
        }
        tree.append(nodes);
    }
    return tree;
}

Circuit movement_block(const Call& call) {
    auto [q_list, compress] = call.args<2>();
    Circuit c;
    append_movement_block(c, to_qubits(q_list, "q_list"), truthy(compress));
    return c;
}

Circuit smooth_block(const Call& call) {
    auto [q_list, compress] = call.args<2>();
    Circuit c;
    append_smooth_block(c, to_qubits(q_list, "q_list"), truthy(compress));
    return c;
}

Circuit linear_w_state(const Call& call) {
    auto [q_list, compress] = call.args<2>();
    return w_state(to_qubits(q_list, "q_list"), truthy(compress));
}

}  // namespace

// The stubs' type of a qubit list: NumPy integer arrays are taken as well.
constexpr const char* kQubits = "collections.abc.Sequence[int] | numpy.typing.ArrayLike";

NORVALIS_MODULE(dravine, m) {
    m.import_from("math", {"ceil", "acos"});
    m.import_from("scipy.special", {"comb"});
    m.import_from("kestrix.core", {"QCircuit", "X", "RY", "CNOT", "SWAP", "TOFFOLI", "BARRIER"});

    m.def("prepare_dicke_state", prepare_dicke_state,
          {arg("q_list").typed(kQubits), arg("k").typed("int"), arg("compress", true).typed("bool"),
           returns("kestrix.core.QCircuit")},
          R"DOC(
A QCircuit taking the qubits of q_list from all-zero to the Dicke state
D(n, k), the equal superposition of the n-bit strings of Hamming weight k
(n = len(q_list)).

The first k qubits are flipped, the register is cut into a balanced tree of
weight-distribution blocks that pass weight down with hypergeometric
amplitudes, and each leaf is smoothed into its own Dicke state: depth
O(k log(n/k)) with all-to-all connectivity. Above half the register,
D(n, n - k) is built and every qubit flipped at the end.

Args:
    q_list: a sequence of qubits, taken by position.
    k: the weight, an int; a NumPy integer acts exactly as the equal int, a
        bool or a float is a TypeError.
    compress: by truth value; true makes each controlled rotation one
        controlled RY, false decomposes it into RY with CNOT or TOFFOLI.

Raises:
    ValueError("Invalid Dicke state parameter: k > n") for k > n, k < 0 or an
    empty q_list.

The rotation angles come from exact integer counts (suffix sums of the
hypergeometric terms), so the amplitudes stay exact to rounding for every
register the simulator can hold.
)DOC");

    m.def("_control_ry", control_ry,
          {arg("q1"), arg("q2"), arg("ang"), arg("ctrl_q", nb::none()), arg("compress", true)},
          R"DOC(
RY(ang) on q2 controlled by q1, and by ctrl_q when given: one controlled
gate, or with compress false RY(ang/2), CNOT or TOFFOLI, RY(-ang/2), the
same flip again.
)DOC");

    m.def("_rotation_swap", rotation_swap,
          {arg("q1"), arg("q2"), arg("ang"), arg("ctrl_q", nb::none()), arg("compress", true)},
          R"DOC(
CNOT(q2, q1), the controlled RY of _control_ry(q1, q2, ang, ...), CNOT(q2, q1):
|10> becomes cos(ang/2)|10> + sin(ang/2)|01>, |00> and |11> stay; with
ctrl_q only when ctrl_q is |1>.
)DOC");

    m.def("_padded_to_one_hot", padded_to_one_hot, {arg("qb"), arg("reverse", false)}, R"DOC(
CNOT(qb[i+1], qb[i]) for i = 0 .. len(qb) - 2: padded to one-hot encoding;
in the reverse order (reverse true) one-hot back to padded.
)DOC");

    m.def("_generate_ry_angles", generate_ry_angles, {arg("n"), arg("m"), arg("nl")}, R"DOC(
The min(nl, n - m) angles acos(2 pw[i] / acc[i] - 1) that split a weight nl on
n qubits between an upper part of m qubits and a lower part of n - m:
pw[i] = C(m, nl - i) C(n - m, i) strings have i units in the lower part and
acc[i] = pw[i] + pw[i+1] + ... have at least i. Counting acc as that suffix
sum (equal to C(n, nl) minus the prefix sum) keeps the angles exact for wide
registers, where the difference cancels catastrophically.
)DOC");

    m.def("_distribute_weight", distribute_weight,
          {arg("qb1"), arg("qb2"), arg("n"), arg("m"), arg("k"), arg("classic", nb::none()),
           arg("compress", true)},
          R"DOC(
Writes on qb2, padded, how many units of weight move down from the upper
regime, with hypergeometric amplitudes. With `classic` of type exactly int the
upper regime holds that weight classically (ValueError above k); otherwise
qb1 holds it one-hot.
)DOC");

    m.def("_ladder_plus", ladder_plus, {arg("qts"), arg("qc")}, R"DOC(
SWAP(qts[i], qts[i+1]) controlled by qc for increasing i: controlled on qc,
the contents of qts move one place towards the front and qts[0]'s to the end.
)DOC");

    m.def("_weight_reduction", weight_reduction,
          {arg("qb1"), arg("qb2"), arg("k"), arg("classic", nb::none())}, R"DOC(
Clears from the upper regime qb1 the weight that moved down to qb2, keeping
the upper weight padded: one layer of CNOTs for a classical input (`classic`
of type exactly int), controlled ladders and CNOTs otherwise.
)DOC");

    m.def("_weight_distribution_block", weight_distribution_block,
          {arg("q_list"), arg("n"), arg("m"), arg("k"), arg("classic", nb::none()),
           arg("compress", true)},
          R"DOC(
One inner node of the tree on an n-qubit block with upper size m: one-hot
conversion (when classic is None), weight distribution, conversion back,
weight reduction. ValueError("Expect the upper regime is bigger.") when
m < n - m.
)DOC");

    m.def("_cal_left", cal_left, {arg("n"), arg("k")}, R"DOC(
The upper size when a block of n qubits holding weight up to k is split, or
None when n < k: with size = n // k and resi = n % k, k * (size // 2) + resi
for an even size and k * ceil(size / 2) for an odd one.
)DOC");

    m.def("_grow_wbd_tree", grow_wbd_tree, {arg("n"), arg("k")}, R"DOC(
The weight-distribution tree of D(n, k): a list of layers in depth order, a
layer a list of nodes [(q_st, q_end), lw], lw the upper size of an inner node
or None for a leaf. Blocks are split until they hold at most k qubits.
A negative k is a ValueError (it would split a node into itself forever).
)DOC");

    m.def("_movement_block", movement_block, {arg("q_list"), arg("compress", true)}, R"DOC(
One split-and-shift step: rotation-swaps from q_list[0] onto q_list[1] (angle
acos(2/n - 1)) and onto each q_list[i] controlled by q_list[i-1] (angle
acos(2i/n - 1)). Empty for fewer than two qubits.
)DOC");

    m.def("_smooth_block", smooth_block, {arg("q_list"), arg("compress", true)}, R"DOC(
Movement blocks on q_list, q_list[1:], ... down to two qubits: a weight w held
padded on the leaf becomes the leaf's Dicke state of weight w, for every w at
once. Empty for fewer than two qubits.
)DOC");

    m.def("linear_w_state", linear_w_state,
          {arg("q_list").typed(kQubits), arg("compress", true).typed("bool"),
           returns("kestrix.core.QCircuit")},
          R"DOC(
A QCircuit preparing the W state D(n, 1) on q_list with nearest-neighbour
steps along the list: X on the first qubit, then for each next qubit a
controlled RY that passes the excitation on and a CNOT back that clears the
previous qubit. With compress false it has 3(n - 1) CNOT gates.

Raises ValueError("Apply on at least one qubit.") for an empty list.
)DOC");
}
