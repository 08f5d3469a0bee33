#include "kestrix/lib/noise/channel.h"

#include <gtest/gtest.h>

#include <cmath>

#include "kestrix/lib/base/errors.h"

namespace kestrix {
namespace {

// rho -> sum K rho K^dagger on a d x d matrix, the plain way.
Matrix apply_kraus(const Channel& ch, const Matrix& rho) {
    const size_t d = size_t{1} << ch.num_qubits;
    Matrix out(d * d);
    for (const Matrix& k : ch.kraus)
        for (size_t i = 0; i < d; ++i)
            for (size_t j = 0; j < d; ++j)
                for (size_t a = 0; a < d; ++a)
                    for (size_t b = 0; b < d; ++b)
                        out[i * d + j] += k[i * d + a] * rho[a * d + b] * std::conj(k[j * d + b]);
    return out;
}

Matrix some_density(size_t d) {
    // |v><v| for a fixed non-uniform v, normalised.
    std::vector<cplx> v(d);
    double norm = 0;
    for (size_t i = 0; i < d; ++i) {
        v[i] = cplx(1.0 + i, 0.5 * double(i % 3) - 0.3);
        norm += std::norm(v[i]);
    }
    Matrix rho(d * d);
    for (size_t i = 0; i < d; ++i)
        for (size_t j = 0; j < d; ++j) rho[i * d + j] = v[i] * std::conj(v[j]) / norm;
    return rho;
}

TEST(Channel, SuperoperatorActsAsTheKrausSum) {
    for (const Channel& ch :
         {depolarizing(0.3, 2), amplitude_damping(0.4), thermal_relaxation(10, 15, 2)}) {
        const size_t d = size_t{1} << ch.num_qubits, dd = d * d;
        const Matrix rho = some_density(d);
        const Matrix expected = apply_kraus(ch, rho);
        const Matrix s = superoperator(ch);
        for (size_t r = 0; r < d; ++r) {
            for (size_t c = 0; c < d; ++c) {
                cplx x = 0;
                for (size_t r0 = 0; r0 < d; ++r0)
                    for (size_t c0 = 0; c0 < d; ++c0)
                        x += s[(r + d * c) * dd + (r0 + d * c0)] * rho[r0 * d + c0];
                EXPECT_NEAR(std::abs(x - expected[r * d + c]), 0, 1e-14) << ch.name;
            }
        }
        double total = 0;
        for (double p : branch_probabilities(ch, rho)) total += p;
        EXPECT_NEAR(total, 1, 1e-14) << ch.name;
    }
}

TEST(Channel, MixturesAreFoundWithTheirIdentityBranch) {
    const Channel d = depolarizing(0.2);
    ASSERT_TRUE(d.is_mixture());
    ASSERT_EQ(d.mixture_probs.size(), 4u);
    EXPECT_TRUE(d.mixture_identity[0]);
    EXPECT_FALSE(d.mixture_identity[1] || d.mixture_identity[2] || d.mixture_identity[3]);
    EXPECT_NEAR(d.mixture_probs[0], 1 - 0.2 + 0.05, 1e-15);
    // Zero operators (p = 0) leave the mixture with the identity alone.
    EXPECT_EQ(bit_flip(0).mixture_probs.size(), 1u);
    EXPECT_FALSE(amplitude_damping(0.1).is_mixture());
    EXPECT_FALSE(thermal_relaxation(10, 5, 1).is_mixture());
}

TEST(Channel, IncompleteOrBadOperatorsAreRefused) {
    EXPECT_THROW(kraus_channel({{1, 0, 0, 1}, {0.001, 0, 0, 0}}), ValueError);
    EXPECT_THROW(kraus_channel({{1, 0, 0}}), ValueError);
    EXPECT_THROW(kraus_channel({}), ValueError);
    EXPECT_THROW(depolarizing(std::nan("")), ValueError);
    EXPECT_THROW(thermal_relaxation(1, 2.5, 1), ValueError);
    EXPECT_NO_THROW(thermal_relaxation(1, 2, 1));
}

}  // namespace
}  // namespace kestrix
