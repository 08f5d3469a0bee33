#pragma once
// Running a program: from the all-zero state, through every gate, to shot counts and
// probabilities. Terminal measurements are sampled from one simulation; a program that
// measures a qubit and then acts on it again is simulated once per shot, with collapse.
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "program.h"
#include "statevector.h"

namespace kestrix {

/// Returns true when a long run should stop (polled every few million amplitude updates).
using InterruptCheck = std::function<bool()>;

class Result {
  public:
    int num_qubits() const { return num_qubits_; }
    uint64_t shots() const { return shots_; }
    bool measured() const { return !cbits_.empty(); }
    /// Distinct measured classical bits, ascending.
    const std::vector<int>& cbits() const { return cbits_; }
    /// (outcome, count) ascending by outcome; outcome bit j is the value of cbits()[j].
    const std::vector<std::pair<uint64_t, uint64_t>>& counts() const { return counts_; }

    /// Exact probabilities over `qubits` (index bit k = qubits[k]).
    std::vector<double> exact_probabilities(const std::vector<int>& qubits) const;
    /// Shot frequencies over `qubits` when all of them were measured; nullopt otherwise.
    std::optional<std::vector<double>> shot_frequencies(const std::vector<int>& qubits) const;
    /// What get_prob_list(qubits) reads: frequencies when all are measured, else exact.
    std::vector<double> probabilities(const std::vector<int>& qubits) const;

  private:
    friend class Simulator;
    friend struct ResultCodec;  // pickling reads and rebuilds every field
    int num_qubits_ = 0;
    uint64_t shots_ = 0;
    std::vector<int> cbits_;
    std::vector<int> cbit_qubit_;  ///< the qubit whose value each of cbits_ holds
    std::vector<std::pair<uint64_t, uint64_t>> counts_;
    std::optional<StateVector> state_;  ///< final state when one simulation served all shots
    std::vector<double> mean_probs_;    ///< else: final probabilities averaged over shots
};

class Simulator {
  public:
    /// Runs `program` for `shots` shots; the seed fixes every random draw.
    static Result run(const Program& program, uint64_t shots, uint64_t seed,
                      const InterruptCheck& interrupt = {});
};

}  // namespace kestrix
