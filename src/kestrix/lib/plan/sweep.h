#pragma once
// A circuit with parameters planned once for many values: lowering, fusion and cache
// blocking are done at the first value, and each new one writes again only the matrices
// of the gates that depend on a parameter and of the fused blocks that hold them. A sweep
// over a thousand values costs a thousand runs, not a thousand plans.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kestrix/lib/plan/fusion.h"
#include "kestrix/lib/plan/plan.h"

namespace kestrix {

/// One angle of the circuit that depends on a parameter: angle `slot` of the gate of
/// symbolic step `step`, equal to scale * values[column] + offset.
struct AngleSlot {
    uint32_t step = 0;  ///< index into SweepPlan::symbolic()
    int slot = 0;
    uint32_t column = 0;
    double scale = 1;
    double offset = 0;
};

class SweepPlan {
  public:
    /// Plans `circuit` for an n-qubit state, its parameters read in the order of
    /// `parameters` (ValueError when the circuit has one that is not listed).
    SweepPlan(const Circuit& circuit, int n, std::vector<Parameter> parameters,
              const InterruptCheck& interrupt = {}, bool from_zero = false);

    /// The plan with `values` bound, one per parameter (ValueError for another count or a
    /// value that makes an angle not finite). With `shift`, angle shift->first is moved by
    /// shift->second (parameter-shift rules move one angle, not the parameter). Valid
    /// until the next call.
    const Plan& at(std::span<const double> values,
                   std::optional<std::pair<size_t, double>> shift = std::nullopt);

    /// The plan as made, at angles of no special value: its passes are every value's.
    const Plan& planned() const { return plan_; }
    size_t num_parameters() const { return parameters_.size(); }
    const std::vector<AngleSlot>& slots() const { return slots_; }
    const std::vector<SymbolicStep>& symbolic() const { return symbolic_; }
    /// The lowered steps before fusion, as at() last wrote them: for methods that walk
    /// the circuit gate by gate (gradients).
    const Schedule& steps() const { return steps_; }

  private:
    Circuit circuit_;
    std::vector<Parameter> parameters_;
    bool from_zero_;
    std::vector<SymbolicStep> symbolic_;
    /// Each symbolic step's gate without its expressions, its angles written by at(): no
    /// copy per value (copying the expressions' shared pointer is an atomic write that
    /// threads sweeping the same circuit would contend for).
    std::vector<Gate> bound_;
    std::vector<AngleSlot> slots_;
    Schedule steps_;
    std::vector<std::vector<uint32_t>> sources_;  ///< per fused block (fusion's record)
    Plan plan_;
    /// Blocks of the fused plan that hold a symbolic step, with the steps they came from.
    std::vector<std::pair<uint32_t, Refill>> refreshed_;
    std::optional<Plan> fallback_;  ///< when values break the fused shape (see refill)
};

}  // namespace kestrix
