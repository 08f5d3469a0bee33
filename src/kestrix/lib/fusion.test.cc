#include "kestrix/lib/fusion.h"

#include <gtest/gtest.h>

#include "kestrix/lib/random_circuit.test.h"

namespace kestrix {
namespace {

using testing::max_distance;
using testing::random_circuit;
using testing::reference_state;
using testing::run;

size_t count_kind(const Schedule& plan, OpKind kind) {
    size_t count = 0;
    for (const Step& step : plan.steps)
        if (step.kind == Step::Kind::Block && plan.blocks[step.block].kind == kind) ++count;
    return count;
}

class FusionWidths : public ::testing::TestWithParam<int> {};

// Every dense width, with narrow and wide diagonals, on random circuits of every gate
// kind; the largest width runs on all threads.
TEST_P(FusionWidths, FusedRunMatchesDenseReference) {
    const int n = GetParam();
    std::mt19937_64 rng(n);
    for (int trial = 0; trial < 3; ++trial) {
        const Circuit c = random_circuit(n, 60, rng);
        const std::vector<cplx> want = reference_state(c, n);
        const Schedule plain = make_schedule(c, n);
        ASSERT_LT(max_distance(run(plain, n).data(), want.data(), want.size()), 1e-10);
        for (int dense = 1; dense <= std::min(n, kMaxDenseQubits); ++dense) {
            for (int diagonal : {1, 4, kMaxDiagonalQubits}) {
                const Schedule fused = fuse(plain, {dense, diagonal});
                EXPECT_LT(max_distance(run(fused, n).data(), want.data(), want.size()), 1e-10)
                    << "dense=" << dense << " diagonal=" << diagonal;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, FusionWidths, ::testing::Values(4, 7, 11, kParallelQubits + 1));

Circuit layered(int n, int depth) {
    Circuit c;
    for (int d = 0; d < depth; ++d) {
        for (int q = 0; q < n; ++q) c.append(make_gate(GateKind::RX, {q}, {0.1 * (q + d)}));
        for (int q = 0; q < n; ++q) c.append(make_gate(GateKind::RZ, {q}, {0.2 * (q - d)}));
        for (int q = 0; q < n; ++q) c.append(make_gate(GateKind::CNOT, {q, (q + 1) % n}));
    }
    return c;
}

TEST(Fusion, LayeredCircuitNeedsFarFewerPasses) {
    const int n = 12;
    const Circuit c = layered(n, 4);
    const Schedule plain = make_schedule(c, n);
    const Schedule fused = fuse(plain);
    EXPECT_LT(fused.steps.size() * 4, plain.steps.size());
    const std::vector<cplx> want = reference_state(c, n);
    EXPECT_LT(max_distance(run(fused, n).data(), want.data(), want.size()), 1e-10);
}

TEST(Fusion, DiagonalRunsBecomeOneDiagonal) {
    const int n = 10;
    Circuit c;
    for (int q = 0; q < n; ++q) c.append(make_gate(GateKind::H, {q}));
    for (int q = 0; q + 1 < n; ++q) {
        c.append(make_gate(GateKind::CR, {q, q + 1}, {0.3 * q}));
        c.append(make_gate(GateKind::RZ, {q}, {0.7}));
        c.append(make_gate(GateKind::CZ, {q + 1, q}));
    }
    const Schedule fused = fuse(make_schedule(c, n), {1, kMaxDiagonalQubits});
    EXPECT_EQ(count_kind(fused, OpKind::Diagonal), 1u);
    const std::vector<cplx> want = reference_state(c, n);
    EXPECT_LT(max_distance(run(fused, n).data(), want.data(), want.size()), 1e-10);
}

TEST(Fusion, GatesStayOnTheirSideOfMeasurements) {
    Circuit c;
    c.append(make_gate(GateKind::H, {0}));
    c.append(make_gate(GateKind::H, {1}));
    c.append(make_measure(0, 0));
    c.append(make_gate(GateKind::X, {1}));
    c.append(make_gate(GateKind::X, {0}));
    c.append(make_gate(GateKind::CNOT, {0, 1}));
    const Schedule fused = fuse(make_schedule(c, 2));
    ASSERT_EQ(fused.steps.size(), 4u);
    EXPECT_EQ(fused.steps[2].kind, Step::Kind::Measure);
    EXPECT_EQ(fused.blocks[fused.steps[3].block].qubits, (std::vector<int>{0, 1}));
}

}  // namespace
}  // namespace kestrix
