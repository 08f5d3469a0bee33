#include "kestrix/lib/base/thread_pool.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>

namespace kestrix {

namespace {

thread_local bool t_inside_worker = false;

// Pause instructions a thread spins before it sleeps: a few microseconds, enough to catch
// the next pass of a circuit without a system call, short enough not to compete with
// another process for the core.
constexpr int kSpins = 2048;

inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

template <class T, class Done>
void spin_then_wait(const std::atomic<T>& value, Done done) {
    for (int k = 0; k < kSpins; ++k) {
        if (done(value.load(std::memory_order_acquire))) return;
        relax();
    }
    for (T seen = value.load(std::memory_order_acquire); !done(seen);
         seen = value.load(std::memory_order_acquire)) {
        value.wait(seen, std::memory_order_acquire);
    }
}

int threads_from_environment() {
    for (const char* name : {"KESTRIX_NUM_THREADS", "OMP_NUM_THREADS"}) {
        const char* text = std::getenv(name);
        if (!text) continue;
        char* end = nullptr;
        const long value = std::strtol(text, &end, 10);
        if (end != text && value >= 1) return int(std::min(value, 1024L));
    }
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) return std::max(1, CPU_COUNT(&set));
    return int(std::max(1u, std::thread::hardware_concurrency()));
}

using Body = std::function<void(uint64_t, int)>;

// One call's work: pieces handed out by an atomic counter to whoever asks first.
struct Job {
    const Body* body = nullptr;
    uint64_t pieces = 0;
    int workers = 1;
    std::atomic<uint64_t> next{0};
    std::mutex error_mutex;
    std::exception_ptr error;

    void work(int worker) {
        for (uint64_t p; (p = next.fetch_add(1, std::memory_order_relaxed)) < pieces;) {
            try {
                (*body)(p, worker);
            } catch (...) {
                next.store(pieces, std::memory_order_relaxed);  // start nothing new
                std::lock_guard lock(error_mutex);
                if (!error) error = std::current_exception();
            }
        }
    }
};

// A worker takes part in a job only through the admission word: it joins by raising the
// count of active workers while the job is open and of the epoch it saw, and leaves by
// lowering it. The caller closes the job once every piece is handed out and waits for
// the workers that joined, never for those that did not wake in time: they find the job
// closed or of a later epoch and stay out.
class Pool {
  public:
    explicit Pool(int threads) : threads_(threads) {
        for (int w = 1; w < threads; ++w) std::thread([this, w] { serve(w); }).detach();
    }

    // False when another thread holds the pool: the caller then runs the job inline.
    bool try_run(uint64_t pieces, int workers, const Body& body) {
        std::unique_lock lock(busy_, std::try_to_lock);
        if (!lock.owns_lock()) return false;
        Job job;
        job.body = &body;
        job.pieces = pieces;
        job.workers = workers;
        job_ = &job;
        epoch_ += 1;
        admission_.store(epoch_ << kEpochShift | kOpen, std::memory_order_release);
        signal_.fetch_add(1, std::memory_order_release);
        signal_.notify_all();
        t_inside_worker = true;
        job.work(0);
        t_inside_worker = false;
        admission_.fetch_and(~kOpen, std::memory_order_acq_rel);
        spin_then_wait(admission_, [](uint64_t a) { return (a & kActive) == 0; });
        job_ = nullptr;
        if (job.error) std::rethrow_exception(job.error);
        return true;
    }

  private:
    static constexpr uint64_t kActive = 0xffff;  // workers inside the job
    static constexpr uint64_t kOpen = uint64_t{1} << 16;
    static constexpr int kEpochShift = 17;

    void serve(int w) {
        t_inside_worker = true;
        uint64_t done_epoch = 0;
        for (;;) {
            const uint32_t seen = signal_.load(std::memory_order_acquire);
            uint64_t a = admission_.load(std::memory_order_acquire);
            while ((a & kOpen) && (a >> kEpochShift) != done_epoch &&
                   !admission_.compare_exchange_weak(a, a + 1, std::memory_order_acq_rel)) {
            }
            if ((a & kOpen) && (a >> kEpochShift) != done_epoch) {
                done_epoch = a >> kEpochShift;
                Job& job = *job_;
                if (w < job.workers) job.work(w);
                if (((admission_.fetch_sub(1, std::memory_order_acq_rel) - 1) & kActive) == 0)
                    admission_.notify_one();
                continue;
            }
            spin_then_wait(signal_, [seen](uint32_t s) { return s != seen; });
        }
    }

    const int threads_;
    std::mutex busy_;
    uint64_t epoch_ = 0;                  // written by the pool's holder only
    std::atomic<uint32_t> signal_{0};     // raised for every job: sleeping workers wait on it
    std::atomic<uint64_t> admission_{0};  // epoch << kEpochShift | kOpen | active workers
    Job* job_ = nullptr;                  // valid for a worker that has joined
};

// Never destroyed: detached workers may still be asleep in it at exit. After fork() only
// the forking thread exists in the child, so the child forgets the pool and makes anew.
std::atomic<Pool*> g_pool{nullptr};
std::mutex g_pool_mutex;

void forget_pool_in_child() {
    g_pool.store(nullptr);
    new (&g_pool_mutex) std::mutex;
}

Pool& pool() {
    if (Pool* p = g_pool.load(std::memory_order_acquire)) return *p;
    std::lock_guard lock(g_pool_mutex);
    static const bool registered = pthread_atfork(nullptr, nullptr, forget_pool_in_child) == 0;
    (void)registered;
    if (!g_pool.load(std::memory_order_relaxed)) g_pool.store(new Pool(thread_count()));
    return *g_pool.load(std::memory_order_relaxed);
}

}  // namespace

int thread_count() {
    static const int threads = threads_from_environment();
    return threads;
}

bool inside_worker() { return t_inside_worker; }

void run_pieces(uint64_t pieces, int workers, const Body& body) {
    workers = std::clamp(workers, 1, thread_count());
    if (pieces == 0) return;
    if (workers > 1 && pieces > 1 && !t_inside_worker && pool().try_run(pieces, workers, body))
        return;
    // Inline: the same pieces, in order, with the same error behaviour.
    const bool was_inside = t_inside_worker;
    t_inside_worker = true;
    try {
        for (uint64_t p = 0; p < pieces; ++p) body(p, 0);
    } catch (...) {
        t_inside_worker = was_inside;
        throw;
    }
    t_inside_worker = was_inside;
}

}  // namespace kestrix
