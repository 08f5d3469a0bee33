#pragma once
// A gate as the Python call that rebuilds it: "RY(1, 0.25)", "CNOT(0, 1).control([2]).dagger()"
// (a UNITARY gate names its matrix's size instead of its entries). Reprs use it, and so do
// messages that must name a gate exactly.
#include <string>

#include "kestrix/lib/ir/gate.h"

namespace kestrix {

std::string gate_text(const Gate& gate);

}  // namespace kestrix
