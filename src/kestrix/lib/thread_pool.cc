#include "kestrix/lib/thread_pool.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

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

// Every job wakes every worker, and the caller waits until each has checked in, so a
// worker sees each generation exactly once and never reads a later job's fields early.
class Pool {
  public:
    explicit Pool(int threads) : threads_(threads) {
        for (int w = 1; w < threads; ++w) std::thread([this, w] { serve(w); }).detach();
    }

    int threads() const { return threads_; }

    // False when another thread holds the pool: the caller then runs the job inline.
    bool try_run(int workers, const std::function<void(int)>& task) {
        std::unique_lock lock(busy_, std::try_to_lock);
        if (!lock.owns_lock()) return false;
        task_ = &task;
        workers_ = workers;
        error_ = nullptr;
        pending_.store(threads_ - 1, std::memory_order_relaxed);
        generation_.fetch_add(1, std::memory_order_release);
        generation_.notify_all();
        perform(0);
        spin_then_wait(pending_, [](int left) { return left == 0; });
        task_ = nullptr;
        if (error_) std::rethrow_exception(error_);
        return true;
    }

  private:
    void serve(int w) {
        t_inside_worker = true;
        uint32_t seen = 0;  // the generation before the first job, whenever this thread starts
        for (;;) {
            spin_then_wait(generation_, [seen](uint32_t g) { return g != seen; });
            seen = generation_.load(std::memory_order_acquire);
            if (w < workers_) perform(w);
            if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) pending_.notify_one();
        }
    }

    void perform(int w) {
        const bool was_inside = t_inside_worker;
        t_inside_worker = true;
        try {
            (*task_)(w);
        } catch (...) {
            std::lock_guard lock(error_mutex_);
            if (!error_) error_ = std::current_exception();
        }
        t_inside_worker = was_inside;
    }

    const int threads_;
    std::mutex busy_;
    std::atomic<uint32_t> generation_{0};
    std::atomic<int> pending_{0};
    const std::function<void(int)>* task_ = nullptr;
    int workers_ = 0;
    std::mutex error_mutex_;
    std::exception_ptr error_;
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

void run_on_workers(int workers, const std::function<void(int)>& task) {
    workers = std::clamp(workers, 1, thread_count());
    if (workers > 1 && !t_inside_worker && pool().try_run(workers, task)) return;
    // Inline: the same tasks, one after another, with the same error behaviour.
    std::exception_ptr error;
    const bool was_inside = t_inside_worker;
    t_inside_worker = true;
    for (int w = 0; w < workers; ++w) {
        try {
            task(w);
        } catch (...) {
            if (!error) error = std::current_exception();
        }
    }
    t_inside_worker = was_inside;
    if (error) std::rethrow_exception(error);
}

}  // namespace kestrix
