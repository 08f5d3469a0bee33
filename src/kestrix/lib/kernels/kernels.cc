// Compiled once per instruction-set variant (KESTRIX_KERNEL_VARIANT names it); the public
// entry points in dispatch.cc pick the widest variant this CPU runs.
#include "kestrix/lib/kernels/kernels.h"

#include <algorithm>
#include <bit>
#include <complex>
#include <cstring>
#include <utility>
#include <vector>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/base/parallel.h"

#ifndef KESTRIX_KERNEL_VARIANT
#define KESTRIX_KERNEL_VARIANT generic
#endif
#include "kestrix/lib/kernels/variant.h"

namespace kestrix::KESTRIX_KERNEL_VARIANT {

namespace {

// A register of W reals holds W / 2 neighbouring amplitudes as (re, im, re, im, ...): one
// SSE register for the generic variant, AVX for avx2, AVX-512 for avx512, so that a
// single-precision register holds twice the amplitudes. The qubits below kLaneQubits
// select an amplitude inside a register.
#if defined(__AVX512F__)
constexpr int kRegisterBytes = 64;
#elif defined(__AVX__)
constexpr int kRegisterBytes = 32;
#else
constexpr int kRegisterBytes = 16;
#endif

// Amplitudes are read and written as reals aligned to their size: a typed access (unlike
// memcpy) tells the compiler that writing amplitudes cannot change the offsets and
// pointers the loops read, so it keeps them in registers.
template <class R>
struct Register;
template <>
struct Register<double> {
    using vec = double __attribute__((vector_size(kRegisterBytes)));
    using unaligned = double __attribute__((vector_size(kRegisterBytes), aligned(8)));
};
template <>
struct Register<float> {
    using vec = float __attribute__((vector_size(kRegisterBytes)));
    using unaligned = float __attribute__((vector_size(kRegisterBytes), aligned(4)));
};

// clang-format 14 would split each templated lambda from its call.
// clang-format off
template <int N, class F>
inline void static_for(F&& f) {
    [&]<size_t... i>(std::index_sequence<i...>) {
        (f(std::integral_constant<int, int(i)>{}), ...);
    }(std::make_index_sequence<N>{});
}
// clang-format on

int sorted_fixed_bits(uint64_t mask, int* out) {
    int count = 0;
    while (mask) {
        out[count++] = std::countr_zero(mask);
        mask &= mask - 1;
    }
    return count;
}

// Whether an update under `cmask` touches enough amplitudes, 2^(n - controls), to pay for
// a parallel region: a gate under many controls touches a sliver of a wide state, and
// thousands of them (an amplitude encoding) would otherwise each wake every thread.
inline bool parallel_update(int n, uint64_t cmask) {
    return n - std::popcount(cmask) >= kParallelQubits;
}

// The b-th index whose bits at `fixed` (ascending positions) are all 0.
inline uint64_t deposit(uint64_t b, const int* fixed, int count) {
    for (int k = 0; k < count; ++k) {
        const uint64_t low = b & ((uint64_t{1} << fixed[k]) - 1);
        b = ((b >> fixed[k]) << (fixed[k] + 1)) | low;
    }
    return b;
}

// Calls f(bases) for every group of G consecutive n-bit indices whose bits in `skip` are
// 0, each index with the bits of `set` added, in ascending order, spread over the threads
// when `parallel`. Each subrange finds its first index once and steps to the next by
// adding 1 through the skipped bits. There must be a multiple of G such indices.
template <int G, class F>
inline void for_bases(int n, uint64_t skip, uint64_t set, bool parallel, F&& f) {
    int fixed[64];
    const int count = sorted_fixed_bits(skip, fixed);
    for_subranges((uint64_t{1} << (n - count)) / G, parallel, [&](uint64_t begin, uint64_t end) {
        uint64_t i = deposit(begin * G, fixed, count);
        uint64_t bases[G];
        for (uint64_t b = begin; b < end; ++b) {
            for (int g = 0; g < G; ++g) {
                bases[g] = i | set;
                i = ((i | skip) + 1) & ~skip;
            }
            f(bases);
        }
    });
}

// The kernels over amplitudes of type complex<R>, written once for both precisions.
template <class R>
struct Engine {
    using C = std::complex<R>;
    using vec = typename Register<R>::vec;
    static constexpr int W = kRegisterBytes / int(sizeof(R));
    static constexpr int kLaneQubits = std::countr_zero(unsigned(W / 2));
    static constexpr uint64_t kLaneMask = (uint64_t{1} << kLaneQubits) - 1;
    static_assert(kLaneQubits <= kMaxLaneQubits);

