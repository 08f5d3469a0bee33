// norvalis.QAOA.marrowind: XY mixers over the domains of a QAOA register, and initial states
// that are products of Dicke or W states, one per domain.
//
// The mixers build their exchange blocks in C++. The names that a Python module would look
// up while running are looked up on this module at call time, so a replacement takes effect:
// the mixers in mixer_circuit, the forwarders in init_state_circuit, `dravine` in the
// forwarders, and `iswap` in the mixers (a replaced iswap is called once per pair).
#include <cmath>
#include <vector>

#include "norvalis/frame/frame.h"

namespace {

using namespace norvalis::frame;
using Qubits = std::vector<int>;

// exp(-i angle (XX + YY) / 2) on (q1, q2), exactly, in eight gates.
void append_iswap(Circuit& c, int q1, int q2, double angle) {
    const double quarter = M_PI / 2;
    c.append(make_gate(GateKind::RX, {q1}, {quarter}));
    c.append(make_gate(GateKind::RX, {q2}, {quarter}));
    c.append(make_gate(GateKind::CNOT, {q1, q2}));
    c.append(make_gate(GateKind::RX, {q1}, {angle}));
    c.append(make_gate(GateKind::RZ, {q2}, {angle}));
    c.append(make_gate(GateKind::CNOT, {q1, q2}));
    c.append(make_gate(GateKind::RX, {q1}, {-quarter}));
    c.append(make_gate(GateKind::RX, {q2}, {-quarter}));
}

// The exchange blocks of one mixer call, on pairs of positions into qlist, with the
// mixer's angle -2t: compiled while `iswap` is this module's own, else by calling the
// replacement with the list's items.
class PairBlocks {
  public:
    PairBlocks(const Call& call, nb::handle qlist, nb::handle t)
        : swap_(call.global("iswap")),
          compiled_(is_original("iswap", swap_)),
          scaled_(nb::int_(-2) * t) {
        if (kestrix::py::is_integer_scalar(qlist) || !PySequence_Check(qlist.ptr()))
            raise(PyExc_TypeError, "qlist must be a sequence of qubits, got %s",
                  Py_TYPE(qlist.ptr())->tp_name);
        items_ = as_list(qlist);  // a snapshot, read once
        if (compiled()) qubits_ = to_index_list(items_, "qubit");
    }

    size_t size() const { return items_.size(); }

    // A lone qubit: RX(-2t).
    void single(Circuit& c) const {
        c.append(make_gate(GateKind::RX, {to_index(items_[0], "qubit")}, {angle()}));
    }

    void pair(Circuit& c, size_t a, size_t b) const {
        if (compiled()) {
            append_iswap(c, qubits_[a], qubits_[b], angle());
        } else {
            append(c, swap_(items_[a], items_[b], scaled_));
        }
    }

  private:
    bool compiled() const { return compiled_; }
    double angle() const { return to_angle(scaled_, "angle"); }

