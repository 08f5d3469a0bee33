#include "energy.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>

#include "kestrix/lib/run/evolve.h"

namespace norvalis::sorvic {
namespace {

using cplx = std::complex<double>;
using Dense = std::vector<cplx>;  // row-major 2^n x 2^n

constexpr double kPi = std::numbers::pi;

Dense multiply(const Dense& a, const Dense& b, size_t dim) {
    Dense c(dim * dim, cplx(0));
    for (size_t r = 0; r < dim; ++r)
        for (size_t k = 0; k < dim; ++k)
            for (size_t col = 0; col < dim; ++col)
                c[r * dim + col] += a[r * dim + k] * b[k * dim + col];
    return c;
}

// The generator G of a gate as a dense matrix, from its definition: Z or X on the target,
// or |1><1| on the control times Y on the target.
Dense generator(const AnsatzGate& g, int qubits) {
    const size_t dim = size_t{1} << qubits, t = size_t{1} << g.target;
    Dense m(dim * dim, cplx(0));
    for (size_t i = 0; i < dim; ++i) {
        switch (g.generator) {
            case Generator::Z: m[i * dim + i] = i & t ? -1 : 1; break;
            case Generator::X: m[(i ^ t) * dim + i] = 1; break;
            case Generator::ControlledY:
                if ((i >> g.control) & 1) m[(i ^ t) * dim + i] = i & t ? cplx(0, -1) : cplx(0, 1);
                break;
        }
    }
    return m;
}

// exp(-i angle G / 2) = I + (cos(angle / 2) - 1) G^2 - i sin(angle / 2) G, since each G
// has eigenvalues among 0 and +-1 (G^3 = G).
Dense gate_unitary(const AnsatzGate& g, double angle, int qubits) {
    const size_t dim = size_t{1} << qubits;
    const Dense gen = generator(g, qubits), square = multiply(gen, gen, dim);
    Dense u(dim * dim);
    for (size_t k = 0; k < dim * dim; ++k)
        u[k] = (k % (dim + 1) == 0 ? 1.0 : 0.0) + (std::cos(angle / 2) - 1) * square[k] -
               cplx(0, std::sin(angle / 2)) * gen[k];
    return u;
}

Dense ansatz_unitary(const std::vector<AnsatzGate>& layout, const std::vector<double>& angles,
                     int qubits) {
    const size_t dim = size_t{1} << qubits;
    Dense u(dim * dim, cplx(0));
    for (size_t d = 0; d < dim; ++d) u[d * dim + d] = 1;
    for (size_t k = 0; k < layout.size(); ++k)
        u = multiply(gate_unitary(layout[k], angles[k], qubits), u, dim);
    return u;
}

// <psi| H |psi> with psi the first column of the ansatz's dense unitary.
double dense_energy(const std::vector<double>& h, const std::vector<AnsatzGate>& layout,
                    const std::vector<double>& angles, int qubits) {
    const size_t dim = size_t{1} << qubits;
    const Dense u = ansatz_unitary(layout, angles, qubits);
    double e = 0;
    for (size_t r = 0; r < dim; ++r)
        for (size_t c = 0; c < dim; ++c)
            e += (std::conj(u[r * dim]) * h[r * dim + c] * u[c * dim]).real();
    return e;
}

std::vector<double> random_symmetric(int qubits, std::mt19937& gen) {
    const size_t dim = size_t{1} << qubits;
    std::normal_distribution<double> normal;
    std::vector<double> h(dim * dim);
    for (size_t r = 0; r < dim; ++r)
        for (size_t c = 0; c <= r; ++c) h[r * dim + c] = h[c * dim + r] = normal(gen);
    return h;
}

std::vector<double> random_angles(size_t count, std::mt19937& gen) {
    std::uniform_real_distribution<double> angle(-kPi, kPi);
    std::vector<double> a(count);
    for (double& v : a) v = angle(gen);
    return a;
}

// ------------------------------------------------------------------------------------------

TEST(SorvicAnsatz, LayersOfEulerRotationsThenAControlledRing) {
    EXPECT_EQ(angles_per_layer(1), 3);
    EXPECT_EQ(angles_per_layer(2), 8);
    EXPECT_EQ(angles_per_layer(5), 20);
    using G = Generator;
    const std::vector<AnsatzGate> one = ansatz_layout(1, 2);
    ASSERT_EQ(one.size(), 6u);
    for (size_t k = 0; k < 6; ++k) {
        EXPECT_EQ(one[k].generator, k % 3 == 1 ? G::X : G::Z);
        EXPECT_EQ(one[k].target, 0);
    }
    const std::vector<AnsatzGate> three = ansatz_layout(3, 2);
    ASSERT_EQ(three.size(), 24u);
    for (size_t layer = 0; layer < 2; ++layer) {
        const AnsatzGate* g = three.data() + 12 * layer;
        for (int q = 0; q < 3; ++q) {
            EXPECT_EQ(g[3 * q].generator, G::Z);
            EXPECT_EQ(g[3 * q + 1].generator, G::X);
            EXPECT_EQ(g[3 * q + 2].generator, G::Z);
            for (int k = 0; k < 3; ++k) EXPECT_EQ(g[3 * q + k].target, q);
        }
        // The ring: 0 controls 1, 1 controls 2, 2 controls 0.
        for (int q = 0; q < 3; ++q) {
            EXPECT_EQ(g[9 + q].generator, G::ControlledY);
            EXPECT_EQ(g[9 + q].control, q);
            EXPECT_EQ(g[9 + q].target, (q + 1) % 3);
        }
    }
}

TEST(SorvicAnsatz, EachGateIsTheExponentialOfItsGenerator) {
    // The gradient assumes gate k is exp(-i angle G_k / 2): the circuit's matrix must be
    // the product of those exponentials.
    std::mt19937 gen(11);
    for (int qubits : {1, 2, 3}) {
        const std::vector<AnsatzGate> layout = ansatz_layout(qubits, 2);
        const std::vector<double> angles = random_angles(layout.size(), gen);
        const Dense expected = ansatz_unitary(layout, angles, qubits);
        const std::vector<cplx> got =
            kestrix::circuit_matrix(ansatz_circuit(layout, angles), qubits);
        ASSERT_EQ(got.size(), expected.size());
        for (size_t k = 0; k < got.size(); ++k)
            EXPECT_NEAR(std::abs(got[k] - expected[k]), 0, 1e-12) << qubits << " qubits, " << k;
    }
}

TEST(SorvicEnergy, EqualsTheExpectationOfTheDenseState) {
    std::mt19937 gen(5);
    for (int qubits : {1, 2, 3}) {
        const std::vector<AnsatzGate> layout = ansatz_layout(qubits, 2);
        const std::vector<double> h = random_symmetric(qubits, gen);
        Energy energy(qubits, h, layout);
        ASSERT_EQ(energy.num_angles(), layout.size());
        std::vector<double> gradient(layout.size());
        // All-zero angles leave |0...0>, whose energy is H[0][0].
        const std::vector<double> zero(layout.size(), 0.0);
        EXPECT_NEAR(energy(zero, gradient), h[0], 1e-14);
        for (int trial = 0; trial < 3; ++trial) {
            const std::vector<double> angles = random_angles(layout.size(), gen);
            // Terms of size |H| <= 3 (Gaussian entries), dim^2 of them.
            EXPECT_NEAR(energy(angles, gradient), dense_energy(h, layout, angles, qubits), 1e-12)
                << qubits << " qubits";
        }
    }
}

TEST(SorvicEnergy, GradientMatchesFiniteDifferencesAndShiftRules) {
    std::mt19937 gen(9);
    for (int qubits : {1, 2, 3}) {
        const std::vector<AnsatzGate> layout = ansatz_layout(qubits, 2);
        const std::vector<double> h = random_symmetric(qubits, gen);
        Energy energy(qubits, h, layout);
        const std::vector<double> angles = random_angles(layout.size(), gen);
        std::vector<double> gradient(layout.size());
        energy(angles, gradient);
        for (size_t k = 0; k < layout.size(); ++k) {
            auto at = [&](double shift) {
                std::vector<double> a = angles;
                a[k] += shift;
                return dense_energy(h, layout, a, qubits);
            };
            // Central difference: truncation h^2 / 6 |E'''|, about 1e-8 for |H| of a few
            // units; rounding 1e-16 |E| / h, about 1e-11.
            const double step = 1e-4;
            EXPECT_NEAR(gradient[k], (at(step) - at(-step)) / (2 * step), 1e-7)
                << qubits << " qubits, angle " << k;
            // Z and X gates make E a sinusoid of period 2 pi in their angle, whose slope is
            // exactly half the difference a quarter turn either side.
            if (layout[k].generator != Generator::ControlledY) {
                EXPECT_NEAR(gradient[k], (at(kPi / 2) - at(-kPi / 2)) / 2, 1e-12)
                    << qubits << " qubits, angle " << k;
            }
        }
    }
}

TEST(SorvicEnergy, EvaluationsDoNotLeakIntoOneAnother) {
    // The states are reused between calls: an evaluation must not see the one before.
    std::mt19937 gen(2);
    const std::vector<AnsatzGate> layout = ansatz_layout(3, 1);
    Energy energy(3, random_symmetric(3, gen), layout);
    const std::vector<double> a = random_angles(layout.size(), gen);
    const std::vector<double> b = random_angles(layout.size(), gen);
    std::vector<double> first(layout.size()), other(layout.size()), again(layout.size());
    const double e_first = energy(a, first);
    energy(b, other);
    const double e_again = energy(a, again);
    EXPECT_EQ(e_again, e_first);
    EXPECT_EQ(again, first);
    EXPECT_NE(other, first);
}

}  // namespace
}  // namespace norvalis::sorvic
