#pragma once
// The SDK as a module's C++ code uses it: gates on qubits that arrive as Python values,
// Python objects turned into circuits, and programs run the way CPUQVM.run runs them
// (NumPy-drawn seeds, the GIL released for long runs, Ctrl-C honoured).
#include <nanobind/nanobind.h>

#include "kestrix/lib/ir/circuit.h"
#include "kestrix/lib/ir/program.h"
#include "kestrix/py/convert.h"
#include "kestrix/py/run.h"

namespace norvalis::frame {

namespace nb = nanobind;

/// A one-qubit gate without angles (H, X, Z, ...) on a qubit given as a Python value.
inline kestrix::Gate gate_on(kestrix::GateKind kind, nb::handle qubit) {
    return kestrix::make_gate(kind, {kestrix::py::to_index(qubit, "qubit")});
}

/// What a user's callable returned (a gate, circuit or program), appended to `target`.
inline void append(kestrix::Circuit& target, nb::handle item) {
    kestrix::py::append_object(target, item);
}

}  // namespace norvalis::frame