    nb::object swap_;
    bool compiled_;
    nb::object scaled_;
    nb::list items_;
    Qubits qubits_;
};

// Every non-empty subset of the bits 0 .. k1-1 as a mask: by size, then in the order of
// itertools.combinations(range(k1), size).
std::vector<size_t> xor_masks(int k1) {
    std::vector<size_t> masks;
    for (int size = 1; size <= k1; ++size) {
        std::vector<int> combi(static_cast<size_t>(size));
        for (int j = 0; j < size; ++j) combi[size_t(j)] = j;
        for (;;) {
            size_t mask = 0;
            for (int bit : combi) mask |= size_t(1) << bit;
            masks.push_back(mask);
            int j = size - 1;  // the last position that can still move right
            while (j >= 0 && combi[size_t(j)] == k1 - size + j) --j;
            if (j < 0) break;
            ++combi[size_t(j)];
            for (int t = j + 1; t < size; ++t) combi[size_t(t)] = combi[size_t(t - 1)] + 1;
        }
    }
    return masks;
}

// The domains as lists of positions, formed as both closures form them; `indivisible` is
// the message for an int count that does not divide the register.
nb::list domain_positions(nb::handle domains, Py_ssize_t q_num, const char* indivisible) {
    nb::list out;
    if (PyLong_CheckExact(domains.ptr())) {
        // Python's modulo: a count of 0 is its ZeroDivisionError.
        nb::object rest = nb::steal(PyNumber_Remainder(nb::int_(q_num).ptr(), domains.ptr()));
        if (!rest.is_valid()) throw nb::python_error();
        if (truthy(rest)) raise(PyExc_ValueError, indivisible);
        if (q_num == 0) return out;  // an empty register has no domain to form
        // The count divides q_num, so it fits; a negative one forms no run, as range() would.
        const Py_ssize_t features = q_num / Py_ssize_t(as_long(domains));
        for (Py_ssize_t start = 0; features > 0 && start < q_num; start += features) {
            nb::list run;
            for (Py_ssize_t i = start; i < start + features; ++i) run.append(i);
            out.append(run);
        }
    } else if (PyList_CheckExact(domains.ptr())) {
        // A snapshot: user code run while reading a domain cannot change the iteration.
        out = as_list(domains);
    } else if (domains.is_none()) {
        for (Py_ssize_t i = 0; i < q_num; ++i) {
            nb::list single;
            single.append(i);
            out.append(single);
        }
    }
    return out;
}

// [qlist[i] for i in domain]: positions into qlist, Python's indexing rules included.
nb::list domain_qubits(nb::handle qlist, nb::handle domain) {
    nb::list q_domain;
    for (nb::handle i : domain) q_domain.append(qlist[i]);
    return q_domain;
}

Circuit iswap(const Call& call) {
    auto [q1, q2, angle] = call.args<3>();
    Circuit c;
    append_iswap(c, to_index(q1, "qubit"), to_index(q2, "qubit"), to_angle(angle, "angle"));
    return c;
}

Circuit parity_partition_xy_mixer(const Call& call) {
    auto [qlist, beta] = call.args<2>();
    const PairBlocks blocks(call, qlist, beta);
    const size_t q_num = blocks.size();
    Circuit cir;
    if (q_num == 1) {
        blocks.single(cir);
    } else if (q_num == 2) {
        blocks.pair(cir, 0, 1);
        return cir;
    }
    for (size_t i = 0; i + 1 < q_num; i += 2) blocks.pair(cir, i, i + 1);
    for (size_t i = 1; i < q_num; i += 2) {
        if (i + 1 < q_num) {
            blocks.pair(cir, i, i + 1);
        } else {
            blocks.pair(cir, q_num - 1, 0);
        }
    }
    return cir;
}

Circuit complete_xy_mixer(const Call& call) {
    auto [qlist, angle] = call.args<2>();
    const PairBlocks blocks(call, qlist, angle);
    const size_t q_num = blocks.size();
    int k1 = 0;
    while ((size_t(1) << k1) < q_num) ++k1;
    Circuit cir;
    for (size_t mask : xor_masks(k1)) {
        // (first, first ^ mask) is new exactly when first is its smaller end: the larger end maps
        // back to a first that came earlier.
        for (size_t first = 0; first < q_num; ++first) {
            const size_t second = first ^ mask;
            if (second > first && second < q_num) blocks.pair(cir, first, second);
        }
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
    }
    return cir;
}

// xy_mixer.<locals>.mixer_circuit: the domains and mixer_type are captured.
Circuit mixer_circuit(const Call& inner) {
    auto [qlist, angle] = inner.args<2>();
    nb::handle domains = inner.captured(0), mixer_type = inner.captured(1);
    const nb::list domain_qlist =
        domain_positions(domains, length(qlist), "q_num should be divisible by domains");
    Circuit cir;
    for (nb::handle domain : domain_qlist) {
        nb::list q_domain = domain_qubits(qlist, domain);
        const char* mixer = nullptr;
        if (mixer_type.equal(nb::str("PXY"))) {
            mixer = "parity_partition_xy_mixer";
        } else if (mixer_type.equal(nb::str("CXY"))) {
            mixer = "complete_xy_mixer";
        } else {
            raise(PyExc_ValueError, "mixer_type should be one of PXY or CXY");
        }
        append(cir, inner.global(mixer)(q_domain, angle));
    }
    return cir;
}

nb::object xy_mixer(const Call& call) {
    auto [domains, mixer_type] = call.args<2>();
    return closure(call, "mixer_circuit", {arg("qlist"), arg("angle")},
                   "The mixer over every domain of qlist, with mixing angle `angle`.",
                   nb::make_tuple(domains, mixer_type), mixer_circuit);
}

// init_d_state.<locals>.init_state_circuit: the domains, k and compress are captured.
Circuit init_state_circuit(const Call& inner) {
    auto [qlist] = inner.args<1>();
    nb::handle domains = inner.captured(0), k = inner.captured(1), compress = inner.captured(2);
    const nb::list domain_qlist = domain_positions(
        domains, length(qlist), "The number of qubits is not divisible by the number of domains.");
    Circuit cir;
    for (nb::handle domain : domain_qlist) {
        nb::list q_domain = domain_qubits(qlist, domain);
        if (k.equal(nb::int_(1))) {
            append(cir, inner.global("linear_w_state")(q_domain, compress));
        } else {
            append(cir, inner.global("prepare_dicke_state")(q_domain, k, compress));
        }
    }
    return cir;
}

nb::object init_d_state(const Call& call) {
    auto [domains, k, compress] = call.args<3>();
    return closure(call, "init_state_circuit", {arg("qlist")},
                   "The product of per-domain Dicke (or W) states on qlist.",
                   nb::make_tuple(domains, k, compress), init_state_circuit);
}

nb::object prepare_dicke_state(const Call& call) {
    auto [q_list, k, compress] = call.args<3>();
    return call.global("dravine").attr("prepare_dicke_state")(q_list, k, compress);
}

nb::object linear_w_state(const Call& call) {
    auto [q_list, compress] = call.args<2>();
    return call.global("dravine").attr("linear_w_state")(q_list, compress);
}

}  // namespace

