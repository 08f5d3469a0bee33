#pragma once
// Gate fusion: runs of gates on a few qubits become one dense k-qubit block (one pass over
// the state instead of one per gate); runs of diagonal gates become one diagonal of up to
// kMaxDiagonalQubits qubits, which costs a single multiply per amplitude however wide.
#include "kestrix/lib/schedule.h"

namespace kestrix {

/// Widest dense fused block. kestrix_perf_fusion times the benchmark circuits at every width:
/// beyond 3 qubits a block's arithmetic costs more than the passes it saves.
constexpr int kFuseQubits = 3;
/// Below this width a state is so small that building fused matrices costs more than
/// running the gates one by one.
constexpr int kFuseMinQubits = 10;

struct FusionOptions {
    int dense_qubits = kFuseQubits;
    int diagonal_qubits = kMaxDiagonalQubits;
};

/// The same computation with every unitary step fused into blocks; measurements stay
/// where they were, and gates never move across a measurement.
Schedule fuse(const Schedule& schedule, const FusionOptions& options = {});

}  // namespace kestrix
