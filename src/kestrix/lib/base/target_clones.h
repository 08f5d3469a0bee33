#pragma once
// Hot loops outside the kernels (which are compiled once per instruction set and chosen by
// dispatch) compiled for AVX-512 and for AVX2 with FMA and POPCNT as well as the baseline;
// the widest this CPU runs is chosen when the library loads.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define KESTRIX_WIDEST_VECTORS \
    __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#else
#define KESTRIX_WIDEST_VECTORS
#endif