    static vec load(const R* p) {
        return *reinterpret_cast<const typename Register<R>::unaligned*>(p);
    }

    static void store(R* p, vec v) { *reinterpret_cast<typename Register<R>::unaligned*>(p) = v; }

    // clang-format off
    // The register with real d taken from position d ^ T: T = 1 swaps the real and
    // imaginary parts of every amplitude, T = 2 s moves amplitudes between lanes.
    template <int T>
    static vec permute(vec x) {
        if constexpr (T == 0) {
            return x;
        } else {
            return [&]<size_t... d>(std::index_sequence<d...>) {
                return __builtin_shufflevector(x, x, int(d ^ T)...);
            }(std::make_index_sequence<W>{});
        }
    }

    // Every real of the register equal to v.
    static vec splat(R v) {
        return [&]<size_t... d>(std::index_sequence<d...>) {
            return vec{((void)d, v)...};
        }(std::make_index_sequence<W>{});
    }

    // (-1, 1, -1, 1, ...): times swapped parts, it turns a product by i * m into a sum.
    static vec minus_plus() {
        vec s;
        for (int d = 0; d < W; ++d) s[d] = (d & 1) ? R(1) : R(-1);
        return s;
    }
    // clang-format on

    template <int D>
    static void matvec_scalar(C* a, uint64_t base, const uint64_t* off, const C* m) {
        C x[D];
        for (int c = 0; c < D; ++c) x[c] = a[base + off[c]];
        for (int r = 0; r < D; ++r) {
            C s = m[r * D] * x[0];
            for (int c = 1; c < D; ++c) s += m[r * D + c] * x[c];
            a[base + off[r]] = s;
        }
    }

    // y_r = sum_c m_rc x_c over D registers of neighbouring amplitudes whose targets all lie
    // above the lanes, so one matrix entry serves every lane, for G bases at once so that
    // each entry, broadcast once, serves G registers. The imaginary sum, taken on unswapped
    // x, is swapped and signed once per row. A Real matrix has no imaginary sum at all.
    template <int D, int G, bool Real>
    static void rows_shared(R* a, const uint64_t* base, const uint64_t* off, const R* m,
                            vec signs) {
        vec x[G][D];
#pragma GCC unroll 64
        for (int c = 0; c < D; ++c)
#pragma GCC unroll 8
            for (int g = 0; g < G; ++g) x[g][c] = load(a + 2 * base[g] + off[c]);
#pragma GCC unroll 64
        for (int r = 0; r < D; ++r) {
            const R* row = m + 2 * D * r;
            vec re[G], im[G];
#pragma GCC unroll 8
            for (int g = 0; g < G; ++g) {
                re[g] = x[g][0] * row[0];
                if constexpr (!Real) im[g] = x[g][0] * row[1];
            }
#pragma GCC unroll 64
            for (int c = 1; c < D; ++c) {
                const vec mr = splat(row[2 * c]), mi = splat(row[2 * c + 1]);
#pragma GCC unroll 8
                for (int g = 0; g < G; ++g) {
                    re[g] += x[g][c] * mr;
                    if constexpr (!Real) im[g] += x[g][c] * mi;
                }
            }
#pragma GCC unroll 8
            for (int g = 0; g < G; ++g) {
                if constexpr (Real) {
                    store(a + 2 * base[g] + off[r], re[g]);
                } else {
                    store(a + 2 * base[g] + off[r], re[g] + permute<1>(im[g]) * signs);
                }
            }
        }
    }

    // Slot t of a lane coefficient table multiplies permute<t>(x): the slots used are those
    // whose lane move stays within the target lanes LT.
    template <int LT, int T>
    static constexpr bool kUsedSlot = ((T >> 1) & ~LT) == 0;

