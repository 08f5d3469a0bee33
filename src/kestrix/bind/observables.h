#pragma once
// kestrix.quantum_info's Pauli observables (PauliSum) and expval.
#include <nanobind/nanobind.h>

#include "kestrix/lib/run/pauli.h"

namespace kestrix::py {

void bind_observables(nanobind::module_& m);

/// The observable an argument names: a PauliSum as it is, or one Pauli label parsed into
/// `holder`. TypeError otherwise.
const PauliSum& as_observable(nanobind::handle value, PauliSum& holder);

}  // namespace kestrix::py
