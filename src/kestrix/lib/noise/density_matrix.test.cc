#include "kestrix/lib/noise/density_matrix.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/run/evolve.h"
#include "kestrix/lib/testing/random_circuit.test.h"

namespace kestrix {
namespace {

TEST(DensityMatrix, NoiselessEvolutionIsThePureState) {
    std::mt19937_64 rng(9);
    const int n = 4;
    const Circuit c = testing::random_circuit(n, 40, rng);
    StateVector psi(n);
    apply_circuit(psi, c);
    DensityMatrix rho(n);
    rho.apply(c, NoiseModel());
    for (uint64_t r = 0; r < psi.size(); ++r)
        for (uint64_t col = 0; col < psi.size(); ++col)
            EXPECT_NEAR(std::abs(rho.at(r, col) - psi.data()[r] * std::conj(psi.data()[col])), 0,
                        1e-12);
    EXPECT_NEAR(rho.purity(), 1, 1e-12);
}

TEST(DensityMatrix, ChannelsOnTheDoubledRegisterMatchTheirKrausSum) {
    // |+> under amplitude damping: rho = [[1 - (1-g)/2, sqrt(1-g)/2], [sqrt(1-g)/2, (1-g)/2]].
    const double g = 0.36;
    NoiseModel model;
    model.add(amplitude_damping(g));
    Circuit c;
    c.append(make_gate(GateKind::H, {0}));
    DensityMatrix rho(1);
    rho.apply(c, model);
    EXPECT_NEAR(rho.at(1, 1).real(), (1 - g) / 2, 1e-15);
    EXPECT_NEAR(rho.at(0, 1).real(), std::sqrt(1 - g) / 2, 1e-15);
    EXPECT_NEAR(rho.at(1, 0).real(), std::sqrt(1 - g) / 2, 1e-15);
    EXPECT_NEAR(rho.partial_trace({0}).at(0, 0).real(), 1, 1e-15);
}

TEST(DensityMatrix, TooWideOrBadMatricesAreRefused) {
    EXPECT_THROW(DensityMatrix(kMaxDensityQubits + 1), MemoryError);
    const std::vector<cplx> not_hermitian = {0.5, 1, 0, 0.5};
    EXPECT_THROW(DensityMatrix::from_matrix(not_hermitian), ValueError);
    const std::vector<cplx> trace_two = {1, 0, 0, 1};
    EXPECT_THROW(DensityMatrix::from_matrix(trace_two), ValueError);
}

}  // namespace
}  // namespace kestrix
