#include "kestrix/lib/plan/plan.h"

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/plan/fusion.h"

namespace kestrix {

namespace {

// A chunk of single-precision amplitudes takes half the bytes: one more qubit fills the
// same cache, so every chunked pass takes steps over twice the amplitudes.
int chunk_qubits(int n, Precision precision) {
    if (precision == Precision::Double) return 0;
    return 1 + (n > kLargeStateQubits + 1 ? kLargeStateChunkQubits : kChunkQubits);
}

}  // namespace

Plan::Plan(const Circuit& circuit, int n, const InterruptCheck& interrupt, bool from_zero,
           Precision precision)
    : n_(n),
      precision_(precision),
      schedule_(make_schedule(circuit, n, true, interrupt, from_zero)) {
    if (n >= kFuseMinQubits) schedule_ = fuse(schedule_);
    segments_ = segment(schedule_, n, chunk_qubits(n, precision));
    if (from_zero) mark_zero_prefix(schedule_, segments_, n);
    if (precision == Precision::Single) schedule_.round_to_single();
}

Plan::Plan(Schedule schedule, int n, std::vector<std::vector<uint32_t>>* sources, bool from_zero)
    : n_(n), schedule_(std::move(schedule)) {
    if (n >= kFuseMinQubits) schedule_ = fuse(schedule_, {}, sources);
    segments_ = segment(schedule_, n);
    if (from_zero) mark_zero_prefix(schedule_, segments_, n);
}

void Plan::apply(const Segment& segment, cplx* amps, WorkPoller& poller) const {
    apply_segment(schedule_, segment, amps, n_, poller.interrupt());
    poller.done((uint64_t{1} << n_) * segment.step_count());
}

void Plan::run(cplx* amps, const InterruptCheck& interrupt) const {
    WorkPoller poller(interrupt);
    for (const Segment& s : segments_) apply(s, amps, poller);
}

void Plan::apply(const Segment& segment, cfloat* amps, WorkPoller& poller) const {
    if (precision_ != Precision::Single)
        throw ValueError("this plan was made for double-precision states");
    apply_segment(schedule_, segment, amps, n_, poller.interrupt());
    poller.done((uint64_t{1} << n_) * segment.step_count());
}

void Plan::run(cfloat* amps, const InterruptCheck& interrupt) const {
    WorkPoller poller(interrupt);
    for (const Segment& s : segments_) apply(s, amps, poller);
}

}  // namespace kestrix
