#pragma once
// Gate fusion: runs of gates on a few qubits become one dense k-qubit block (one pass over
// the state instead of one per gate); runs of diagonal gates become one diagonal of up to
// kMaxDiagonalQubits qubits, which costs a single multiply per amplitude however wide.
#include "kestrix/lib/plan/schedule.h"

namespace kestrix {

/// Most qubits a dense fused block may change, and most it may touch counting those it
/// only reads (controls, diagonal gates' qubits): such a block runs as a multiplexed one,
/// whose cost is set by the qubits it changes. kestrix_perf_fusion times the benchmark
/// circuits at every pair: a CNOT chain with rotations runs fastest as 3-qubit blocks that
/// change 2, and wider blocks cost more in arithmetic than the passes they save.
constexpr int kFuseQubits = 2;
constexpr int kFuseReadQubits = 3;
/// Below this width a state is so small that building fused matrices costs more than
/// running the gates one by one.
constexpr int kFuseMinQubits = 10;

struct FusionOptions {
    int dense_qubits = kFuseQubits;
    int diagonal_qubits = kMaxDiagonalQubits;
    /// At most kMaxDenseQubits; below dense_qubits it counts as dense_qubits.
    int read_qubits = kFuseReadQubits;
};

/// The same computation with every unitary step fused into blocks; measurements stay
/// where they were, and gates never move across a measurement. With `sources`, entry b
/// lists the input steps that block b of the result was fused from (empty for a block
/// taken over as it was).
Schedule fuse(const Schedule& schedule, const FusionOptions& options = {},
              std::vector<std::vector<uint32_t>>* sources = nullptr);

/// How to write again the matrix of `op`, a block that fuse made from `steps` of a
/// schedule, worked out once from its shape: which entries of the steps' product it
/// takes, and which must read 0 or 1 for that shape to hold.
struct Refill {
    Refill(const Schedule& schedule, std::vector<uint32_t> steps, const Op& op);

    std::vector<uint32_t> steps;
    /// The steps' qubits, ascending: the product's support.
    std::vector<int> qubits;
    /// Row-major indices into the product.
    std::vector<uint32_t> take, zero, one;
    /// A multiplexed block of single-qubit gates on its targets, under any controls, none
    /// firing under a selecting pattern the block leaves out: its blocks are the products
    /// taken one listed pattern at a time (a quarter of the work for one selecting qubit),
    /// and its shape holds for any angles.
    bool per_pattern = false;
};

/// Writes again the matrix of `op` from the recipe's steps, lowered since at other angles:
/// same kind, qubits and selecting patterns. False, leaving `op` as it was, when the new
/// matrix does not fit that shape (angles that make a selected block differ from the
/// identity where the fused one did not, or change a qubit that the fused one only read).
bool refill(const Schedule& schedule, const Refill& recipe, Op& op);

}  // namespace kestrix
