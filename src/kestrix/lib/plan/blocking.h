#pragma once
// Cache blocking: many consecutive passes over a large state become one. A segment is a
// set of steps whose targets all lie in one set L of chunk_qubits qubits (controls may lie
// anywhere). The state splits into chunks, one per value of the qubits outside L; every
// step of the segment runs on one chunk, in place, while it sits in a core's cache, before
// the next chunk. The segment finder looks past steps it cannot take (across layers) and
// takes any later step that commutes with everything it skipped.
#include <cstdint>
#include <vector>

#include "kestrix/lib/plan/schedule.h"

namespace kestrix {

/// Qubits of a chunk: 2^13 amplitudes, 128 KiB, stay in a core's L2 cache beside the
/// state's other lines. kestrix_perf_fusion times the alternatives.
constexpr int kChunkQubits = 13;
/// States of more than kLargeStateQubits qubits (64 MiB) live in main memory, where every
/// pass is a trip to DRAM: there chunks of kLargeStateChunkQubits (512 KiB) take more steps
/// per pass, which pays for their misses (measured: a 24-qubit layered circuit runs 10 %
/// faster, while at 20 qubits the smaller chunk is 15 % faster).
constexpr int kLargeStateQubits = 22;
constexpr int kLargeStateChunkQubits = 15;
/// The lowest qubits always belong to a chunk, so that it is read in runs of at least
/// 2^kChunkRunQubits neighbouring amplitudes (4 KiB): shorter runs, spread over the state,
/// would evict one another from the cache.
constexpr int kChunkRunQubits = 8;

struct Segment {
    enum class Kind : uint8_t { Pass, Chunked, Measure };
    Kind kind = Kind::Pass;
    uint32_t step = 0;            ///< Pass and Measure: the schedule step
    std::vector<uint32_t> steps;  ///< Chunked: its schedule steps, in execution order
    uint64_t local = 0;           ///< Chunked: the chunk's qubits L
    /// Pass: qubits that read 0 in every amplitude the pass may change, in a run from
    /// |0...0> (see mark_zero_prefix); the pass skips the other amplitudes, still zero.
    uint64_t zero = 0;

    size_t step_count() const { return kind == Kind::Chunked ? steps.size() : 1; }
};

/// The schedule's steps grouped into segments for an n-qubit state, in an order that
/// computes the same state; measurements stay where they are. With n below
/// kParallelQubits every step is its own pass. chunk_qubits = 0 picks kChunkQubits, or
/// kLargeStateChunkQubits for a large state.
std::vector<Segment> segment(const Schedule& plan, int n, int chunk_qubits = 0);

/// For runs that start from |0...0>: while the leading passes leave some qubits at 0
/// (the first layers of a circuit reach one qubit after another), each pass is marked to
/// touch only the amplitudes where those qubits read 0, the others being zero still.
/// Stops at the first segment that is not a pass.
void mark_zero_prefix(const Schedule& plan, std::vector<Segment>& segments, int n);

/// Applies one unitary segment (a Pass or a Chunked one) to an n-qubit state. A chunked
/// segment polls `interrupt` between chunks on the calling thread and throws Interrupted
/// when it says stop, leaving the state partly updated.
void apply_segment(const Schedule& plan, const Segment& segment, cplx* amps, int n,
                   const InterruptCheck& interrupt = {});
/// The same on a single-precision state (the schedule's matrices rounded to float).
void apply_segment(const Schedule& plan, const Segment& segment, cfloat* amps, int n,
                   const InterruptCheck& interrupt = {});

}  // namespace kestrix
