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

std::string expr_text(const ParamExpr& e) {
    std::string out = e.scale == 1    ? e.param->name
                      : e.scale == -1 ? "-" + e.param->name
                                      : shortest_text(e.scale) + "*" + e.param->name;
    if (e.offset != 0)
        out += (e.offset < 0 ? " - " : " + ") + shortest_text(e.offset < 0 ? -e.offset : e.offset);
    return out;
}

std::string angle_text(const Gate& g, int slot) {
    const ParamExpr* e = g.symbol_at(slot);
    return e ? expr_text(*e) : shortest_text(g.params[slot]);
}

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
        for (size_t k = 0; k < g.params.size(); ++k) out += ", " + angle_text(g, int(k));
        out += ")";
    }
    if (!g.controls.empty()) out += ".control(" + index_list(g.controls) + ")";
    if (g.dagger) out += ".dagger()";
    return out;
}

}  // namespace kestrix
