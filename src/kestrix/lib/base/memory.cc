#include "kestrix/lib/base/memory.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "kestrix/lib/base/errors.h"

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

namespace {

// The kept buffer; while kept, its first bytes hold its size. One atomic pointer, so that
// threads and fork() need no lock.
std::atomic<void*> g_recycled{nullptr};

}  // namespace

void* take_recycled_buffer(size_t bytes) {
    void* kept = g_recycled.exchange(nullptr);
    if (!kept) return nullptr;
    if (*static_cast<size_t*>(kept) == bytes) return kept;
    std::free(kept);
    return nullptr;
}

void recycle_buffer(void* p, size_t bytes) {
    if (bytes > kRecycledBytes || double(bytes) > physical_memory() / 16) return std::free(p);
    *static_cast<size_t*>(p) = bytes;
    if (void* before = g_recycled.exchange(p)) std::free(before);
}

}  // namespace kestrix
