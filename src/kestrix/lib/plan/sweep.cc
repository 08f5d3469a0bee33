#include "kestrix/lib/plan/sweep.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/plan/fusion.h"

namespace kestrix {

SweepPlan::SweepPlan(const Circuit& circuit, int n, std::vector<Parameter> parameters,
                     const InterruptCheck& interrupt, bool from_zero)
    : circuit_(circuit),
      parameters_(std::move(parameters)),
      from_zero_(from_zero),
      steps_(make_schedule(circuit, n, true, interrupt, from_zero, &symbolic_)),
      plan_(Schedule(steps_), n, &sources_, from_zero) {
    for (uint32_t i = 0; i < symbolic_.size(); ++i) {
        for (const Symbol& s : *symbolic_[i].gate.symbols) {
            auto at = std::find_if(parameters_.begin(), parameters_.end(),
                                   [&](const Parameter& p) { return p->id == s.expr.param->id; });
            if (at == parameters_.end()) {
                throw ValueError("parameter '" + s.expr.param->name +
                                 "' of the circuit is not among the parameters given values");
            }
            slots_.push_back(AngleSlot{i, s.slot, uint32_t(at - parameters_.begin()), s.expr.scale,
                                       s.expr.offset});
        }
    }
    for (const SymbolicStep& s : symbolic_) {
        bound_.push_back(s.gate);
        bound_.back().symbols = nullptr;
    }
    std::vector<bool> is_symbolic(steps_.steps.size(), false);
    for (const SymbolicStep& s : symbolic_) is_symbolic[s.step] = true;
    for (uint32_t b = 0; b < sources_.size(); ++b) {
        const std::vector<uint32_t>& from = sources_[b];
        if (std::any_of(from.begin(), from.end(), [&](uint32_t i) { return is_symbolic[i]; }))
            refreshed_.emplace_back(b, Refill(steps_, from, plan_.schedule_.blocks[b]));
    }
    sources_.clear();
}

const Plan& SweepPlan::at(std::span<const double> values,
                          std::optional<std::pair<size_t, double>> shift) {
    if (values.size() != parameters_.size()) {
        throw ValueError("expected " + std::to_string(parameters_.size()) +
                         " parameter values, got " + std::to_string(values.size()));
    }
    // Every symbolic gate with its angles written, lowered again in place.
    size_t k = 0;
    for (size_t i = 0; i < symbolic_.size(); ++i) {
        const SymbolicStep& sym = symbolic_[i];
        Gate& g = bound_[i];
        for (; k < slots_.size() && slots_[k].step == i; ++k) {
            const AngleSlot& slot = slots_[k];
            double angle = slot.scale * values[slot.column] + slot.offset;
            if (shift && shift->first == k) angle += shift->second;
            if (!std::isfinite(angle)) {
                throw ValueError("the value of parameter '" + parameters_[slot.column]->name +
                                 "' makes an angle that is not finite");
            }
            g.params[slot.slot] = angle;
        }
        lower_op(g, sym.controls, sym.dagger, steps_.steps[sym.step].gate);
    }
    fallback_.reset();
    Schedule& planned = plan_.schedule_;
    if (plan_.num_qubits() < kFuseMinQubits) {
        // Not fused: the plan runs the lowered steps themselves.
        for (const SymbolicStep& sym : symbolic_)
            planned.steps[sym.step].gate = steps_.steps[sym.step].gate;
        return plan_;
    }
    for (const auto& [block, recipe] : refreshed_) {
        if (!refill(steps_, recipe, planned.blocks[block])) {
            // These values break the fused shape: plan them afresh, from the steps as
            // lowered now, for this call only.
            fallback_.emplace(Plan(Schedule(steps_), plan_.num_qubits(), nullptr, from_zero_));
            return *fallback_;
        }
    }
    return plan_;
}

}  // namespace kestrix
