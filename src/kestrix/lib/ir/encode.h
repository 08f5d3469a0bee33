#pragma once
// Amplitude encoding: a circuit of ordinary gates (controlled RY, X and controlled U1)
// that takes the all-zero state to exactly the given unit vector, global phase included,
// so that it can itself be controlled or inverted.
#include <vector>

#include "kestrix/lib/ir/circuit.h"
#include "kestrix/lib/ir/matrix.h"

namespace kestrix {

/// Component index bit k is qubits[k]. Throws ValueError for a wrong length, a vector
/// whose norm is not 1 within 1e-8, an all-zero or non-finite vector, or repeated qubits.
Circuit amplitude_encode(const std::vector<int>& qubits, const std::vector<cplx>& v);

}  // namespace kestrix
