#pragma once
// A linear system A x = b as the solver receives it, and the classical bookkeeping around
// the quantum solve: zero-padding to a power of two, the block a padded system came from,
// and the Hermitian matrix whose eigenvalues the circuit estimates.
#include <complex>
#include <cstddef>
#include <vector>

namespace norvalis::kavrel {

using cplx = std::complex<double>;

struct LinearSystem {
    size_t size = 0;        ///< N
    std::vector<cplx> a;    ///< N x N, row-major
    std::vector<double> b;  ///< N
};

/// The system zero-padded to the next power of two (itself when N is one already).
LinearSystem expand(const LinearSystem& system);

/// The size M of the leading block outside which every entry of A is zero: the system
/// an expansion came from (0 for a zero matrix).
size_t leading_block(const LinearSystem& system);

/// Whether the leading m x m block of A equals its conjugate transpose, to 1e-10 of its
/// largest entry.
bool is_hermitian(const LinearSystem& system, size_t m);

/// The dim x dim Hermitian matrix the solver works with: the leading m x m block of A
/// when it is Hermitian, else its embedding [[0, A], [A^dagger, 0]] (dim = 2 * half, A in
/// the top-right corner). Diagonal entries beyond the block are `pad`, so that padding
/// never makes the matrix singular.
std::vector<cplx> hermitian_form(const LinearSystem& system, size_t m, bool hermitian, size_t half,
                                 double pad);

}  // namespace norvalis::kavrel
