#pragma once
// The matrices of the SDK's single-qubit gates; every other gate is one of them under
// controls, or SWAP (see op.h).
#include <span>

#include "kestrix/lib/base/complex.h"
#include "kestrix/lib/ir/gate.h"

namespace kestrix {

/// Writes the 2x2 row-major matrix of a single-qubit gate kind with the given angles (no
/// dagger) to out[0..3]: straight into a lowered gate, as thousands are lowered per run.
void single_qubit_matrix(GateKind kind, std::span<const double> params, cplx* out);

/// The derivative of that matrix with respect to angle `slot`, exact (gradients).
void single_qubit_derivative(GateKind kind, std::span<const double> params, int slot, cplx* out);

}  // namespace kestrix
