#include "kestrix/lib/ir/circuit_tools.h"

#include <algorithm>
#include <map>

#include "kestrix/lib/base/errors.h"

namespace kestrix {

namespace {

// Calls f(gate) for every gate, polling `interrupt` every kPollGates gates.
constexpr uint64_t kPollGates = uint64_t{1} << 16;

template <class F>
void walk(const Circuit& circuit, const InterruptCheck& interrupt, F&& f) {
    uint64_t walked = 0;
    circuit.for_each_gate([&](const Gate& g) {
        if (++walked % kPollGates == 0 && interrupt && interrupt()) throw Interrupted();
        f(g);
    });
}

}  // namespace

bool same_gates(const Circuit& a, const Circuit& b, const InterruptCheck& interrupt) {
    if (&a == &b || &a.items() == &b.items()) return true;
    if (a.gate_count() != b.gate_count()) return false;
    // Side by side, one gate at a time: no expanded copy of either, however large.
    GateCursor left(a), right(b);
    Gate x, y;
    for (uint64_t k = 1; left.next(x) && right.next(y); ++k) {
        if (!(x == y)) return false;
        if (k % kPollGates == 0 && interrupt && interrupt()) throw Interrupted();
    }
    return true;
}

size_t depth(const Circuit& circuit, const InterruptCheck& interrupt) {
    std::vector<size_t> qubit_level(circuit.width(), 0);
    std::map<int, size_t> cbit_level;
    size_t deepest = 0;
    walk(circuit, interrupt, [&](const Gate& g) {
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

std::vector<std::pair<std::string, size_t>> count_ops(const Circuit& circuit,
                                                      const InterruptCheck& interrupt) {
    std::vector<std::pair<std::string, size_t>> counts;
    std::map<GateKind, size_t> slot;
    walk(circuit, interrupt, [&](const Gate& g) {
        auto [it, added] = slot.try_emplace(g.kind, counts.size());
        if (added) counts.emplace_back(gate_name(g.kind), 0);
        ++counts[it->second].second;
    });
    std::stable_sort(counts.begin(), counts.end(),
                     [](const auto& x, const auto& y) { return x.second > y.second; });
    return counts;
}

}  // namespace kestrix
