#pragma once
// Loops over amplitude ranges, spread over the engine's threads only when asked: small
// states never wake a thread (doing so costs more than a tiny circuit).
#include <algorithm>
#include <cstdint>

#include "kestrix/lib/base/thread_pool.h"

namespace kestrix {

/// Pieces per thread a parallel loop is cut into: enough that a thread kept off its core
/// by another process holds up a pass by a few percent, few enough that handing them out
/// costs nothing next to the work.
constexpr uint64_t kPiecesPerThread = 16;

/// Calls f(begin, end) on consecutive subranges that together cover [0, count) once;
/// with `parallel`, the subranges are spread over the engine's threads, unless the caller
/// is already one piece of a parallel loop (a cache chunk), which then takes them all.
template <class F>
inline void for_subranges(uint64_t count, bool parallel, F&& f) {
    const uint64_t pieces =
        parallel && !inside_worker()
            ? std::min<uint64_t>(count, kPiecesPerThread * uint64_t(thread_count()))
            : 1;
    if (pieces <= 1) {
        if (count) f(uint64_t{0}, count);
        return;
    }
    run_pieces(pieces, thread_count(),
               [&](uint64_t p, int) { f(count * p / pieces, count * (p + 1) / pieces); });
}

/// Calls f(i) for every i in [0, count); with `parallel`, spread over the engine's threads.
template <class F>
inline void for_range(uint64_t count, bool parallel, F&& f) {
    for_subranges(count, parallel, [&](uint64_t begin, uint64_t end) {
        for (uint64_t i = begin; i < end; ++i) f(i);
    });
}

}  // namespace kestrix
