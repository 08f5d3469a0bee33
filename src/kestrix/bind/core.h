#pragma once
// The pieces of the kestrix.core module, one file each.
#include <nanobind/nanobind.h>

#include <string>

#include "kestrix/lib/gate.h"

namespace kestrix::py {

void bind_gates(nanobind::module_& m);
void bind_circuits(nanobind::module_& m);
void bind_machine(nanobind::module_& m);
void bind_encode(nanobind::module_& m);

/// The constructor call that rebuilds a gate: "CNOT(0, 1).control([2]).dagger()".
std::string gate_repr(const Gate& gate);

}  // namespace kestrix::py
