#pragma once
// Python-value helpers that the algorithm modules share: the exact-type parameter check,
// truth values and membership, and the small sequence idioms (wrap a lone value, index
// from the end, slice) done through the object protocol so that any sequence a caller
// passes behaves as in Python.
#include <nanobind/nanobind.h>

#include <optional>
#include <source_location>

namespace norvalis::frame {

namespace nb = nanobind;

/// Refuses a value whose type is not exactly `expected` (None too when `allow_none`),
/// with TypeError "Argument '<name>' has incorrect type (expected <type>, got <type>)".
void check_exact_type(nb::handle value, PyTypeObject* expected, const char* name,
                      bool allow_none = false,
                      std::source_location where = std::source_location::current());

/// bool(value), as `if value:` reads it.
bool truthy(nb::handle value);
/// `value in container`.
bool contains(nb::handle container, nb::handle value);
/// The builtin int, for int(x) and int(text, 2).
nb::handle builtin_int();
/// An exact int as a C long long (OverflowError beyond its range), for values already
/// checked with check_exact_type.
long long as_long(nb::handle value);
/// float(value), as Python converts it (via __float__ or __index__).
double as_double(nb::handle value);

/// Whether `value` has a `__len__` attribute.
bool has_len(nb::handle value);
/// `value` itself when it has `__len__`, else the one-element list [value].
nb::object listed(nb::handle value);

/// value[index] through the object protocol (negative indices count from the end).
nb::object item(nb::handle value, Py_ssize_t index);
/// value[start:stop]; an empty optional is an omitted bound.
nb::object slice(nb::handle value, std::optional<Py_ssize_t> start, std::optional<Py_ssize_t> stop);

/// value[:stop] for any stop Python accepts (an int attribute read at call time, ...).
nb::object slice_to(nb::handle value, nb::handle stop);
/// list(set(items)): the distinct items, in the order a set yields them.
nb::object distinct(nb::handle items);
/// len(value).
Py_ssize_t length(nb::handle value);
/// The one-element list [value].
nb::object list_of(nb::handle value);
/// base ** exponent with Python's semantics (int, float or NumPy results alike).
nb::object power(nb::handle base, nb::handle exponent);

}  // namespace norvalis::frame