// The stubs' types of a qubit list (NumPy integer arrays too) and of a list of domains.
constexpr const char* kQubits = "collections.abc.Sequence[int] | numpy.typing.ArrayLike";
constexpr const char* kDomains = "collections.abc.Sequence[collections.abc.Sequence[int]]";

NORVALIS_MODULE(marrowind, m) {
    m.import_as("numpy", "np");
    m.import_from("itertools", {"combinations"});
    m.import_from("kestrix.core", {"QCircuit", "RX", "CNOT", "RZ"});
    m.import_from("", {"dravine"}, 1);

    // -----------------------------------------------------------------------------------
    // XY mixers

    m.def("iswap", iswap,
          {arg("q1").typed("int"), arg("q2").typed("int"), arg("angle").typed("float"),
           returns("kestrix.core.QCircuit")},
          R"DOC(
The exchange block exp(-i angle (XX + YY) / 2) on (q1, q2), exactly and
without global phase, as eight gates: RX(pi/2) on both, CNOT(q1, q2),
RX(angle) on q1 and RZ(angle) on q2, CNOT(q1, q2), RX(-pi/2) on both. It
leaves |00> and |11> alone and turns |01>, |10> into each other by cos(angle)
and -i sin(angle), so the Hamming weight is kept.
)DOC");

    m.def(
        "parity_partition_xy_mixer", parity_partition_xy_mixer,
        {arg("qlist").typed(kQubits), arg("beta").typed("float"), returns("kestrix.core.QCircuit")},
        R"DOC(
The ring XY mixer to first order: iswap(-2 beta) on the even pairs (0, 1),
(2, 3), ..., then on the odd pairs (1, 2), (3, 4), ..., closing the ring with
(last, first) only for an even number of qubits. Two qubits get one block,
one qubit RX(-2 beta), none an empty circuit.
)DOC");

    m.def("complete_xy_mixer", complete_xy_mixer,
          {arg("qlist").typed(kQubits), arg("angle").typed("float"),
           returns("kestrix.core.QCircuit")},
          R"DOC(
The XY mixer over every pair of qubits, iswap(-2 angle) each, ordered so that
pairs sharing an XOR mask of their positions come together: for every
non-empty subset of the ceil(log2 n) index bits (by size, then in
itertools.combinations order), the pairs (p, p ^ mask) in increasing p. Each
unordered pair occurs once, so there are n (n - 1) / 2 blocks.
)DOC");

    m.def("xy_mixer", xy_mixer,
          {arg("domains").typed(kDomains), arg("mixer_type", "PXY").typed("str"),
           returns("collections.abc.Callable[[collections.abc.Sequence[int], float], "
                   "kestrix.core.QCircuit]")},
          R"DOC(
A function mixer_circuit(qlist, angle) that applies an XY mixer to every
domain of the register qlist and returns the QCircuit.

Args:
    domains: an int (that many equal contiguous domains), a list of lists of
        positions into qlist, or None (one domain per qubit); the types are
        tested exactly, so any other value forms no domain.
    mixer_type: "PXY" (parity_partition_xy_mixer) or "CXY"
        (complete_xy_mixer).

Nothing is checked here; mixer_circuit raises, when called,
ValueError("q_num should be divisible by domains"), ZeroDivisionError for a
count of 0, ValueError("mixer_type should be one of PXY or CXY") at the first
domain, and IndexError for a position outside qlist. A negative count forms no
domain, as does any count on an empty register.
)DOC");

    // -----------------------------------------------------------------------------------
    // Initial states

    m.def("init_d_state", init_d_state,
          {arg("domains").typed(kDomains), arg("k", 1).typed("int"),
           arg("compress", true).typed("bool"),
           returns(
               "collections.abc.Callable[[collections.abc.Sequence[int]], kestrix.core.QCircuit]")},
          R"DOC(
A function init_state_circuit(qlist) that prepares, on every domain of the
register qlist, the Dicke state of weight k (the W state for k == 1), and
returns the QCircuit.

Args:
    domains: as for xy_mixer: an int, a list of lists of positions into
        qlist, or None; any other type forms no domain.
    k: the weight in every domain.
    compress: passed on to the state builders.

Nothing is checked here; init_state_circuit raises, when called,
ValueError("The number of qubits is not divisible by the number of
domains."), ZeroDivisionError for a count of 0, and the errors of
prepare_dicke_state and linear_w_state.
)DOC");

    m.def("prepare_dicke_state", prepare_dicke_state,
          {arg("q_list").typed(kQubits), arg("k").typed("int"), arg("compress", true).typed("bool"),
           returns("kestrix.core.QCircuit")},
          R"DOC(
dravine.prepare_dicke_state(q_list, k, compress), unchanged.
)DOC");

    m.def("linear_w_state", linear_w_state,
          {arg("q_list").typed(kQubits), arg("compress", true).typed("bool"),
           returns("kestrix.core.QCircuit")},
          R"DOC(
dravine.linear_w_state(q_list, compress), unchanged.
)DOC");
}
