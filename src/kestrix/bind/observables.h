#pragma once
// kestrix.quantum_info's Pauli observables (PauliSum) and expval.
#include <nanobind/nanobind.h>

namespace kestrix::py {

void bind_observables(nanobind::module_& m);

}  // namespace kestrix::py
