#pragma once
// Loops over amplitude ranges, spread over the OpenMP threads only when asked: small states
// never enter a parallel region (its start-up alone costs more than a tiny circuit).
#include <cstdint>

namespace kestrix {

template <class F>
inline void for_range(uint64_t count, bool parallel, F&& f) {
    if (parallel) {
#pragma omp parallel for schedule(static)
        for (int64_t i = 0; i < int64_t(count); ++i) f(uint64_t(i));
    } else {
        for (uint64_t i = 0; i < count; ++i) f(i);
    }
}

}  // namespace kestrix
