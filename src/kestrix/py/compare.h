#pragma once
// Value equality for SDK classes: == compares content, as users mean it (a pickled object
// comes back equal). Immutable classes hash consistently with it; mutable ones are
// unhashable, as lists are.
#include <nanobind/nanobind.h>

#include "kestrix/py/convert.h"

namespace kestrix::py {

namespace nb = nanobind;

/// __eq__ through `equal(const T&, const T&)`; another type gives NotImplemented.
template <class T, class Equal>
void def_equality(nb::class_<T>& cls, Equal equal) {
    cls.def(
        "__eq__",
        [equal](const T& a, nb::handle b) -> nb::object {
            if (!nb::isinstance<T>(b)) return nb::borrow(Py_NotImplemented);
            return nb::bool_(equal(a, instance<T>(b)));
        },
        nb::arg("other").none(), nb::sig("def __eq__(self, other: object) -> bool"));
}

/// Value equality for a mutable class: equal objects may become unequal, so no hash.
template <class T, class Equal>
void make_comparable(nb::class_<T>& cls, Equal equal) {
    def_equality(cls, equal);
    cls.attr("__hash__") = nb::none();
}

/// Value equality for an immutable class, with `hash(const T&)` equal for equal objects.
template <class T, class Equal, class Hash>
void make_comparable(nb::class_<T>& cls, Equal equal, Hash hash) {
    def_equality(cls, equal);
    cls.def("__hash__", [hash](const T& self) { return Py_hash_t(hash(self)); });
}

}  // namespace kestrix::py
