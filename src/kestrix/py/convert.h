#pragma once
// Conversions between Python values and libkestrix types, shared by kestrix.core,
// kestrix.quantum_info and every norvalis module: the one place where a Python value
// becomes a qubit, a count or an angle. Each raises a Python exception that names the
// problem (TypeError for the wrong kind of value, ValueError for a bad one).
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <algorithm>
#include <complex>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "kestrix/lib/base/complex.h"
#include "kestrix/lib/ir/circuit.h"
#include "kestrix/lib/ir/gate.h"

namespace kestrix::py {

namespace nb = nanobind;

/// The Python type name of a value, for error messages.
std::string type_name_of(nb::handle value);

/// Whether `value` is one integer (int or NumPy integer, not a bool) rather than a list.
bool is_integer_scalar(nb::handle value);
/// A qubit or classical-bit index: an int or NumPy integer, non-negative. A bool is
/// refused: True as a qubit is a slip, never an intent.
int to_index(nb::handle value, const char* what);
/// An index, or any iterable of indices (list, tuple, range, NumPy integer array); a
/// single index becomes a one-element list. The items are read once, so a caller may
/// pass a generator.
std::vector<int> to_index_list(nb::handle value, const char* what);
/// A positive count (shots, repetitions): an int or NumPy integer, not a bool.
uint64_t to_count(nb::handle value, const char* what);
/// A count that may be zero (shots of a sample that may ask for none): the same rules.
uint64_t to_count_or_zero(nb::handle value, const char* what);
/// A random seed: None, or an integer from 0 to 2**64 - 1 (not a bool or a float).
std::optional<uint64_t> to_seed(nb::handle value);
/// A state precision: "double" or "single" (TypeError for a non-str, ValueError for
/// another name).
Precision to_precision(nb::handle value);
/// "double" or "single".
const char* precision_name(Precision precision);
/// A real angle (int, float, numpy scalar); NaN and infinities are refused.
double to_angle(nb::handle value, const char* what);

/// A new NumPy array holding a copy of `data`, of the given shape.
template <class T>
nb::ndarray<nb::numpy, T> to_numpy(const T* data, std::initializer_list<size_t> shape) {
    size_t size = 1;
    for (size_t d : shape) size *= d;
    T* copy = new T[std::max<size_t>(size, 1)];
    std::copy(data, data + size, copy);
    nb::capsule owner(copy, [](void* p) noexcept { delete[] static_cast<T*>(p); });
    return nb::ndarray<nb::numpy, T>(copy, shape, owner);
}

/// Finite real numbers from a sequence or 1-D array (TypeError / ValueError naming `what`).
std::vector<double> to_real_list(nb::handle value, const char* what);
/// A 2-D array of finite reals with `columns` columns, row after row; a 1-D one of that
/// length is one row. ValueError naming `what` for another shape.
std::vector<double> to_real_rows(nb::handle value, size_t columns, const char* what);

/// Raises TypeError naming an instance of a kestrix type whose __init__ never ran.
[[noreturn]] void not_initialised(nb::handle value);
/// The C++ object inside `value`, an instance of T (checked by the caller). An instance
/// made by T.__new__ alone holds none: TypeError, where a plain cast would throw.
template <class T>
T& instance(nb::handle value) {
    if (!nb::inst_ready(value)) not_initialised(value);
    return nb::cast<T&>(value);
}

/// The same for an object whose type is known to be exactly T's (not a subclass), without
/// looking the C++ type up.
template <class T>
T& exact_instance(nb::handle value) {
    if (!nb::inst_ready(value)) not_initialised(value);
    return *nb::inst_ptr<T>(value);
}

/// Any array-like of numbers, read through NumPy as a one-dimensional complex vector;
/// ValueError naming `what` for another shape.
std::vector<std::complex<double>> to_complex_vector(nb::handle data, const char* what);

/// Appends a gate, circuit or program held in `item` to `target`; TypeError otherwise.
void append_object(Circuit& target, nb::handle item);
/// The gate, circuit or program held in `item` as a circuit; TypeError otherwise.
Circuit to_circuit(nb::handle item);

}  // namespace kestrix::py
