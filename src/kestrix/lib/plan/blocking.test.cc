#include "kestrix/lib/plan/blocking.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "kestrix/lib/kernels/kernels.h"
#include "kestrix/lib/plan/fusion.h"
#include "kestrix/lib/plan/plan.h"
#include "kestrix/lib/testing/random_circuit.test.h"

namespace kestrix {
namespace {

using testing::max_distance;
using testing::random_circuit;
using testing::reference_state;

std::vector<cplx> run_segments(const Schedule& plan, int n, int chunk_qubits) {
    std::vector<cplx> s(uint64_t{1} << n, cplx(0));
    s[0] = 1;
    for (const Segment& seg : segment(plan, n, chunk_qubits))
        if (seg.kind != Segment::Kind::Measure) apply_segment(plan, seg, s.data(), n);
    return s;
}

// Random circuits with controls anywhere, gate by gate and fused at several widths, at
// chunk sizes from barely above the forced low qubits to nearly the whole state: the
// segments, however they reorder and regroup the steps, compute the reference state.
TEST(Blocking, SegmentedRunsMatchTheReference) {
    std::mt19937_64 rng(17);
    for (int n : {kParallelQubits, kParallelQubits + 3}) {
        for (int trial = 0; trial < 2; ++trial) {
            const Circuit c = random_circuit(n, 150, rng);
            const std::vector<cplx> want = reference_state(c, n);
            const Schedule plain = make_schedule(c, n);
            std::vector<Schedule> plans = {plain};
            for (int dense = 1; dense <= kMaxDenseQubits; dense += 2)
                plans.push_back(fuse(plain, {dense, kMaxDiagonalQubits}));
            for (int chunk : {kChunkRunQubits + 2, kChunkRunQubits + 3, n - 2}) {
                for (size_t p = 0; p < plans.size(); ++p) {
                    const std::vector<cplx> got = run_segments(plans[p], n, chunk);
                    EXPECT_LT(max_distance(got.data(), want.data(), want.size()), 1e-10)
                        << "n=" << n << " chunk=" << chunk << " plan=" << p;
                }
            }
        }
    }
}

// Layers of gates on every qubit: one segment takes the layer's gates on the chunk's
// qubits and goes on into the next layers, far fewer passes than steps.
TEST(Blocking, LayersShareOnePass) {
    const int n = 16;
    Circuit c;
    for (int layer = 0; layer < 6; ++layer) {
        for (int q = 0; q < n; ++q) c.append(make_gate(GateKind::RX, {q}, {0.1 * (q + layer)}));
        for (int q = 0; q + 1 < n; q += 2) c.append(make_gate(GateKind::CNOT, {q, q + 1}));
    }
    const Schedule plan = make_schedule(c, n);
    const std::vector<Segment> segments = segment(plan, n, 12);
    EXPECT_LT(segments.size() * 8, plan.steps.size());
    const std::vector<cplx> want = reference_state(c, n);
    const std::vector<cplx> got = run_segments(plan, n, 12);
    EXPECT_LT(max_distance(got.data(), want.data(), want.size()), 1e-10);
}

// A block wider than the unrolled kernels between layers of small gates, all of them on
// qubits that fit a chunk: the small gates share chunks, the wide block runs alone.
TEST(Blocking, WideBlocksRunAsPassesOfTheirOwn) {
    const int n = 16, width = kMaxDenseQubits + 1;
    Schedule plan;
    auto layer = [&](double angle) {
        for (int q = 0; q < width; ++q)
            lower_op(make_gate(GateKind::RY, {q}, {angle + 0.1 * q}), 0, false,
                     plan.steps.emplace_back().gate);
    };
    layer(0.3);
    lower_op(make_gate(GateKind::H, {n - 1}), 0, false, plan.steps.emplace_back().gate);
    Op block;
    for (int q = 0; q < width; ++q) block.qubits.push_back(q);
    block.control_mask = uint64_t{1} << (n - 1);
    std::mt19937_64 rng(4);
    std::normal_distribution<double> normal;
    block.m.resize(uint64_t{1} << (2 * width));
    for (cplx& x : block.m) x = cplx(normal(rng), normal(rng)) / 16.0;
    plan.push_block(block);
    layer(0.7);
    const std::vector<Segment> segments = segment(plan, n, 12);
    ASSERT_EQ(segments.size(), 3u);
    EXPECT_EQ(segments[1].kind, Segment::Kind::Pass);
    EXPECT_EQ(segments[1].step, uint32_t(width + 1));
    // Against each step run on the whole state in turn.
    std::vector<cplx> want(uint64_t{1} << n, cplx(0));
    want[0] = 1;
    for (const Step& step : plan.steps) plan.apply(want.data(), n, step);
    const std::vector<cplx> got = run_segments(plan, n, 12);
    EXPECT_LT(max_distance(got.data(), want.data(), want.size()), 1e-10);
}

TEST(Blocking, SegmentsNeverCrossAMeasurement) {
    const int n = kParallelQubits;
    Circuit c;
    for (int q = 0; q < n; ++q) c.append(make_gate(GateKind::H, {q}));
    c.append(make_measure(3, 0));
    for (int q = 0; q < n; ++q) c.append(make_gate(GateKind::H, {q}));
    const Schedule plan = make_schedule(c, n);
    const std::vector<Segment> segments = segment(plan, n, 10);
    size_t seen = 0;
    bool measured = false;
    for (const Segment& s : segments) {
        seen += s.step_count();
        if (s.kind == Segment::Kind::Measure) {
            EXPECT_EQ(s.step, uint32_t(n));
            measured = true;
        } else if (s.kind == Segment::Kind::Pass) {
            EXPECT_EQ(s.step < uint32_t(n), !measured) << s.step;
        } else {
            for (uint32_t i : s.steps) EXPECT_EQ(i < uint32_t(n), !measured) << i;
        }
    }
    EXPECT_EQ(seen, plan.steps.size());
}

// Random gates reaching one more pair of qubits at a time, in a shuffled order: the first
// passes of a run from |0...0> leave most qubits at 0.
Circuit staircase(int n, std::mt19937_64& rng) {
    std::vector<int> order(size_t(n), 0);
    for (int q = 0; q < n; ++q) order[size_t(q)] = q;
    std::shuffle(order.begin(), order.end(), rng);
    Circuit c;
    for (int w = 2; w <= n; w += 2) {
        random_circuit(w, 8, rng).for_each_gate([&](const Gate& g) {
            Gate moved = g;
            for (int& q : moved.qubits) q = order[size_t(q)];
            for (int& q : moved.controls) q = order[size_t(q)];
            c.append(moved);
        });
    }
    return c;
}

// Plans made for runs from |0...0> skip the amplitudes still zero in their first passes,
// unfused and fused; on a large state polled for interrupts each pass runs slice by slice
// and skips the slices of zeros. Every state equals the run that skips nothing.
TEST(Blocking, PassesFromZeroSkipOnlyZeros) {
    std::mt19937_64 rng(5);
    for (int n : {6, kFuseMinQubits + 2}) {
        const Circuit c = staircase(n, rng);
        const Plan from_zero(c, n, {}, true);
        size_t marked = 0;
        for (const Segment& s : from_zero.segments()) marked += s.zero != 0;
        EXPECT_GT(marked, 0u) << n;
        std::vector<cplx> got(uint64_t{1} << n, cplx(0));
        got[0] = 1;
        from_zero.run(got.data());
        const std::vector<cplx> want = reference_state(c, n);
        EXPECT_LT(max_distance(got.data(), want.data(), want.size()), 1e-10) << n;
    }
    const int wide = 21;  // past kSliceMinQubits
    const Schedule plan = make_schedule(staircase(8, rng), wide);
    std::vector<Segment> passes(plan.steps.size());
    for (uint32_t i = 0; i < passes.size(); ++i) passes[i].step = i;
    std::vector<Segment> marked = passes;
    mark_zero_prefix(plan, marked, wide);
    std::vector<cplx> got(uint64_t{1} << wide, cplx(0)), want = got;
    got[0] = want[0] = 1;
    const auto never = [] { return false; };
    for (size_t i = 0; i < passes.size(); ++i) {
        apply_segment(plan, marked[i], got.data(), wide, never);
        apply_segment(plan, passes[i], want.data(), wide, never);
    }
    EXPECT_NE(marked.front().zero, 0u);
    EXPECT_LT(max_distance(got.data(), want.data(), want.size()), 1e-12);
}

}  // namespace
}  // namespace kestrix
