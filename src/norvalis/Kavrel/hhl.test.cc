#include "hhl.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <random>
#include <stdexcept>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/run/evolve.h"

namespace norvalis::kavrel {
namespace {

// ------------------------------------------------------------------------------------------
// Dense references, independent of the solver

// Cyclic complex Jacobi: each step turns the phase of the pivot away, then zeroes it with a
// real rotation. Pivots below 1e-18 of the matrix's norm are left: rounding keeps the
// others near 1e-16 of it, and a phase read off a smaller pivot is not of modulus 1.
Eigensystem jacobi(const std::vector<cplx>& matrix, size_t dim) {
    std::vector<cplx> a = matrix, v(dim * dim, cplx(0));
    for (size_t d = 0; d < dim; ++d) v[d * dim + d] = 1;
    double norm = 0;
    for (const cplx& z : a) norm += std::norm(z);
    const double negligible = 1e-18 * std::sqrt(norm);
    for (int sweep = 0, rotated = 1; rotated && sweep < 50; ++sweep) {
        rotated = 0;
        for (size_t p = 0; p < dim; ++p) {
            for (size_t q = p + 1; q < dim; ++q) {
                const double r = std::hypot(a[p * dim + q].real(), a[p * dim + q].imag());
                if (r <= negligible) continue;
                rotated = 1;
                const cplx phase = a[p * dim + q] / r;  // D = diag(.., conj(phase) at q, ..)
                for (size_t k = 0; k < dim; ++k) {
                    a[k * dim + q] *= std::conj(phase);
                    v[k * dim + q] *= std::conj(phase);
                }
                for (size_t k = 0; k < dim; ++k) a[q * dim + k] *= phase;
                const double theta =
                    0.5 * std::atan2(2 * r, (a[q * dim + q] - a[p * dim + p]).real());
                const double c = std::cos(theta), s = std::sin(theta);
                for (size_t k = 0; k < dim; ++k) {
                    const cplx kp = a[k * dim + p], kq = a[k * dim + q];
                    a[k * dim + p] = c * kp - s * kq, a[k * dim + q] = s * kp + c * kq;
                    const cplx vp = v[k * dim + p], vq = v[k * dim + q];
                    v[k * dim + p] = c * vp - s * vq, v[k * dim + q] = s * vp + c * vq;
                }
                for (size_t k = 0; k < dim; ++k) {
                    const cplx pk = a[p * dim + k], qk = a[q * dim + k];
                    a[p * dim + k] = c * pk - s * qk, a[q * dim + k] = s * pk + c * qk;
                }
            }
        }
    }
    Eigensystem e{std::vector<double>(dim), std::move(v)};
    for (size_t d = 0; d < dim; ++d) e.values[d] = a[d * dim + d].real();
    return e;
}

// A x = b by Gaussian elimination with partial pivoting.
std::vector<cplx> solve_dense(std::vector<cplx> a, std::vector<cplx> b) {
    const size_t n = b.size();
    for (size_t col = 0; col < n; ++col) {
        size_t pivot = col;
        for (size_t r = col + 1; r < n; ++r)
            if (std::abs(a[r * n + col]) > std::abs(a[pivot * n + col])) pivot = r;
        for (size_t c = 0; c < n; ++c) std::swap(a[col * n + c], a[pivot * n + c]);
        std::swap(b[col], b[pivot]);
        for (size_t r = col + 1; r < n; ++r) {
            const cplx factor = a[r * n + col] / a[col * n + col];
            for (size_t c = col; c < n; ++c) a[r * n + c] -= factor * a[col * n + c];
            b[r] -= factor * b[col];
        }
    }
    std::vector<cplx> x(n);
    for (size_t r = n; r-- > 0;) {
        cplx s = b[r];
        for (size_t c = r + 1; c < n; ++c) s -= a[r * n + c] * x[c];
        x[r] = s / a[r * n + r];
    }
    return x;
}

// Orthonormal columns from Gram-Schmidt on Gaussian ones.
std::vector<cplx> random_unitary(size_t n, bool complex_entries, std::mt19937& gen) {
    std::normal_distribution<double> normal;
    std::vector<cplx> u(n * n);
    for (cplx& z : u) z = cplx(normal(gen), complex_entries ? normal(gen) : 0.0);
    for (size_t j = 0; j < n; ++j) {
        for (size_t i = 0; i < j; ++i) {
            cplx overlap = 0;
            for (size_t r = 0; r < n; ++r) overlap += std::conj(u[r * n + i]) * u[r * n + j];
            for (size_t r = 0; r < n; ++r) u[r * n + j] -= overlap * u[r * n + i];
        }
        double norm = 0;
        for (size_t r = 0; r < n; ++r) norm += std::norm(u[r * n + j]);
        for (size_t r = 0; r < n; ++r) u[r * n + j] /= std::sqrt(norm);
    }
    return u;
}

// U diag(d) W^dagger.
std::vector<cplx> with_spectrum(const std::vector<cplx>& u, const std::vector<double>& d,
                                const std::vector<cplx>& w) {
    const size_t n = d.size();
    std::vector<cplx> a(n * n, cplx(0));
    for (size_t r = 0; r < n; ++r)
        for (size_t c = 0; c < n; ++c)
            for (size_t k = 0; k < n; ++k)
                a[r * n + c] += u[r * n + k] * d[k] * std::conj(w[c * n + k]);
    return a;
}

LinearSystem system_of(std::vector<cplx> a, std::vector<double> b) {
    return LinearSystem{b.size(), std::move(a), std::move(b)};
}

struct Solved {
    Hhl hhl;
    kestrix::StateVector state;
    std::vector<cplx> x;
};

Solved run_hhl(const LinearSystem& system, int precision) {
    const Survey found = survey(system, precision, jacobi);
    Hhl h = build_hhl(system, found, jacobi);
    kestrix::StateVector state(h.width());
    kestrix::apply_circuit(state, h.circuit);
    std::vector<cplx> x = read_solution(state, h.system_qubits, h.ancilla, h.solution_offset,
                                        h.unknowns, h.size, h.scale);
    return {std::move(h), std::move(state), std::move(x)};
}

// |x - A^-1 b| / |A^-1 b| over the first `unknowns` entries, A^-1 b solved directly.
double relative_error(const std::vector<cplx>& x, const LinearSystem& system, size_t unknowns) {
    std::vector<cplx> a(unknowns * unknowns), b(unknowns);
    for (size_t r = 0; r < unknowns; ++r) {
        b[r] = system.b[r];
        for (size_t c = 0; c < unknowns; ++c) a[r * unknowns + c] = system.a[r * system.size + c];
    }
    const std::vector<cplx> truth = solve_dense(a, b);
    double diff = 0, norm = 0;
    for (size_t i = 0; i < unknowns; ++i) {
        diff += std::norm(x[i] - truth[i]);
        norm += std::norm(truth[i]);
    }
    return std::sqrt(diff / norm);
}

// ------------------------------------------------------------------------------------------
// The classical bookkeeping

TEST(KavrelLinearSystem, LeadingBlockEndsAtTheLastNonzeroRowOrColumn) {
    std::vector<cplx> a(16, cplx(0));
    EXPECT_EQ(leading_block(system_of(a, {0, 0, 0, 0})), 0u);
    a[0] = 1;
    EXPECT_EQ(leading_block(system_of(a, {0, 0, 0, 0})), 1u);
    a[2 * 4 + 0] = cplx(0, 1e-300);  // row 2, column 0: tiny but not zero
    EXPECT_EQ(leading_block(system_of(a, {0, 0, 0, 0})), 3u);
    a[0 * 4 + 3] = 2;  // column 3
    EXPECT_EQ(leading_block(system_of(a, {0, 0, 0, 0})), 4u);
    std::vector<cplx> three(9, cplx(1));
    EXPECT_EQ(leading_block(expand(system_of(three, {1, 1, 1}))), 3u);
}

TEST(KavrelLinearSystem, HermitianToATenBillionthOfTheLargestEntry) {
    // Only the leading 2 x 2 block counts; the entry outside it breaks symmetry freely.
    std::vector<cplx> a = {3, cplx(1, 2), 9, cplx(1, -2), -4, 0, 0, 0, 0};
    EXPECT_TRUE(is_hermitian(system_of(a, {1, 1, 1}), 2));
    EXPECT_FALSE(is_hermitian(system_of(a, {1, 1, 1}), 3));
    a[3] += cplx(0, 1e-11 * 4);  // 1e-11 of the largest |entry| 4
    EXPECT_TRUE(is_hermitian(system_of(a, {1, 1, 1}), 2));
    a[3] += cplx(0, 1e-9 * 4);
    EXPECT_FALSE(is_hermitian(system_of(a, {1, 1, 1}), 2));
    const std::vector<cplx> complex_diagonal = {cplx(1, 1), cplx(0), cplx(0), cplx(1)};
    EXPECT_FALSE(is_hermitian(system_of(complex_diagonal, {1, 1}), 2));
}

TEST(KavrelLinearSystem, HermitianFormIsTheBlockOrItsEmbedding) {
    // 3 x 3 system, its 2 x 2 block used; the Hermitian form pads the diagonal with 7.
    const std::vector<cplx> h = {2, cplx(1, 1), 0, cplx(1, -1), -1, 0, 0, 0, 0};
    const std::vector<cplx> form = hermitian_form(system_of(h, {1, 1, 0}), 2, true, 4, 7);
    const std::vector<cplx> expected_h = {2, cplx(1, 1), 0, 0, cplx(1, -1), -1, 0, 0,
                                          0, 0,          7, 0, 0,           0,  0, 7};
    EXPECT_EQ(form, expected_h);

    // A non-Hermitian block sits in the top-right corner, its adjoint bottom-left.
    const std::vector<cplx> a = {cplx(1, 2), cplx(3), cplx(0, -1), cplx(4)};
    const std::vector<cplx> e = hermitian_form(system_of(a, {1, 1}), 2, false, 4, 5);
    ASSERT_EQ(e.size(), 64u);
    for (size_t r = 0; r < 8; ++r) {
        for (size_t c = 0; c < 8; ++c) {
            cplx expected = 0;
            if (r < 4 && c >= 4) {
                const size_t i = r, j = c - 4;
                expected = i < 2 && j < 2 ? a[i * 2 + j] : (i == j ? cplx(5) : cplx(0));
            } else if (r >= 4 && c < 4) {
                const size_t i = c, j = r - 4;
                expected = std::conj(i < 2 && j < 2 ? a[i * 2 + j] : (i == j ? cplx(5) : cplx(0)));
            }
            EXPECT_EQ(e[r * 8 + c], expected) << r << ", " << c;
        }
    }
}

// ------------------------------------------------------------------------------------------
// The survey

TEST(KavrelSurvey, FractionBitsAreTheFewestThatResolveTheDigits) {
    // 2^f >= 10^p > 2^(f - 1), in exact integers: f is the bit width of 10^p - 1.
    uint64_t power = 1;
    for (int p = 0; p <= 19; ++p, power *= 10)
        EXPECT_EQ(fraction_bits(p), int(std::bit_width(power - 1))) << p;
    EXPECT_EQ(fraction_bits(kMaxPrecision), 100);  // ceil(30 log2 10) = ceil(99.66)
}

TEST(KavrelSurvey, MeasuresTheSystemAndSizesTheRegister) {
    // diag(1, -3): |b| = 5, largest |eigenvalue| 3, which needs 3 integer bits (3 + 1 >= 4).
    const LinearSystem diagonal = system_of({1, 0, 0, -3}, {3, 4});
    const Survey d = survey(diagonal, 1, jacobi);
    EXPECT_EQ(d.unknowns, 2u);
    EXPECT_TRUE(d.hermitian);
    EXPECT_DOUBLE_EQ(d.norm, 5);
    EXPECT_NEAR(d.largest, 3, 1e-14);
    EXPECT_EQ(d.fraction_bits, 4);
    EXPECT_EQ(d.register_qubits, 4 + 1 + 3);
    EXPECT_EQ(d.system_qubits, 1);

    // [[1, 2], [0, 1]]: not Hermitian, so its embedding doubles the system register; its
    // singular values are sqrt(2) -+ 1, the largest 2.41 needing 2 integer bits.
    const Survey e = survey(system_of({1, 2, 0, 1}, {1, 0}), 1, jacobi);
    EXPECT_FALSE(e.hermitian);
    EXPECT_EQ(e.system_qubits, 2);
    EXPECT_NEAR(e.largest, std::sqrt(2.0) + 1, 1e-14);
    EXPECT_EQ(e.register_qubits, 4 + 1 + 2);

    // An expanded 3 x 3 system: 3 unknowns of 4, 2 system qubits.
    std::vector<cplx> three(9, cplx(0));
    three[0] = 1, three[4] = 2, three[8] = 3;
    const Survey padded = survey(expand(system_of(three, {1, 1, 1})), 0, jacobi);
    EXPECT_EQ(padded.unknowns, 3u);
    EXPECT_EQ(padded.system_qubits, 2);

    // |b| near the double range is summed without overflow.
    const Survey huge = survey(system_of({1, 0, 0, 1}, {1e308, -1e308}), 0, jacobi);
    EXPECT_NEAR(huge.norm / 1e308, std::sqrt(2.0), 1e-15);
}

TEST(KavrelSurvey, RefusesATooWideSystemBeforeDiagonalisingIt) {
    const EigenSolver refuse = [](const std::vector<cplx>&, size_t) -> Eigensystem {
        throw std::logic_error("diagonalised");
    };
    std::vector<cplx> identity(128 * 128, cplx(0));
    for (size_t d = 0; d < 128; ++d) identity[d * 128 + d] = 1;
    EXPECT_THROW(survey(system_of(identity, std::vector<double>(128, 1.0)), 0, refuse),
                 kestrix::ValueError);
    // 64 Hermitian unknowns fit (6 qubits); 64 others need 7 for the embedding.
    std::vector<cplx> upper(64 * 64, cplx(0));
    for (size_t d = 0; d < 64; ++d) upper[d * 64 + d] = 1;
    upper[1] = 1;
    EXPECT_THROW(survey(system_of(upper, std::vector<double>(64, 1.0)), 0, refuse),
                 kestrix::ValueError);
}

// ------------------------------------------------------------------------------------------
// The solver, simulated

TEST(KavrelHhl, LaysOutTheEmbeddingAndRefusesAZeroRightHandSide) {
    const LinearSystem other = system_of({0, 2, 1, 0}, {3, 4});  // singular values 2, 1
    const Hhl e = build_hhl(other, survey(other, 0, jacobi), jacobi);
    EXPECT_FALSE(e.hermitian);
    EXPECT_EQ(e.system_qubits, std::vector<int>({0, 1}));
    EXPECT_EQ(e.solution_offset, 2u);  // x in the lower half of the embedding
    EXPECT_EQ(e.eigenvalue_qubits, std::vector<int>({2, 3, 4}));  // 0 + 1 + 2 bits
    EXPECT_EQ(e.ancilla, 5);
    EXPECT_EQ(e.width(), 6);
    EXPECT_DOUBLE_EQ(e.scale, 5);  // |b| 2^0

    const Survey zero_b = survey(system_of({1, 0, 0, 1}, {0, 0}), 0, jacobi);
    EXPECT_EQ(zero_b.norm, 0);
    EXPECT_THROW(build_hhl(system_of({1, 0, 0, 1}, {0, 0}), zero_b, jacobi), kestrix::ValueError);
}

TEST(KavrelHhl, ReadsTheAmplitudesWithTheAncillaSetAndTheRegisterClear) {
    // 5 qubits: system on 3 and 0 (3 the low bit), register on 1 and 2, ancilla 4; each
    // amplitude holds its own index.
    kestrix::StateVector state(5);
    for (uint64_t i = 0; i < state.size(); ++i) state.data()[i] = cplx(double(i), 1);
    const std::vector<cplx> x = read_solution(state, {3, 0}, 4, 1, 3, 4, 2.0);
    // System values 1, 2, 3: bit 0 on qubit 3, bit 1 on qubit 0, plus the ancilla's 16.
    const std::vector<cplx> expected = {cplx(2 * (16 + 8), 2), cplx(2 * (16 + 1), 2),
                                        cplx(2 * (16 + 8 + 1), 2), 0};
    EXPECT_EQ(x, expected);
}

TEST(KavrelHhl, SolvesSpectraOnTheResolutionGridExactly) {
    std::mt19937 gen(7);
    for (int precision : {0, 1, 2}) {
        const double unit = std::ldexp(1.0, -fraction_bits(precision));
        for (size_t n : {2, 4}) {
            for (bool complex_entries : {false, true}) {
                // Eigenvalues of both signs, whole multiples of the resolution.
                std::vector<double> values = {3 * unit, -unit, 1 + 5 * unit, -2};
                values.resize(n);
                const std::vector<cplx> q = random_unitary(n, complex_entries, gen);
                std::vector<double> b(n);
                std::normal_distribution<double> normal;
                for (double& v : b) v = normal(gen);
                const LinearSystem system = system_of(with_spectrum(q, values, q), b);
                const Solved run = run_hhl(system, precision);
                EXPECT_TRUE(run.hhl.hermitian);
                EXPECT_LT(relative_error(run.x, system, n), 1e-9)
                    << "precision " << precision << ", n " << n << ", complex " << complex_entries;
                // The register is uncomputed exactly: the ancilla reads 1 with probability
                // |x|^2 / scale^2, nothing of it elsewhere.
                double ancilla = 0, solution = 0;
                for (uint64_t i = 0; i < run.state.size(); ++i)
                    if ((i >> run.hhl.ancilla) & 1) ancilla += std::norm(run.state.data()[i]);
                for (const cplx& z : run.x) solution += std::norm(z / run.hhl.scale);
                EXPECT_NEAR(ancilla, solution, 1e-12);
            }
        }
    }
}

TEST(KavrelHhl, SolvesOtherMatricesThroughTheEmbedding) {
    std::mt19937 gen(3);
    for (bool complex_entries : {false, true}) {
        // Singular values on the grid of precision 0, with different left and right bases.
        const std::vector<cplx> u = random_unitary(2, complex_entries, gen);
        const std::vector<cplx> w = random_unitary(2, complex_entries, gen);
        const LinearSystem system = system_of(with_spectrum(u, {1, 3}, w), {0.3, -1.2});
        const Solved run = run_hhl(system, 0);
        EXPECT_FALSE(run.hhl.hermitian);
        EXPECT_LT(relative_error(run.x, system, 2), 1e-9) << complex_entries;
    }
    const LinearSystem rotation = system_of({0, -1, 1, 0}, {1, 2});  // unitary, not Hermitian
    EXPECT_LT(relative_error(run_hhl(rotation, 0).x, rotation, 2), 1e-9);
}

TEST(KavrelHhl, AnExpandedSystemIsSolvedInItsBlockAndZeroBeyond) {
    // 3 x 3, padded to 4: a Hermitian one with eigenvalues 2, 2, 4 and another one with
    // singular values 2, 1, 1.
    const std::vector<cplx> hermitian = {3, 0, cplx(0, 1), 0, 2, 0, cplx(0, -1), 0, 3};
    const std::vector<cplx> other = {0, 2, 0, 1, 0, 0, 0, 0, cplx(0, 1)};
    for (const auto& a : {hermitian, other}) {
        const LinearSystem system = expand(system_of(a, {1, -2, 0.5}));
        const Solved run = run_hhl(system, 0);
        EXPECT_EQ(run.hhl.hermitian, a == hermitian);
        ASSERT_EQ(run.x.size(), 4u);
        EXPECT_EQ(run.x[3], cplx(0));
        EXPECT_LT(relative_error(run.x, system, 3), 1e-9);
    }
    // One unknown still takes a system qubit, its second level padded.
    const LinearSystem one = system_of({2}, {3});
    const Solved single = run_hhl(one, 0);
    ASSERT_EQ(single.x.size(), 1u);
    EXPECT_NEAR(std::abs(single.x[0] - 1.5), 0, 1e-12);
}

TEST(KavrelHhl, OffGridSpectraImproveWithPrecision) {
    // Eigenvalues 2 - sqrt 2, 2 and 2 + sqrt 2 lie on no grid: each digit narrows the spread.
    const LinearSystem system =
        expand(system_of({2, 1, 0, 1, 2, 1, 0, 1, 2}, std::vector<double>{1, 1, 1}));
    const double coarse = relative_error(run_hhl(system, 1).x, system, 3);
    const double fine = relative_error(run_hhl(system, 2).x, system, 3);
    EXPECT_LT(fine, coarse);
    EXPECT_LT(coarse, 0.05);
    EXPECT_LT(fine, 2e-3);
}

}  // namespace
}  // namespace norvalis::kavrel
