#pragma once
// Conversions between Python values and libkestrix types, shared by kestrix.core,
// kestrix.quantum_info and every norvalis module. Each raises a Python exception that
// names the problem (TypeError for the wrong kind of value, ValueError for a bad one).
#include <nanobind/nanobind.h>

#include <string>
#include <vector>

#include "kestrix/lib/circuit.h"
#include "kestrix/lib/gate.h"

namespace kestrix::py {

namespace nb = nanobind;

/// The Python type name of a value, for error messages.
std::string type_name_of(nb::handle value);

/// A qubit or classical-bit index: an integer (int, numpy integer), non-negative.
int to_index(nb::handle value, const char* what);
/// An index or a sequence of indices; a single index becomes a one-element list.
std::vector<int> to_index_list(nb::handle value, const char* what);
/// A real angle (int, float, numpy scalar); NaN and infinities are refused.
double to_angle(nb::handle value, const char* what);

/// Appends a gate, circuit or program held in `item` to `target`; TypeError otherwise.
void append_object(Circuit& target, nb::handle item);

/// Maps libkestrix's error types onto Python's builtin exceptions (idempotent).
void register_exceptions();

}  // namespace kestrix::py
