#pragma once
// A gate as the Python call that rebuilds it: "RY(1, 0.25)", "CNOT(0, 1).control([2]).dagger()"
// (a UNITARY gate names its matrix's size instead of its entries). Reprs use it, and so do
// messages that must name a gate exactly.
#include <string>

#include "kestrix/lib/ir/gate.h"

namespace kestrix {

std::string gate_text(const Gate& gate);

/// "theta", "2*theta", "-theta + 0.5", "0.5*t[0] - 1.0": the expression as it is typed.
std::string expr_text(const ParamExpr& e);

/// Angle `slot` of a gate: its number, or its expression while a parameter is unbound.
std::string angle_text(const Gate& gate, int slot);

}  // namespace kestrix
