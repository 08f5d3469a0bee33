#include "kestrix/lib/run/simulator.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/kernels/kernels.h"
#include "kestrix/lib/plan/plan.h"
#include "kestrix/lib/run/evolve.h"
#include "kestrix/lib/run/sampling.h"
#include "kestrix/lib/testing/random_circuit.test.h"

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
    EXPECT_EQ(r.counts()[0].first, Outcome(0));
    EXPECT_EQ(r.counts()[1].first, Outcome(3));
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

// The draw is over the measured qubits, not a table of 2^(classical bits): a hundred
// copies of two Bell qubits cost no more than two bits.
TEST(Simulator, AnyNumberOfClassicalBitsCopiesTheMeasuredQubits) {
    Program p = bell_with_measurements();
    for (int c = 2; c < 100; ++c) p.circuit.append(make_measure(c % 2, c));
    Result r = Simulator::run(p, 1000, 5);
    ASSERT_EQ(r.cbits().size(), 100u);
    ASSERT_EQ(r.counts().size(), 2u);
    Outcome ones;
    for (size_t j = 0; j < 100; ++j) ones.set(j, true);
    EXPECT_EQ(r.counts()[0].first, Outcome(0));
    EXPECT_EQ(r.counts()[1].first, ones);
    EXPECT_EQ(r.counts()[0].second + r.counts()[1].second, 1000u);
    EXPECT_EQ(r.shot_frequencies({1, 0})->size(), 4u);
}

// Measured, flipped and measured again into 70 classical bits: every bit is its own fair
// coin, the high ones included (a 64-bit outcome would lose or corrupt them).
TEST(Simulator, PerShotOutcomesKeepBitsBeyondSixtyFour) {
    Program p;
    for (int c = 0; c < 70; ++c)
        p.circuit.append(make_gate(GateKind::H, {0})).append(make_measure(0, c));
    Result r = Simulator::run(p, 400, 9);
    uint64_t total = 0, high_ones = 0;
    for (size_t k = 0; k < r.counts().size(); ++k) {
        const auto& [outcome, count] = r.counts()[k];
        if (k > 0) {
            EXPECT_LT(r.counts()[k - 1].first, outcome);
        }
        total += count;
        high_ones += outcome.bit(69) ? count : 0;
        EXPECT_FALSE(outcome.bit(70));
    }
    EXPECT_EQ(total, 400u);
    EXPECT_NEAR(double(high_ones) / 400, 0.5, 5 * 0.025);
}

