#include "kestrix/lib/memory.h"

#include <unistd.h>

#include <cstdio>

#include "kestrix/lib/errors.h"

namespace kestrix {

double physical_memory() {
    static const double memory =
        static_cast<double>(sysconf(_SC_PHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGESIZE));
    return memory;
}

std::string gib_text(double bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g GiB", bytes / double(1 << 30));
    return text;
}

void check_memory(double bytes, const std::string& what) {
    if (bytes > physical_memory()) {
        throw MemoryError(what + " needs " + gib_text(bytes) + ", more than this machine's " +
                          gib_text(physical_memory()) + " of memory");
    }
}

}  // namespace kestrix
