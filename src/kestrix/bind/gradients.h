#pragma once
// kestrix.quantum_info.gradient.
#include <nanobind/nanobind.h>

namespace kestrix::py {

void bind_gradients(nanobind::module_& m);

}  // namespace kestrix::py