    // The general form for targets among the lane qubits (LT: their lane bits) or a matrix
    // per lane: y_r = sum_j sum_t C[r][j][t] * permute<t>(x_j), where x_j are the DH registers
    // of one base, one per pattern of the targets above the lanes, and each coefficient
    // register holds, lane by lane, the matrix entry that lane needs. Odd slots are summed
    // unswapped and swapped once (a Real table has none). G bases at once share each
    // coefficient load.
    template <int DH, int LT, int G, bool Real>
    static void rows_lanes(R* a, const uint64_t* base, const uint64_t* off, const vec* coef) {
        vec px[G][DH][W];
#pragma GCC unroll 8
        for (int g = 0; g < G; ++g) {
#pragma GCC unroll 64
            for (int j = 0; j < DH; ++j) {
                const vec x = load(a + 2 * base[g] + off[j]);
                static_for<W>([&](auto t) {
                    if constexpr (t % 2 == 0 && kUsedSlot<LT, t>) px[g][j][t] = permute<t>(x);
                });
            }
        }
#pragma GCC unroll 64
        for (int r = 0; r < DH; ++r) {
            const vec* c = coef + r * DH * W;
            vec re[G] = {}, im[G] = {};
#pragma GCC unroll 64
            for (int j = 0; j < DH; ++j) {
                static_for<W / 2>([&](auto s) {
                    if constexpr (kUsedSlot<LT, 2 * s>) {
                        const vec even = c[j * W + 2 * s], odd = c[j * W + 2 * s + 1];
#pragma GCC unroll 8
                        for (int g = 0; g < G; ++g) {
                            re[g] += even * px[g][j][2 * s];
                            if constexpr (!Real) im[g] += odd * px[g][j][2 * s];
                        }
                    }
                });
            }
#pragma GCC unroll 8
            for (int g = 0; g < G; ++g) {
                if constexpr (Real) {
                    store(a + 2 * base[g] + off[r], re[g]);
                } else {
                    store(a + 2 * base[g] + off[r], re[g] + permute<1>(im[g]));
                }
            }
        }
    }

    // Builds the lane coefficient table of rows_lanes over `qubits` (local index bit j =
    // qubits[j]): lane v takes its entries from lane_m[v], or from the identity where that is
    // null (a lane whose controls are not all set).
    template <int K, int LT>
    static void lane_coefficients(const int* qubits, const C* const* lane_m, vec* coef) {
        constexpr int D = 1 << K, DH = D >> std::popcount(unsigned(LT));
        int high[K], high_count = 0;
        for (int j = 0; j < K; ++j)
            if (qubits[j] >= kLaneQubits) high[high_count++] = j;
        // Local index of high-target pattern h in lane v.
        auto local = [&](int h, int v) {
            int index = 0;
            for (int i = 0; i < high_count; ++i)
                if ((h >> i) & 1) index |= 1 << high[i];
            for (int j = 0; j < K; ++j)
                if (qubits[j] < kLaneQubits && ((v >> qubits[j]) & 1)) index |= 1 << j;
            return index;
        };
        for (int r = 0; r < DH; ++r) {
            for (int j = 0; j < DH; ++j) {
                for (int s = 0; s < W / 2; ++s) {
                    if (s & ~LT) continue;
                    vec& even = coef[(r * DH + j) * W + 2 * s];
                    vec& odd = coef[(r * DH + j) * W + 2 * s + 1];
                    for (int v = 0; v < W / 2; ++v) {
                        // Lane v reads lane v ^ s of register j.
                        const C e = lane_m[v] ? lane_m[v][local(r, v) * D + local(j, v ^ s)]
                                    : r == j && s == 0 ? C(1)
                                                       : C(0);
                        // re: e.re * x.re - e.im * x.im, im: e.re * x.im + e.im * x.re; the
                        // odd slot is stored swapped, as it is summed before the swap.
                        even[2 * v] = e.real();
                        even[2 * v + 1] = e.real();
                        odd[2 * v] = e.imag();
                        odd[2 * v + 1] = -e.imag();
                    }
                }
            }
        }
    }

