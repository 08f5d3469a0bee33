#include "kestrix/lib/base/huge_pages.h"

#include <gtest/gtest.h>

#include "kestrix/lib/base/complex.h"
#include "kestrix/lib/run/statevector.h"

namespace kestrix {
namespace {

// The buffer of a large state freed last comes back for the next state of its size.
TEST(HugePages, TheLastLargeBufferIsReusedForTheSameSize) {
    HugePageAllocator<cplx> allocator;
    const size_t count = size_t{1} << 20;
    cplx* first = allocator.allocate(count);
    allocator.deallocate(first, count);
    cplx* second = allocator.allocate(count);
    EXPECT_EQ(second, first);
    allocator.deallocate(second, count);
}

// A state made on a reused buffer starts as |0...0>, whatever the last one left there.
TEST(HugePages, AStateOnAReusedBufferStartsClean) {
    const int n = 20;
    {
        StateVector dirty(n);
        for (uint64_t i = 0; i < dirty.size(); ++i) dirty.data()[i] = cplx(0.5, -0.25);
    }
    StateVector fresh(n);
    EXPECT_EQ(fresh.data()[0], cplx(1));
    for (uint64_t i = 1; i < fresh.size(); ++i) ASSERT_EQ(fresh.data()[i], cplx(0)) << i;
}

}  // namespace
}  // namespace kestrix
