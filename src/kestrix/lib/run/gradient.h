#pragma once
// Gradients of an expectation value <psi(x)|H|psi(x)> with respect to a circuit's
// parameters x. The adjoint method is exact and goes back over the state once per run of
// gates that fit a cache chunk (a few passes per layer of an ansatz), however many
// parameters there are; parameter-shift rules run
// the circuit at shifted angles, the way hardware estimates gradients, with or without
// shots.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "kestrix/lib/base/interrupt.h"
#include "kestrix/lib/plan/sweep.h"
#include "kestrix/lib/run/pauli.h"
#include "kestrix/lib/run/sampling.h"
#include "kestrix/lib/run/statevector.h"
#include "kestrix/lib/run/sweep.h"

namespace kestrix {

struct ValueAndGradient {
    double value = 0;
    std::vector<double> gradient;  ///< one entry per parameter, in the sweep's order
};

/// Exact value and gradient at `values`, by the adjoint method: the state is run forward
/// once, then back gate by gate beside H|psi>. The plan must have been made without
/// `from_zero` (every step is undone on the way back), over at least the observable's
/// qubits, for a circuit without measurements.
ValueAndGradient adjoint_gradient(const PauliSum& observable, SweepPlan& plan,
                                  std::span<const double> values,
                                  const InterruptCheck& interrupt = {});

/// The same for any observable H: `observe(psi, h_psi)` writes H|psi> into h_psi (a state
/// of psi's width) and returns <psi|H|psi>.
using Observe = std::function<double(const StateVector& psi, StateVector& h_psi)>;
ValueAndGradient adjoint_gradient(const Observe& observe, SweepPlan& plan,
                                  std::span<const double> values,
                                  const InterruptCheck& interrupt = {});

/// Value and gradient by parameter-shift rules: two runs per angle at +-pi/2 for gates
/// whose generator has two eigenvalues (uncontrolled rotations, phase gates controlled or
/// not), four at +-pi/2 and +-3pi/2 for controlled rotations, whose generator has three.
/// With `shots`, every expectation value is the estimate from that many measurements per
/// term, drawn from `rng`; without, it is exact.
ValueAndGradient shift_gradient(const PauliSum& observable, SweepPlan& plan,
                                std::span<const double> values, std::optional<uint64_t> shots,
                                Rng& rng, const InterruptCheck& interrupt = {});

enum class GradientMethod { Adjoint, ParameterShift };

/// The value and gradient at every row of `rows` over an n-qubit state, spread over the
/// threads as for_each_row spreads them; with `shots` (parameter shift only), row i
/// samples with Rng(seeds[i]).
std::vector<ValueAndGradient> gradients(const PauliSum& observable, const Circuit& circuit, int n,
                                        const ParameterRows& rows, GradientMethod method,
                                        std::optional<uint64_t> shots = std::nullopt,
                                        std::span<const uint64_t> seeds = {},
                                        const InterruptCheck& interrupt = {});

}  // namespace kestrix
