// Runtime choice of the kernel variant: the package runs on any x86-64 and still uses AVX2
// and FMA where the CPU has them.
#include "kestrix/lib/kernels.h"

#define KESTRIX_KERNEL_VARIANT generic
#include "kestrix/lib/kernels_variant.h"
#undef KESTRIX_KERNEL_VARIANT

#ifdef KESTRIX_HAVE_AVX2_KERNELS
#define KESTRIX_KERNEL_VARIANT avx2
#include "kestrix/lib/kernels_variant.h"
#undef KESTRIX_KERNEL_VARIANT
#endif

namespace kestrix {

namespace {

bool use_avx2() {
#ifdef KESTRIX_HAVE_AVX2_KERNELS
    static const bool supported = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return supported;
#else
    return false;
#endif
}

}  // namespace

#ifdef KESTRIX_HAVE_AVX2_KERNELS
#define KESTRIX_DISPATCH(call) return use_avx2() ? avx2::call : generic::call
#else
#define KESTRIX_DISPATCH(call) return generic::call
#endif

void apply_dense(cplx* a, int n, const int* qubits, int k, uint64_t cmask, const cplx* m) {
    KESTRIX_DISPATCH(apply_dense(a, n, qubits, k, cmask, m));
}

void apply_diagonal(cplx* a, int n, const int* qubits, int k, const cplx* d) {
    KESTRIX_DISPATCH(apply_diagonal(a, n, qubits, k, d));
}

void apply_1q(cplx* a, int n, int t, uint64_t cmask, const cplx* m) {
    KESTRIX_DISPATCH(apply_1q(a, n, t, cmask, m));
}

void apply_2q(cplx* a, int n, int t0, int t1, uint64_t cmask, const cplx* m) {
    KESTRIX_DISPATCH(apply_2q(a, n, t0, t1, cmask, m));
}

const char* kernel_variant() { return use_avx2() ? "avx2" : "generic"; }

}  // namespace kestrix
