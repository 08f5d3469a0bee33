#include "norvalis/QmRMR/ansatz_expectations.h"

#include <cmath>
#include <vector>

namespace norvalis::qmrmr {

namespace {

// Rows a and a + 1 of the n x k orbital matrix v (row-major) turned as one block turns
// |10> and |01>: e_a -> c e_a + s e_b, e_b -> -s e_a + c e_b.
void rotate_neighbours(std::vector<double>& v, int k, int a, double theta) {
    const double c = std::cos(theta / 2), s = std::sin(theta / 2);
    double* row_a = v.data() + size_t(a) * k;
    double* row_b = row_a + k;
    for (int col = 0; col < k; ++col) {
        const double va = row_a[col], vb = row_b[col];
        row_a[col] = c * va - s * vb;
        row_b[col] = s * va + c * vb;
    }
}

}  // namespace

Expectations ansatz_expectations(int n, int selected, std::span<const double> angles,
                                 std::span<const double> q, std::span<const double> u) {
    // Track the fewer of the occupied and the empty modes. The empty ones (holes) span the
    // complement, whose projector is I - P, so P_ii = 1 - H_ii and P_ij = -H_ij; with no
    // holes (every feature selected) the moments are exactly 1, as the circuit's are.
    const bool holes = 2 * selected > n;
    const int k = holes ? n - selected : selected;
    const int first = holes ? selected : 0;
    std::vector<double> v(size_t(n) * k, 0.0);
    for (int i = 0; i < k; ++i) v[size_t(first + i) * k + i] = 1.0;

    // The ansatz's order: n / 2 layers, each the even pairs then the odd pairs.
    size_t p = 0;
    for (int layer = 0; layer < n / 2; ++layer) {
        for (int start : {0, 1}) {
            for (int a = start; a < n - 1; a += 2) rotate_neighbours(v, k, a, angles[p++]);
        }
    }

    // gram = V V^T: the one-body matrix P of the selected modes, or H = I - P of the holes.
    std::vector<double> gram(size_t(n) * n);
    for (int i = 0; i < n; ++i) {
        for (int j = i; j < n; ++j) {
            double dot = 0;
            for (int col = 0; col < k; ++col)
                dot += v[size_t(i) * k + col] * v[size_t(j) * k + col];
            gram[size_t(i) * n + j] = gram[size_t(j) * n + i] = dot;
        }
    }
    std::vector<double> occupied(n);
    for (int i = 0; i < n; ++i) {
        const double diagonal = gram[size_t(i) * n + i];
        occupied[i] = holes ? 1.0 - diagonal : diagonal;
    }

    Expectations out{0.0, 0.0};
    for (int i = 0; i < n; ++i) {
        out.linear += u[i] * occupied[i];
        for (int j = 0; j < n; ++j) {
            const double gij = gram[size_t(i) * n + j];
            const double both = i == j ? occupied[i] : occupied[i] * occupied[j] - gij * gij;
            out.quadratic += q[size_t(i) * n + j] * both;
        }
    }
    return out;
}

}  // namespace norvalis::qmrmr
