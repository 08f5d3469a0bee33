#pragma once
// What fits in this machine's memory. A state, or a circuit expanded gate by gate, that
// could never fit is refused up front with a MemoryError that names the size, instead of
// growing until the allocator fails or the system kills the process.
#include <string>

namespace kestrix {

/// Physical memory in bytes (asked once: each query is a system call).
double physical_memory();

/// A size for messages: "8 GiB", "0.25 GiB", "1.6e+05 GiB".
std::string gib_text(double bytes);

/// Throws MemoryError "<what> needs <size>, more than this machine's <memory> of memory"
/// when `bytes` exceed the physical memory.
void check_memory(double bytes, const std::string& what);

}  // namespace kestrix
