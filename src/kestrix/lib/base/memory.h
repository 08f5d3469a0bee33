#pragma once
// What fits in this machine's memory. A state, or a circuit expanded gate by gate, that
// could never fit is refused up front with a MemoryError that names the size, instead of
// growing until the allocator fails or the system kills the process.
#include <cstddef>
#include <string>

namespace kestrix {

/// The memory this process may use, in bytes: the machine's physical memory, or less
/// where the process's address-space or data limit, or its container's memory limit, is
/// lower (asked once, when first needed).
double usable_memory();

/// A size for messages: "8 GiB", "0.25 GiB", "1.6e+05 GiB".
std::string gib_text(double bytes);

/// Throws MemoryError "<what> needs <size>, more than this machine's <memory> of memory"
/// (or "more than the <memory> of memory this process may use", under a limit) when
/// `bytes` exceed the usable memory.
void check_memory(double bytes, const std::string& what);

/// Large state buffers are recycled: the one freed last, when it holds at most
/// kRecycledBytes and a sixteenth of the memory, is kept for the next request of the same
/// size. A program run again and again on many qubits then skips the system's first touch
/// of fresh pages, which takes from 30 ms to 400 ms for 256 MiB.
constexpr size_t kRecycledBytes = size_t{1} << 30;
/// The kept buffer if it has `bytes`, else nullptr (a kept buffer of another size is freed
/// first, so that memory never holds both).
void* take_recycled_buffer(size_t bytes);
/// Keeps `p` (from std::aligned_alloc, `bytes` long) for reuse, freeing the buffer kept
/// before; frees `p` itself when it is too large to keep.
void recycle_buffer(void* p, size_t bytes);

}  // namespace kestrix
