#include "kestrix/lib/circuit_tools.h"

#include <algorithm>
#include <map>


namespace kestrix {

bool same_gates(const Circuit& a, const Circuit& b) {
    if (&a == &b) return true;
    if (a.gate_count() != b.gate_count()) return false;
    const std::vector<Gate> left = a.flatten(), right = b.flatten();
    return std::equal(left.begin(), left.end(), right.begin());
}

size_t depth(const Circuit& circuit) {
    std::vector<size_t> qubit_level(circuit.width(), 0);
    std::map<int, size_t> cbit_level;
    size_t deepest = 0;
    circuit.for_each_gate([&](const Gate& g) {
        const std::vector<int> qubits = g.all_qubits();
        size_t level = 0;
        for (int q : qubits) level = std::max(level, qubit_level[q]);
        if (g.kind == GateKind::MEASURE) level = std::max(level, cbit_level[g.cbit]);
        if (g.kind != GateKind::BARRIER) ++level;
        for (int q : qubits) qubit_level[q] = level;
        if (g.kind == GateKind::MEASURE) cbit_level[g.cbit] = level;
        deepest = std::max(deepest, level);
    });
    return deepest;
}

std::vector<std::pair<std::string, size_t>> count_ops(const Circuit& circuit) {
    std::vector<std::pair<std::string, size_t>> counts;
    std::map<GateKind, size_t> slot;
    circuit.for_each_gate([&](const Gate& g) {
        auto [it, added] = slot.try_emplace(g.kind, counts.size());
        if (added) counts.emplace_back(gate_name(g.kind), 0);
        ++counts[it->second].second;
    });
    std::stable_sort(counts.begin(), counts.end(),
                     [](const auto& x, const auto& y) { return x.second > y.second; });
    return counts;
}

}  // namespace kestrix
