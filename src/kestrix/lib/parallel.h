#pragma once
// Loops over amplitude ranges, spread over the engine's threads only when asked: small
// states never wake a thread (doing so costs more than a tiny circuit).
#include <algorithm>
#include <cstdint>

#include "kestrix/lib/thread_pool.h"

namespace kestrix {

/// Calls f(i) for every i in [0, count); with `parallel`, each thread takes one contiguous
/// share of the range.
template <class F>
inline void for_range(uint64_t count, bool parallel, F&& f) {
    const int workers = parallel ? int(std::min<uint64_t>(count, thread_count())) : 1;
    if (workers <= 1) {
        for (uint64_t i = 0; i < count; ++i) f(i);
        return;
    }
    run_on_workers(workers, [&](int w) {
        const uint64_t begin = count * uint64_t(w) / uint64_t(workers);
        const uint64_t end = count * uint64_t(w + 1) / uint64_t(workers);
        for (uint64_t i = begin; i < end; ++i) f(i);
    });
}

}  // namespace kestrix
