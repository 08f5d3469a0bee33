#include "kestrix/lib/base/memory.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "kestrix/lib/base/errors.h"

namespace kestrix {

namespace {

double machine_memory() {
    static const double memory =
        static_cast<double>(sysconf(_SC_PHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGESIZE));
    return memory;
}

// The lowest of the limits set on this process; infinity when none is.
double limit_on_process() {
    double limit = HUGE_VAL;
    for (int resource : {RLIMIT_AS, RLIMIT_DATA}) {
        rlimit r{};
        if (getrlimit(resource, &r) == 0 && r.rlim_cur != RLIM_INFINITY)
            limit = std::min(limit, double(r.rlim_cur));
    }
    // The container's limit, as cgroup v2 and v1 write it ("max" or a huge number: none).
    for (const char* path :
         {"/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory/memory.limit_in_bytes"}) {
        std::ifstream file(path);
        double bytes = 0;
        if (file >> bytes && bytes > 0) limit = std::min(limit, bytes);
    }
    return limit;
}

}  // namespace

double usable_memory() {
    static const double memory = std::min(machine_memory(), limit_on_process());
    return memory;
}

std::string gib_text(double bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g GiB", bytes / double(1 << 30));
    return text;
}

void check_memory(double bytes, const std::string& what) {
    if (bytes <= usable_memory()) return;
    const std::string memory = gib_text(usable_memory());
    throw MemoryError(what + " needs " + gib_text(bytes) + ", more than " +
                      (usable_memory() < machine_memory()
                           ? "the " + memory + " of memory this process may use"
                           : "this machine's " + memory + " of memory"));
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
    if (bytes > kRecycledBytes || double(bytes) > usable_memory() / 16) return std::free(p);
    *static_cast<size_t*>(p) = bytes;
    if (void* before = g_recycled.exchange(p)) std::free(before);
}

}  // namespace kestrix
