#pragma once
// One step back of an adjoint gradient over a parameterised single-qubit gate G: both
// states undone by G^dagger in one pass, with the sums from which <lambda| D |psi> follows
// for each derivative D of G. Most of a gradient's time goes here, so real gates (RY) and
// diagonal ones (RZ, phases) have loops that do only the arithmetic they need.
#include <array>
#include <cstdint>
#include <span>

#include "kestrix/lib/plan/op.h"

namespace kestrix {

/// conj(lambda_r) psi_c summed over the amplitudes whose target bit reads r in lambda and c
/// in psi: entry 2 r + c.
using AdjointSums = std::array<cplx, 4>;

/// What a step back computes: every sum (General); the real parts only, when G^dagger and
/// every D are real (Real); entries 0 and 3 only, when they are all diagonal (Diagonal).
enum class AdjointShape { General, Real, Diagonal };

AdjointShape adjoint_shape(const GateOp& g_inv, std::span<const GateOp> derivatives);

/// psi <- G^dagger psi (in b) and lambda <- G^dagger lambda (in a), with the sums taken
/// between the two updates, over the runs [begin, end) of 2 * 2^target amplitudes; zero
/// where g_inv's controls do not all read 1 (a controlled gate's derivative vanishes there).
AdjointSums adjoint_runs(AdjointShape shape, cplx* a, cplx* b, const GateOp& g_inv, uint64_t begin,
                         uint64_t end);

/// The same for a diagonal gate whose target lies outside the `size` amplitudes of a and b
/// and reads `bit` on all of them: each is multiplied by g_inv's entry for that bit where
/// the bits of `controls` read 1; the sum lands in entry 3 * bit.
AdjointSums adjoint_scaled(cplx* a, cplx* b, uint64_t size, uint64_t controls, const GateOp& g_inv,
                           int bit);

/// <lambda| D |psi> from the sums of the step back over D's gate.
inline cplx overlap(const GateOp& d, const AdjointSums& s) {
    return d.m[0] * s[0] + d.m[1] * s[1] + d.m[2] * s[2] + d.m[3] * s[3];
}

}  // namespace kestrix
