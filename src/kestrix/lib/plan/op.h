#pragma once
// What the engine runs: gates lowered to matrices with control masks (GateOp, no heap
// memory, one per gate) and the fused or precomputed operations built from them (Op).
#include <array>
#include <cstdint>
#include <vector>

#include "kestrix/lib/ir/gate.h"
#include "kestrix/lib/ir/matrix.h"

namespace kestrix {

/// One gate as the kernels see it.
struct GateOp {
    int num_targets = 1;               ///< 1 or 2
    std::array<int, 2> targets{0, 0};  ///< targets[0] is the low bit of the local index
    uint64_t control_mask = 0;
    bool diagonal = false;
    /// 2x2 in the first 4 entries, or 4x4; row-major; zero until lowering writes it.
    std::array<cplx, 16> m{};

    uint64_t target_mask() const;
    uint64_t qubit_mask() const { return target_mask() | control_mask; }
};

/// A gate's matrix with its controls listed: the plain form, for references and tests.
struct Unitary {
    int num_targets = 1;               ///< 1 or 2
    std::array<int, 2> targets{0, 0};  ///< targets[0] is the low bit of the local index
    std::vector<int> controls;         ///< ascending
    std::array<cplx, 16> m{};          ///< row-major, 2x2 in the first 4 entries or 4x4
};

/// The matrix of a unitary gate with its controls and dagger flag applied.
Unitary lower(const Gate& gate);

/// Lowers a unitary gate under `extra_controls`, inverted when `dagger` differs from its
/// own flag, into `op` (written in place: steps are built by the thousand). A UNITARY gate
/// on more than 2 qubits does not fit a GateOp: lower it with lower_block.
void lower_op(const Gate& gate, uint64_t extra_controls, bool dagger, GateOp& op);

enum class OpKind : uint8_t { Dense, Diagonal, Multiplexed, Prepare };

/// A dense block (2^k x 2^k row-major) or a diagonal (2^k entries) over `qubits`, local
/// index bit j being qubits[j]; dense blocks may run under a control mask.
///
/// A multiplexed op is a block that never changes the qubits of select_mask, only reads
/// them: it holds one dense 2^k x 2^k block per pattern of those qubits, m[i * 4^k ...]
/// applying where they read select_values[i] (patterns whose block is the identity are
/// left out). Its cost is that of a k-qubit block however many qubits select.
///
/// A prepare op writes the state m (2^k amplitudes) on `qubits`, which must read |0>:
/// each amplitude a of the rest of the state becomes m[j] a on local index j.
struct Op {
    OpKind kind = OpKind::Dense;
    std::vector<int> qubits;
    uint64_t control_mask = 0;
    std::vector<cplx> m;
    uint64_t select_mask = 0;
    std::vector<uint64_t> select_values;

    uint64_t qubit_mask() const;
};

/// A UNITARY gate of any width as a dense block, lowered as lower_op does.
Op lower_block(const Gate& gate, uint64_t extra_controls, bool dagger);

/// The amplitudes whose bits in `mask` read `values`: the part of the state that one call
/// updates, such as one cache chunk of a larger state, in place. An operation's targets
/// must lie outside `mask`; its controls and selecting qubits may lie inside.
struct Fixed {
    uint64_t mask = 0;
    uint64_t values = 0;
};

void apply_gate(cplx* amps, int n, const GateOp& g, Fixed fixed = {});
void apply_op(cplx* amps, int n, const Op& op, Fixed fixed = {});
/// The same on a single-precision state, with the operation's matrix `m` rounded to float
/// (its entries in the order of g.m or op.m).
void apply_gate(cfloat* amps, int n, const GateOp& g, const cfloat* m, Fixed fixed = {});
void apply_op(cfloat* amps, int n, const Op& op, const cfloat* m, Fixed fixed = {});

/// The same operations, with every qubit q renamed to local[q] (control masks too); used to
/// run gates on a small scratch state.
GateOp relabel(const GateOp& g, const int* local);
Op relabel(const Op& op, const int* local);

}  // namespace kestrix
