#include "kestrix/lib/gate.h"

#include <gtest/gtest.h>

#include <cmath>

#include "kestrix/lib/errors.h"
#include "kestrix/lib/op.h"

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
                             make_gate(GateKind::RX, {0}, {0.5}), rx.daggered(),
                             rx.controlled({2}), make_gate(GateKind::CNOT, {0, 1}),
                             make_gate(GateKind::CNOT, {1, 0})};
    for (const Gate& other : variants) EXPECT_FALSE(rx == other) << gate_name(other.kind);
    EXPECT_FALSE(make_gate(GateKind::CNOT, {0, 1}) == make_gate(GateKind::X, {1}).controlled({0}));
    EXPECT_FALSE(make_measure(0, 1) == make_measure(0, 2));
}

}  // namespace
}  // namespace kestrix
