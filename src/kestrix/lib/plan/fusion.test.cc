#include "kestrix/lib/plan/fusion.h"

#include <gtest/gtest.h>

#include "kestrix/lib/testing/random_circuit.test.h"

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
                for (int read : {dense, std::min(n, kMaxDenseQubits)}) {
                    const Schedule fused = fuse(plain, {dense, diagonal, read});
                    EXPECT_LT(max_distance(run(fused, n).data(), want.data(), want.size()), 1e-10)
                        << "dense=" << dense << " diagonal=" << diagonal << " read=" << read;
                }
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
    // The chain's blocks read a qubit they leave unchanged: most run multiplexed.
    EXPECT_GT(count_kind(fused, OpKind::Multiplexed) * 2, fused.steps.size());
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
    const Schedule fused = fuse(make_schedule(c, n), {1, kMaxDiagonalQubits, 1});
    EXPECT_EQ(count_kind(fused, OpKind::Diagonal), 1u);
    const std::vector<cplx> want = reference_state(c, n);
    EXPECT_LT(max_distance(run(fused, n).data(), want.data(), want.size()), 1e-10);
}

// CNOT then CZ on the same pair is the identity where the control reads 0: one block
// remains, applied where qubit 4 reads 1.
TEST(Fusion, MultiplexedBlocksLeaveOutIdentityPatterns) {
    const int n = 8;
    Circuit c;
    for (int q = 0; q < n; ++q) c.append(make_gate(GateKind::H, {q}));
    c.append(make_gate(GateKind::RY, {5}, {0.4}));
    c.append(make_gate(GateKind::CNOT, {4, 3}));
    c.append(make_gate(GateKind::CZ, {4, 3}));
    const Schedule fused = fuse(make_schedule(c, n), {1, kMaxDiagonalQubits, 2});
    ASSERT_EQ(count_kind(fused, OpKind::Multiplexed), 1u);
    for (const Op& op : fused.blocks) {
        if (op.kind != OpKind::Multiplexed) continue;
        EXPECT_EQ(op.qubits, (std::vector<int>{3}));
        EXPECT_EQ(op.select_mask, uint64_t{1} << 4);
        EXPECT_EQ(op.select_values, (std::vector<uint64_t>{uint64_t{1} << 4}));
    }
    const std::vector<cplx> want = reference_state(c, n);
    EXPECT_LT(max_distance(run(fused, n).data(), want.data(), want.size()), 1e-10);
}

// Blocks reading two to five more qubits than the one or two they change, under extra
// controls, on a state wide enough for the threads.
TEST(Fusion, WideMultiplexedBlocksUnderControlsMatchReference) {
    const int n = kParallelQubits + 1;
    Circuit body;
    for (int q = 4; q < n; ++q) {
        body.append(make_gate(GateKind::RX, {q}, {0.1 * q}));
        body.append(make_gate(GateKind::CNOT, {q - 1, q}));
        body.append(make_gate(GateKind::CR, {q - 3, q}, {0.3 * q}));
    }
    Circuit c;
    for (int q = 0; q < n; ++q) c.append(make_gate(GateKind::H, {q}));
    c.append(body);
    c.append(body.controlled({0}));
    const std::vector<cplx> want = reference_state(c, n);
    for (int dense : {1, 2}) {
        for (int read = dense + 2; read <= kMaxDenseQubits; ++read) {
            const Schedule fused = fuse(make_schedule(c, n), {dense, kMaxDiagonalQubits, read});
            EXPECT_GT(count_kind(fused, OpKind::Multiplexed), 0u);
            EXPECT_LT(max_distance(run(fused, n).data(), want.data(), want.size()), 1e-10)
                << "dense=" << dense << " read=" << read;
        }
    }
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