    template <int K, int LT, bool Real>
    static void dense_lanes(R* a, int n, const int* qubits, uint64_t cmask, uint64_t cvals,
                            const C* const* lane_m, bool parallel) {
        constexpr int D = 1 << K, DH = D >> std::popcount(unsigned(LT));
        uint64_t off[DH] = {};
        int high_count = 0;
        for (int j = 0; j < K; ++j) {
            if (qubits[j] < kLaneQubits) continue;
            for (int h = 0; h < DH; ++h)
                if ((h >> high_count) & 1) off[h] |= uint64_t{2} << qubits[j];
            ++high_count;
        }
        thread_local std::vector<vec> table;
        table.resize(size_t(DH) * DH * W);
        lane_coefficients<K, LT>(qubits, lane_m, table.data());
        const vec* coef = table.data();
        uint64_t skip = kLaneMask | (cmask & ~kLaneMask);
        for (int j = 0; j < K; ++j) skip |= uint64_t{1} << qubits[j];
        // Two bases at once where there are two; wide blocks keep to one, which bounds the
        // unrolled code and its compile time.
        if constexpr (DH <= 8) {
            if (n > std::popcount(skip)) {
                for_bases<2>(n, skip, cvals & ~kLaneMask, parallel, [&](const uint64_t* b) {
                    rows_lanes<DH, LT, 2, Real>(a, b, off, coef);
                });
                return;
            }
        }
        for_bases<1>(n, skip, cvals & ~kLaneMask, parallel,
                     [&](const uint64_t* b) { rows_lanes<DH, LT, 1, Real>(a, b, off, coef); });
    }

    // Whether a D x D matrix has no imaginary part: RY, CNOT, H and their products.
    template <int D>
    static bool is_real(const C* m) {
        for (int i = 0; i < D * D; ++i)
            if (m[i].imag() != R(0)) return false;
        return true;
    }

    // Calls f(std::bool_constant<Real>) with Real = real() for blocks of up to
    // kMaxRealQubits: a real matrix takes half the arithmetic of a complex one. Wider
    // blocks always take the complex form, which bounds the unrolled code, and skip the
    // check.
    template <int K, class Check, class F>
    static void with_realness(Check&& real, F&& f) {
        if constexpr (K <= kMaxRealQubits) {
            if (real()) return f(std::true_type{});
        }
        f(std::false_type{});
    }

    // Updates the amplitudes whose bits in cmask read cvals (a subset of cmask) by m, or,
    // given lane_m, by lane_m[v] where the lane bits read v (none of them a target of a
    // matrix that depends on them; cmask then leaves the lanes alone).
    template <int K>
    static void dense_k(C* amps, int n, const int* qubits, uint64_t cmask, uint64_t cvals,
                        const C* m, const C* const* lane_m = nullptr) {
        constexpr int D = 1 << K;
        uint64_t tmask = 0;
        for (int j = 0; j < K; ++j) tmask |= uint64_t{1} << qubits[j];
        const int free_qubits = n - std::popcount(tmask | cmask);
        // Small states: the scalar loop beats setting up the vector forms.
        if (free_qubits < 4 || n < kLaneQubits + K) {
            uint64_t off[D] = {};
            for (int c = 0; c < D; ++c)
                for (int j = 0; j < K; ++j)
                    if ((c >> j) & 1) off[c] |= uint64_t{1} << qubits[j];
            int fixed[64];
            const int count = sorted_fixed_bits(cmask | tmask, fixed);
            for (uint64_t b = 0; b < (uint64_t{1} << free_qubits); ++b) {
                const uint64_t base = deposit(b, fixed, count) | cvals;
                const C* mb = lane_m ? lane_m[base & kLaneMask] : m;
                if (mb) matvec_scalar<D>(amps, base, off, mb);
            }
            return;
        }
        R* a = reinterpret_cast<R*>(amps);
        const bool parallel = parallel_update(n, cmask);
        const uint64_t lane_targets = tmask & kLaneMask;
        if (!lane_m && lane_targets == 0 && (cmask & kLaneMask) == 0) {
            uint64_t off[D] = {};
            for (int c = 0; c < D; ++c)
                for (int j = 0; j < K; ++j)
                    if ((c >> j) & 1) off[c] |= uint64_t{2} << qubits[j];
            const vec signs = minus_plus();
            const R* md = reinterpret_cast<const R*>(m);
            // As many bases at once as the registers hold: 16 of them for x.
            constexpr int G = D >= 16 ? 1 : 16 / D > 4 ? 4 : 16 / D;
            const uint64_t skip = tmask | cmask | kLaneMask;
            with_realness<K>(
                [&] { return is_real<D>(m); },
                [&](auto real) {
                    constexpr bool Real = real;
                    if (free_qubits - std::popcount(kLaneMask) >= std::countr_zero(unsigned(G))) {
                        for_bases<G>(n, skip, cvals, parallel, [&](const uint64_t* b) {
                            rows_shared<D, G, Real>(a, b, off, md, signs);
                        });
                    } else {
                        for_bases<1>(n, skip, cvals, parallel, [&](const uint64_t* b) {
                            rows_shared<D, 1, Real>(a, b, off, md, signs);
                        });
                    }
                });
            return;
        }
        // One matrix per lane pattern: the lane controls pick between m and the identity.
        const C* uniform[W / 2];
        if (!lane_m) {
            for (uint64_t v = 0; v < W / 2; ++v)
                uniform[v] = (v & cmask & kLaneMask) == (cvals & kLaneMask) ? m : nullptr;
            lane_m = uniform;
        }
        cmask &= ~kLaneMask;
        cvals &= ~kLaneMask;
        auto real = [&] {
            for (int v = 0; v < W / 2; ++v)
                if (lane_m[v] && !is_real<D>(lane_m[v])) return false;
            return true;
        };
        // Targets among the lanes: one instantiation per pattern of them that this width holds.
        with_realness<K>(real, [&](auto real_form) {
            static_for<(1 << kMaxLaneQubits)>([&](auto lt) {
                constexpr int LT = lt;
                if constexpr ((LT >> kLaneQubits) == 0 && std::popcount(unsigned(LT)) <= K) {
                    if (lane_targets == uint64_t(LT))
                        dense_lanes<K, LT, real_form>(a, n, qubits, cmask, cvals, lane_m, parallel);
                }
            });
        });
    }

