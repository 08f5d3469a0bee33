#pragma once
// A circuit made ready to run on states of one width: the one pipeline that a simulation,
// a state's evolution and a circuit's matrix all go through. The circuit is lowered with
// runs of repeated blocks folded (schedule.h), fused from kFuseMinQubits qubits
// (fusion.h), and cut into segments (blocking.h): each a pass over the state, a
// cache-blocked run of steps, or a measurement. The number of segments is the number of
// passes, the figure that decides the time of a wide circuit.
#include <cstddef>
#include <vector>

#include "kestrix/lib/base/interrupt.h"
#include "kestrix/lib/ir/circuit.h"
#include "kestrix/lib/plan/blocking.h"
#include "kestrix/lib/plan/schedule.h"

namespace kestrix {

class Plan {
  public:
    /// Plans `circuit` for an n-qubit state (the circuit must fit in it); `from_zero` when
    /// every run starts from |0...0>, which lets state preparations write their amplitudes
    /// at once. MemoryError when its steps could not fit in memory; Interrupted when
    /// `interrupt` asks while a huge circuit is lowered. A plan for single-precision states
    /// rounds its matrices to float and takes chunks of the same bytes, twice the amplitudes.
    Plan(const Circuit& circuit, int n, const InterruptCheck& interrupt = {},
         bool from_zero = false, Precision precision = Precision::Double);
    /// Plans steps already lowered (fused and blocked as a circuit's would be).
    Plan(Schedule steps, int n) : Plan(std::move(steps), n, nullptr, false) {}

    int num_qubits() const { return n_; }
    Precision precision() const { return precision_; }
    const Schedule& schedule() const { return schedule_; }
    const std::vector<Segment>& segments() const { return segments_; }
    /// Passes over the state one run makes (a measurement counts as one).
    size_t passes() const { return segments_.size(); }

    /// Applies one unitary segment to the amplitudes, counting its work on `poller`, which
    /// polls for an interrupt every so much work (between chunks too).
    void apply(const Segment& segment, cplx* amps, WorkPoller& poller) const;
    /// Applies every segment; the circuit must hold no measurement.
    void run(cplx* amps, const InterruptCheck& interrupt = {}) const;
    /// The same on single-precision amplitudes: the plan must have been made for them.
    void apply(const Segment& segment, cfloat* amps, WorkPoller& poller) const;
    void run(cfloat* amps, const InterruptCheck& interrupt = {}) const;

  private:
    friend class SweepPlan;  // plans once, then writes the matrices that parameters change
    Plan(Schedule schedule, int n, std::vector<std::vector<uint32_t>>* sources, bool from_zero);

    int n_;
    Precision precision_ = Precision::Double;
    Schedule schedule_;
    std::vector<Segment> segments_;
};

}  // namespace kestrix
