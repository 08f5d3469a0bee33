#include "kernels.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace kestrix {
namespace {

// Naive model: for every index whose control bits are set, multiply the local amplitudes.
std::vector<cplx> naive(std::vector<cplx> a, const std::vector<int>& targets, uint64_t cmask,
                        const std::vector<cplx>& m) {
    const size_t d = size_t{1} << targets.size();
    std::vector<cplx> out = a;
    for (uint64_t i = 0; i < a.size(); ++i) {
        if ((i & cmask) != cmask) continue;
        uint64_t local = 0, base = i;
        for (size_t j = 0; j < targets.size(); ++j) {
            local |= ((i >> targets[j]) & 1) << j;
            base &= ~(uint64_t{1} << targets[j]);
        }
        cplx sum = 0;
        for (uint64_t l = 0; l < d; ++l) {
            uint64_t idx = base;
            for (size_t j = 0; j < targets.size(); ++j) idx |= ((l >> j) & 1) << targets[j];
            sum += m[local * d + l] * a[idx];
        }
        out[i] = sum;
    }
    return out;
}

// Non-unitary matrices and random states catch index mistakes that unitaries hide.
TEST(Kernels, EveryTargetAndControlMaskAgreesWithTheNaiveModel) {
    std::mt19937 gen(1);
    std::normal_distribution<double> normal;
    auto rand_c = [&] { return cplx(normal(gen), normal(gen)); };
    const int n = 5;
    for (int t0 = 0; t0 < n; ++t0) {
        for (uint64_t cmask = 0; cmask < (uint64_t{1} << n); ++cmask) {
            if (cmask & (uint64_t{1} << t0)) continue;
            std::vector<cplx> a(1 << n), m2(4);
            for (cplx& x : a) x = rand_c();
            for (cplx& x : m2) x = rand_c();
            std::vector<cplx> got = a;
            apply_1q(got.data(), n, t0, cmask, m2.data());
            std::vector<cplx> want = naive(a, {t0}, cmask, m2);
            for (size_t i = 0; i < a.size(); ++i) ASSERT_NEAR(std::abs(got[i] - want[i]), 0, 1e-12);

            const int t1 = (t0 + 2) % n;
            if (cmask & (uint64_t{1} << t1)) continue;
            std::vector<cplx> m4(16);
            for (cplx& x : m4) x = rand_c();
            got = a;
            apply_2q(got.data(), n, t0, t1, cmask, m4.data());
            want = naive(a, {t0, t1}, cmask, m4);
            for (size_t i = 0; i < a.size(); ++i) ASSERT_NEAR(std::abs(got[i] - want[i]), 0, 1e-12);
        }
    }
}

TEST(Kernels, DiagonalMatricesKeepTheirShortcutCorrect) {
    std::vector<cplx> a = {1, 2, 3, 4};
    const cplx m[4] = {cplx(0, 1), 0, 0, 2};
    apply_1q(a.data(), 2, 1, 0, m);
    EXPECT_EQ(a, (std::vector<cplx>{cplx(0, 1), cplx(0, 2), 6, 8}));
}

}  // namespace
}  // namespace kestrix
