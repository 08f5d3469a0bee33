#include "kestrix/lib/run/adjoint_step.h"

#include <cstring>

#include "kestrix/lib/base/target_clones.h"

namespace kestrix {

namespace {

// Every sum is kept in kLanes independent partial sums, added in a fixed order at the end:
// one running sum would keep the compiler from vectorising the loop (it may not reorder
// additions).
constexpr int kLanes = 8;
using Partials = double[8][kLanes];  // real and imaginary parts of the four sums

AdjointSums total(const Partials& s) {
    AdjointSums out;
    for (int k = 0; k < 4; ++k) {
        double re = 0, im = 0;
        for (int lane = 0; lane < kLanes; ++lane) re += s[2 * k][lane], im += s[2 * k + 1][lane];
        out[size_t(k)] = cplx(re, im);
    }
    return out;
}

// Four amplitudes as eight doubles (re, im, re, im, ...): one AVX-512 register, two AVX2
// ones. Real coefficients act on both parts alike, and a complex one c on v is
// re(c) v + im(c) (-1, 1, ...) swap(v), so no loop here takes the parts apart.
using Quad = double __attribute__((vector_size(64)));
// The helpers below are always inlined, so no Quad is passed across a call and the ABI
// for passing one (which the baseline target lacks) never matters.
#pragma GCC diagnostic ignored "-Wpsabi"
constexpr Quad kAlternate = {-1, 1, -1, 1, -1, 1, -1, 1};

#define KESTRIX_QUAD [[gnu::always_inline]] inline

KESTRIX_QUAD Quad load(const double* p) {
    Quad v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
KESTRIX_QUAD void store(double* p, Quad v) { std::memcpy(p, &v, sizeof v); }
KESTRIX_QUAD Quad swap_parts(Quad v) {
    return __builtin_shufflevector(v, v, 1, 0, 3, 2, 5, 4, 7, 6);
}

// c v for a complex c given as (re(c), im(c) * kAlternate).
struct Coefficient {
    double re;
    Quad im;
    explicit Coefficient(cplx c) : re(c.real()), im(c.imag() * kAlternate) {}
    KESTRIX_QUAD Quad times(Quad v) const { return re * v + im * swap_parts(v); }
};

// Sums of conj(l) x over quads: the real part sums l x, the imaginary part sums
// kAlternate swap(l) x; the lanes are added when the loop ends.
struct QuadSum {
    Quad re = {}, im = {};
    KESTRIX_QUAD void add(Quad l, Quad x) { re += l * x, im += swap_parts(l) * x; }
    KESTRIX_QUAD void add_real(Quad l, Quad x) { re += l * x; }
    cplx value() const {
        double r = 0, i = 0;
        for (int k = 0; k < 8; ++k) r += re[k], i += kAlternate[k] * im[k];
        return {r, i};
    }
};

// Calls f(b0, b1, a0, a1) for each run [begin, end) of 2 stride amplitudes whose bits in
// `high` all read 1, with the run's halves (target bit 0 and 1) in b and a as doubles.
template <class F>
[[gnu::always_inline]] inline void for_each_run(cplx* a, cplx* b, uint64_t stride, uint64_t high,
                                                uint64_t begin, uint64_t end, F&& f) {
    for (uint64_t h = begin; h < end; ++h) {
        const uint64_t base = h * 2 * stride;
        if ((base & high) != high) continue;
        double* b0 = reinterpret_cast<double*>(b + base);
        double* a0 = reinterpret_cast<double*>(a + base);
        f(b0, b0 + 2 * stride, a0, a0 + 2 * stride);
    }
}

// The loop of adjoint_runs over runs of at least four amplitudes without controls below the
// target, for one shape: b0, b1, a0, a1 are a run's halves (target bit 0 and 1).
template <AdjointShape S>
[[gnu::always_inline]] inline AdjointSums quad_runs(cplx* a, cplx* b, const GateOp& g_inv,
                                                    uint64_t begin, uint64_t end) {
    const uint64_t stride = uint64_t{1} << g_inv.targets[0];
    const uint64_t high = g_inv.control_mask;
    const double r[4] = {g_inv.m[0].real(), g_inv.m[1].real(), g_inv.m[2].real(),
                         g_inv.m[3].real()};
    const Coefficient c[4] = {Coefficient(g_inv.m[0]), Coefficient(g_inv.m[1]),
                              Coefficient(g_inv.m[2]), Coefficient(g_inv.m[3])};
    QuadSum s[4];
    for_each_run(
        a, b, stride, high, begin, end, [&](double* pb0, double* pb1, double* pa0, double* pa1) {
            for (uint64_t j = 0; j < 2 * stride; j += 8) {
                const Quad b0 = load(pb0 + j), b1 = load(pb1 + j);
                const Quad l0 = load(pa0 + j), l1 = load(pa1 + j);
                if constexpr (S == AdjointShape::Diagonal) {
                    const Quad x0 = c[0].times(b0), x1 = c[3].times(b1);
                    store(pb0 + j, x0), store(pb1 + j, x1);
                    s[0].add(l0, x0), s[3].add(l1, x1);
                    store(pa0 + j, c[0].times(l0)), store(pa1 + j, c[3].times(l1));
                } else if constexpr (S == AdjointShape::Real) {
                    const Quad x0 = r[0] * b0 + r[1] * b1, x1 = r[2] * b0 + r[3] * b1;
                    store(pb0 + j, x0), store(pb1 + j, x1);
                    s[0].add_real(l0, x0), s[1].add_real(l0, x1);
                    s[2].add_real(l1, x0), s[3].add_real(l1, x1);
                    store(pa0 + j, r[0] * l0 + r[1] * l1), store(pa1 + j, r[2] * l0 + r[3] * l1);
                } else {
                    const Quad x0 = c[0].times(b0) + c[1].times(b1);
                    const Quad x1 = c[2].times(b0) + c[3].times(b1);
                    store(pb0 + j, x0), store(pb1 + j, x1);
                    s[0].add(l0, x0), s[1].add(l0, x1), s[2].add(l1, x0), s[3].add(l1, x1);
                    store(pa0 + j, c[0].times(l0) + c[1].times(l1));
                    store(pa1 + j, c[2].times(l0) + c[3].times(l1));
                }
            }
        });
    return {s[0].value(), s[1].value(), s[2].value(), s[3].value()};
}

// The loop of adjoint_runs for the rest: targets 0 and 1, or controls below the target. b0, b1, a0,
// a1 are the halves of a run (target bit 0 and 1) as pairs of doubles; inner runs are contiguous,
// which the compiler vectorises.
template <AdjointShape S>
[[gnu::always_inline]] inline AdjointSums runs(cplx* a, cplx* b, const GateOp& g_inv,
                                               uint64_t begin, uint64_t end) {
    const uint64_t stride = uint64_t{1} << g_inv.targets[0];
    const uint64_t high = g_inv.control_mask & ~(stride - 1),
                   low = g_inv.control_mask & (stride - 1);
    if (low == 0 && stride >= 4) return quad_runs<S>(a, b, g_inv, begin, end);
    const double g[4][2] = {{g_inv.m[0].real(), g_inv.m[0].imag()},
                            {g_inv.m[1].real(), g_inv.m[1].imag()},
                            {g_inv.m[2].real(), g_inv.m[2].imag()},
                            {g_inv.m[3].real(), g_inv.m[3].imag()}};
    Partials s = {};
    auto update = [&](double* b0, double* b1, double* a0, double* a1, uint64_t j, int lane) {
        const double b0r = b0[2 * j], b0i = b0[2 * j + 1], b1r = b1[2 * j], b1i = b1[2 * j + 1];
        const double l0r = a0[2 * j], l0i = a0[2 * j + 1], l1r = a1[2 * j], l1i = a1[2 * j + 1];
        if constexpr (S == AdjointShape::Diagonal) {
            const double x0r = g[0][0] * b0r - g[0][1] * b0i, x0i = g[0][0] * b0i + g[0][1] * b0r;
            const double x1r = g[3][0] * b1r - g[3][1] * b1i, x1i = g[3][0] * b1i + g[3][1] * b1r;
            b0[2 * j] = x0r, b0[2 * j + 1] = x0i, b1[2 * j] = x1r, b1[2 * j + 1] = x1i;
            s[0][lane] += l0r * x0r + l0i * x0i;
            s[1][lane] += l0r * x0i - l0i * x0r;
            s[6][lane] += l1r * x1r + l1i * x1i;
            s[7][lane] += l1r * x1i - l1i * x1r;
            a0[2 * j] = g[0][0] * l0r - g[0][1] * l0i,
                   a0[2 * j + 1] = g[0][0] * l0i + g[0][1] * l0r;
            a1[2 * j] = g[3][0] * l1r - g[3][1] * l1i,
                   a1[2 * j + 1] = g[3][0] * l1i + g[3][1] * l1r;
        } else if constexpr (S == AdjointShape::Real) {
            const double x0r = g[0][0] * b0r + g[1][0] * b1r, x0i = g[0][0] * b0i + g[1][0] * b1i;
            const double x1r = g[2][0] * b0r + g[3][0] * b1r, x1i = g[2][0] * b0i + g[3][0] * b1i;
            b0[2 * j] = x0r, b0[2 * j + 1] = x0i, b1[2 * j] = x1r, b1[2 * j + 1] = x1i;
            s[0][lane] += l0r * x0r + l0i * x0i;
            s[2][lane] += l0r * x1r + l0i * x1i;
            s[4][lane] += l1r * x0r + l1i * x0i;
            s[6][lane] += l1r * x1r + l1i * x1i;
            a0[2 * j] = g[0][0] * l0r + g[1][0] * l1r,
                   a0[2 * j + 1] = g[0][0] * l0i + g[1][0] * l1i;
            a1[2 * j] = g[2][0] * l0r + g[3][0] * l1r,
                   a1[2 * j + 1] = g[2][0] * l0i + g[3][0] * l1i;
        } else {
            const double x0r = g[0][0] * b0r - g[0][1] * b0i + g[1][0] * b1r - g[1][1] * b1i;
            const double x0i = g[0][0] * b0i + g[0][1] * b0r + g[1][0] * b1i + g[1][1] * b1r;
            const double x1r = g[2][0] * b0r - g[2][1] * b0i + g[3][0] * b1r - g[3][1] * b1i;
            const double x1i = g[2][0] * b0i + g[2][1] * b0r + g[3][0] * b1i + g[3][1] * b1r;
            b0[2 * j] = x0r, b0[2 * j + 1] = x0i, b1[2 * j] = x1r, b1[2 * j + 1] = x1i;
            s[0][lane] += l0r * x0r + l0i * x0i;  // conj(l0) x0
            s[1][lane] += l0r * x0i - l0i * x0r;
            s[2][lane] += l0r * x1r + l0i * x1i;  // conj(l0) x1
            s[3][lane] += l0r * x1i - l0i * x1r;
            s[4][lane] += l1r * x0r + l1i * x0i;  // conj(l1) x0
            s[5][lane] += l1r * x0i - l1i * x0r;
            s[6][lane] += l1r * x1r + l1i * x1i;  // conj(l1) x1
            s[7][lane] += l1r * x1i - l1i * x1r;
            a0[2 * j] = g[0][0] * l0r - g[0][1] * l0i + g[1][0] * l1r - g[1][1] * l1i;
            a0[2 * j + 1] = g[0][0] * l0i + g[0][1] * l0r + g[1][0] * l1i + g[1][1] * l1r;
            a1[2 * j] = g[2][0] * l0r - g[2][1] * l0i + g[3][0] * l1r - g[3][1] * l1i;
            a1[2 * j + 1] = g[2][0] * l0i + g[2][1] * l0r + g[3][0] * l1i + g[3][1] * l1r;
        }
    };
    for_each_run(a, b, stride, high, begin, end,
                 [&](double* b0, double* b1, double* a0, double* a1) {
                     for (uint64_t j = 0; j < stride; ++j)
                         if ((j & low) == low) update(b0, b1, a0, a1, j, int(j % kLanes));
                 });
    return total(s);
}

KESTRIX_WIDEST_VECTORS
AdjointSums general_runs(cplx* a, cplx* b, const GateOp& g_inv, uint64_t begin, uint64_t end) {
    return runs<AdjointShape::General>(a, b, g_inv, begin, end);
}

KESTRIX_WIDEST_VECTORS
AdjointSums real_runs(cplx* a, cplx* b, const GateOp& g_inv, uint64_t begin, uint64_t end) {
    return runs<AdjointShape::Real>(a, b, g_inv, begin, end);
}

KESTRIX_WIDEST_VECTORS
AdjointSums diagonal_runs(cplx* a, cplx* b, const GateOp& g_inv, uint64_t begin, uint64_t end) {
    return runs<AdjointShape::Diagonal>(a, b, g_inv, begin, end);
}

bool real(const GateOp& g) {
    for (int k = 0; k < 4; ++k)
        if (g.m[k].imag() != 0) return false;
    return true;
}

bool diagonal(const GateOp& g) { return g.m[1] == cplx(0) && g.m[2] == cplx(0); }

}  // namespace

AdjointShape adjoint_shape(const GateOp& g_inv, std::span<const GateOp> derivatives) {
    bool all_diagonal = diagonal(g_inv), all_real = real(g_inv);
    for (const GateOp& d : derivatives) {
        all_diagonal = all_diagonal && diagonal(d);
        all_real = all_real && real(d);
    }
    return all_diagonal ? AdjointShape::Diagonal
                        : (all_real ? AdjointShape::Real : AdjointShape::General);
}

AdjointSums adjoint_runs(AdjointShape shape, cplx* a, cplx* b, const GateOp& g_inv, uint64_t begin,
                         uint64_t end) {
    switch (shape) {
        case AdjointShape::Diagonal: return diagonal_runs(a, b, g_inv, begin, end);
        case AdjointShape::Real: return real_runs(a, b, g_inv, begin, end);
        case AdjointShape::General: break;
    }
    return general_runs(a, b, g_inv, begin, end);
}

KESTRIX_WIDEST_VECTORS
AdjointSums adjoint_scaled(cplx* a, cplx* b, uint64_t size, uint64_t controls, const GateOp& g_inv,
                           int bit) {
    const cplx f = g_inv.m[3 * bit];
    double* pa = reinterpret_cast<double*>(a);
    double* pb = reinterpret_cast<double*>(b);
    AdjointSums out{};
    if (controls == 0 && size % 4 == 0) {
        const Coefficient c(f);
        QuadSum s;
        for (uint64_t j = 0; j < 2 * size; j += 8) {
            const Quad x = c.times(load(pb + j)), l = load(pa + j);
            store(pb + j, x);
            s.add(l, x);
            store(pa + j, c.times(l));
        }
        out[size_t(3 * bit)] = s.value();
        return out;
    }
    for (uint64_t j = 0; j < size; ++j) {
        if ((j & controls) != controls) continue;
        const cplx x = f * b[j];
        b[j] = x;
        out[size_t(3 * bit)] += std::conj(a[j]) * x;
        a[j] = f * a[j];
    }
    return out;
}

}  // namespace kestrix
