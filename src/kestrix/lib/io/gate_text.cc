#include "kestrix/lib/io/gate_text.h"

#include "kestrix/lib/io/number_text.h"

namespace kestrix {

namespace {

std::string index_list(const QubitList& values) {
    std::string out = "[";
    for (size_t k = 0; k < values.size(); ++k) out += (k ? ", " : "") + std::to_string(values[k]);
    return out + "]";
}

}  // namespace

std::string gate_text(const Gate& g) {
    std::string out;
    if (g.kind == GateKind::BARRIER) {
        out = "BARRIER(" + index_list(g.qubits) + ")";
    } else if (g.kind == GateKind::UNITARY) {  // the entries would drown the line: their size
        const std::string dim = std::to_string(size_t{1} << g.qubits.size());
        out = "UNITARY(" + index_list(g.qubits) + ", <" + dim + "x" + dim + " matrix>)";
    } else {
        out = g.kind == GateKind::MEASURE ? "measure(" : std::string(gate_name(g.kind)) + "(";
        for (size_t k = 0; k < g.qubits.size(); ++k)
            out += (k ? ", " : "") + std::to_string(g.qubits[k]);
        if (g.kind == GateKind::MEASURE) out += ", " + std::to_string(g.cbit);
        for (double p : g.params) out += ", " + shortest_text(p);
        out += ")";
    }
    if (!g.controls.empty()) out += ".control(" + index_list(g.controls) + ")";
    if (g.dagger) out += ".dagger()";
    return out;
}

}  // namespace kestrix
