#include "kestrix/lib/plan/repeat.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <random>

#include "kestrix/lib/plan/fusion.h"
#include "kestrix/lib/testing/random_circuit.test.h"

namespace kestrix {
namespace {

using testing::max_distance;
using testing::random_circuit;
using testing::reference_state;
using testing::run;

size_t block_steps(const Schedule& plan) {
    size_t count = 0;
    for (const Step& step : plan.steps) count += step.kind == Step::Kind::Block;
    return count;
}

// A body on qubits 1..width, shifted so that qubit 0 and those above stay free for controls.
Circuit body(int width, uint64_t seed) {
    std::mt19937_64 rng(seed);
    const Circuit local = random_circuit(width, 12, rng);
    Circuit shifted;
    local.for_each_gate([&](const Gate& g) {
        Gate moved = g;
        for (int& q : moved.qubits) ++q;
        for (int& q : moved.controls) ++q;
        shifted.append(moved);
    });
    return shifted;
}

struct Case {
    int width;
    int copies;
    bool rebuilt;  ///< each copy built anew: equal content, separate storage
    bool dagger;
};

// Printed in the test list (the default prints the bytes, padding included).
void PrintTo(const Case& p, std::ostream* out) {
    *out << "width " << p.width << ", " << p.copies << " copies" << (p.rebuilt ? ", rebuilt" : "")
         << (p.dagger ? ", dagger" : "");
}

class RepeatedBlocks : public ::testing::TestWithParam<Case> {};

// Phase estimation's pattern: a prefix, then copies of one block under a control.
TEST_P(RepeatedBlocks, FoldedRunMatchesCopyByCopy) {
    const Case p = GetParam();
    const int n = 14;  // wide enough that the matrix power is the cheaper way
    Circuit c;
    for (int q = 0; q < n; ++q) c.append(make_gate(GateKind::H, {q}));
    const Circuit once = body(p.width, 42);
    for (int k = 0; k < p.copies; ++k) {
        const Circuit copy = p.rebuilt ? body(p.width, 42) : once;
        const Circuit step = (p.dagger ? copy.daggered() : copy).controlled({0});
        c.append(step);
    }
    const Schedule folded = make_schedule(c, n);
    const Schedule plain = make_schedule(c, n, false);
    EXPECT_EQ(block_steps(folded), 1u);
    EXPECT_LT(folded.steps.size(), plain.steps.size());
    const std::vector<cplx> want = run(plain, n);
    EXPECT_LT(max_distance(run(folded, n).data(), want.data(), want.size()), 1e-9);
    EXPECT_LT(max_distance(run(fuse(folded), n).data(), want.data(), want.size()), 1e-9);
    const std::vector<cplx> reference = reference_state(c, n);
    EXPECT_LT(max_distance(want.data(), reference.data(), want.size()), 1e-9);
}

INSTANTIATE_TEST_SUITE_P(Cases, RepeatedBlocks,
                         ::testing::Values(Case{2, 2, false, false}, Case{3, 7, true, false},
                                           Case{4, 64, true, true}, Case{5, 33, false, true},
                                           Case{kMaxDenseQubits, 64, true, false},
                                           Case{kMaxDenseQubits + 1, 256, true, false}));

size_t multiplexed_blocks(const Schedule& plan) {
    size_t count = 0;
    for (const Step& step : plan.steps)
        count +=
            step.kind == Step::Kind::Block && plan.blocks[step.block].kind == OpKind::Multiplexed;
    return count;
}

// Phase estimation: counting qubit i (above the block) controls 2^i copies of a wide
// block on qubits 0..6, in a state wide enough (idle qubits above) that the power under
// the third counting qubit joins the one under the second in one sweep.
TEST(RepeatedBlocks, PowersUnderSuccessiveControlsShareSweeps) {
    const int width = kMaxDenseQubits + 1, counting = 3, n = 17;
    std::mt19937_64 rng(5);
    const Circuit block = random_circuit(width, 60, rng);
    Circuit c;
    for (int q = 0; q < n; ++q) c.append(make_gate(GateKind::H, {q}));
    for (int i = 0; i < counting; ++i)
        for (int k = 0; k < (1 << i); ++k) c.append(block.controlled({width + i}));
    const Schedule folded = make_schedule(c, n);
    EXPECT_EQ(multiplexed_blocks(folded), 1u);
    const std::vector<cplx> want = reference_state(c, n);
    EXPECT_LT(max_distance(run(make_schedule(c, n, false), n).data(), want.data(), want.size()),
              1e-10);
    EXPECT_LT(max_distance(run(folded, n).data(), want.data(), want.size()), 1e-10);
    EXPECT_LT(max_distance(run(fuse(folded), n).data(), want.data(), want.size()), 1e-10);
}

// A dense power of a random (not unitary) k-qubit matrix on qubits 2..k+1, under `controls`.
Op power_op(const std::vector<cplx>& m, int k, uint64_t power, uint64_t controls) {
    Op op;
    for (int j = 0; j < k; ++j) op.qubits.push_back(j + 2);
    op.control_mask = controls;
    op.m = matrix_power(m, 1 << k, power);
    return op;
}

struct Join {
    int width;
    std::vector<uint64_t> controls;  ///< the control mask of each power, m^1, m^2, m^3, ...
};

void PrintTo(const Join& p, std::ostream* out) {
    *out << "width " << p.width << ", controls";
    for (uint64_t c : p.controls) *out << " " << c;
}

class JoinPowers : public ::testing::TestWithParam<Join> {};

// Joined powers run as the same powers one after another, whatever their controls share.
TEST_P(JoinPowers, MatchesThePowersOneAfterAnother) {
    const Join p = GetParam();
    const int n = p.width + 6;  // qubits 0 and 1 free, 2..width+1 the block, 4 controls above
    const uint64_t dim = uint64_t{1} << p.width;
    std::mt19937_64 rng(17);
    std::normal_distribution<double> normal;
    std::vector<cplx> m(dim * dim);
    // Scaled so that the powers stay near 1 in size.
    for (cplx& x : m) x = cplx(normal(rng), normal(rng)) / std::sqrt(2.0 * double(dim));
    std::vector<cplx> start(uint64_t{1} << n);
    for (cplx& x : start) x = cplx(normal(rng), normal(rng));
    std::vector<cplx> want = start, got = start;
    Op chain = power_op(m, p.width, 1, p.controls[0]);
    apply_op(want.data(), n, chain);
    for (size_t i = 1; i < p.controls.size(); ++i) {
        const Op next = power_op(m, p.width, i + 1, p.controls[i]);
        apply_op(want.data(), n, next);
        // A state of 40 qubits: wide enough that joining always pays.
        ASSERT_TRUE(join_powers(chain, next, 40)) << "power " << i + 1;
    }
    EXPECT_EQ(chain.kind, OpKind::Multiplexed);
    apply_op(got.data(), n, chain);
    double scale = 0;
    for (cplx x : want) scale = std::max(scale, std::abs(x));
    EXPECT_LT(max_distance(got.data(), want.data(), want.size()), 1e-12 * scale);
}

uint64_t above(int width, std::initializer_list<int> controls) {
    uint64_t mask = 0;
    for (int c : controls) mask |= uint64_t{1} << (width + 2 + c);
    return mask;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JoinPowers,
    ::testing::Values(Join{7, {above(7, {0}), above(7, {1}), above(7, {2}), above(7, {3})}},
                      Join{7, {above(7, {0}), above(7, {0})}},
                      Join{7, {above(7, {0, 1}), above(7, {2}), above(7, {1, 3})}},
                      Join{7, {0, above(7, {1})}}, Join{7, {above(7, {2}), 0}},
                      Join{8, {above(8, {0}), above(8, {1}), above(8, {2})}}));

TEST(JoinPowers, RefusesLaneControlsOtherBlocksNarrowStatesAndNarrowBlocks) {
    const int k = kMaxDenseQubits + 1;
    std::vector<cplx> m(uint64_t{1} << (2 * k));
    for (size_t i = 0; i < m.size(); ++i) m[i] = cplx(double(i % 7) / 800, 0.001);
    Op chain = power_op(m, k, 1, above(k, {0}));
    EXPECT_FALSE(join_powers(chain, power_op(m, k, 2, 1), 40));  // qubit 0 is a lane qubit
    Op elsewhere = power_op(m, k, 2, above(k, {1}));
    elsewhere.qubits.back() += 1;
    EXPECT_FALSE(join_powers(chain, elsewhere, 40));
    // In a 16-qubit state the products cost more than the sweeps they save.
    EXPECT_FALSE(join_powers(chain, power_op(m, k, 2, above(k, {1})), 16));
    EXPECT_EQ(chain.kind, OpKind::Dense);
    EXPECT_EQ(chain.m, matrix_power(m, 1 << k, 1));
    // The unrolled kernels rebuild a table per call: one sweep per pattern costs them more.
    std::vector<cplx> narrow(64, cplx(0.1, 0.2));
    Op small = power_op(narrow, 3, 1, above(3, {0}));
    EXPECT_FALSE(join_powers(small, power_op(narrow, 3, 2, above(3, {1})), 40));
}

TEST(RepeatedBlocks, DifferentNeighboursAreNotMerged) {
    const int n = 5;
    Circuit c;
    for (int k = 0; k < 6; ++k) c.append(body(3, 100 + k % 2).controlled({0}));
    const Schedule folded = make_schedule(c, n);
    EXPECT_EQ(block_steps(folded), 0u);
    const std::vector<cplx> want = reference_state(c, n);
    EXPECT_LT(max_distance(run(folded, n).data(), want.data(), want.size()), 1e-10);
}

TEST(RepeatedBlocks, BlocksTooWideToFoldRunCopyByCopy) {
    const int width = kMaxFoldQubits + 1, n = width + 1;
    Circuit c;
    const Circuit once = body(width, 9);
    for (int k = 0; k < 4; ++k) c.append(once.controlled({0}));
    const Schedule folded = make_schedule(c, n);
    EXPECT_EQ(block_steps(folded), 0u);
}

// Phase estimation folds m^2, m^4, ... in turn: with the squares of the powers before,
// a power needs one product more, and folding pays for far fewer copies.
TEST(RepeatedBlocks, SquaresHeldMakeTheNextPowerCheap) {
    const int n = 22, width = 10, controls = 1;
    const size_t steps = 60;
    EXPECT_FALSE(power_is_cheaper(n, width, steps, 16, controls));
    EXPECT_TRUE(power_is_cheaper(n, width, steps, 16, controls, 4));
    EXPECT_FALSE(power_is_cheaper(n, width, steps, 2, controls, 1));
    EXPECT_TRUE(power_is_cheaper(n, width, steps, 4096, controls));
}

TEST(MatrixPower, AgreesWithRepeatedProducts) {
    const int dim = 3;
    const std::vector<cplx> m = {cplx(0.5, 1), 2, cplx(0, -1), 0, 1, 3, cplx(1, 1), 0, -1};
    std::vector<cplx> product = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    std::vector<std::vector<cplx>> squares = {m};  // kept from one power to the next
    for (uint64_t power = 0; power <= 9; ++power) {
        const std::vector<cplx> fast = matrix_power(m, dim, power);
        EXPECT_EQ(matrix_power(squares, dim, power), fast);
        double scale = 0;
        for (cplx x : product) scale = std::max(scale, std::abs(x));
        EXPECT_LT(max_distance(fast.data(), product.data(), fast.size()), 1e-12 * scale)
            << "power " << power;
        std::vector<cplx> next(9, cplx(0));
        for (int r = 0; r < dim; ++r)
            for (int c = 0; c < dim; ++c)
                for (int k = 0; k < dim; ++k)
                    next[r * dim + c] += product[r * dim + k] * m[k * dim + c];
        product = next;
    }
}

// Powers of two sizes run their products on the dense kernel (as a state of 2k qubits):
// checked against plain products, with a matrix that is not unitary.
TEST(MatrixPower, KernelProductsMatchPlainProducts) {
    std::mt19937_64 rng(3);
    std::normal_distribution<double> normal;
    for (int dim : {16, 128}) {
        std::vector<cplx> m(size_t(dim) * dim);
        for (cplx& x : m) x = cplx(normal(rng), normal(rng)) / std::sqrt(2.0 * dim);
        std::vector<cplx> product = m;
        for (uint64_t power = 2; power <= 5; ++power) {
            std::vector<cplx> next(m.size(), cplx(0));
            for (int r = 0; r < dim; ++r)
                for (int k = 0; k < dim; ++k)
                    for (int c = 0; c < dim; ++c)
                        next[r * dim + c] += product[r * dim + k] * m[k * dim + c];
            product = next;
            const std::vector<cplx> fast = matrix_power(m, dim, power);
            double scale = 0;
            for (cplx x : product) scale = std::max(scale, std::abs(x));
            EXPECT_LT(max_distance(fast.data(), product.data(), fast.size()), 1e-12 * scale)
                << "dim " << dim << ", power " << power;
        }
    }
}

}  // namespace
}  // namespace kestrix
