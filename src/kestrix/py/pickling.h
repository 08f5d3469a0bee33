#pragma once
// Pickling and copying of SDK objects. Each class reduces to (module._loads, (bytes,)),
// the bytes written by libkestrix's codec and tagged by their first byte, so that objects
// travel to other processes (multiprocessing, joblib, Dask) and come back equal.
#include <nanobind/nanobind.h>

#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace kestrix::py {

namespace nb = nanobind;

using Loader = std::function<nb::object(std::string_view)>;

/// Registers how bytes starting with `tag` become an object again.
void register_loader(char tag, Loader loader);

/// Defines `_loads(data)` on `m`: the inverse of every registered class's __reduce__.
void bind_loads(nb::module_& m);

inline nb::bytes to_bytes(const std::string& s) { return nb::bytes(s.data(), s.size()); }

/// __reduce__, __copy__ and __deepcopy__ for `cls`. `encode(const T&)` returns bytes whose
/// first byte is `tag`; `decode(std::string_view)` returns a T. Immutable objects copy to
/// themselves, as tuples do; others to an independent copy.
template <class T, class Encode, class Decode>
void make_picklable(nb::class_<T>& cls, const char* module, char tag, Encode encode, Decode decode,
                    bool immutable) {
    register_loader(tag, [decode](std::string_view bytes) { return nb::cast(decode(bytes)); });
    cls.def("__reduce__", [module, encode](const T& self) {
        nb::object loads = nb::module_::import_(module).attr("_loads");
        return nb::make_tuple(loads, nb::make_tuple(to_bytes(encode(self))));
    });
    if (immutable) {
        cls.def("__copy__", [](nb::handle self) { return nb::borrow(self); });
        cls.def(
            "__deepcopy__", [](nb::handle self, nb::handle) { return nb::borrow(self); },
            nb::arg("memo"));
    } else {
        cls.def("__copy__", [](const T& self) { return T(self); });
        cls.def(
            "__deepcopy__", [](const T& self, nb::handle) { return T(self); }, nb::arg("memo"));
    }
}

}  // namespace kestrix::py
