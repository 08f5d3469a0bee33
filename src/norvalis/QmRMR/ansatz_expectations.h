#pragma once
// Exact expectations of the feature-selection ansatz, computed from its single-particle
// form instead of a state vector.
//
// Each block of the ansatz (CNOT(b, a), RY on b controlled by a, CNOT(b, a), with
// b = a + 1) keeps |00> and |11> and rotates |01>, |10> by theta/2: it is a Givens
// rotation between neighbouring modes of a free-fermion system, where a neighbour swap
// crosses no other mode and so carries no sign. The whole circuit is therefore an n x n
// rotation U, and its output state is the Slater determinant of the first `selected`
// columns V of U. Outcome probabilities are squared minors of V, and the moments that the
// loss needs follow from P = V V^T alone (Wick's theorem):
//     E[x_i] = P_ii,   E[x_i x_j] = P_ii P_jj - P_ij^2  (i != j).
// When more than half the modes are occupied the empty ones are tracked instead. That is
// O(n^2 * min(selected, n - selected)) work instead of a pass over 2^n amplitudes per gate.
#include <span>

namespace norvalis::qmrmr {

struct Expectations {
    double quadratic;  ///< E[x^T Q x]
    double linear;     ///< E[u . x]
};

/// Moments of the ansatz on n qubits started from `selected` leading ones, with the
/// angles in the order the ansatz consumes them ((n / 2) * (n - 1) of them). `q` is the
/// row-major n x n matrix Q and `u` the length-n vector.
Expectations ansatz_expectations(int n, int selected, std::span<const double> angles,
                                 std::span<const double> q, std::span<const double> u);

}  // namespace norvalis::qmrmr
