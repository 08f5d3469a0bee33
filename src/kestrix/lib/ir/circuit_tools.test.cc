#include "kestrix/lib/ir/circuit_tools.h"

#include <gtest/gtest.h>

namespace kestrix {
namespace {

Gate g(GateKind kind, QubitList qubits) { return make_gate(kind, std::move(qubits)); }

TEST(CircuitTools, DepthCountsLayersThroughControlsAndClassicalBits) {
    Circuit c;
    EXPECT_EQ(depth(c), 0u);
    c.append(g(GateKind::H, {0})).append(g(GateKind::H, {1})).append(g(GateKind::H, {2}));
    EXPECT_EQ(depth(c), 1u);
    c.append(g(GateKind::X, {2}).controlled({0}));  // the control shares qubit 0
    EXPECT_EQ(depth(c), 2u);
    c.append(make_measure(1, 0)).append(make_measure(2, 0));  // one classical bit: in turn
    EXPECT_EQ(depth(c), 3u);
}

TEST(CircuitTools, BarriersAlignWithoutALayer) {
    Circuit c;
    c.append(g(GateKind::H, {0})).append(g(GateKind::H, {0}));
    c.append(g(GateKind::BARRIER, {0, 1}));
    EXPECT_EQ(depth(c), 2u);
    c.append(g(GateKind::X, {1}));  // after the barrier: behind qubit 0's two layers
    EXPECT_EQ(depth(c), 3u);
}

TEST(CircuitTools, CountOpsMostFrequentFirstTiesInOrderOfAppearance) {
    Circuit block;
    block.append(g(GateKind::CNOT, {0, 1})).append(g(GateKind::Z, {1}));
    Circuit c;
    c.append(g(GateKind::Z, {0})).append(block).append(block.daggered());
    c.append(g(GateKind::H, {0}));
    using Counts = std::vector<std::pair<std::string, size_t>>;
    EXPECT_EQ(count_ops(c), (Counts{{"Z", 3}, {"CNOT", 2}, {"H", 1}}));
}

TEST(CircuitTools, SameGatesComparesExpandedContent) {
    Circuit a, b, block;
    block.append(g(GateKind::H, {0})).append(g(GateKind::X, {1}));
    a.append(block);
    b.append(g(GateKind::H, {0})).append(g(GateKind::X, {1}));
    EXPECT_TRUE(same_gates(a, b));
    b.append(g(GateKind::X, {1}));
    EXPECT_FALSE(same_gates(a, b));
    Circuit r, s;
    r.append(make_gate(GateKind::RZ, {0}, {0.0}));
    s.append(make_gate(GateKind::RZ, {0}, {-0.0}));
    EXPECT_TRUE(same_gates(r, s));
}

}  // namespace
}  // namespace kestrix
