#include "norvalis/QmRMR/ansatz_expectations.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "kestrix/lib/ir/circuit.h"
#include "kestrix/lib/run/evolve.h"
#include "kestrix/lib/run/statevector.h"

namespace norvalis::qmrmr {
namespace {

using kestrix::GateKind;
using kestrix::make_gate;

// The feature-selection circuit itself: X on the first `selected` qubits, then n / 2
// layers of blocks CNOT(b, a), RY(b) controlled by a, CNOT(b, a) on b = a + 1, the even
// pairs before the odd ones.
kestrix::Circuit selection_circuit(int n, int selected, const std::vector<double>& angles) {
    kestrix::Circuit c;
    for (int i = 0; i < selected; ++i) c.append(make_gate(GateKind::X, {i}));
    size_t p = 0;
    for (int layer = 0; layer < n / 2; ++layer) {
        for (int start : {0, 1}) {
            for (int a = start; a + 1 < n; a += 2) {
                c.append(make_gate(GateKind::CNOT, {a + 1, a}));
                c.append(make_gate(GateKind::RY, {a + 1}, {angles[p++]}).controlled({a}));
                c.append(make_gate(GateKind::CNOT, {a + 1, a}));
            }
        }
    }
    return c;
}

// E[x^T Q x] and E[u . x] summed over every bit string of the simulated state, x_i the
// bit of qubit i.
Expectations brute_force(int n, int selected, const std::vector<double>& angles,
                         const std::vector<double>& q, const std::vector<double>& u) {
    kestrix::StateVector state(n);
    kestrix::apply_circuit(state, selection_circuit(n, selected, angles));
    Expectations e{0, 0};
    for (uint64_t s = 0; s < state.size(); ++s) {
        const double p = std::norm(state.data()[s]);
        for (int i = 0; i < n; ++i) {
            if (!((s >> i) & 1)) continue;
            e.linear += p * u[i];
            for (int j = 0; j < n; ++j)
                if ((s >> j) & 1) e.quadratic += p * q[size_t(i) * n + j];
        }
    }
    return e;
}

TEST(QmRMRAnsatzExpectations, MatchTheSimulatedCircuitForEverySelection) {
    std::mt19937 gen(4);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> angle(-std::numbers::pi, std::numbers::pi);
    for (int n = 1; n <= 8; ++n) {
        // Q need not be symmetric: both triangles count.
        std::vector<double> q(size_t(n) * n), u(n);
        for (double& v : q) v = normal(gen);
        for (double& v : u) v = normal(gen);
        double scale = 0;  // the sum of the terms' magnitudes bounds the rounding
        for (double v : q) scale += std::abs(v);
        for (double v : u) scale += std::abs(v);
        std::vector<double> angles(size_t(n / 2) * size_t(n - 1));
        for (int selected = 0; selected <= n; ++selected) {
            for (int trial = 0; trial < 2; ++trial) {
                for (double& a : angles) a = angle(gen);
                const Expectations got = ansatz_expectations(n, selected, angles, q, u);
                const Expectations want = brute_force(n, selected, angles, q, u);
                EXPECT_NEAR(got.quadratic, want.quadratic, 1e-13 * scale)
                    << n << " qubits, " << selected << " selected";
                EXPECT_NEAR(got.linear, want.linear, 1e-13 * scale)
                    << n << " qubits, " << selected << " selected";
            }
        }
    }
}

TEST(QmRMRAnsatzExpectations, ClosedFormsAtTheEnds) {
    const int n = 5;
    const std::vector<double> angles = {0.3, -1.1, 2.0, 0.7, 1.9, -0.4, 0.2, 1.3};
    std::vector<double> q(n * n), u(n);
    for (int k = 0; k < n * n; ++k) q[k] = 0.5 * k - 3;
    for (int k = 0; k < n; ++k) u[k] = k + 1;
    // Nothing selected: every moment 0. Everything selected: every x_i is 1, so the
    // moments are the plain sums (exact: halves and integers).
    const Expectations none = ansatz_expectations(n, 0, angles, q, u);
    EXPECT_EQ(none.quadratic, 0);
    EXPECT_EQ(none.linear, 0);
    const Expectations all = ansatz_expectations(n, n, angles, q, u);
    EXPECT_EQ(all.quadratic, 0.5 * (n * n) * (n * n - 1) / 2 - 3 * n * n);
    EXPECT_EQ(all.linear, 15);
    // Zero angles keep the leading ones: x = (1, 1, 0, 0, 0).
    const Expectations start = ansatz_expectations(n, 2, std::vector<double>(8, 0.0), q, u);
    EXPECT_DOUBLE_EQ(start.quadratic, q[0] + q[1] + q[n] + q[n + 1]);
    EXPECT_DOUBLE_EQ(start.linear, u[0] + u[1]);

    // One feature of two: the block turns x = (1, 0) into cos(t/2) (1, 0) + sin(t/2) (0, 1).
    const std::vector<double> q2 = {2, -7, 5, 3}, u2 = {1, -4};
    for (double t : {0.0, 0.4, 2.5, -1.2}) {
        const double c2 = std::cos(t / 2) * std::cos(t / 2), s2 = 1 - c2;
        const Expectations one = ansatz_expectations(2, 1, std::vector<double>{t}, q2, u2);
        EXPECT_NEAR(one.quadratic, 2 * c2 + 3 * s2, 1e-14) << t;  // x_0 x_1 never both 1
        EXPECT_NEAR(one.linear, c2 - 4 * s2, 1e-14) << t;
    }
}

}  // namespace
}  // namespace norvalis::qmrmr
