#include "ansatz.h"

namespace norvalis::sorvic {

using kestrix::GateKind;

int64_t angles_per_layer(int qubits) { return qubits == 1 ? 3 : 4 * int64_t(qubits); }

std::vector<AnsatzGate> ansatz_layout(int qubits, int64_t layers) {
    std::vector<AnsatzGate> gates;
    gates.reserve(size_t(layers * angles_per_layer(qubits)));
    for (int64_t layer = 0; layer < layers; ++layer) {
        for (int q = 0; q < qubits; ++q) {
            gates.push_back({Generator::Z, q});
            gates.push_back({Generator::X, q});
            gates.push_back({Generator::Z, q});
        }
        if (qubits == 1) continue;
        for (int q = 0; q < qubits; ++q)
            gates.push_back({Generator::ControlledY, (q + 1) % qubits, q});
    }
    return gates;
}

kestrix::Gate ansatz_gate(const AnsatzGate& gate, double angle) {
    switch (gate.generator) {
        case Generator::Z: return kestrix::make_gate(GateKind::RZ, {gate.target}, {angle});
        case Generator::X: return kestrix::make_gate(GateKind::RX, {gate.target}, {angle});
        case Generator::ControlledY:
            return kestrix::make_gate(GateKind::RY, {gate.target}, {angle})
                .controlled({gate.control});
    }
    return {};
}

kestrix::Circuit ansatz_circuit(const std::vector<AnsatzGate>& layout,
                                const std::vector<kestrix::Parameter>& angles) {
    kestrix::Circuit c;
    for (size_t k = 0; k < layout.size(); ++k) {
        kestrix::Gate g = ansatz_gate(layout[k], 0.0);
        g.symbols = std::make_shared<const kestrix::SymbolList>(
            kestrix::SymbolList{{0, {angles[k], 1, 0}}});
        c.append(g);
    }
    return c;
}

kestrix::Circuit ansatz_circuit(const std::vector<AnsatzGate>& layout,
                                std::span<const double> angles) {
    kestrix::Circuit c;
    for (size_t k = 0; k < layout.size(); ++k) c.append(ansatz_gate(layout[k], angles[k]));
    return c;
}

}  // namespace norvalis::sorvic
