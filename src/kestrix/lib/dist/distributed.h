#pragma once
// Running a program with its state split over the 2^k ranks of a communicator: the top k
// qubits are global (the rank's bits), the rest index each rank's slice. Every rank runs
// the same program and gets the same answers as the single-process engine: counts drawn
// from the same seed, and probabilities summed in the same order (each rank continues the
// running sums of the ranks before it), so results do not depend on the number of ranks.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "kestrix/lib/base/interrupt.h"
#include "kestrix/lib/dist/communicator.h"
#include "kestrix/lib/ir/program.h"
#include "kestrix/lib/run/pauli.h"
#include "kestrix/lib/run/sampling.h"
#include "kestrix/lib/run/simulator.h"
#include "kestrix/lib/run/statevector.h"

namespace kestrix {

/// What a run spent on exchanges, seen from one rank.
struct ExchangeStats {
    uint64_t exchanges = 0;  ///< index-bit swaps (half a slice each)
    uint64_t bytes = 0;      ///< bytes this rank sent
    double seconds = 0;      ///< wall time inside exchanges, packing included
};

struct DistributedOptions {
    /// The exchange buffers (send and receive together) as a share of a slice, in (0, 1]:
    /// a swap moves half a slice through them in as many pieces as it takes.
    double buffer_share = 0.125;
};

class DistributedResult {
  public:
    int num_qubits() const { return result_.num_qubits(); }
    uint64_t shots() const { return result_.shots(); }
    /// Counts, measured bits and per-shot memory, the same on every rank; holds no state.
    const Result& result() const { return result_; }
    const ExchangeStats& stats() const { return stats_; }
    int global_qubits() const { return global_qubits_; }

    /// The calls below are collective: every rank calls them, in the same order.
    ///
    /// Exact probabilities over `qubits` (index bit k = qubits[k]), as Result gives them.
    std::vector<double> exact_probabilities(const std::vector<int>& qubits) const;
    /// Shot frequencies when every qubit was measured, else exact probabilities.
    std::vector<double> probabilities(const std::vector<int>& qubits) const;
    /// The whole final state on `root` (nullopt on the other ranks). MemoryError on every
    /// rank when it cannot fit on the root; ValueError for a program simulated shot by
    /// shot, which keeps no single final state.
    std::optional<StateVector> gather(int root) const;
    /// <psi|H|psi> of the final state, the same on every rank: a term that flips global
    /// qubits reads the partner rank's slice, piece by piece. IndexError when the
    /// observable is wider than the state; ValueError after mid-circuit measurements.
    double expectation(const PauliSum& observable) const;

  private:
    friend class DistributedSimulator;
    template <class Prob>
    std::vector<double> marginal(const std::vector<int>& qubits, const Prob& prob) const;

    std::shared_ptr<Communicator> comm_;
    Result result_;
    int global_qubits_ = 0;
    std::optional<StateVector> slice_;  ///< final slice, when one simulation served all shots
    std::vector<double> mean_slice_;    ///< else: this slice's probabilities averaged over shots
    ExchangeStats stats_;
};

class DistributedSimulator {
  public:
    /// Runs `program` as Simulator::run does, over every rank of `comm` (a collective call).
    /// ValueError on every rank when the number of ranks is not a power of two, leaves
    /// fewer local qubits than a step needs, or the ranks run different programs; any
    /// error on one rank is raised on every rank.
    static DistributedResult run(const Program& program, uint64_t shots, uint64_t seed,
                                 std::shared_ptr<Communicator> comm,
                                 const DistributedOptions& options = {},
                                 const InterruptCheck& interrupt = {}, bool keep_memory = false);
    /// k for a communicator of `size` = 2^k ranks and an n-qubit program (ValueError else).
    static int global_qubits(int size, int n);

  private:
    static std::vector<std::pair<Outcome, uint64_t>> sample_terminal(const DistributedResult& out,
                                                                     Rng& rng);
    static std::vector<std::pair<uint64_t, uint64_t>> sample_qubits(const DistributedResult& out,
                                                                    const std::vector<int>& qubits,
                                                                    uint64_t shots, Rng& rng);
};

}  // namespace kestrix
