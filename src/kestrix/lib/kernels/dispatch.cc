// Run-time choice of the kernel variant: the package runs on any x86-64 and still uses
// AVX2 + FMA, or AVX-512, where the CPU has them.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kestrix/lib/kernels/kernels.h"

#define KESTRIX_KERNEL_VARIANT generic
#include "kestrix/lib/kernels/variant.h"
#undef KESTRIX_KERNEL_VARIANT

#ifdef KESTRIX_HAVE_AVX2_KERNELS
#define KESTRIX_KERNEL_VARIANT avx2
#include "kestrix/lib/kernels/variant.h"
#undef KESTRIX_KERNEL_VARIANT
#endif

#ifdef KESTRIX_HAVE_AVX512_KERNELS
#define KESTRIX_KERNEL_VARIANT avx512
#include "kestrix/lib/kernels/variant.h"
#undef KESTRIX_KERNEL_VARIANT
#endif

namespace kestrix {

namespace {

std::vector<KernelSet> compiled_variants() {
    std::vector<KernelSet> variants = {generic::kernel_set(true)};
#ifdef KESTRIX_HAVE_AVX2_KERNELS
    variants.push_back(
        avx2::kernel_set(__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")));
#endif
#ifdef KESTRIX_HAVE_AVX512_KERNELS
    variants.push_back(avx512::kernel_set(
        __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
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

#define KESTRIX_FORWARD_KERNEL(name, parameters, arguments) \
    void name parameters { chosen().name arguments; }
KESTRIX_KERNEL_ENTRIES(KESTRIX_FORWARD_KERNEL, cplx)
#undef KESTRIX_FORWARD_KERNEL
#define KESTRIX_FORWARD_KERNEL(name, parameters, arguments) \
    void name parameters { chosen().single.name arguments; }
KESTRIX_KERNEL_ENTRIES(KESTRIX_FORWARD_KERNEL, cfloat)

const char* kernel_variant() { return chosen().name; }

template <>
int kernel_lane_qubits<cplx>() {
    return chosen().lane_qubits();
}

template <>
int kernel_lane_qubits<cfloat>() {
    return chosen().single.lane_qubits();
}

}  // namespace kestrix
