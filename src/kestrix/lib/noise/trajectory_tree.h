#pragma once
// Shots that travel together through a noisy circuit: they split among a channel's branches
// as they reach it, so shots that share their history share its simulation.
#include <cstdint>
#include <functional>
#include <vector>

#include "kestrix/lib/base/interrupt.h"
#include "kestrix/lib/noise/model.h"
#include "kestrix/lib/plan/plan.h"
#include "kestrix/lib/run/sampling.h"
#include "kestrix/lib/run/statevector.h"

namespace kestrix {

/// One step of a noisy run: a planned run of gates, a channel or a measurement.
struct Event {
    enum class Kind : uint8_t { Piece, Channel, Measure } kind;
    size_t index;  ///< the piece, or the step of attach_noise
};

/// The reduced density matrix of `qubits` (local index bit j = qubits[j]), in one pass.
Matrix reduced_density(const StateVector& state, const std::vector<int>& qubits);

/// A draw of `m` shots over branches of these probabilities (need not sum to 1 exactly):
/// the count of each branch.
std::vector<uint64_t> multinomial(uint64_t m, const std::vector<double>& p, Rng& rng);

/// The shots of a program whose measurements all come at the end (measurement events are
/// passed over). The shots travel together and split among a channel's branches as they
/// reach it (a multinomial draw over the branch probabilities on the state: by coin tosses
/// for a unitary mixture, from the reduced density matrix otherwise). Each split copies the
/// state for the branches other than the one most shots took, which goes on in place; such
/// a branch holds at most half the shots, so at most log2(shots) copies are alive at once.
/// Past `max_depth` copies, a branch is set aside with its history and simulated again from
/// |0...0> later. Every final state is handed to `leaf` with its number of shots. The tree
/// keeps references to its arguments: they must outlive it.
class TrajectoryTree {
  public:
    using Leaf = std::function<void(const StateVector&, uint64_t)>;
    TrajectoryTree(const std::vector<Plan>& pieces, const std::vector<Event>& events,
                   const std::vector<NoisyStep>& steps, const NoiseModel& model, Rng& rng,
                   const InterruptCheck& interrupt, size_t max_depth, Leaf leaf)
        : pieces_(pieces),
          events_(events),
          steps_(steps),
          model_(model),
          rng_(rng),
          interrupt_(interrupt),
          max_depth_(max_depth),
          leaf_(std::move(leaf)) {}

    /// Runs `shots` shots from `state`, which must be |0...0> (it is used as scratch).
    void run(StateVector& state, uint64_t shots);

  private:
    struct Pending {
        std::vector<uint32_t> history;  ///< the branch taken at each channel before `event`
        size_t event;
        uint64_t shots;
    };

    void descend(StateVector& state, size_t e, uint64_t m);

    const std::vector<Plan>& pieces_;
    const std::vector<Event>& events_;
    const std::vector<NoisyStep>& steps_;
    const NoiseModel& model_;
    Rng& rng_;
    const InterruptCheck& interrupt_;
    size_t max_depth_;
    Leaf leaf_;
    size_t depth_ = 0;
    std::vector<uint32_t> history_;
    std::vector<Pending> pending_;
};

/// Applies branch b of a channel to one trajectory's state: the unitary of a mixture, or
/// the Kraus operator scaled by 1 / sqrt(p), p being the branch's probability on the state.
void apply_branch(StateVector& state, const Channel& ch, const std::vector<int>& qubits, size_t b,
                  double p);
/// The probability of each branch of a channel on the state (a mixture's own weights).
std::vector<double> branch_weights(const StateVector& state, const Channel& ch,
                                   const std::vector<int>& qubits);

}  // namespace kestrix
