#pragma once
// kestrix.quantum_info's Pauli observables (PauliSum) and expval.
#include <nanobind/nanobind.h>

#include "kestrix/lib/run/pauli.h"

namespace kestrix::py {

void bind_observables(nanobind::module_& m);

/// The observable expval takes: a PauliSum as it is, or a Pauli label read into `holder`;
/// TypeError otherwise.
const PauliSum& as_observable(nanobind::handle value, PauliSum& holder);

}  // namespace kestrix::py
