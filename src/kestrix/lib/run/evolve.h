#pragma once
// Running a circuit without measurements on states: one state in place, or every basis
// state for the circuit's matrix. Both go through the engine's one pipeline (plan.h).
#include <vector>

#include "kestrix/lib/base/interrupt.h"
#include "kestrix/lib/ir/circuit.h"
#include "kestrix/lib/run/statevector.h"

namespace kestrix {

/// Applies every gate of a circuit without measurements to `state` (ValueError for one
/// that measures, IndexError for one wider than the state). Interrupted when `interrupt`
/// asks (polled about every kPollWork amplitude updates); the state is then partly
/// evolved. `from_zero` says the state is |0...0>: state preparations then write their
/// amplitudes at once.
void apply_circuit(StateVector& state, const Circuit& circuit, const InterruptCheck& interrupt = {},
                   bool from_zero = false);

/// The 2^n x 2^n matrix of a circuit without measurements, row-major, index bit k = qubit
/// k. Interrupted when `interrupt` asks (polled at least once per column). In `precision`
/// Single each column is computed on a single-precision state (its entries are floats).
std::vector<cplx> circuit_matrix(const Circuit& circuit, int n,
                                 const InterruptCheck& interrupt = {},
                                 Precision precision = Precision::Double);

}  // namespace kestrix
