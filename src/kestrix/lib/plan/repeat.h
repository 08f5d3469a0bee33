#pragma once
// Recognising a block repeated many times in a row, and its matrix power.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kestrix/lib/ir/circuit.h"
#include "kestrix/lib/ir/matrix.h"
#include "kestrix/lib/plan/op.h"

namespace kestrix {

/// Widest block whose repeated copies may become one matrix power: squaring its matrix
/// costs (2^k)^3 multiply-adds a time, which past this width takes longer than the copies
/// of any circuit the engine can hold (kestrix bench: bench/sdk_repeat.py).
constexpr int kMaxFoldQubits = 10;

/// Whether two blocks run the same gates under the same controls and dagger flag; blocks
/// rebuilt from scratch compare equal to the original when their content matches.
bool same_block(const Block& a, const Block& b);

/// Whether `copies` consecutive copies of a block of `body_steps` gates acting on `width`
/// qubits, under `controls` control qubits, cost less in an n-qubit state as one
/// precomputed matrix power. Work is counted in amplitude updates: every copy gate by
/// gate, against the matrix products of the power and one dense pass over the amplitudes
/// whose controls are set. With `squares_held` powers m^(2^j) already computed (j below
/// it: the block was folded just before), only the products still missing count.
bool power_is_cheaper(int n, int width, size_t body_steps, uint64_t copies, int controls,
                      size_t squares_held = 0);

/// m^power for a dim x dim row-major matrix, by repeated squaring.
std::vector<cplx> matrix_power(const std::vector<cplx>& m, int dim, uint64_t power);

/// The same from squares[j] = m^(2^j), squares[0] = m given: squares are added as the power
/// needs them and kept, so that powers of one block asked in turn (phase estimation asks
/// m, m^2, m^4, ...) cost one squaring each.
std::vector<cplx> matrix_power(std::vector<std::vector<cplx>>& squares, int dim, uint64_t power);

/// Joins `next`, a folded power of a block under its control mask, to `chain`, the op of
/// the powers of the same block folded just before it (one such power, or earlier powers
/// joined into a multiplexed op over the patterns of all their controls), when that costs
/// less in an n-qubit state. Each pattern then runs the product of the powers that it
/// switches on: phase estimation's powers m^(2^j) under counting qubits j take one sweep
/// per group of counting qubits instead of one per qubit, for a product of matrices per
/// new pattern. Both act on the same qubits, more than kMaxDenseQubits of them; the
/// controls must lie above the kernels' lane qubits. Returns whether `chain` now holds
/// both.
bool join_powers(Op& chain, const Op& next, int n);

}  // namespace kestrix