    // Blocks wider than the unrolled kernels (the folded powers of wide repeated blocks):
    // kWideRegs * W bases at a time are gathered into columns of split real and imaginary
    // parts, kWideRegs registers each, then kWideRows rows of m are summed together, so that
    // every column loaded feeds several rows and the running sums stay in registers (one row
    // at a time keeps a single chain of additions waiting on itself).
    static constexpr int kWideRegs = 2;
    static constexpr int kWideRows = kRegisterBytes == 64 ? 4 : 2;
    static constexpr int kWideBases = kWideRegs * W;

    static void dense_wide(C* amps, int n, const int* qubits, int k, uint64_t cmask, uint64_t cvals,
                           const C* m) {
        constexpr int P = kWideRegs, Rows = kWideRows, B = kWideBases;
        const uint64_t dim = uint64_t{1} << k;
        uint64_t tmask = 0;
        for (int j = 0; j < k; ++j) tmask |= uint64_t{1} << qubits[j];
        std::vector<uint64_t> off(dim, 0);
        for (uint64_t c = 1; c < dim; ++c)
            off[c] = off[c & (c - 1)] | (uint64_t{1} << qubits[std::countr_zero(c)]);
        int fixed[64];
        const int count = sorted_fixed_bits(cmask | tmask, fixed);
        const uint64_t bases = uint64_t{1} << (n - count);
        const R* md = reinterpret_cast<const R*>(m);
        for_subranges(
            (bases + B - 1) / B, parallel_update(n, cmask), [&](uint64_t begin, uint64_t end) {
                std::vector<vec> xr(dim * P), xi(dim * P);
                uint64_t base[B];
                for (uint64_t group = begin; group < end; ++group) {
                    const uint64_t first = group * B;
                    const int taken = int(std::min<uint64_t>(B, bases - first));
                    for (int g = 0; g < B; ++g)
                        base[g] = g < taken ? deposit(first + g, fixed, count) | cvals : base[0];
                    for (uint64_t c = 0; c < dim; ++c) {
                        for (int g = 0; g < B; ++g) {
                            const C x = amps[base[g] | off[c]];
                            xr[c * P + g / W][g % W] = x.real();
                            xi[c * P + g / W][g % W] = x.imag();
                        }
                    }
                    for (uint64_t r0 = 0; r0 < dim; r0 += Rows) {
                        vec sr[Rows][P], si[Rows][P];
                        for (int i = 0; i < Rows; ++i)
                            for (int p = 0; p < P; ++p) sr[i][p] = si[i][p] = splat(R(0));
                        const R* mr = md + 2 * r0 * dim;
                        for (uint64_t c = 0; c < dim; ++c) {
                            vec vr[P], vi[P];
                            for (int p = 0; p < P; ++p) {
                                vr[p] = xr[c * P + p];
                                vi[p] = xi[c * P + p];
                            }
                            for (int i = 0; i < Rows; ++i) {
                                const vec re = splat(mr[2 * (i * dim + c)]);
                                const vec im = splat(mr[2 * (i * dim + c) + 1]);
                                for (int p = 0; p < P; ++p) {
                                    // One multiply-add each: a sum of two products costs three.
                                    sr[i][p] += re * vr[p];
                                    sr[i][p] -= im * vi[p];
                                    si[i][p] += re * vi[p];
                                    si[i][p] += im * vr[p];
                                }
                            }
                        }
                        for (int i = 0; i < Rows; ++i)
                            for (int g = 0; g < taken; ++g)
                                amps[base[g] | off[r0 + i]] =
                                    C(sr[i][g / W][g % W], si[i][g / W][g % W]);
                    }
                }
            });
    }

