#pragma once
// The matrices of the SDK's single-qubit gates; every other gate is one of them under
// controls, or SWAP (see op.h).
#include <array>
#include <span>

#include "kestrix/lib/complex.h"
#include "kestrix/lib/gate.h"

namespace kestrix {

/// The 2x2 matrix of a single-qubit gate kind with the given angles (no dagger).
std::array<cplx, 4> single_qubit_matrix(GateKind kind, std::span<const double> params);

}  // namespace kestrix
