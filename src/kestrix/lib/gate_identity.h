#pragma once
// When two gates are the same gate: one definition for Python's == and hash() and for
// anything that compares gates. Controls compare in the order they were added.
#include <cstddef>

#include "gate.h"

namespace kestrix {

/// Same kind, operands, controls, angles (by value, so 0.0 equals -0.0), dagger flag,
/// classical bit and, for UNITARY gates, matrix entries.
bool same_gate(const Gate& a, const Gate& b);

/// A hash consistent with same_gate.
size_t gate_hash(const Gate& g);

}  // namespace kestrix
