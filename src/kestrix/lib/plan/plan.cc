#include "kestrix/lib/plan/plan.h"

#include "kestrix/lib/plan/fusion.h"

namespace kestrix {

Plan::Plan(const Circuit& circuit, int n, const InterruptCheck& interrupt, bool from_zero)
    : n_(n), schedule_(make_schedule(circuit, n, true, interrupt, from_zero)) {
    if (n >= kFuseMinQubits) schedule_ = fuse(schedule_);
    segments_ = segment(schedule_, n);
}

Plan::Plan(Schedule schedule, int n, std::vector<std::vector<uint32_t>>* sources)
    : n_(n), schedule_(std::move(schedule)) {
    if (n >= kFuseMinQubits) schedule_ = fuse(schedule_, {}, sources);
    segments_ = segment(schedule_, n);
}

void Plan::apply(const Segment& segment, cplx* amps, WorkPoller& poller) const {
    apply_segment(schedule_, segment, amps, n_, poller.interrupt());
    poller.done((uint64_t{1} << n_) * segment.step_count());
}

void Plan::run(cplx* amps, const InterruptCheck& interrupt) const {
    WorkPoller poller(interrupt);
    for (const Segment& s : segments_) apply(s, amps, poller);
}

}  // namespace kestrix
