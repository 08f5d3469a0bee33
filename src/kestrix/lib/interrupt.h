#pragma once
// How a long computation learns that it should stop (Ctrl-C in Python): a callback it
// polls every so much work, throwing Interrupted when the callback says so.
#include <cstdint>
#include <functional>

namespace kestrix {

/// Returns true when a long run should stop.
using InterruptCheck = std::function<bool()>;

/// Amplitude updates (or gates walked) between two polls: a few milliseconds of work.
constexpr uint64_t kPollWork = uint64_t{1} << 22;

}  // namespace kestrix
