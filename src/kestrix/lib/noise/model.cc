#include "kestrix/lib/noise/model.h"

#include <algorithm>

#include "kestrix/lib/base/errors.h"

namespace kestrix {

namespace {

bool is_gate_name(const std::string& name) {
    for (int k = 0; k <= int(GateKind::SX); ++k) {
        const auto kind = GateKind(k);
        if (kind != GateKind::MEASURE && kind != GateKind::BARRIER && name == gate_name(kind))
            return true;
    }
    return false;
}

bool contains(const std::optional<std::vector<int>>& qubits, int q) {
    return !qubits || std::find(qubits->begin(), qubits->end(), q) != qubits->end();
}

}  // namespace

void NoiseModel::add(Channel channel, std::optional<std::vector<std::string>> gates,
                     std::optional<std::vector<int>> qubits) {
    if (qubits) check_distinct_qubits(*qubits, "NoiseModel.add");
    if (channel.kind == Channel::Kind::Readout) {
        if (gates) {
            throw ValueError(
                "NoiseModel.add: a readout error attaches to measurements; leave gates=None");
        }
    } else if (gates) {
        for (const std::string& name : *gates) {
            if (!is_gate_name(name)) {
                throw ValueError("NoiseModel.add: unknown gate name '" + name +
                                 "' (expected names such as 'H', 'CNOT', 'RX')");
            }
        }
    }
    rules_.push_back({std::move(channel), std::move(gates), std::move(qubits)});
}

bool NoiseModel::all_mixtures() const {
    return std::all_of(rules_.begin(), rules_.end(), [](const NoiseRule& r) {
        return r.channel.kind == Channel::Kind::Readout || r.channel.is_mixture();
    });
}

std::vector<std::pair<int, std::vector<int>>> NoiseModel::channels_after(const Gate& gate) const {
    std::vector<std::pair<int, std::vector<int>>> out;
    if (!gate.is_unitary()) return out;
    const std::vector<int> on = gate.all_qubits();
    for (size_t r = 0; r < rules_.size(); ++r) {
        const NoiseRule& rule = rules_[r];
        if (rule.channel.kind == Channel::Kind::Readout) continue;
        if (rule.gates && std::find(rule.gates->begin(), rule.gates->end(), gate_name(gate.kind)) ==
                              rule.gates->end())
            continue;
        if (rule.channel.num_qubits == 1) {
            for (int q : on)
                if (contains(rule.qubits, q)) out.push_back({int(r), {q}});
        } else if (int(on.size()) == rule.channel.num_qubits &&
                   std::all_of(on.begin(), on.end(),
                               [&](int q) { return contains(rule.qubits, q); })) {
            out.push_back({int(r), on});
        }
    }
    return out;
}

std::pair<double, double> NoiseModel::readout(int qubit) const {
    double p01 = 0, p10 = 0;
    for (const NoiseRule& rule : rules_) {
        if (rule.channel.kind != Channel::Kind::Readout || !contains(rule.qubits, qubit)) continue;
        const double b01 = rule.channel.p01, b10 = rule.channel.p10;
        // One confusion after the other: a bit ends flipped when exactly one of them flips it.
        const double c01 = p01 * (1 - b10) + (1 - p01) * b01;
        const double c10 = p10 * (1 - b01) + (1 - p10) * b10;
        p01 = c01;
        p10 = c10;
    }
    return {p01, p10};
}

std::vector<NoisyStep> attach_noise(const Circuit& circuit, const NoiseModel& model) {
    std::vector<NoisyStep> steps;
    circuit.for_each_gate([&](const Gate& g) {
        if (g.kind == GateKind::BARRIER) return;
        steps.push_back({NoisyStep::Kind::Gate, g, -1, {}});
        for (auto& [rule, qubits] : model.channels_after(g))
            steps.push_back({NoisyStep::Kind::Channel, Gate{}, rule, std::move(qubits)});
    });
    return steps;
}

}  // namespace kestrix
