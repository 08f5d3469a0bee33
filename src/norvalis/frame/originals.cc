#include "norvalis/frame/originals.h"

#include <functional>
#include <string_view>
#include <unordered_map>

#include "norvalis/frame/function.h"

namespace norvalis::frame {

namespace {

struct Original {
    PyObject* object;  ///< a strong reference, dropped only when a later binding replaces it
    bool is_static;
};

// Names are looked up as string views, so that a fast path's test allocates nothing.
struct NameHash {
    using is_transparent = void;
    size_t operator()(std::string_view name) const { return std::hash<std::string_view>()(name); }
};

using Record = std::unordered_map<std::string, Original, NameHash, std::equal_to<>>;

// Written while the module loads and read by its calls, both under the GIL. Never freed, so
// that interpreter shutdown does not touch it.
Record& originals() {
    static auto* record = new Record();
    return *record;
}

const Original* find(std::string_view name) {
    const Record& record = originals();
    const auto found = record.find(name);
    return found == record.end() ? nullptr : &found->second;
}

}  // namespace

void remember_original(const std::string& name, nb::handle value, bool is_static) {
    Original& entry = originals()[name];
    // A name bound twice while loading: the later binding is the one import leaves.
    Py_XDECREF(entry.object);
    entry = {nb::handle(value).inc_ref().ptr(), is_static};
}

nb::handle original(const char* name) {
    const Original* entry = find(name);
    return entry ? nb::handle(entry->object) : nb::handle();
}

bool is_original(const char* name, nb::handle value) {
    const Original* entry = find(name);
    return entry && value.ptr() == entry->object;
}

bool is_original_method(nb::handle method, const char* qualname, nb::handle self) {
    const Original* entry = find(qualname);
    if (!entry) return false;
    if (entry->is_static) return method.ptr() == entry->object;
    return PyMethod_Check(method.ptr()) && PyMethod_GET_FUNCTION(method.ptr()) == entry->object &&
           (!self.is_valid() || PyMethod_GET_SELF(method.ptr()) == self.ptr());
}

bool Call::is_original(const char* name) const {
    return norvalis::frame::is_original(name, global(name));
}

}  // namespace norvalis::frame
