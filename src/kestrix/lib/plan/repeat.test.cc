#include "kestrix/lib/plan/repeat.h"

#include <gtest/gtest.h>

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
                                           Case{kMaxDenseQubits + 1, 4096, true, false}));

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

}  // namespace
}  // namespace kestrix
