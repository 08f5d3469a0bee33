#include "kestrix/lib/base/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

namespace kestrix {
namespace {

TEST(ThreadPool, EveryPieceRunsOnceAndNestedCallsRunInline) {
    const int workers = thread_count();
    for (int job = 0; job < 200; ++job) {
        const uint64_t pieces = 1 + job % 37;
        std::vector<std::atomic<int>> runs(pieces);
        std::atomic<int> nested{0};
        run_pieces(pieces, workers, [&](uint64_t p, int w) {
            ASSERT_GE(w, 0);
            ASSERT_LT(w, workers);
            ++runs[p];
            EXPECT_TRUE(inside_worker());
            run_pieces(3, workers, [&](uint64_t, int inner) {
                EXPECT_EQ(inner, 0);
                ++nested;
            });
        });
        for (auto& r : runs) ASSERT_EQ(r.load(), 1);
        ASSERT_EQ(nested.load(), int(3 * pieces));
    }
    EXPECT_FALSE(inside_worker());
}

TEST(ThreadPool, AnErrorStopsNewPiecesAndReachesTheCaller) {
    // Each piece takes a while, so that the rest could not all start in the moment a busy
    // machine keeps the failing thread waiting: they take 0.2 s or more in all.
    constexpr int kPieces = 2000;
    std::atomic<int> started{0};
    EXPECT_THROW(run_pieces(kPieces, thread_count(),
                            [&](uint64_t p, int) {
                                ++started;
                                if (p == 5) throw std::runtime_error("x");
                                std::this_thread::sleep_for(std::chrono::microseconds(200));
                            }),
                 std::runtime_error);
    EXPECT_LT(started.load(), kPieces);
    // The pool still works afterwards.
    std::atomic<int> again{0};
    run_pieces(64, thread_count(), [&](uint64_t, int) { ++again; });
    EXPECT_EQ(again.load(), 64);
}

// A pool thread that stops making progress (here: blocked until the rest is done, as if
// another process kept it off its core) must not hold back the pieces nobody has taken:
// the calling thread takes them all.
TEST(ThreadPool, ThePiecesOfAStalledWorkerGoToTheOthers) {
    if (thread_count() < 2) GTEST_SKIP() << "one thread";
    constexpr uint64_t kPieces = 1000;
    for (int round = 0; round < 20; ++round) {
        std::atomic<uint64_t> finished{0};
        std::atomic<int> stalled{0};
        std::atomic<bool> gave_up{false};
        run_pieces(kPieces, thread_count(), [&](uint64_t, int w) {
            if (w != 0 && stalled.fetch_add(1) == 0) {
                const auto start = std::chrono::steady_clock::now();
                while (finished.load() < kPieces - 1) {
                    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(20)) {
                        gave_up = true;
                        break;
                    }
                    std::this_thread::yield();
                }
            }
            ++finished;
        });
        ASSERT_FALSE(gave_up.load());
        ASSERT_EQ(finished.load(), kPieces);
    }
}

}  // namespace
}  // namespace kestrix
