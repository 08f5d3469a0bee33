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

/// Runs body(piece, worker) once for every piece in [0, pieces). The calling thread
/// (worker 0) and whichever of the pool's threads are free (workers 1 to workers - 1)
/// take the next piece from a shared counter until none is left, so a thread that
/// another process keeps off its core holds up the call by one piece at most, never by
/// a share fixed in advance. Runs every piece on the calling thread, in order, when
/// called from inside a piece (no nested parallelism), when the pool has one thread or
/// is busy with another caller's work, or when `workers` is 1; `workers` is clamped to
/// thread_count(). After a piece throws no new piece starts, and the first exception
/// is rethrown here once every piece under way has finished.
void run_pieces(uint64_t pieces, int workers, const std::function<void(uint64_t, int)>& body);

/// Whether the calling thread is running a piece of run_pieces.
bool inside_worker();

}  // namespace kestrix