    // A diagonal 2x2 under controls (and the fixed bits of a cache-blocked chunk): only the
    // amplitudes whose entry is not 1 are touched. Neighbours below the target and the
    // lowest control share their entries, so runs of up to 8 are updated together, each
    // run found by stepping through the fixed bits rather than placing them anew.
    static void diagonal_1q(C* a, int n, int t, uint64_t cmask, uint64_t cvals, C d0, C d1) {
        const uint64_t bit = uint64_t{1} << t;
        const int run_bits = std::min({std::countr_zero(cmask | bit), 3, n});
        const uint64_t run = uint64_t{1} << run_bits;
        const uint64_t skip = cmask | bit | (run - 1);
        const bool skip0 = d0 == C(1);
        for_bases<1>(n, skip, cvals & cmask, parallel_update(n, cmask), [&](const uint64_t* b) {
            C* p = a + b[0];
            if (!skip0)
                for (uint64_t j = 0; j < run; ++j) p[j] *= d0;
            for (uint64_t j = 0; j < run; ++j) p[bit + j] *= d1;
        });
    }

    static void apply_dense(C* a, int n, const int* qubits, int k, uint64_t control_mask,
                            uint64_t control_values, const C* m) {
        const uint64_t cmask = control_mask, cvals = control_values & cmask;
        switch (k) {
            case 1: return dense_k<1>(a, n, qubits, cmask, cvals, m);
            case 2: return dense_k<2>(a, n, qubits, cmask, cvals, m);
            case 3: return dense_k<3>(a, n, qubits, cmask, cvals, m);
            case 4: return dense_k<4>(a, n, qubits, cmask, cvals, m);
            case 5: return dense_k<5>(a, n, qubits, cmask, cvals, m);
            case 6: return dense_k<6>(a, n, qubits, cmask, cvals, m);
            default:
                if (k < 1 || k > kMaxWideQubits)
                    throw ValueError("a dense block acts on 1 to 12 qubits");
                return dense_wide(a, n, qubits, k, cmask, cvals, m);
        }
    }

    static void apply_dense_per_lane(C* a, int n, const int* qubits, int k, uint64_t control_mask,
                                     uint64_t control_values, const C* const* lane_matrices) {
        const uint64_t cmask = control_mask & ~kLaneMask, cvals = control_values & cmask;
        switch (k) {
            case 1: return dense_k<1>(a, n, qubits, cmask, cvals, nullptr, lane_matrices);
            case 2: return dense_k<2>(a, n, qubits, cmask, cvals, nullptr, lane_matrices);
            case 3: return dense_k<3>(a, n, qubits, cmask, cvals, nullptr, lane_matrices);
            case 4: return dense_k<4>(a, n, qubits, cmask, cvals, nullptr, lane_matrices);
            case 5: return dense_k<5>(a, n, qubits, cmask, cvals, nullptr, lane_matrices);
            case 6: return dense_k<6>(a, n, qubits, cmask, cvals, nullptr, lane_matrices);
            default: throw ValueError("a dense block acts on 1 to 6 qubits");
        }
    }

    // The register with every real replaced by the real (Odd = 0) or the imaginary part
    // (Odd = 1) of its amplitude.
    template <int Odd>
    static vec part(vec x) {
        return [&]<size_t... i>(std::index_sequence<i...>) {
            return __builtin_shufflevector(x, x, int((i & ~size_t{1}) | Odd)...);
        }
        (std::make_index_sequence<W>{});
    }

