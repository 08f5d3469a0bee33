#pragma once
// The pieces of the kestrix.core module, one file each.
#include <nanobind/nanobind.h>

namespace kestrix::py {

void bind_parameters(nanobind::module_& m);
void bind_gates(nanobind::module_& m);
void bind_circuits(nanobind::module_& m);
void bind_machine(nanobind::module_& m);
void bind_encode(nanobind::module_& m);

}  // namespace kestrix::py
