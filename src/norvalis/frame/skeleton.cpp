// norvalis._skeleton: a whole module in miniature, the one a new module starts from (see
// GUIDE.md beside it). It prepares Bell pairs, samples them and filters the counts.
#include <vector>

#include "norvalis/frame/frame.h"

namespace {

using namespace norvalis::frame;

// Helpers that callers never see sit above the module body, in C++ types.
Circuit bell_pair(int a, int b, bool flip) {
    Circuit c;
    c.append(make_gate(GateKind::H, {a}));
    c.append(make_gate(GateKind::CNOT, {a, b}));
    if (flip) c.append(make_gate(GateKind::X, {b}));
    return c;
}

// Then the module's functions and methods, one named function each (the Python name; a
// method prefixed with its class), in the order the module body registers them.

Circuit bell_circuit(const Call& call) {
    auto [qubits, flip] = call.args<2>();
    check_exact_type(qubits, &PyList_Type, "qubits");
    const std::vector<int> q = to_index_list(qubits, "qubit");  // once, at entry
    if (q.size() != 2) {
        raise(PyExc_ValueError, "bell_circuit needs 2 qubits, got %zu", q.size());
    }
    return bell_pair(q[0], q[1], truthy(flip));  // returns as a kestrix.core.QCircuit
}

void bell_sampler_init(const Call& call) {
    auto [self, shots] = call.args<2>();
    check_exact_type(shots, &PyLong_Type, "shots");
    nb::setattr(self, "shots", shots);
}

nb::object bell_sampler_sample(const Call& call) {
    auto [self, flip] = call.args<2>();
    // bell_circuit is looked up now, so a caller who replaces it is obeyed. While it is
    // still the module's own, the circuit it would return is built here, without the
    // Python call (the "originals" fast path).
    Program program{Circuit(), 2};
    if (call.is_original("bell_circuit")) {
        program.circuit = bell_pair(0, 1, truthy(flip));
    } else {
        program.circuit = to_circuit(call.global("bell_circuit")(int_list({0, 1}), flip));
    }
    program.circuit.append(make_measure(0, 0));
    program.circuit.append(make_measure(1, 1));
    const kestrix::Result result = run_program(program, to_count(self.attr("shots"), "shots"));
    nb::dict counts;
    for (auto [outcome, count] : result.counts()) {
        const char key[3] = {outcome.bit(1) ? '1' : '0', outcome.bit(0) ? '1' : '0', '\0'};
        counts[key] = count;
    }
    return counts;
}

// BellSampler.threshold_filter.<locals>.keep: `minimum` is captured. A closure's body is
// a named function too, read like any other.
nb::dict bell_sampler_keep(const Call& inner) {
    auto [counts] = inner.args<1>();
    nb::handle least = inner.captured(0);
    nb::dict kept;
    // items() is a snapshot: no user code runs on `counts` while we read it.
    for (auto pair : counts.attr("items")()) {
        if (!(pair[1] < least)) kept[pair[0]] = pair[1];
    }
    return kept;
}

nb::object bell_sampler_threshold_filter(const Call& call) {
    auto [self, minimum] = call.args<2>();
    return closure(call, "keep", {arg("counts")}, "The outcomes seen at least `minimum` times.",
                   nb::make_tuple(minimum), bell_sampler_keep);
}

}  // namespace

NORVALIS_MODULE(_skeleton, m) {
    // Load-time bindings first, in their documented order.
    m.import_from("kestrix.core", {"CPUQVM", "QCircuit", "QProg", "H", "CNOT"});
    m.import_as("numpy", "np");
    m.import_star("plugin", 1);  // from .plugin import *: one dot, norvalis.plugin

    // Then functions and classes in source order; defaults are computed once, here.
    m.def("bell_circuit", bell_circuit, {arg("qubits"), arg("flip", false)}, R"DOC(
A QCircuit preparing (|00> + |11>)/sqrt(2) on the two qubits of the list, or
(|01> + |10>)/sqrt(2) when `flip` is true.

Args:
    qubits: exactly a list of two qubit indices.
    flip: read by its truth value.

Returns:
    QCircuit
)DOC");

    auto sampler = m.define_class("BellSampler", R"DOC(
Samples Bell pairs on qubits 0 and 1; `shots` is kept as an attribute that
callers may change between calls.
)DOC");

    sampler.method("__init__", bell_sampler_init, {arg("self"), arg("shots", 1000)},
                   "Stores `shots` (an int).");

    sampler.method("sample", bell_sampler_sample, {arg("self"), arg("flip", false)}, R"DOC(
Shot counts {"00": n, "11": m} (or "01"/"10" when flipped) of one run, seeded
from NumPy's global generator.
)DOC");

    sampler.method("threshold_filter", bell_sampler_threshold_filter, {arg("self"), arg("minimum")},
                   R"DOC(
A function keep(counts) that drops the outcomes seen fewer than `minimum`
times.
)DOC");
    sampler.finish();
}