    // p[j] *= d[j] for `count` amplitudes, a multiple of a register.
    static void multiply_run(R* p, const R* d, uint64_t count) {
        const vec signs = minus_plus();
        for (uint64_t j = 0; j < 2 * count; j += W) {
            const vec x = load(p + j), e = load(d + j);
            store(p + j, x * part<0>(e) + permute<1>(x) * part<1>(e) * signs);
        }
    }

    static void apply_diagonal(C* a, int n, const int* qubits, int k, uint64_t control_mask,
                               uint64_t control_values, const C* d) {
        const uint64_t fmask = control_mask;
        int fixed[64];
        const int count = sorted_fixed_bits(fmask, fixed);
        const uint64_t fvals = control_values & fmask;
        // A diagonal on the lowest qubits in order (a layer of phases) scales runs of 2^k
        // neighbouring amplitudes by d itself, a register at a time.
        bool lowest = k >= kLaneQubits && std::countr_zero(fmask) >= k;
        for (int j = 0; j < k && lowest; ++j) lowest = qubits[j] == j;
        if (lowest) {
            const uint64_t dim = uint64_t{1} << k;
            const R* dr = reinterpret_cast<const R*>(d);
            for_range((uint64_t{1} << (n - count)) / dim, parallel_update(n, fmask),
                      [&](uint64_t run) {
                          const uint64_t i = deposit(run * dim, fixed, count) | fvals;
                          multiply_run(reinterpret_cast<R*>(a + i), dr, dim);
                      });
            return;
        }
        // Local index = OR over the index's bytes of a 256-entry table: one lookup per byte
        // instead of one bit extraction per qubit.
        const int bytes = (n + 7) / 8;
        uint32_t table[8][256] = {};
        for (int t = 0; t < bytes; ++t) {
            const int span = 1 << std::min(8, n - 8 * t);
            for (int j = 0; j < k; ++j) {
                if (qubits[j] / 8 != t) continue;
                const int bit = qubits[j] % 8;
                for (int v = 0; v < span; ++v)
                    if ((v >> bit) & 1) table[t][v] |= uint32_t{1} << j;
            }
        }
        // Runs of `inner` neighbouring amplitudes below the lowest fixed bit; as the tables are
        // OR-linear, a run's entries are its first index's lookup OR the low byte's.
        const uint64_t inner = uint64_t{1} << std::min({n, 8, std::countr_zero(fmask)});
        const uint64_t runs = (uint64_t{1} << (n - count)) / inner;
        for_range(runs, parallel_update(n, fmask), [&](uint64_t run) {
            const uint64_t i = deposit(run * inner, fixed, count) | fvals;
            uint32_t high = 0;
            for (int t = 0; t < bytes; ++t) high |= table[t][(i >> (8 * t)) & 255];
            C* p = a + i;
            for (uint64_t lo = 0; lo < inner; ++lo) p[lo] *= d[high | table[0][lo]];
        });
    }

    static void apply_1q(C* a, int n, int t0, uint64_t control_mask, uint64_t control_values,
                         const C* m) {
        const uint64_t cvals = control_values & control_mask;
        if (m[1] == C(0) && m[2] == C(0))
            return diagonal_1q(a, n, t0, control_mask, cvals, m[0], m[3]);
        dense_k<1>(a, n, &t0, control_mask, cvals, m);
    }

    static void apply_2q(C* a, int n, int t0, int t1, uint64_t control_mask,
                         uint64_t control_values, const C* m) {
        const int qubits[2] = {t0, t1};
        dense_k<2>(a, n, qubits, control_mask, control_values & control_mask, m);
    }

    static int lane_qubits() { return kLaneQubits; }
};

}  // namespace

#define KESTRIX_STRING(x) #x
#define KESTRIX_NAME(x) KESTRIX_STRING(x)
#define KESTRIX_TAKE_KERNEL(name, parameters, arguments) set.name = Engine<R>::name;

namespace {

template <class R>
void take_kernels(Kernels<std::complex<R>>& set) {
    set.lane_qubits = Engine<R>::lane_qubits;
    KESTRIX_KERNEL_ENTRIES(KESTRIX_TAKE_KERNEL, std::complex<R>)
}

}  // namespace

KernelSet kernel_set(bool supported) {
    KernelSet set;
    set.name = KESTRIX_NAME(KESTRIX_KERNEL_VARIANT);
    set.supported = supported;
    take_kernels<double>(set);
    take_kernels<float>(set.single);
    return set;
}

}  // namespace kestrix::KESTRIX_KERNEL_VARIANT
