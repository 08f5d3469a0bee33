#pragma once
// A noise model: which channel follows which gates on which qubits, and the readout errors
// of measurements. attach_noise spells a circuit out with its channels in place, the one
// form that trajectories and density matrices both run.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kestrix/lib/ir/circuit.h"
#include "kestrix/lib/noise/channel.h"

namespace kestrix {

struct NoiseRule {
    Channel channel;
    std::optional<std::vector<std::string>> gates;  ///< gate names; all gates when none
    std::optional<std::vector<int>> qubits;         ///< all qubits when none
    friend bool operator==(const NoiseRule&, const NoiseRule&) = default;
};

class NoiseModel {
  public:
    /// Attaches `channel` after every gate named in `gates` ("H", "CNOT", ...; every gate
    /// when none) on `qubits` (every qubit when none). A one-qubit channel follows each of
    /// the gate's qubits (targets and controls) that lies in `qubits`; a k-qubit channel
    /// follows gates on exactly k qubits, all in `qubits`, on those qubits in the gate's
    /// order (operands, then controls). A readout error attaches to the measurements of
    /// `qubits` (gates must then be none). ValueError for an unknown gate name, a repeated
    /// or negative qubit.
    void add(Channel channel, std::optional<std::vector<std::string>> gates = std::nullopt,
             std::optional<std::vector<int>> qubits = std::nullopt);

    const std::vector<NoiseRule>& rules() const { return rules_; }
    bool empty() const { return rules_.empty(); }
    /// Whether every channel that may follow a gate is a mixture of unitaries.
    bool all_mixtures() const;

    /// The (rule index, qubits) of every channel that follows `gate`, in rule order.
    std::vector<std::pair<int, std::vector<int>>> channels_after(const Gate& gate) const;
    /// The confusion of a measurement of `qubit`, every readout rule on it composed in
    /// order: {p01, p10}; {0, 0} when none applies.
    std::pair<double, double> readout(int qubit) const;

    friend bool operator==(const NoiseModel&, const NoiseModel&) = default;

  private:
    std::vector<NoiseRule> rules_;
};

/// One step of a noisy circuit: a gate (measurements included) or a channel.
struct NoisyStep {
    enum class Kind : uint8_t { Gate, Channel };
    Kind kind = Kind::Gate;
    Gate gate;                ///< Kind::Gate
    int rule = -1;            ///< Kind::Channel: index into the model's rules
    std::vector<int> qubits;  ///< Kind::Channel
};

/// The circuit's gates in execution order (blocks expanded, barriers left out), each
/// followed by the channels the model attaches to it.
std::vector<NoisyStep> attach_noise(const Circuit& circuit, const NoiseModel& model);

}  // namespace kestrix