TEST(Outcome, OrdersAsTheNumberItsBitsSpell) {
    Outcome wide, low(~uint64_t{0});
    wide.set(64, true);
    EXPECT_LT(low, wide);
    EXPECT_LT(Outcome(2), Outcome(3));
    wide.set(64, false);
    EXPECT_EQ(wide, Outcome());
    EXPECT_TRUE(wide.is_zero());
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

// With an interrupt that never fires, passes over a wide state run slice by slice and
// chunked segments poll between chunks: the state must be the same to the last bit.
TEST(Simulator, PollingForInterruptsLeavesTheStateAlone) {
    std::mt19937_64 rng(8);
    const int n = 22;
    const Circuit c = testing::random_circuit(n, 60, rng);
    StateVector plain(n), polled(n);
    apply_circuit(plain, c);
    int polls = 0;
    apply_circuit(polled, c, [&] { return ++polls < 0; });
    EXPECT_GT(polls, 60);
    for (uint64_t i = 0; i < plain.size(); ++i) ASSERT_EQ(plain.data()[i], polled.data()[i]) << i;
}

// Single-precision states through the same plans: narrow states pass by pass, wide ones
// fused and chunk by chunk (one qubit wider than double's chunks). Against the double
// reference within float rounding; sums (probabilities) in double.
TEST(Simulator, SinglePrecisionRunsMatchTheReference) {
    std::mt19937_64 rng(21);
    for (int n : {3, 9, kParallelQubits + 2, 17}) {
        const Circuit c = testing::random_circuit(n, 80, rng);
        const std::vector<cplx> want = testing::reference_state(c, n);
        StateVector state(n, {}, Precision::Single);
        apply_circuit(state, c);
        ASSERT_TRUE(state.single());
        double error = 0;
        for (uint64_t i = 0; i < state.size(); ++i)
            error = std::max(error, std::abs(cplx(state.single_data()[i]) - want[i]));
        EXPECT_LT(error, 1e-5) << n;

        Program p{c, n};
        const Result r = Simulator::run(p, 1, 0, {}, false, Precision::Single);
        EXPECT_EQ(r.precision(), Precision::Single);
        std::vector<int> all(n);
        for (int q = 0; q < n; ++q) all[q] = q;
        const std::vector<double> probs = r.exact_probabilities(all);
        for (uint64_t i = 0; i < probs.size(); ++i)
            ASSERT_NEAR(probs[i], std::norm(want[i]), 1e-5) << n << " " << i;
    }
    // A double-precision buffer is not handed out for a single state.
    EXPECT_THROW(StateVector(2, {}, Precision::Single).data(), ValueError);
}

// cos(pi / 2) is 6e-17 in double: rounded for single precision such noise becomes 0, or
// products of it would sink, step after step, into subnormal floats that cost the kernels
// ten times more.
TEST(Simulator, SinglePrecisionPlansZeroTheNoiseAroundZero) {
    Circuit c;
    c.append(make_gate(GateKind::RX, {0}, {std::acos(-1.0)}));
    const Plan plan(c, 1, {}, false, Precision::Single);
    const std::array<cfloat, 16>& m = plan.schedule().single_gates[0];
    EXPECT_EQ(m[0], cfloat(0));
    EXPECT_EQ(m[1], cfloat(0, -1));
    StateVector state(1, {}, Precision::Single);
    apply_circuit(state, c);
    EXPECT_EQ(state.single_data()[0], cfloat(0));
    EXPECT_EQ(state.single_data()[1], cfloat(0, -1));
}

TEST(Simulator, InterruptStopsAWideEvolutionAndAMatrix) {
    Circuit c;
    for (int k = 0; k < 40; ++k) c.append(make_gate(GateKind::H, {k % 22}));
    StateVector state(22);
    int polls = 0;
    EXPECT_THROW(apply_circuit(state, c, [&] { return ++polls >= 3; }), Interrupted);
    polls = 0;
    EXPECT_THROW(circuit_matrix(c, 22 - 12, [&] { return ++polls >= 3; }), IndexError);
    Circuit narrow;
    for (int k = 0; k < 40; ++k) narrow.append(make_gate(GateKind::H, {k % 8}));
    EXPECT_THROW(circuit_matrix(narrow, 8, [&] { return ++polls >= 3; }), Interrupted);
}

// Filling a new state polls between slices of kPollWork amplitudes, and a filled state is
// the all-zero state whichever way it was made.
TEST(Simulator, InterruptStopsFillingALargeState) {
    int polls = 0;
    EXPECT_THROW(StateVector(24, [&] { return ++polls >= 2; }), Interrupted);
    EXPECT_EQ(polls, 2);
    polls = 0;
    StateVector state(24, [&] { return ++polls < 0; });
    EXPECT_EQ(polls, int((uint64_t{1} << 24) / kPollWork) - 1);
    state.data()[5] = 1;
    state.reset();
    EXPECT_EQ(state.data()[0], cplx(1));
    for (uint64_t i = 1; i < state.size(); ++i) ASSERT_EQ(state.data()[i], cplx(0)) << i;
}

// A circuit appended to itself forty times expands to 2^40 steps: lowering it polls for
// an interrupt as it goes instead of running for hours deaf to Ctrl-C.
TEST(Simulator, InterruptStopsLoweringAHugeCircuit) {
    Program p;
    p.circuit.append(make_gate(GateKind::H, {0})).append(make_gate(GateKind::X, {1}));
    for (int k = 0; k < 40; ++k) p.circuit.append(p.circuit);
    int polls = 0;
    EXPECT_THROW(Simulator::run(p, 1, 0, [&] { return ++polls >= 2; }), Interrupted);
    EXPECT_EQ(polls, 2);
}

// A million nested blocks are lowered with the walker's own stack.
TEST(Simulator, DeeplyNestedCircuitRuns) {
    Program p;
    p.circuit.append(make_gate(GateKind::RY, {0}, {0.8}));
    for (int k = 0; k < 1000000; ++k) p.circuit = p.circuit.daggered();
    const Result r = Simulator::run(p, 1, 0);
    EXPECT_NEAR(r.exact_probabilities({0})[1], std::pow(std::sin(0.4), 2), 1e-12);
}

// Narrow programs of every kind (terminal and mid-circuit measurements, none) and wide
// ones that use every thread: a batch must give exactly what one run each gives.
std::vector<Program> mixed_programs(int count, std::mt19937_64& rng) {
    std::vector<Program> programs;
    for (int k = 0; k < count; ++k) {
        Program p;
        const int n = k % 7 == 6 ? kParallelQubits + 1 : 2 + k % 5;
        p.circuit = testing::random_circuit(n, 30, rng);
        if (k % 3 == 1) {
            for (int q = 0; q < n; ++q) p.circuit.append(make_measure(q, q));
        } else if (k % 3 == 2) {
            p.circuit.append(make_measure(0, 0)).append(make_gate(GateKind::H, {0}));
            p.circuit.append(make_measure(1, 1));
        }
        p.declared_qubits = n;
        programs.push_back(std::move(p));
    }
    return programs;
}

class BatchSizes : public ::testing::TestWithParam<int> {};

// 40 programs are shared out to the workers; 7 run on the calling thread alone.
TEST_P(BatchSizes, ResultsAreThoseOfOneRunEach) {
    std::mt19937_64 rng(21);
    const std::vector<Program> programs = mixed_programs(GetParam(), rng);
    std::vector<uint64_t> seeds;
    for (size_t k = 0; k < programs.size(); ++k) seeds.push_back(rng());
    const std::vector<Result> batch = Simulator::run_batch(programs, 257, seeds);
    ASSERT_EQ(batch.size(), programs.size());
    for (size_t k = 0; k < programs.size(); ++k) {
        const Result one = Simulator::run(programs[k], 257, seeds[k]);
        EXPECT_EQ(batch[k].counts(), one.counts()) << k;
        std::vector<int> all(one.num_qubits());
        for (int q = 0; q < one.num_qubits(); ++q) all[q] = q;
        EXPECT_EQ(batch[k].exact_probabilities(all), one.exact_probabilities(all)) << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Batch, BatchSizes, ::testing::Values(40, 7));

TEST(Batch, ProbabilitiesAreThoseOfOneRunEach) {
    std::mt19937_64 rng(5);
    std::vector<Program> programs;
    for (int k = 0; k < 30; ++k) {
        Program p;
        const int n = k % 10 == 9 ? kParallelQubits + 2 : 3 + k % 4;
        p.circuit = testing::random_circuit(n, 25, rng);
        p.declared_qubits = n;
        programs.push_back(std::move(p));
    }
    const std::vector<int> qubits = {2, 0};
    const auto rows = Simulator::probabilities_batch(programs, qubits);
    const auto full = Simulator::probabilities_batch(programs, std::nullopt);
    // Over no qubits every row is the one certain outcome, not the whole distribution.
    const auto none = Simulator::probabilities_batch(programs, std::vector<int>{});
    for (size_t k = 0; k < programs.size(); ++k) {
        const Result one = Simulator::run(programs[k], 1, 0);
        EXPECT_EQ(rows[k], one.exact_probabilities(qubits));
        EXPECT_EQ(none[k], one.exact_probabilities({}));
        ASSERT_EQ(none[k].size(), 1u);
        EXPECT_NEAR(none[k][0], 1.0, 1e-12);
        const std::vector<cplx> want =
            testing::reference_state(programs[k].circuit, programs[k].width());
        ASSERT_EQ(full[k].size(), want.size());
        for (size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(full[k][i], std::norm(want[i]), 1e-10);
    }
}

TEST(Batch, RefusesBadArgumentsBeforeRunning) {
    std::vector<Program> programs(2);
    programs[1].circuit.append(make_gate(GateKind::H, {3}));
    const uint64_t one_seed[] = {1};
    EXPECT_THROW(Simulator::run_batch(programs, 10, one_seed), ValueError);
    const uint64_t seeds[] = {1, 2};
    EXPECT_THROW(Simulator::run_batch(programs, 0, seeds), ValueError);
    EXPECT_THROW(Simulator::probabilities_batch(programs, std::vector<int>{2}), IndexError);
    programs[0].circuit.append(make_measure(0, 0));
    EXPECT_THROW(Simulator::probabilities_batch(programs, std::nullopt), ValueError);
    programs[1].declared_qubits = 58;
    EXPECT_THROW(Simulator::run_batch(programs, 10, seeds), MemoryError);
}

TEST(Batch, InterruptStopsTheBatch) {
    std::mt19937_64 rng(2);
    std::vector<Program> programs = mixed_programs(200, rng);
    const std::vector<uint64_t> seeds(programs.size(), 1);
    int polls = 0;
    EXPECT_THROW(Simulator::run_batch(programs, 100, seeds, [&] { return ++polls >= 2; }),
                 Interrupted);
    EXPECT_EQ(polls, 2);
}

TEST(Sampling, ShotsBeyondTwoToTheSixtyOneAreCounted) {
    Rng rng(4);
    const uint64_t shots = uint64_t{1} << 62;
    const std::vector<uint64_t> counts = sample_counts({0.25, 0.75}, shots, rng);
    EXPECT_EQ(counts[0] + counts[1], shots);
    EXPECT_NEAR(double(counts[0]) / double(shots), 0.25, 1e-6);
}

// A run that measures every qubit draws its shots from the amplitudes themselves, with no
// table of the state's size: the same draws as from the table, whatever the order in which
// the classical bits read the qubits, for few shots (sorted uniforms) and many (binomials).
TEST(Sampling, AWholeStateIsSampledAsItsTableIs) {
    std::mt19937_64 gen(8);
    const int n = 7;
    const Circuit c = testing::random_circuit(n, 60, gen);
    StateVector state(n);
    apply_circuit(state, c);
    for (const std::vector<int>& order :
         {std::vector<int>{0, 1, 2, 3, 4, 5, 6}, std::vector<int>{3, 0, 6, 1, 5, 2, 4}}) {
        for (uint64_t shots : {uint64_t{5}, uint64_t{100000}}) {
            Program p{c, n};
            for (int j = 0; j < n; ++j) p.circuit.append(make_measure(order[j], j));
            const Result r = Simulator::run(p, shots, 21);
            Rng rng(21);
            const std::vector<uint64_t> dense =
                sample_counts(state.probabilities(order), shots, rng);
            std::vector<std::pair<Outcome, uint64_t>> expected;
            for (uint64_t k = 0; k < dense.size(); ++k)
                if (dense[k]) expected.emplace_back(Outcome(k), dense[k]);
            EXPECT_EQ(r.counts(), expected) << shots << " shots";
        }
    }
}

}  // namespace
}  // namespace kestrix
