#pragma once
// A circuit flattened into what the engine executes: lowered gates, precomputed blocks and
// measurements, in order. Runs of identical blocks (phase estimation's controlled powers)
// become one precomputed matrix power when that is cheaper than running every copy.
#include <array>
#include <cstdint>
#include <vector>

#include "kestrix/lib/base/interrupt.h"
#include "kestrix/lib/ir/circuit.h"
#include "kestrix/lib/kernels/kernels.h"
#include "kestrix/lib/plan/op.h"

namespace kestrix {

struct Step {
    enum class Kind : uint8_t { Gate, Block, Measure };
    Kind kind = Kind::Gate;
    GateOp gate;     ///< Kind::Gate
    int block = -1;  ///< Kind::Block: index into Schedule::blocks
    int qubit = -1;  ///< Kind::Measure
    int cbit = -1;   ///< Kind::Measure

    bool is_unitary() const { return kind != Kind::Measure; }
};

struct Schedule {
    std::vector<Step> steps;
    std::vector<Op> blocks;

    /// Appends a step that runs `op`.
    void push_block(Op op);
    /// Qubits a unitary step acts on or is controlled by.
    uint64_t qubit_mask(const Step& step) const;
    /// Runs a unitary step on the whole state, or on the part of it that `fixed` names.
    void apply(cplx* amps, int n, const Step& step, Fixed fixed = {}) const;

    /// The matrices rounded to float for single-precision states, written by
    /// round_to_single: one per step (gates; blocks' entries are in single_blocks).
    std::vector<std::array<cfloat, 16>> single_gates;
    std::vector<std::vector<cfloat>> single_blocks;
    /// Rounds every matrix to float, once the steps are final.
    void round_to_single();
    /// Runs a unitary step of `steps` on a single-precision state (round_to_single first).
    void apply(cfloat* amps, int n, const Step& step, Fixed fixed = {}) const;
};

/// A step whose gate waits for parameters, and how to lower it again once they have
/// values: the gate as walked, under the controls and inversion of the blocks around it.
struct SymbolicStep {
    uint32_t step = 0;  ///< index in Schedule::steps
    Gate gate;
    uint64_t controls = 0;
    bool dagger = false;
};

/// Flattens `circuit` for an n-qubit state. With fold_repeats, runs of identical
/// consecutive blocks on at most kMaxFoldQubits qubits become one matrix power where
/// the estimated work is smaller. With from_zero (the run starts from |0...0>), a block
/// that prepares a state on qubits nothing has yet acted on becomes one step writing its
/// amplitudes. MemoryError when the steps would not fit in memory; Interrupted when
/// `interrupt` asks, polled every few thousand steps.
///
/// A gate that waits for a parameter is a ValueError, unless `symbolic` collects such
/// steps: each is then lowered at angles of no special value (the structure any value
/// gives: whether it is diagonal, which entries may be nonzero) for its matrix to be
/// written again per value, and blocks holding one are never folded.
Schedule make_schedule(const Circuit& circuit, int n, bool fold_repeats = true,
                       const InterruptCheck& interrupt = {}, bool from_zero = false,
                       std::vector<SymbolicStep>* symbolic = nullptr);

/// The 2^s x 2^s row-major matrix of steps[order[0]], steps[order[1]], ... (unitary
/// steps acting only on `support`, ascending, s = support.size() <= kMaxFoldQubits).
std::vector<cplx> steps_matrix(const Schedule& schedule, const std::vector<uint32_t>& order,
                               const std::vector<int>& support);
/// The same written into m (resized; its memory reused from call to call). With `fixed`,
/// the product where the qubits of fixed.mask (outside `support`, never a target of the
/// steps, which must all be gates there) read fixed.values: a gate controlled by one that
/// reads 0 drops out.
void steps_matrix(const Schedule& schedule, const std::vector<uint32_t>& order,
                  const std::vector<int>& support, std::vector<cplx>& m, Fixed fixed = {});

}  // namespace kestrix
