#include "kestrix/lib/circuit.h"

#include <gtest/gtest.h>

#include "kestrix/lib/errors.h"

namespace kestrix {
namespace {

Gate h(int q) { return make_gate(GateKind::H, {q}); }
Gate ry(int q, double t) { return make_gate(GateKind::RY, {q}, {t}); }

TEST(Circuit, AppendedCircuitIsACopy) {
    Circuit inner;
    inner.append(h(0)).append(h(1));
    Circuit outer;
    outer.append(inner);
    inner.append(h(2));
    EXPECT_EQ(outer.gate_count(), 2u);
    EXPECT_EQ(inner.gate_count(), 3u);
    outer.append(outer);
    EXPECT_EQ(outer.gate_count(), 4u);
}

TEST(Circuit, DaggerReversesAndNestsWithControls) {
    Circuit block;
    block.append(ry(0, 0.1)).append(make_gate(GateKind::CNOT, {0, 1}));
    Circuit c = block.controlled({2}).daggered().controlled({3});
    std::vector<Gate> gates = c.flatten();
    ASSERT_EQ(gates.size(), 2u);
    EXPECT_EQ(gates[0].kind, GateKind::CNOT);
    EXPECT_EQ(gates[0].controls, (std::vector<int>{3, 2}));
    EXPECT_TRUE(gates[0].dagger);
    EXPECT_EQ(gates[1].kind, GateKind::RY);
    // Daggering twice restores the original order and flags.
    std::vector<Gate> back = block.daggered().daggered().flatten();
    EXPECT_EQ(back[0].kind, GateKind::RY);
    EXPECT_FALSE(back[0].dagger);
}

TEST(Circuit, ControlRefusesQubitsTheCircuitUses) {
    Circuit c;
    c.append(h(0)).append(make_gate(GateKind::CNOT, {1, 2}));
    EXPECT_THROW(c.controlled({2}), ValueError);
    EXPECT_THROW(c.controlled({4, 4}), ValueError);
    EXPECT_NO_THROW(c.controlled({3}));
    EXPECT_EQ(c.controlled({}).gate_count(), 2u);
}

TEST(Circuit, MeasurementsCannotBeControlledOrInverted) {
    Circuit c;
    c.append(h(0)).append(make_measure(0, 0));
    EXPECT_TRUE(c.has_measurement());
    EXPECT_THROW(c.daggered(), ValueError);
    EXPECT_THROW(c.controlled({1}), ValueError);
}

TEST(Circuit, WidthCountsControls) {
    Circuit c;
    c.append(h(0).controlled({6}));
    EXPECT_EQ(c.width(), 7);
    EXPECT_EQ(Circuit().width(), 0);
}

}  // namespace
}  // namespace kestrix
