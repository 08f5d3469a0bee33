#include "kestrix/lib/kernels/kernels.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include "kestrix/lib/testing/random_circuit.test.h"

namespace kestrix {
namespace {

using testing::distinct_qubits;
using testing::max_distance;

// Naive model: for every index whose control bits read `values` (all set by default),
// multiply the local amplitudes.
std::vector<cplx> naive(std::vector<cplx> a, const std::vector<int>& targets, uint64_t cmask,
                        const std::vector<cplx>& m, uint64_t values = ~uint64_t{0}) {
    values &= cmask;
    const size_t d = size_t{1} << targets.size();
    std::vector<cplx> out = a;
    for (uint64_t i = 0; i < a.size(); ++i) {
        if ((i & cmask) != values) continue;
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

// Every test runs once per compiled instruction-set variant (generic, AVX2, AVX-512), as
// long as this CPU runs it, and per precision: all variants must pass the same tests. The
// single-precision kernels get the same states and matrices rounded to float, and are held
// to a tolerance that grows with the length of the sums they take.
class Kernels : public ::testing::TestWithParam<std::tuple<KernelSet, bool>> {
  protected:
    void SetUp() override {
        if (!set().supported) GTEST_SKIP() << set().name << " does not run here";
    }
    const KernelSet& set() const { return std::get<0>(GetParam()); }
    bool single() const { return std::get<1>(GetParam()); }
    int lane_qubits() const { return single() ? set().single.lane_qubits() : set().lane_qubits(); }
    /// `tolerance` in double; in single, float rounding over sums of 2^k terms.
    double tol(double tolerance, int k) const {
        return single() ? 1e-5 * double(uint64_t{1} << k) : tolerance;
    }

    // Runs `call` on the kernels of this precision: in single, on float copies of the state
    // and of the `count` matrices of `entries` entries each, the state copied back after.
    template <class Call>
    void run(cplx* a, int n, const cplx* const* m, int count, size_t entries, Call&& call) {
        if (!single()) return call(set().of<cplx>(), a, m);
        std::vector<cfloat> state(a, a + (size_t{1} << n));
        std::vector<std::vector<cfloat>> rounded(count);
        std::vector<const cfloat*> pointers(count, nullptr);
        for (int i = 0; i < count; ++i) {
            if (!m[i]) continue;
            rounded[i].assign(m[i], m[i] + entries);
            pointers[i] = rounded[i].data();
        }
        call(set().of<cfloat>(), state.data(), pointers.data());
        std::copy(state.begin(), state.end(), a);
    }

    void apply_dense(cplx* a, int n, const int* q, int k, uint64_t cmask, const cplx* m,
                     uint64_t values = ~uint64_t{0}) {
        run(a, n, &m, 1, size_t{1} << (2 * k), [&](const auto& ks, auto* s, auto* const* mm) {
            ks.apply_dense(s, n, q, k, cmask, values & cmask, mm[0]);
        });
    }
    void apply_dense_per_lane(cplx* a, int n, const int* q, int k, uint64_t cmask, uint64_t values,
                              const cplx* const* lane_m) {
        run(a, n, lane_m, 1 << kMaxLaneQubits, size_t{1} << (2 * k),
            [&](const auto& ks, auto* s, auto* const* mm) {
                ks.apply_dense_per_lane(s, n, q, k, cmask, values, mm);
            });
    }
    void apply_diagonal(cplx* a, int n, const int* q, int k, const cplx* d, uint64_t fixed_mask = 0,
                        uint64_t fixed_values = 0) {
        run(a, n, &d, 1, size_t{1} << k, [&](const auto& ks, auto* s, auto* const* mm) {
            ks.apply_diagonal(s, n, q, k, fixed_mask, fixed_values, mm[0]);
        });
    }
    void apply_1q(cplx* a, int n, int t, uint64_t cmask, const cplx* m,
                  uint64_t values = ~uint64_t{0}) {
        run(a, n, &m, 1, 4, [&](const auto& ks, auto* s, auto* const* mm) {
            ks.apply_1q(s, n, t, cmask, values & cmask, mm[0]);
        });
    }
    void apply_2q(cplx* a, int n, int t0, int t1, uint64_t cmask, const cplx* m,
                  uint64_t values = ~uint64_t{0}) {
        run(a, n, &m, 1, 16, [&](const auto& ks, auto* s, auto* const* mm) {
            ks.apply_2q(s, n, t0, t1, cmask, values & cmask, mm[0]);
        });
    }
};

INSTANTIATE_TEST_SUITE_P(Variants, Kernels,
                         ::testing::Combine(::testing::ValuesIn(kernel_variants()),
                                            ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_single" : "_double");
                         });

// Non-unitary matrices and random states catch index mistakes that unitaries hide. Each
// control mask is tried with all controls set and with a random pattern of them.
TEST_P(Kernels, EveryTargetAndControlMaskAgreesWithTheNaiveModel) {
    std::mt19937 gen(1);
    std::normal_distribution<double> normal;
    auto rand_c = [&] { return cplx(normal(gen), normal(gen)); };
    const int n = 5;
    for (int t0 = 0; t0 < n; ++t0) {
        for (uint64_t cmask = 0; cmask < (uint64_t{1} << n); ++cmask) {
            if (cmask & (uint64_t{1} << t0)) continue;
            for (uint64_t values : {~uint64_t{0}, uint64_t(gen())}) {
                std::vector<cplx> a(1 << n), m2(4);
                for (cplx& x : a) x = rand_c();
                for (cplx& x : m2) x = rand_c();
                std::vector<cplx> got = a;
                apply_1q(got.data(), n, t0, cmask, m2.data(), values);
                std::vector<cplx> want = naive(a, {t0}, cmask, m2, values);
                for (size_t i = 0; i < a.size(); ++i)
                    ASSERT_NEAR(std::abs(got[i] - want[i]), 0, tol(1e-12, 1));

                const int t1 = (t0 + 2) % n;
                if (cmask & (uint64_t{1} << t1)) continue;
                std::vector<cplx> m4(16);
                for (cplx& x : m4) x = rand_c();
                got = a;
                apply_2q(got.data(), n, t0, t1, cmask, m4.data(), values);
                want = naive(a, {t0, t1}, cmask, m4, values);
                for (size_t i = 0; i < a.size(); ++i)
                    ASSERT_NEAR(std::abs(got[i] - want[i]), 0, tol(1e-12, 2));
            }
        }
    }
}

TEST_P(Kernels, DiagonalMatricesKeepTheirShortcutCorrect) {
    std::vector<cplx> a = {1, 2, 3, 4};
    const cplx m[4] = {cplx(0, 1), 0, 0, 2};
    apply_1q(a.data(), 2, 1, 0, m);
    EXPECT_EQ(a, (std::vector<cplx>{cplx(0, 1), cplx(0, 2), 6, 8}));
}

std::vector<cplx> random_values(uint64_t size, std::mt19937_64& rng) {
    std::normal_distribution<double> normal;
    std::vector<cplx> v(size);
    for (cplx& x : v) x = cplx(normal(rng), normal(rng));
    return v;
}

// Every control mask over the qubits left free, each with every pattern of values its
// controls must read, with non-unitary matrices: a wrong index shows up as a wrong value
// instead of hiding behind unitarity.
TEST_P(Kernels, DenseMatchesReferenceForEveryControlMaskAndValue) {
    std::mt19937_64 rng(7);
    const int n = 7;
    for (int k = 1; k <= kMaxDenseQubits; ++k) {
        const std::vector<int> qubits = distinct_qubits(n, k, rng);
        uint64_t free = (uint64_t{1} << n) - 1;
        for (int q : qubits) free &= ~(uint64_t{1} << q);
        const std::vector<cplx> m = random_values(uint64_t{1} << (2 * k), rng);
        // All subsets of the free qubits (Carry-Rippler enumeration).
        uint64_t cmask = 0;
        do {
            uint64_t values = 0;
            do {
                std::vector<cplx> state = random_values(uint64_t{1} << n, rng);
                const std::vector<cplx> want = naive(state, qubits, cmask, m, values);
                apply_dense(state.data(), n, qubits.data(), k, cmask, m.data(), values);
                ASSERT_LT(max_distance(state.data(), want.data(), state.size()), tol(1e-12, k))
                    << "k=" << k << " cmask=" << cmask << " values=" << values;
                values = (values - cmask) & cmask;
            } while (values != 0);
            cmask = (cmask - free) & free;
        } while (cmask != 0);
    }
}

// Real matrices (RY, CNOT and their products) take kernels with no imaginary sums: every
// width that has them, with its lowest target on each lane qubit and above, under a
// control inside the lanes and one above them, whole and with a matrix per lane pattern.
TEST_P(Kernels, RealMatricesMatchTheReference) {
    std::mt19937_64 rng(23);
    const int n = 9, lanes = lane_qubits();
    auto real_values = [&](uint64_t size) {
        std::vector<cplx> m = random_values(size, rng);
        for (cplx& x : m) x = x.real();
        return m;
    };
    for (int k = 1; k <= kMaxRealQubits; ++k) {
        for (int low = 0; low <= 3; ++low) {
            std::vector<int> qubits;
            for (int j = 0; j < k; ++j) qubits.push_back(low + 2 * j);
            const std::vector<cplx> m = real_values(uint64_t{1} << (2 * k));
            for (uint64_t cmask : {uint64_t{0}, uint64_t{1} << (low == 0 ? 1 : 0), uint64_t{256}}) {
                std::vector<cplx> state = random_values(uint64_t{1} << n, rng);
                const std::vector<cplx> want = naive(state, qubits, cmask, m);
                apply_dense(state.data(), n, qubits.data(), k, cmask, m.data());
                ASSERT_LT(max_distance(state.data(), want.data(), state.size()), tol(1e-12, k))
                    << "k=" << k << " low=" << low << " cmask=" << cmask;
            }
            if (low < lanes) continue;
            // Above the lanes: lane pattern 0 takes one real block, the others another.
            const std::vector<cplx> other = real_values(uint64_t{1} << (2 * k));
            const cplx* lane_m[uint64_t{1} << kMaxLaneQubits] = {};
            for (auto& p : lane_m) p = other.data();
            lane_m[0] = m.data();
            std::vector<cplx> state = random_values(uint64_t{1} << n, rng);
            std::vector<cplx> want = naive(state, qubits, (uint64_t{1} << lanes) - 1, m, 0);
            for (uint64_t v = 1; v < (uint64_t{1} << lanes); ++v)
                want = naive(want, qubits, (uint64_t{1} << lanes) - 1, other, v);
            apply_dense_per_lane(state.data(), n, qubits.data(), k, 0, 0, lane_m);
            ASSERT_LT(max_distance(state.data(), want.data(), state.size()), tol(1e-12, k))
                << "per lane: k=" << k << " low=" << low;
        }
    }
}

// Blocks wider than the unrolled kernels (folded powers of wide repeated blocks) take the
// gathered-column loop: the same model, including groups of bases cut short at the end.
TEST_P(Kernels, WideDenseBlocksMatchReference) {
    std::mt19937_64 rng(13);
    for (auto [n, k] : {std::pair{8, 7}, std::pair{10, 8}, std::pair{12, 10},
                        std::pair{kParallelQubits + 2, 7}}) {
        const std::vector<int> picked = distinct_qubits(n, std::min(n, k + 2), rng);
        const std::vector<int> qubits(picked.begin(), picked.begin() + k);
        uint64_t spare = 0;
        for (size_t j = k; j < picked.size(); ++j) spare |= uint64_t{1} << picked[j];
        const std::vector<cplx> m = random_values(uint64_t{1} << (2 * k), rng);
        for (uint64_t cmask : {uint64_t{0}, spare & (~spare + 1), spare}) {
            for (uint64_t values : {cmask, uint64_t{0}}) {
                std::vector<cplx> state = random_values(uint64_t{1} << n, rng);
                const std::vector<cplx> want = naive(state, qubits, cmask, m, values);
                apply_dense(state.data(), n, qubits.data(), k, cmask, m.data(), values);
                ASSERT_LT(max_distance(state.data(), want.data(), state.size()), tol(1e-10, k))
                    << "n=" << n << " k=" << k << " cmask=" << cmask;
            }
        }
    }
}

TEST_P(Kernels, ParallelWidthsMatchReference) {
    std::mt19937_64 rng(11);
    const int n = kParallelQubits + 1;
    for (int k : {1, 2, 4, 5}) {
        for (int trial = 0; trial < 3; ++trial) {
            std::vector<int> picked = distinct_qubits(n, k + trial, rng);
            const std::vector<int> qubits(picked.begin(), picked.begin() + k);
            uint64_t cmask = 0;
            for (size_t j = k; j < picked.size(); ++j) cmask |= uint64_t{1} << picked[j];
            const std::vector<cplx> m = random_values(uint64_t{1} << (2 * k), rng);
            // The last trial's lowest control must read 0.
            const uint64_t values = trial == 2 ? cmask & (cmask - 1) : cmask;
            std::vector<cplx> state = random_values(uint64_t{1} << n, rng);
            const std::vector<cplx> want = naive(state, qubits, cmask, m, values);
            apply_dense(state.data(), n, qubits.data(), k, cmask, m.data(), values);
            ASSERT_LT(max_distance(state.data(), want.data(), state.size()), tol(1e-12, k));
        }
    }
}

// A matrix per pattern of the lane qubits, some of them the identity (null), with targets
// among the lanes the matrices do not depend on and above them, under controls above the
// lanes: each lane pattern's amplitudes change as a plain block with that lane as control.
TEST_P(Kernels, PerLaneMatricesMatchTheReference) {
    std::mt19937_64 rng(13);
    const int lanes = lane_qubits();
    const uint64_t lane_mask = (uint64_t{1} << lanes) - 1;
    for (int n : {6, 9, kParallelQubits + 1}) {
        for (int k = 1; k <= 3; ++k) {
            for (int trial = 0; trial < 4; ++trial) {
                const std::vector<int> picked = distinct_qubits(n, k + 1, rng);
                const std::vector<int> qubits(picked.begin(), picked.begin() + k);
                uint64_t targets = 0;
                for (int q : qubits) targets |= uint64_t{1} << q;
                // Lanes that are not targets select; a control above the lanes, if any.
                const uint64_t select = lane_mask & ~targets;
                const uint64_t cmask = (uint64_t{1} << picked[k]) & ~lane_mask;
                const uint64_t cvals = trial % 2 ? cmask : 0;
                std::vector<std::vector<cplx>> blocks;
                const cplx* lane_m[uint64_t{1} << kMaxLaneQubits] = {};
                for (uint64_t p = 0; p <= lane_mask; ++p) {
                    if ((p & ~select) || (p == select && trial >= 2)) continue;
                    blocks.push_back(random_values(uint64_t{1} << (2 * k), rng));
                }
                size_t next = 0;
                for (uint64_t p = 0; p <= lane_mask; ++p)
                    if (!(p & ~select) && !(p == select && trial >= 2))
                        lane_m[p] = blocks[next++].data();
                for (uint64_t v = 0; v <= lane_mask; ++v) lane_m[v] = lane_m[v & select];
                std::vector<cplx> state = random_values(uint64_t{1} << n, rng);
                std::vector<cplx> want = state;
                for (uint64_t p = 0; p <= lane_mask; ++p) {
                    if ((p & ~select) || !lane_m[p]) continue;
                    const std::vector<cplx> m(lane_m[p], lane_m[p] + (size_t{1} << (2 * k)));
                    want = naive(want, qubits, cmask | select, m, cvals | p);
                }
                apply_dense_per_lane(state.data(), n, qubits.data(), k, cmask, cvals, lane_m);
                ASSERT_LT(max_distance(state.data(), want.data(), state.size()), tol(1e-12, k))
                    << "n=" << n << " k=" << k << " trial=" << trial;
            }
        }
    }
}

// Unrestricted, and restricted to the part of the state where two other qubits (one
// below the kernel's runs of 256 amplitudes, one above) read a given pattern; on random
// qubits, and on the lowest in order (a layer of phases, scaled run by run).
TEST_P(Kernels, DiagonalMatchesDenseForm) {
    std::mt19937_64 rng(3);
    for (int n : {3, 9, kParallelQubits + 2}) {
        for (int k : {1, 3, std::min(n - 2, kMaxDiagonalQubits)}) {
            for (bool lowest : {false, true}) {
                std::vector<int> picked = distinct_qubits(n, k + 2, rng);
                if (lowest) {
                    std::sort(picked.begin(), picked.end());
                    for (int j = 0; j < k; ++j) picked[size_t(j)] = j;
                }
                const std::vector<int> qubits(picked.begin(), picked.begin() + k);
                const uint64_t others = (uint64_t{1} << picked[k]) | (uint64_t{1} << picked[k + 1]);
                const std::vector<cplx> d = random_values(uint64_t{1} << k, rng);
                for (uint64_t fixed : {uint64_t{0}, others}) {
                    const uint64_t values = rng() & fixed;
                    std::vector<cplx> state = random_values(uint64_t{1} << n, rng);
                    std::vector<cplx> want = state;
                    for (uint64_t i = 0; i < state.size(); ++i) {
                        if ((i & fixed) != values) continue;
                        uint64_t local = 0;
                        for (int j = 0; j < k; ++j) local |= ((i >> qubits[j]) & 1) << j;
                        want[i] *= d[local];
                    }
                    apply_diagonal(state.data(), n, qubits.data(), k, d.data(), fixed, values);
                    ASSERT_LT(max_distance(state.data(), want.data(), state.size()), tol(1e-12, 1))
                        << "n=" << n << " k=" << k << " fixed=" << fixed << " lowest=" << lowest;
                }
            }
        }
    }
}

// The 2x2 path has a shortcut for diagonal matrices (controlled phases); it must agree
// with the general form under every control mask and pattern (a cache-blocked chunk
// passes its fixed bits as controls reading 0 or 1).
TEST_P(Kernels, SingleQubitDiagonalShortcut) {
    std::mt19937_64 rng(5);
    const int n = 6;
    for (int t = 0; t < n; ++t) {
        for (uint64_t cmask = 0; cmask < (uint64_t{1} << n); ++cmask) {
            if (cmask & (uint64_t{1} << t)) continue;
            for (cplx d0 : {cplx(1), cplx(0.5, -2)}) {
                const std::vector<cplx> m = {d0, 0, 0, cplx(-0.3, 1.7)};
                std::vector<cplx> state = random_values(uint64_t{1} << n, rng);
                const uint64_t values = rng();
                const std::vector<cplx> want = naive(state, {t}, cmask, m, values);
                apply_1q(state.data(), n, t, cmask, m.data(), values);
                ASSERT_LT(max_distance(state.data(), want.data(), state.size()), tol(1e-12, 1));
            }
        }
    }
}

}  // namespace
}  // namespace kestrix
