#pragma once
// Lowering: a gate becomes a unitary on one or two target qubits plus a list of control
// qubits. Every gate of the SDK fits this form (CNOT is X under one control, TOFFOLI is X
// under two, CZ and CR are diagonal under one).
#include <array>
#include <complex>
#include <vector>

#include "gate.h"

namespace kestrix {

using cplx = std::complex<double>;

struct Unitary {
    int num_targets = 1;                ///< 1 or 2
    std::array<int, 2> targets{0, 0};   ///< targets[0] is the low bit of the local index
    std::vector<int> controls;
    std::array<cplx, 16> m{};           ///< row-major, 2x2 in the first 4 entries or 4x4
};

/// The matrix of a unitary gate with its controls and dagger flag applied.
Unitary lower(const Gate& gate);

/// The 2x2 matrix of a single-qubit gate kind with the given angles (no dagger).
std::array<cplx, 4> single_qubit_matrix(GateKind kind, const std::vector<double>& params);

}  // namespace kestrix
