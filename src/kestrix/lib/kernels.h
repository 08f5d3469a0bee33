#pragma once
// Amplitude kernels: apply a small unitary to a state vector in place. A control mask
// restricts the update to amplitudes whose control bits are all 1.
#include <cstdint>

#include "matrix.h"

namespace kestrix {

/// m is 2x2 row-major; acts on qubit t of an n-qubit state.
void apply_1q(cplx* amps, int n, int t, uint64_t control_mask, const cplx* m);
/// m is 4x4 row-major over the local index (bit 0: qubit t0, bit 1: qubit t1).
void apply_2q(cplx* amps, int n, int t0, int t1, uint64_t control_mask, const cplx* m);

}  // namespace kestrix
