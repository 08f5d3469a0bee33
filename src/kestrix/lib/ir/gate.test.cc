#include "kestrix/lib/ir/gate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/plan/op.h"
#include "kestrix/lib/run/evolve.h"
#include "kestrix/lib/run/statevector.h"
#include "kestrix/lib/testing/random_circuit.test.h"

namespace kestrix {
namespace {

TEST(Gate, ConstructorRefusesBadOperands) {
    EXPECT_THROW(make_gate(GateKind::H, {-1}), ValueError);
    EXPECT_THROW(make_gate(GateKind::CNOT, {2, 2}), ValueError);
    EXPECT_THROW(make_gate(GateKind::CNOT, {0}), ValueError);
    EXPECT_THROW(make_gate(GateKind::RX, {0}, {NAN}), ValueError);
    EXPECT_THROW(make_gate(GateKind::RX, {0}, {INFINITY}), ValueError);
    EXPECT_THROW(make_gate(GateKind::RX, {0}, {}), ValueError);
    EXPECT_THROW(make_measure(0, -1), ValueError);
    EXPECT_NO_THROW(make_gate(GateKind::BARRIER, {0, 3, 1}));
}

TEST(Gate, ControlRefusesTargetsAndRepeats) {
    Gate cnot = make_gate(GateKind::CNOT, {0, 1});
    EXPECT_THROW(cnot.controlled({1}), ValueError);
    EXPECT_THROW(cnot.controlled({2, 2}), ValueError);
    Gate twice = cnot.controlled({2}).controlled({3});
    EXPECT_EQ(twice.controls, (std::vector<int>{2, 3}));
    EXPECT_THROW(twice.controlled({2}), ValueError);
    EXPECT_THROW(make_measure(0, 0).controlled({1}), ValueError);
}

TEST(Gate, DaggerFlipsTheFlagAndConjugatesTheMatrix) {
    Gate u3 = make_gate(GateKind::U3, {0}, {0.3, 1.1, -0.7});
    Unitary a = lower(u3), b = lower(u3.daggered());
    EXPECT_TRUE(u3.daggered().dagger);
    EXPECT_FALSE(u3.daggered().daggered().dagger);
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 2; ++c) EXPECT_EQ(b.m[r * 2 + c], std::conj(a.m[c * 2 + r]));
}

TEST(Gate, LoweringPutsTwoQubitGatesUnderControls) {
    Unitary cnot = lower(make_gate(GateKind::CNOT, {3, 1}).controlled({5}));
    EXPECT_EQ(cnot.num_targets, 1);
    EXPECT_EQ(cnot.targets[0], 1);
    EXPECT_EQ(cnot.controls, (std::vector<int>{3, 5}));
    Unitary cr = lower(make_gate(GateKind::CR, {0, 2}, {0.5}));
    EXPECT_NEAR(std::arg(cr.m[3]), 0.5, 1e-15);
    Unitary toffoli = lower(make_gate(GateKind::TOFFOLI, {0, 1, 2}));
    EXPECT_EQ(toffoli.controls, (std::vector<int>{0, 1}));
}

// Equal gates hash alike, so that sets and dictionaries of gates behave; gates differing
// in any field compare unequal.
TEST(Gate, EqualityAndHashAgree) {
    const Gate rx = make_gate(GateKind::RX, {0}, {0.0});
    EXPECT_EQ(rx, make_gate(GateKind::RX, {0}, {-0.0}));
    EXPECT_EQ(hash_value(rx), hash_value(make_gate(GateKind::RX, {0}, {-0.0})));
    const Gate variants[] = {make_gate(GateKind::RY, {0}, {0.0}),
                             make_gate(GateKind::RX, {1}, {0.0}),
                             make_gate(GateKind::RX, {0}, {0.5}),
                             rx.daggered(),
                             rx.controlled({2}),
                             make_gate(GateKind::CNOT, {0, 1}),
                             make_gate(GateKind::CNOT, {1, 0})};
    for (const Gate& other : variants) EXPECT_FALSE(rx == other) << gate_name(other.kind);
    EXPECT_FALSE(make_gate(GateKind::CNOT, {0, 1}) == make_gate(GateKind::X, {1}).controlled({0}));
    EXPECT_FALSE(make_measure(0, 1) == make_measure(0, 2));
}

// A random k-qubit unitary: Gram-Schmidt on the columns of a random complex matrix.
std::vector<cplx> random_unitary(int k, std::mt19937_64& rng) {
    const size_t d = size_t{1} << k;
    std::normal_distribution<double> normal;
    std::vector<cplx> m(d * d);
    for (cplx& z : m) z = cplx(normal(rng), normal(rng));
    for (size_t c = 0; c < d; ++c) {
        for (size_t p = 0; p < c; ++p) {
            cplx overlap = 0;
            for (size_t r = 0; r < d; ++r) overlap += std::conj(m[r * d + p]) * m[r * d + c];
            for (size_t r = 0; r < d; ++r) m[r * d + c] -= overlap * m[r * d + p];
        }
        double norm = 0;
        for (size_t r = 0; r < d; ++r) norm += std::norm(m[r * d + c]);
        for (size_t r = 0; r < d; ++r) m[r * d + c] /= std::sqrt(norm);
    }
    return m;
}

// The matrix u (local index bit j = qubits[j]) applied where every control is 1, index by
// index, with no cleverness.
std::vector<cplx> apply_reference(const std::vector<cplx>& in, const std::vector<cplx>& u,
                                  const std::vector<int>& qubits,
                                  const std::vector<int>& controls) {
    const size_t d = size_t{1} << qubits.size();
    std::vector<cplx> out = in;
    for (uint64_t i = 0; i < in.size(); ++i) {
        bool on = true;
        for (int c : controls) on = on && ((i >> c) & 1);
        if (!on) continue;
        size_t row = 0;
        uint64_t rest = i;
        for (size_t j = 0; j < qubits.size(); ++j) {
            row |= ((i >> qubits[j]) & 1) << j;
            rest &= ~(uint64_t{1} << qubits[j]);
        }
        cplx sum = 0;
        for (size_t col = 0; col < d; ++col) {
            uint64_t source = rest;
            for (size_t j = 0; j < qubits.size(); ++j)
                source |= uint64_t((col >> j) & 1) << qubits[j];
            sum += u[row * d + col] * in[source];
        }
        out[i] = sum;
    }
    return out;
}

std::vector<cplx> adjoint(const std::vector<cplx>& u) {
    const size_t d = size_t(std::llround(std::sqrt(double(u.size()))));
    std::vector<cplx> a(u.size());
    for (size_t r = 0; r < d; ++r)
        for (size_t c = 0; c < d; ++c) a[r * d + c] = std::conj(u[c * d + r]);
    return a;
}

TEST(Unitary, ConstructorRefusesBadMatrices) {
    std::mt19937_64 rng(1);
    std::vector<cplx> u2 = random_unitary(2, rng);
    EXPECT_NO_THROW(make_unitary({3, 1}, u2));
    EXPECT_THROW(make_unitary({}, {}), ValueError);
    EXPECT_THROW(make_unitary({0, 1, 2, 3, 4, 5, 6}, random_unitary(1, rng)), ValueError);
    EXPECT_THROW(make_unitary({1, 1}, u2), ValueError);
    EXPECT_THROW(make_unitary({-1, 1}, u2), ValueError);
    EXPECT_THROW(make_unitary({0}, u2), ValueError);  // 4x4 on one qubit
    std::vector<cplx> bad = u2;
    bad[5] *= 1.001;
    EXPECT_THROW(make_unitary({0, 1}, bad), ValueError);
    bad[5] = cplx(NAN, 0);
    EXPECT_THROW(make_unitary({0, 1}, bad), ValueError);
    EXPECT_THROW(make_gate(GateKind::UNITARY, {0}), ValueError);
    // Rounding well inside the tolerance is accepted.
    bad = u2;
    bad[5] += 1e-12;
    EXPECT_NO_THROW(make_unitary({0, 1}, bad));
}

TEST(Unitary, CopiesShareTheMatrixAndCompareByContent) {
    std::mt19937_64 rng(2);
    const std::vector<cplx> u = random_unitary(3, rng);
    const Gate a = make_unitary({0, 1, 2}, u), b = make_unitary({0, 1, 2}, u);
    const Gate copy = a.controlled({4}).daggered();
    EXPECT_EQ(copy.matrix.get(), a.matrix.get());
    EXPECT_TRUE(same_matrix(a, b));
    EXPECT_FALSE(same_matrix(a, make_unitary({0, 1, 2}, random_unitary(3, rng))));
    EXPECT_FALSE(same_matrix(a, make_gate(GateKind::H, {0})));
}

// Every width, on random qubit orders, under controls and daggers, between ordinary gates,
// on narrow states and on states wide enough to be fused and threaded.
TEST(Unitary, RunsAsItsMatrix) {
    std::mt19937_64 rng(3);
    for (int n : {7, 11, kParallelQubits + 1}) {
        for (int k = 1; k <= kMaxUnitaryQubits; ++k) {
            const std::vector<int> order = testing::distinct_qubits(n, k + 2, rng);
            const std::vector<int> qubits(order.begin(), order.begin() + k);
            const std::vector<int> controls(order.begin() + k, order.begin() + k + (k % 3));
            const std::vector<cplx> u = random_unitary(k, rng);
            const bool dagger = k % 2 == 0;
            const Circuit before = testing::random_circuit(n, 30, rng);
            const Circuit after = testing::random_circuit(n, 30, rng);
            Gate g = make_unitary(QubitList(qubits), u).controlled(controls);
            if (dagger) g = g.daggered();
            Circuit c;
            c.append(before).append(g).append(after);

            std::vector<cplx> want = testing::reference_state(before, n);
            want = apply_reference(want, dagger ? adjoint(u) : u, qubits, controls);
            after.for_each_gate(
                [&](const Gate& h) { want = testing::reference_apply(want, lower(h)); });
            StateVector got(n);
            apply_circuit(got, c);
            EXPECT_LT(testing::max_distance(got.data(), want.data(), want.size()), 1e-10)
                << "n=" << n << " k=" << k;
        }
    }
}

// Phase estimation's pattern: one controlled block repeated, folded into a matrix power.
TEST(Unitary, RepeatedControlledBlocksFoldToTheSameState) {
    std::mt19937_64 rng(4);
    const int n = 12, copies = 100;
    const std::vector<cplx> u = random_unitary(3, rng);
    const Gate ry = make_gate(GateKind::RY, {4}, {0.3});
    Circuit block, prepare;
    block.append(make_unitary({3, 1, 2}, u)).append(ry);
    prepare.append(make_gate(GateKind::H, {0})).append(make_gate(GateKind::H, {2}));
    Circuit c = prepare;
    for (int r = 0; r < copies; ++r) c.append(block.controlled({0}));

    std::vector<cplx> want = testing::reference_state(prepare, n);
    for (int r = 0; r < copies; ++r) {
        want = apply_reference(want, u, {3, 1, 2}, {0});
        want = testing::reference_apply(want, lower(ry.controlled({0})));
    }
    const Schedule plan = make_schedule(c, n);
    EXPECT_EQ(plan.steps.size(), 3u);  // the two H gates and one matrix power
    EXPECT_LT(testing::max_distance(testing::run(plan, n).data(), want.data(), want.size()), 1e-10);
}

}  // namespace
}  // namespace kestrix
