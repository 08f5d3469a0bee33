#pragma once
// An allocator for state vectors. Large buffers start on a 2 MiB boundary and are marked
// for transparent huge pages, so that a pass over a state of hundreds of MiB, or a cache
// block gathered from all over it, walks a few hundred page-table entries instead of
// tens of thousands. Small buffers come from the ordinary heap.
#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <new>

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
        const size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        void* p = std::aligned_alloc(kHugePage, rounded);
        if (!p) throw std::bad_alloc();
        madvise(p, rounded, MADV_HUGEPAGE);  // a hint: without huge pages all still works
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t) { std::free(p); }

    template <class U>
    bool operator==(const HugePageAllocator<U>&) const {
        return true;
    }
};

}  // namespace kestrix
