#pragma once
// What a module bound while it loaded, remembered so that it can be recognised later. A
// module may let C++ stand in for documented Python-level steps only while every name those
// steps go through (a module-level name, a method of its class) is still the object bound
// at import: callers may replace any of them, and a replacement must then be called as the
// documentation says. The frame remembers every binding as the module makes it (imports,
// functions, classes and their methods); the module asks Call::is_original and
// is_original_method. Each extension module links its own frame, so each has its own record.
#include <nanobind/nanobind.h>

#include <string>

namespace norvalis::frame {

namespace nb = nanobind;

/// Records `value` as what `name` was bound to at import: a module-level name, or
/// "Class.method" for a method (`is_static` for a static method). A later record of the same
/// name replaces it, as a later binding does. The objects are kept for the life of the
/// process, like the module, and never released.
void remember_original(const std::string& name, nb::handle value, bool is_static = false);

/// The object recorded for `name`; an invalid handle when there is none.
nb::handle original(const char* name);

/// Whether `value` is the object recorded for `name` (a value already read, where reading
/// the name again would cost or change something).
bool is_original(const char* name, nb::handle value);

/// Whether `method`, read from an instance (`self.attr("cir")`), is the class's own method
/// `qualname` ("SVD.cir") as defined at import: that function bound to an instance, and to
/// `self` when `self` is given; for a static method, the function itself.
bool is_original_method(nb::handle method, const char* qualname, nb::handle self = nb::handle());

}  // namespace norvalis::frame
