// Run-time choice of the kernel variant: the package runs on any x86-64 and still uses
// AVX2 + FMA, or AVX-512, where the CPU has them.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kestrix/lib/kernels.h"

#define KESTRIX_KERNEL_VARIANT generic
#include "kestrix/lib/kernels_variant.h"
#undef KESTRIX_KERNEL_VARIANT

#ifdef KESTRIX_HAVE_AVX2_KERNELS
#define KESTRIX_KERNEL_VARIANT avx2
#include "kestrix/lib/kernels_variant.h"
#undef KESTRIX_KERNEL_VARIANT
#endif

#ifdef KESTRIX_HAVE_AVX512_KERNELS
#define KESTRIX_KERNEL_VARIANT avx512
#include "kestrix/lib/kernels_variant.h"
#undef KESTRIX_KERNEL_VARIANT
#endif

namespace kestrix {

namespace {

#define KESTRIX_KERNEL_SET(ns, supported)                                              \
    KernelSet {                                                                        \
#ns, supported, ns::apply_dense, ns::apply_dense_per_lane, ns::apply_diagonal, \
            ns::apply_1q, ns::apply_2q, ns::lane_qubits                                \
    }

std::vector<KernelSet> compiled_variants() {
    std::vector<KernelSet> variants = {KESTRIX_KERNEL_SET(generic, true)};
#ifdef KESTRIX_HAVE_AVX2_KERNELS
    variants.push_back(
        KESTRIX_KERNEL_SET(avx2, __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")));
#endif
#ifdef KESTRIX_HAVE_AVX512_KERNELS
    variants.push_back(KESTRIX_KERNEL_SET(
        avx512, __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                    __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("fma")));
#endif
    return variants;
}

// The widest variant this CPU runs, or the one KESTRIX_KERNELS names if it runs here.
const KernelSet& pick() {
    const std::span<const KernelSet> all = kernel_variants();
    const KernelSet* best = &all[0];
    for (const KernelSet& k : all)
        if (k.supported) best = &k;
    if (const char* wanted = std::getenv("KESTRIX_KERNELS")) {
        for (const KernelSet& k : all)
            if (k.supported && std::strcmp(k.name, wanted) == 0) best = &k;
    }
    return *best;
}

const KernelSet& chosen() {
    static const KernelSet& set = pick();
    return set;
}

}  // namespace

std::span<const KernelSet> kernel_variants() {
    static const std::vector<KernelSet> variants = compiled_variants();
    return variants;
}

void apply_dense(cplx* a, int n, const int* qubits, int k, uint64_t cmask, uint64_t cvals,
                 const cplx* m) {
    chosen().apply_dense(a, n, qubits, k, cmask, cvals, m);
}

void apply_dense_per_lane(cplx* a, int n, const int* qubits, int k, uint64_t cmask, uint64_t cvals,
                          const cplx* const* lane_matrices) {
    chosen().apply_dense_per_lane(a, n, qubits, k, cmask, cvals, lane_matrices);
}

void apply_diagonal(cplx* a, int n, const int* qubits, int k, uint64_t fmask, uint64_t fvals,
                    const cplx* d) {
    chosen().apply_diagonal(a, n, qubits, k, fmask, fvals, d);
}

void apply_1q(cplx* a, int n, int t, uint64_t cmask, uint64_t cvals, const cplx* m) {
    chosen().apply_1q(a, n, t, cmask, cvals, m);
}

void apply_2q(cplx* a, int n, int t0, int t1, uint64_t cmask, uint64_t cvals, const cplx* m) {
    chosen().apply_2q(a, n, t0, t1, cmask, cvals, m);
}

const char* kernel_variant() { return chosen().name; }

int kernel_lane_qubits() { return chosen().lane_qubits(); }

}  // namespace kestrix
