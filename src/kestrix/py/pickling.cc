#include "kestrix/py/pickling.h"

#include <map>

namespace kestrix::py {

namespace {

// One table per extension module: the binding layer is linked into each.
std::map<char, Loader>& loaders() {
    static auto* table = new std::map<char, Loader>();
    return *table;
}

}  // namespace

void register_loader(char tag, Loader loader) { loaders()[tag] = std::move(loader); }

void bind_loads(nb::module_& m) {
    m.def(
        "_loads",
        [](nb::bytes data) {
            const std::string_view bytes(data.c_str(), data.size());
            auto it = bytes.empty() ? loaders().end() : loaders().find(bytes[0]);
            if (it == loaders().end())
                throw nb::value_error("_loads: these bytes do not hold a pickled kestrix object");
            return it->second(bytes);
        },
        nb::arg("data"), "Rebuilds a pickled object (the inverse of its __reduce__).");
}

}  // namespace kestrix::py
