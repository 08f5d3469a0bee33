#include "kestrix/lib/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <vector>

namespace kestrix {
namespace {

TEST(ThreadPool, EveryWorkerRunsOnceAndNestedJobsRunInline) {
    const int workers = thread_count();
    for (int job = 0; job < 200; ++job) {
        std::vector<std::atomic<int>> runs(workers);
        std::atomic<int> nested{0};
        run_on_workers(workers, [&](int w) {
            ++runs[w];
            EXPECT_TRUE(inside_worker());
            run_on_workers(workers, [&](int) { ++nested; });
        });
        for (auto& r : runs) ASSERT_EQ(r.load(), 1);
        ASSERT_EQ(nested.load(), workers * workers);
    }
    EXPECT_FALSE(inside_worker());
}

TEST(ThreadPool, AnErrorReachesTheCallerAfterEveryTaskEnds) {
    std::atomic<int> finished{0};
    EXPECT_THROW(run_on_workers(thread_count(),
                                [&](int w) {
                                    ++finished;
                                    if (w == thread_count() - 1) throw std::runtime_error("x");
                                }),
                 std::runtime_error);
    EXPECT_EQ(finished.load(), thread_count());
    // The pool still works afterwards.
    std::atomic<int> again{0};
    run_on_workers(thread_count(), [&](int) { ++again; });
    EXPECT_EQ(again.load(), thread_count());
}

}  // namespace
}  // namespace kestrix
