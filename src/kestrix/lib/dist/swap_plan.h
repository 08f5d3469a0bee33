#pragma once
// Which qubits each process holds, step by step, for a state split over 2^k processes.
// Physical index bits below n - k are local (an index into a process's slice); the top k
// are global (the bits of the process's rank). A step whose targets are all local runs
// on each slice with the ordinary kernels; controls and diagonal factors on global bits
// need nothing, since each process knows its own global bits. A non-diagonal target on
// a global bit is first swapped with a local bit: an exchange of half a slice with the
// process whose rank differs in that bit. The plan looks ahead to choose the local bit to
// swap out: the qubit needed again last (or never), as an optimal cache evicts. Before it
// swaps, it runs the later steps that need no global qubit and share no qubit with a step
// left waiting (they commute with it): a layer of gates is not cut in two by an exchange.
#include <cstdint>
#include <vector>

#include "kestrix/lib/plan/schedule.h"

namespace kestrix {

struct SwapAction {
    enum class Kind : uint8_t { Swap, Run, Measure, Permute };
    Kind kind = Kind::Run;
    int local = 0;                ///< Swap: the local physical bit
    int global = 0;               ///< Swap: the global physical bit
    std::vector<uint32_t> steps;  ///< Run: unitary schedule steps, in the order they run
    uint32_t step = 0;            ///< Measure: the schedule step
    /// Run, Measure and Permute: the physical bit of each logical qubit while it runs.
    /// Permute reorders the local bits from this placement back to the identity.
    std::vector<int> position;
};

class SwapPlan {
  public:
    /// Plans `schedule` (steps on n qubits) over 2^global_qubits processes. ValueError when
    /// a step needs more local qubits than a slice has. The plan ends with the identity
    /// placement, so the final slices are contiguous pieces of the state in rank order.
    SwapPlan(const Schedule& schedule, int n, int global_qubits);

    int num_qubits() const { return n_; }
    int local_qubits() const { return n_ - k_; }
    const std::vector<SwapAction>& actions() const { return actions_; }
    /// Index-bit swaps one run of the plan makes (the final restoring ones included).
    size_t swaps() const;

    /// The logical qubits a step needs local: the targets of a non-diagonal operation.
    static uint64_t needs_local(const Schedule& schedule, const Step& step);
    /// The most local qubits any step of `schedule` needs.
    static int widest(const Schedule& schedule);

  private:
    int n_, k_;
    std::vector<SwapAction> actions_;
};

/// The steps `order` of `schedule` as they run on the slice of process `rank`, whose
/// global bits are the bits of its rank: qubits renamed to their physical local bits,
/// controls on global bits resolved (the step is dropped where one reads 0), diagonals
/// cut to the entries of this slice (a constant factor becomes a diagonal on bit 0).
Schedule local_steps(const Schedule& schedule, const std::vector<uint32_t>& order,
                     const std::vector<int>& position, int local_qubits, uint64_t rank);

/// The SWAP steps that bring local bits from `position` back to the identity.
Schedule unpermute_steps(const std::vector<int>& position, int local_qubits);

}  // namespace kestrix
