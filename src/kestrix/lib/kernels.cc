// Compiled once per instruction-set variant (KESTRIX_KERNEL_VARIANT names it); the public
// entry points in kernels_dispatch.cc pick the widest variant this CPU runs.
#include "kestrix/lib/kernels.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

#include "kestrix/lib/errors.h"
#include "kestrix/lib/parallel.h"

#ifndef KESTRIX_KERNEL_VARIANT
#define KESTRIX_KERNEL_VARIANT generic
#endif
#include "kestrix/lib/kernels_variant.h"

namespace kestrix::KESTRIX_KERNEL_VARIANT {

namespace {

// Two amplitudes side by side, (re, im, re, im): the compiler maps them onto one AVX
// register, or two SSE registers where AVX is missing.
using v4d = double __attribute__((vector_size(32)));
using v2d = double __attribute__((vector_size(16)));

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

template <int D>
inline void matvec_scalar(cplx* a, uint64_t base, const uint64_t* off, const cplx* m) {
    cplx x[D];
    for (int c = 0; c < D; ++c) x[c] = a[base + off[c]];
    for (int r = 0; r < D; ++r) {
        cplx s = m[r * D] * x[0];
        for (int c = 1; c < D; ++c) s += m[r * D + c] * x[c];
        a[base + off[r]] = s;
    }
}

// Updates the blocks at eight bases together (two groups of four), their amplitudes
// regrouped as four real parts and four imaginary parts per register, so that each matrix
// entry, broadcast once, serves eight blocks. base[4 * g + j] is base j of group g; with
// Contiguous, the four bases of a group are neighbours and only base[4 * g] is read.
template <int D, bool Contiguous>
inline void matvec_eight(double* a, const uint64_t* base, const uint64_t* off, const v4d* mr,
                         const v4d* mi) {
    constexpr int G = 2;
    v4d xr[G][D], xi[G][D];
    for (int g = 0; g < G; ++g) {
        const uint64_t* b = base + 4 * g;
        for (int c = 0; c < D; ++c) {
            v4d lo, hi;
            if constexpr (Contiguous) {
                std::memcpy(&lo, a + 2 * (b[0] + off[c]), sizeof(v4d));
                std::memcpy(&hi, a + 2 * (b[0] + off[c]) + 4, sizeof(v4d));
            } else {
                v2d x0, x1, x2, x3;
                std::memcpy(&x0, a + 2 * (b[0] + off[c]), sizeof(v2d));
                std::memcpy(&x1, a + 2 * (b[1] + off[c]), sizeof(v2d));
                std::memcpy(&x2, a + 2 * (b[2] + off[c]), sizeof(v2d));
                std::memcpy(&x3, a + 2 * (b[3] + off[c]), sizeof(v2d));
                lo = __builtin_shufflevector(x0, x1, 0, 1, 2, 3);
                hi = __builtin_shufflevector(x2, x3, 0, 1, 2, 3);
            }
            xr[g][c] = __builtin_shufflevector(lo, hi, 0, 2, 4, 6);
            xi[g][c] = __builtin_shufflevector(lo, hi, 1, 3, 5, 7);
        }
    }
    for (int r = 0; r < D; ++r) {
        // Four separate sums per group, each one FMA per entry: eight independent chains
        // keep both FMA units busy instead of waiting on one accumulator.
        v4d rr[G] = {}, ii[G] = {}, ri[G] = {}, ir[G] = {};
        for (int c = 0; c < D; ++c) {
            const v4d er = mr[r * D + c], ei = mi[r * D + c];
            for (int g = 0; g < G; ++g) {
                rr[g] += er * xr[g][c];
                ii[g] += ei * xi[g][c];
                ri[g] += er * xi[g][c];
                ir[g] += ei * xr[g][c];
            }
        }
        for (int g = 0; g < G; ++g) {
            const uint64_t* b = base + 4 * g;
            const v4d re = rr[g] - ii[g], im = ri[g] + ir[g];
            const v4d lo = __builtin_shufflevector(re, im, 0, 4, 1, 5);
            const v4d hi = __builtin_shufflevector(re, im, 2, 6, 3, 7);
            if constexpr (Contiguous) {
                std::memcpy(a + 2 * (b[0] + off[r]), &lo, sizeof(v4d));
                std::memcpy(a + 2 * (b[0] + off[r]) + 4, &hi, sizeof(v4d));
            } else {
                const v2d y0 = __builtin_shufflevector(lo, lo, 0, 1);
                const v2d y1 = __builtin_shufflevector(lo, lo, 2, 3);
                const v2d y2 = __builtin_shufflevector(hi, hi, 0, 1);
                const v2d y3 = __builtin_shufflevector(hi, hi, 2, 3);
                std::memcpy(a + 2 * (b[0] + off[r]), &y0, sizeof(v2d));
                std::memcpy(a + 2 * (b[1] + off[r]), &y1, sizeof(v2d));
                std::memcpy(a + 2 * (b[2] + off[r]), &y2, sizeof(v2d));
                std::memcpy(a + 2 * (b[3] + off[r]), &y3, sizeof(v2d));
            }
        }
    }
}

#ifdef __AVX512F__
using v8d = double __attribute__((vector_size(64)));

// The AVX-512 form of matvec_eight for blocks whose bits 0 to 2 are free: eight
// neighbouring bases per group, their real and imaginary parts in one register each.
// Matrix entries are broadcast from memory by the multiply itself.
template <int D>
inline void matvec_wide(double* a, const uint64_t* base, const uint64_t* off, const cplx* m) {
    constexpr int G = D >= 8 ? 1 : 2;  // 32 registers: wide blocks take one group at a time
    v8d xr[G][D], xi[G][D];
    for (int g = 0; g < G; ++g) {
        for (int c = 0; c < D; ++c) {
            v8d lo, hi;
            std::memcpy(&lo, a + 2 * (base[g] + off[c]), sizeof(v8d));
            std::memcpy(&hi, a + 2 * (base[g] + off[c]) + 8, sizeof(v8d));
            xr[g][c] = __builtin_shufflevector(lo, hi, 0, 2, 4, 6, 8, 10, 12, 14);
            xi[g][c] = __builtin_shufflevector(lo, hi, 1, 3, 5, 7, 9, 11, 13, 15);
        }
    }
    const double* md = reinterpret_cast<const double*>(m);
    for (int r = 0; r < D; ++r) {
        v8d rr[G] = {}, ii[G] = {}, ri[G] = {}, ir[G] = {};
        for (int c = 0; c < D; ++c) {
            const v8d er = v8d{} + md[2 * (r * D + c)], ei = v8d{} + md[2 * (r * D + c) + 1];
            for (int g = 0; g < G; ++g) {
                rr[g] += er * xr[g][c];
                ii[g] += ei * xi[g][c];
                ri[g] += er * xi[g][c];
                ir[g] += ei * xr[g][c];
            }
        }
        for (int g = 0; g < G; ++g) {
            const v8d re = rr[g] - ii[g], im = ri[g] + ir[g];
            const v8d lo = __builtin_shufflevector(re, im, 0, 8, 1, 9, 2, 10, 3, 11);
            const v8d hi = __builtin_shufflevector(re, im, 4, 12, 5, 13, 6, 14, 7, 15);
            std::memcpy(a + 2 * (base[g] + off[r]), &lo, sizeof(v8d));
            std::memcpy(a + 2 * (base[g] + off[r]) + 8, &hi, sizeof(v8d));
        }
    }
}
#endif

template <int K>
void dense_k(cplx* a, int n, const int* qubits, uint64_t cmask, const cplx* m) {
    constexpr int D = 1 << K;
    uint64_t off[D] = {};
    uint64_t tmask = 0;
    for (int j = 0; j < K; ++j) tmask |= uint64_t{1} << qubits[j];
    for (int c = 0; c < D; ++c)
        for (int j = 0; j < K; ++j)
            if ((c >> j) & 1) off[c] |= uint64_t{1} << qubits[j];
    int fixed[64];
    const int count = sorted_fixed_bits(cmask | tmask, fixed);
    const uint64_t total = uint64_t{1} << (n - count);
    // Small states: the scalar loop beats setting up the vector form.
    if (total < 16) {
        for (uint64_t b = 0; b < total; ++b)
            matvec_scalar<D>(a, deposit(b, fixed, count) | cmask, off, m);
        return;
    }
    double* ad = reinterpret_cast<double*>(a);
    const bool par = parallel_update(n, cmask);
#ifdef __AVX512F__
    if (fixed[0] >= 3) {
        constexpr int G = D >= 8 ? 1 : 2;
        for_range(total / (8 * G), par, [&](uint64_t p) {
            uint64_t base[G];
            for (int g = 0; g < G; ++g) base[g] = deposit(8 * (G * p + g), fixed, count) | cmask;
            matvec_wide<D>(ad, base, off, m);
        });
        return;
    }
#endif
    // Each entry broadcast to a whole register; on the stack up to 3 qubits (4 KiB), so
    // that small blocks never allocate.
    constexpr bool kOnStack = K <= 3;
    v4d local[kOnStack ? 2 * D * D : 1];
    std::vector<v4d> heap(kOnStack ? 0 : 2 * D * D);
    v4d* mr = kOnStack ? local : heap.data();
    v4d* mi = mr + D * D;
    for (int e = 0; e < D * D; ++e) {
        const double re = m[e].real(), im = m[e].imag();
        mr[e] = v4d{re, re, re, re};
        mi[e] = v4d{im, im, im, im};
    }
    if (fixed[0] >= 2) {
        // Bits 0 and 1 are free, so bases 4p .. 4p + 3 are neighbours in memory.
        for_range(total / 8, par, [&](uint64_t p) {
            uint64_t base[8];
            for (int g = 0; g < 2; ++g) base[4 * g] = deposit(8 * p + 4 * g, fixed, count) | cmask;
            matvec_eight<D, true>(ad, base, off, mr, mi);
        });
    } else {
        for_range(total / 8, par, [&](uint64_t p) {
            uint64_t base[8];
            for (int j = 0; j < 8; ++j) base[j] = deposit(8 * p + j, fixed, count) | cmask;
            matvec_eight<D, false>(ad, base, off, mr, mi);
        });
    }
}

// A diagonal 2x2 under controls: only the amplitudes whose entry is not 1 are touched.
void diagonal_1q(cplx* a, int n, int t, uint64_t cmask, cplx d0, cplx d1) {
    int fixed[64];
    const uint64_t bit = uint64_t{1} << t;
    const int count = sorted_fixed_bits(cmask | bit, fixed);
    const bool par = parallel_update(n, cmask);
    const bool skip0 = d0 == cplx(1);
    for_range(uint64_t{1} << (n - count), par, [&](uint64_t b) {
        const uint64_t i0 = deposit(b, fixed, count) | cmask;
        if (!skip0) a[i0] *= d0;
        a[i0 | bit] *= d1;
    });
}

}  // namespace

void apply_dense(cplx* a, int n, const int* qubits, int k, uint64_t cmask, const cplx* m) {
    switch (k) {
        case 1: return dense_k<1>(a, n, qubits, cmask, m);
        case 2: return dense_k<2>(a, n, qubits, cmask, m);
        case 3: return dense_k<3>(a, n, qubits, cmask, m);
        case 4: return dense_k<4>(a, n, qubits, cmask, m);
        case 5: return dense_k<5>(a, n, qubits, cmask, m);
        case 6: return dense_k<6>(a, n, qubits, cmask, m);
        default: throw ValueError("a dense block acts on 1 to 6 qubits");
    }
}

void apply_diagonal(cplx* a, int n, const int* qubits, int k, const cplx* d) {
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
    const uint64_t inner = uint64_t{1} << std::min(n, 8);
    for_range((uint64_t{1} << n) / inner, n >= kParallelQubits, [&](uint64_t block) {
        const uint64_t i = block * inner;
        uint32_t high = 0;
        for (int t = 1; t < bytes; ++t) high |= table[t][(i >> (8 * t)) & 255];
        cplx* p = a + i;
        for (uint64_t lo = 0; lo < inner; ++lo) p[lo] *= d[high | table[0][lo]];
    });
}

void apply_1q(cplx* a, int n, int t, uint64_t cmask, const cplx* m) {
    if (m[1] == cplx(0) && m[2] == cplx(0)) return diagonal_1q(a, n, t, cmask, m[0], m[3]);
    dense_k<1>(a, n, &t, cmask, m);
}

void apply_2q(cplx* a, int n, int t0, int t1, uint64_t cmask, const cplx* m) {
    const int qubits[2] = {t0, t1};
    dense_k<2>(a, n, qubits, cmask, m);
}

}  // namespace kestrix::KESTRIX_KERNEL_VARIANT
