#pragma once
// An allocator for state vectors. Large buffers start on a 2 MiB boundary and are marked
// for transparent huge pages, so that a pass over a state of hundreds of MiB, or a cache
// block gathered from all over it, walks a few hundred page-table entries instead of
// tens of thousands; the last one freed is kept for the next state of its size (see
// memory.h). Small buffers come from the ordinary heap.
#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <new>
#include <utility>

#include "kestrix/lib/base/memory.h"

namespace kestrix {

template <class T>
struct HugePageAllocator {
    using value_type = T;
    static constexpr size_t kHugePage = size_t{2} << 20;

    HugePageAllocator() = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U>&) {}

    T* allocate(size_t count) {
        const size_t bytes = count * sizeof(T);
        if (bytes < kHugePage) {
            if (void* p = std::malloc(bytes)) return static_cast<T*>(p);
            throw std::bad_alloc();
        }
        const size_t rounded = rounded_bytes(count);
        if (void* kept = take_recycled_buffer(rounded)) return static_cast<T*>(kept);
        void* p = std::aligned_alloc(kHugePage, rounded);
        if (!p) throw std::bad_alloc();
        madvise(p, rounded, MADV_HUGEPAGE);  // a hint: without huge pages all still works
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t count) {
        if (count * sizeof(T) < kHugePage) return std::free(p);
        recycle_buffer(p, rounded_bytes(count));
    }
    /// Elements made without arguments (a resize) are left as the memory holds them: the
    /// owner fills a state once, on every thread, instead of once here on one thread.
    template <class U>
    void construct(U*) noexcept {}
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }

    template <class U>
    bool operator==(const HugePageAllocator<U>&) const {
        return true;
    }

  private:
    static size_t rounded_bytes(size_t count) {
        return (count * sizeof(T) + kHugePage - 1) / kHugePage * kHugePage;
    }
};

}  // namespace kestrix
