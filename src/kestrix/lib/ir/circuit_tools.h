#pragma once
// What users ask of a circuit beside running it: equality by content, depth and a count of
// each kind of gate. All of them see the gates in execution order, blocks expanded.
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "kestrix/lib/base/interrupt.h"
#include "kestrix/lib/ir/circuit.h"

namespace kestrix {

// Each walks the expanded gates, which may be billions for a small circuit appended to
// itself: `interrupt` is polled every few thousand gates (Interrupted when it says stop).

/// Whether both circuits run equal gates in the same order.
bool same_gates(const Circuit& a, const Circuit& b, const InterruptCheck& interrupt = {});

/// The number of layers: a gate starts after every earlier gate that shares a qubit
/// (controls included) or a classical bit with it. Barriers line their qubits up but add
/// no layer of their own.
size_t depth(const Circuit& circuit, const InterruptCheck& interrupt = {});

/// (gate name, count), most frequent first; equal counts in order of first appearance.
std::vector<std::pair<std::string, size_t>> count_ops(const Circuit& circuit,
                                                      const InterruptCheck& interrupt = {});

}  // namespace kestrix
