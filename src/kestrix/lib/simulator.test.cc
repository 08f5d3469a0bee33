#include "kestrix/lib/simulator.h"

#include <gtest/gtest.h>

#include <cmath>

#include "kestrix/lib/errors.h"

namespace kestrix {
namespace {

Program bell_with_measurements() {
    Program p;
    p.declared_qubits = 2;
    p.circuit.append(make_gate(GateKind::H, {0}))
        .append(make_gate(GateKind::CNOT, {0, 1}))
        .append(make_measure(0, 0))
        .append(make_measure(1, 1));
    return p;
}

TEST(Simulator, TerminalMeasurementsSampleTheFinalState) {
    Result r = Simulator::run(bell_with_measurements(), 10000, 7);
    ASSERT_EQ(r.counts().size(), 2u);
    EXPECT_EQ(r.counts()[0].first, 0u);
    EXPECT_EQ(r.counts()[1].first, 3u);
    EXPECT_EQ(r.counts()[0].second + r.counts()[1].second, 10000u);
    EXPECT_NEAR(r.counts()[0].second / 10000.0, 0.5, 5 * 0.005);
    std::vector<double> exact = r.exact_probabilities({0, 1});
    EXPECT_NEAR(exact[0], 0.5, 1e-12);
    EXPECT_NEAR(exact[3], 0.5, 1e-12);
}

TEST(Simulator, SameSeedSameCounts) {
    Result a = Simulator::run(bell_with_measurements(), 999, 3);
    Result b = Simulator::run(bell_with_measurements(), 999, 3);
    EXPECT_EQ(a.counts(), b.counts());
}

TEST(Simulator, MeasurementThenGateCollapsesPerShot) {
    Program p;
    p.circuit.append(make_gate(GateKind::H, {0}))
        .append(make_measure(0, 0))
        .append(make_gate(GateKind::H, {0}))
        .append(make_measure(0, 1));
    Result r = Simulator::run(p, 4000, 1);
    // Both readings are independent fair coins: all four outcomes appear.
    ASSERT_EQ(r.counts().size(), 4u);
    for (auto [outcome, count] : r.counts()) EXPECT_NEAR(count / 4000.0, 0.25, 5 * 0.0069);
    // Without collapse the second H would undo the first and c1 would always read 0.
}

TEST(Simulator, FrequenciesOnlyWhenAllRequestedQubitsAreMeasured) {
    Program p;
    p.declared_qubits = 3;
    p.circuit.append(make_gate(GateKind::X, {2})).append(make_measure(2, 4));
    Result r = Simulator::run(p, 5, 0);
    EXPECT_EQ(r.cbits(), std::vector<int>{4});
    ASSERT_TRUE(r.shot_frequencies({2}).has_value());
    EXPECT_FALSE(r.shot_frequencies({0, 2}).has_value());
    EXPECT_EQ(r.probabilities({0, 2})[2], 1.0);
}

TEST(Simulator, RefusesZeroShotsAndHugeStates) {
    EXPECT_THROW(Simulator::run(bell_with_measurements(), 0, 0), ValueError);
    Program wide;
    wide.declared_qubits = 58;
    EXPECT_THROW(Simulator::run(wide, 1, 0), MemoryError);
}

TEST(Simulator, InterruptStopsALongRun) {
    Program p;
    p.declared_qubits = 20;
    for (int k = 0; k < 200; ++k) p.circuit.append(make_gate(GateKind::H, {k % 20}));
    int polls = 0;
    EXPECT_THROW(Simulator::run(p, 1, 0, [&] { return ++polls >= 2; }), Interrupted);
    EXPECT_EQ(polls, 2);
}

}  // namespace
}  // namespace kestrix
