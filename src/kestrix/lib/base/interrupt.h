#pragma once
// How a long computation learns that it should stop (Ctrl-C in Python): a callback it
// polls every so much work, throwing Interrupted when the callback says so.
#include <cstdint>
#include <functional>

#include "kestrix/lib/base/errors.h"

namespace kestrix {

/// Returns true when a long run should stop.
using InterruptCheck = std::function<bool()>;

/// Amplitude updates (or gates walked) between two polls: a few milliseconds of work.
constexpr uint64_t kPollWork = uint64_t{1} << 22;

/// Counts work as it is done and polls `interrupt` (when there is one) each time another
/// kPollWork has been done, throwing Interrupted when it says stop.
class WorkPoller {
  public:
    explicit WorkPoller(const InterruptCheck& interrupt) : interrupt_(interrupt) {}

    void done(uint64_t work) {
        work_ += work;
        if (work_ < kPollWork || !interrupt_) return;
        work_ = 0;
        if (interrupt_()) throw Interrupted();
    }

    const InterruptCheck& interrupt() const { return interrupt_; }

  private:
    const InterruptCheck& interrupt_;
    uint64_t work_ = 0;
};

}  // namespace kestrix
