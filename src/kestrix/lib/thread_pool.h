#pragma once
// The engine's own worker threads. Unlike an OpenMP runtime, a worker with nothing to do
// spins only a few microseconds and then sleeps in the kernel, so two processes sharing
// the cores do not steal time from each other; and a child made by fork() starts a fresh
// pool on first use instead of waiting forever on threads that fork did not copy.
#include <cstdint>
#include <functional>

namespace kestrix {

/// Threads the engine uses: KESTRIX_NUM_THREADS, else OMP_NUM_THREADS (so a process tuned
/// for OpenMP libraries tunes this one too), else the cores this process may run on.
int thread_count();

/// Calls task(w) once for every w in [0, workers), worker 0 on the calling thread, the
/// others on the pool's threads, and returns when all have finished. Runs inline, one w
/// after another, when called from inside a task (no nested parallelism) or when the
/// pool has one thread. `workers` is clamped to thread_count(). The first exception a
/// task throws is rethrown here after every task has finished.
void run_on_workers(int workers, const std::function<void(int)>& task);

/// Whether the calling thread is running a task of run_on_workers.
bool inside_worker();

}  // namespace kestrix
