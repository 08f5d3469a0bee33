#pragma once
// Python-value helpers that the algorithm modules share: the exact-type parameter check,
// truth values, comparisons and membership, the small sequence idioms (wrap a lone value,
// index from the end, slice, unpack a pair) and the arithmetic operators nanobind leaves
// out, done through the object protocol so that any value a caller passes behaves as in
// Python.
#include <nanobind/nanobind.h>

#include <optional>
#include <source_location>
#include <utility>
#include <vector>

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
/// `a op b` (op: Py_LT, Py_LE, Py_EQ, Py_NE, Py_GT, Py_GE) as Python evaluates it: the
/// comparison's own result, an element-wise boolean array when `a` is a NumPy array.
nb::object rich_compare(nb::handle a, nb::handle b, int op);
/// `a op b` as a truth value, read as `x in list` reads equality: an object is equal to
/// itself without its __eq__ being asked (so a NaN equals itself here). Where that matters,
/// as in a NaN check, write truthy(rich_compare(a, b, op)).
bool rich_compare_bool(nb::handle a, nb::handle b, int op);
/// The builtin int, for int(x) and int(text, 2).
nb::handle builtin_int();
/// operator.index(value): the int a value stands for, read through its __index__
/// (TypeError for a value that has none, as range() raises).
nb::object as_index(nb::handle value);
/// An exact int as a C long long (OverflowError beyond its range), for values already
/// checked with check_exact_type.
long long as_long(nb::handle value);
/// float(value), as Python converts it (via __float__ or __index__).
double as_double(nb::handle value);
/// float(value) as a Python float: also parses text, as float("0.25") does.
nb::object as_float(nb::handle value);

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
/// value[start:stop] with bounds that are Python values (None for an omitted one).
nb::object slice_between(nb::handle value, nb::handle start, nb::handle stop);
/// value[:, k]: column k of a two-dimensional array.
nb::object column(nb::handle value, Py_ssize_t k);

/// list(iterable): a new list, which user code run while it is read cannot change.
nb::list as_list(nb::handle iterable);
/// tuple(iterable).
nb::tuple as_tuple(nb::handle iterable);
/// The Python list of these ints (qubit indices, say).
nb::list int_list(const std::vector<int>& values);

/// `first, second = value`, as Python unpacks it: items are read one at a time and
/// reading stops at the third (ValueError "too many values to unpack (expected 2)");
/// TypeError "cannot unpack non-iterable <type> object" when `value` gives no iterator,
/// whatever the reason.
std::pair<nb::object, nb::object> unpack_pair(nb::handle value);
/// `first, second = tuple(value)`: the whole iterable is read before it is counted, and an
/// error raised while reading it passes through, except a TypeError of a value that is
/// neither iterable nor an iterator, which becomes "cannot unpack non-iterable <type>
/// object". The messages on a wrong count are those of unpack_pair.
std::pair<nb::object, nb::object> unpack_pair_whole(nb::handle value);
/// list(set(items)): the distinct items, in the order a set yields them.
nb::object distinct(nb::handle items);
/// len(value).
Py_ssize_t length(nb::handle value);
/// The one-element list [value].
nb::object list_of(nb::handle value);
/// base ** exponent with Python's semantics (int, float or NumPy results alike).
nb::object power(nb::handle base, nb::handle exponent);
/// a @ b.
nb::object matmul(nb::handle a, nb::handle b);
/// abs(value).
nb::object absolute(nb::handle value);

}  // namespace norvalis::frame
