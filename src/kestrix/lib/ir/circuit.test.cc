#include "kestrix/lib/ir/circuit.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "kestrix/lib/base/errors.h"

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

// A circuit appended to itself doubles its gate count without copying anything: forty
// doublings hold 2^40 gates in forty blocks. Counting, controlling and walking it cost
// what the blocks cost, and a doubling past 2^64 gates is refused, not wrapped around.
TEST(Circuit, SelfAppendedCircuitIsCountedWithoutExpanding) {
    Circuit c;
    c.append(h(0)).append(h(1));
    for (int k = 0; k < 40; ++k) c.append(c);
    EXPECT_EQ(c.gate_count(), uint64_t{2} << 40);
    EXPECT_NO_THROW(c.controlled({2}));
    EXPECT_THROW(c.controlled({1}), ValueError);
    EXPECT_THROW(c.flatten(), MemoryError);
    GateCursor cursor(c);
    Gate g;
    ASSERT_TRUE(cursor.next(g));
    EXPECT_EQ(g, h(0));
    for (int k = 0; k < 22; ++k) c.append(c);
    EXPECT_EQ(c.gate_count(), uint64_t{1} << 63);
    EXPECT_THROW(c.append(c), ValueError);
}

// Appended to itself, a circuit holds its earlier content once more, and walking it ends.
TEST(Circuit, SelfAppendedCircuitRepeatsItsEarlierContent) {
    Circuit c;
    c.append(h(0)).append(h(1));
    c.append(c).append(c);
    const std::vector<Gate> expected{h(0), h(1), h(0), h(1), h(0), h(1), h(0), h(1)};
    EXPECT_EQ(c.flatten(), expected);
}

// A million nested blocks: every walk keeps its own stack and freeing them does not
// recurse, so none of this overflows the machine stack.
TEST(Circuit, DeepNestingIsWalkedAndFreedWithoutRecursion) {
    Circuit c;
    c.append(ry(0, 0.3)).append(h(1));
    c = c.controlled({2});
    for (int k = 0; k < 1000000; ++k) c = c.daggered();
    EXPECT_EQ(c.gate_count(), 2u);
    const std::vector<Gate> gates = c.flatten();
    ASSERT_EQ(gates.size(), 2u);
    EXPECT_EQ(gates[0], ry(0, 0.3).controlled({2}));
    EXPECT_THROW(c.controlled({0}), ValueError);
    EXPECT_THROW(c.controlled({2}), ValueError);
}

TEST(Circuit, CursorYieldsWhatFlattenLists) {
    Circuit block;
    block.append(ry(0, 0.1)).append(make_gate(GateKind::CNOT, {0, 1})).append(h(3));
    Circuit c;
    c.append(h(2)).append(block.controlled({4}).daggered()).append(block).append(block);
    c.append(make_measure(1, 7));
    const std::vector<Gate> listed = c.flatten();
    GateCursor cursor(c);
    c.append(h(5));  // later appends leave the cursor's view alone
    std::vector<Gate> walked;
    for (Gate g; cursor.next(g);) walked.push_back(g);
    EXPECT_EQ(walked, listed);
    EXPECT_EQ(listed.size(), 11u);
}

TEST(Circuit, QubitsBeyondTheLargestIndexAreRefused) {
    EXPECT_NO_THROW(h(kMaxQubits - 1));
    EXPECT_THROW(h(kMaxQubits), ValueError);
    EXPECT_THROW(h(0).controlled({kMaxQubits}), ValueError);
    EXPECT_THROW(make_measure(kMaxQubits, 0), ValueError);
    Circuit c;
    c.append(h(kMaxQubits - 1));
    EXPECT_EQ(c.width(), kMaxQubits);
    // A long list is checked for repeats by sorting, not pairwise.
    std::vector<int> many(kMaxQubits);
    for (int q = 0; q < kMaxQubits; ++q) many[q] = kMaxQubits - 1 - q;
    EXPECT_NO_THROW(make_gate(GateKind::BARRIER, QubitList(many)));
    many.back() = 5;
    EXPECT_THROW(make_gate(GateKind::BARRIER, QubitList(many)), ValueError);
}

}  // namespace
}  // namespace kestrix
