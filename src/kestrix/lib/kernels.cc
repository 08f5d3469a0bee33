#include "kernels.h"

#include <algorithm>
#include <array>
#include <bit>

namespace kestrix {

namespace {

// Calls f(i) for every index whose bits at the positions of `fixed` (ascending) are 0,
// with the control bits ORed in. Visits 2^(n - count) indices.
template <class F>
inline void for_each_base(int n, const int* fixed, int count, uint64_t control_mask, F&& f) {
    const uint64_t total = uint64_t{1} << (n - count);
    for (uint64_t b = 0; b < total; ++b) {
        uint64_t idx = b;
        for (int k = 0; k < count; ++k) {
            const uint64_t low = idx & ((uint64_t{1} << fixed[k]) - 1);
            idx = ((idx >> fixed[k]) << (fixed[k] + 1)) | low;
        }
        f(idx | control_mask);
    }
}

int sorted_fixed_bits(uint64_t mask, int* out) {
    int count = 0;
    while (mask) {
        out[count++] = std::countr_zero(mask);
        mask &= mask - 1;
    }
    return count;
}

}  // namespace

void apply_1q(cplx* a, int n, int t, uint64_t control_mask, const cplx* m) {
    const uint64_t step = uint64_t{1} << t;
    const cplx m00 = m[0], m01 = m[1], m10 = m[2], m11 = m[3];
    const bool diagonal = m01 == cplx(0) && m10 == cplx(0);
    auto update = [&](uint64_t i0) {
        const uint64_t i1 = i0 | step;
        if (diagonal) {
            a[i0] *= m00;
            a[i1] *= m11;
        } else {
            const cplx x0 = a[i0], x1 = a[i1];
            a[i0] = m00 * x0 + m01 * x1;
            a[i1] = m10 * x0 + m11 * x1;
        }
    };
    if (control_mask == 0) {
        const uint64_t size = uint64_t{1} << n;
        for (uint64_t hi = 0; hi < size; hi += 2 * step)
            for (uint64_t lo = 0; lo < step; ++lo) update(hi + lo);
        return;
    }
    int fixed[64];
    const int count = sorted_fixed_bits(control_mask | step, fixed);
    for_each_base(n, fixed, count, control_mask, update);
}

void apply_2q(cplx* a, int n, int t0, int t1, uint64_t control_mask, const cplx* m) {
    const uint64_t b0 = uint64_t{1} << t0, b1 = uint64_t{1} << t1;
    int fixed[64];
    const int count = sorted_fixed_bits(control_mask | b0 | b1, fixed);
    for_each_base(n, fixed, count, control_mask, [&](uint64_t i) {
        const uint64_t idx[4] = {i, i | b0, i | b1, i | b0 | b1};
        const cplx x[4] = {a[idx[0]], a[idx[1]], a[idx[2]], a[idx[3]]};
        for (int r = 0; r < 4; ++r) {
            a[idx[r]] = m[4 * r] * x[0] + m[4 * r + 1] * x[1] + m[4 * r + 2] * x[2] +
                        m[4 * r + 3] * x[3];
        }
    });
}

}  // namespace kestrix
