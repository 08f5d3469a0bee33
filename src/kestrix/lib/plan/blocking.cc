#include "kestrix/lib/plan/blocking.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <thread>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/base/parallel.h"
#include "kestrix/lib/kernels/kernels.h"

namespace kestrix {

namespace {

// Steps a segment looks past its last taken step before it closes.
constexpr size_t kLookAhead = 1024;

uint64_t low_bits(int count) { return count >= 64 ? ~uint64_t{0} : (uint64_t{1} << count) - 1; }

// Qubits a step must hold in its chunk (targets; every qubit of a diagonal) and all the
// qubits it reads (those and its controls).
struct Footprint {
    uint64_t need = 0;
    uint64_t touch = 0;
};

Footprint footprint(const Schedule& plan, const Step& step) {
    if (step.kind == Step::Kind::Gate) return {step.gate.target_mask(), step.gate.qubit_mask()};
    const Op& op = plan.blocks[step.block];
    uint64_t need = op.select_mask;
    for (int q : op.qubits) need |= uint64_t{1} << q;
    return {need, need | op.control_mask};
}

// Qubits whose bit a step may turn from 0 to 1: none for a fused diagonal. A single gate
// counts its targets whatever its matrix: a sweep writes its angles again, and a gate
// diagonal at one angle need not be at the next.
uint64_t changed_qubits(const Schedule& plan, const Step& step) {
    if (step.kind == Step::Kind::Gate) return step.gate.target_mask();
    const Op& op = plan.blocks[step.block];
    if (op.kind == OpKind::Diagonal) return 0;
    uint64_t qubits = 0;
    for (int q : op.qubits) qubits |= uint64_t{1} << q;
    return qubits;
}

// A block wider than the unrolled kernels (a folded power) is bound by its arithmetic, not
// by memory: a chunk saves it nothing, and its controls and select qubits inside the chunk
// would leave each call a few columns, too few to share each read of its matrix.
bool wide(const Schedule& plan, const Step& step) {
    if (step.kind != Step::Kind::Block) return false;
    const Op& op = plan.blocks[step.block];
    return (op.kind == OpKind::Dense || op.kind == OpKind::Multiplexed) &&
           op.qubits.size() > size_t(kMaxDenseQubits);
}

// The b-th index whose bits in `mask` are all 0.
uint64_t spread(uint64_t b, uint64_t mask) {
    uint64_t out = 0;
    for (uint64_t free = ~mask; b; free &= free - 1, b >>= 1)
        if (b & 1) out |= free & -free;
    return out;
}

}  // namespace

std::vector<Segment> segment(const Schedule& plan, int n, int chunk_qubits) {
    std::vector<Segment> out;
    const size_t size = plan.steps.size();
    const int preferred = n > kLargeStateQubits ? kLargeStateChunkQubits : kChunkQubits;
    const int c = std::min(chunk_qubits > 0 ? chunk_qubits : preferred, n - 2);
    if (n < kParallelQubits || c < kChunkRunQubits + 2) {
        out.reserve(size);
        for (uint32_t i = 0; i < size; ++i) {
            Segment& s = out.emplace_back();
            s.kind = plan.steps[i].is_unitary() ? Segment::Kind::Pass : Segment::Kind::Measure;
            s.step = i;
        }
        return out;
    }
    const uint64_t all = low_bits(n);
    const uint64_t forced = low_bits(kChunkRunQubits);
    std::vector<bool> done(size, false);
    size_t first = 0;  // every step before it is done
    while (first < size) {
        if (!plan.steps[first].is_unitary()) {
            Segment& s = out.emplace_back();
            s.kind = Segment::Kind::Measure;
            s.step = uint32_t(first);
            done[first++] = true;
            continue;
        }
        Segment s;
        s.local = forced;
        uint64_t blocked = 0;  // qubits of steps skipped: later steps on them must wait
        size_t last_taken = first;
        for (size_t i = first; i < size && (blocked & all) != all; ++i) {
            // A bounded look-ahead keeps the finder linear on long schedules.
            if (i - last_taken > kLookAhead) break;
            if (done[i]) continue;
            const Step& step = plan.steps[i];
            if (!step.is_unitary()) break;
            const Footprint f = footprint(plan, step);
            if (!(f.touch & blocked) && std::popcount(s.local | f.need) <= c && !wide(plan, step)) {
                s.local |= f.need;
                s.steps.push_back(uint32_t(i));
                done[i] = true;
                last_taken = i;
            } else {
                blocked |= f.touch;
            }
        }
        if (s.steps.empty()) {
            // Wider than any chunk (a diagonal on many qubits): a pass of its own.
            s.kind = Segment::Kind::Pass;
            s.step = uint32_t(first);
            done[first] = true;
        } else if (s.steps.size() == 1) {
            s.kind = Segment::Kind::Pass;
            s.step = s.steps[0];
            s.steps.clear();
        } else {
            // Fill the chunk up to c qubits, lowest first, for longer contiguous runs.
            for (int q = 0; std::popcount(s.local) < c; ++q) s.local |= uint64_t{1} << q;
            s.kind = Segment::Kind::Chunked;
        }
        out.push_back(std::move(s));
        while (first < size && done[first]) ++first;
    }
    return out;
}

void mark_zero_prefix(const Schedule& plan, std::vector<Segment>& segments, int n) {
    const uint64_t all = low_bits(n);
    uint64_t live = 0;  // qubits that some earlier pass may have set
    for (Segment& s : segments) {
        if (s.kind != Segment::Kind::Pass || live == all) return;
        const Step& step = plan.steps[s.step];
        live |= changed_qubits(plan, step);
        // A preparation writes on qubits it requires at 0: it runs as it is.
        if (step.kind == Step::Kind::Block && plan.blocks[step.block].kind == OpKind::Prepare)
            continue;
        s.zero = all & ~(live | footprint(plan, step).need);
    }
}

namespace {

// A pass over a large state runs slice by slice along the highest qubits that its step
// leaves alone (each slice is then a state of its own), and `interrupt` is polled between
// slices: one pass over 2^26 amplitudes takes a good part of a second.
constexpr int kSliceMinQubits = 20;
constexpr int kMaxSliceQubits = 4;

// (A slice whose high bits set a qubit of `zero` holds zeros only: it is skipped.)
template <class C>
void apply_pass(const Schedule& plan, const Step& step, C* amps, int n, uint64_t zero,
                const InterruptCheck& interrupt) {
    const int unused_high = std::countl_zero(plan.qubit_mask(step)) - (64 - n);
    const int sliced = std::min({kMaxSliceQubits, unused_high, n - kSliceMinQubits});
    if (!interrupt || sliced <= 0) return plan.apply(amps, n, step, Fixed{zero, 0});
    const int width = n - sliced;
    for (uint64_t h = 0; h < (uint64_t{1} << sliced); ++h) {
        if (interrupt()) throw Interrupted();
        if ((h << width) & zero) continue;
        plan.apply(amps + (h << width), width, step, Fixed{zero & low_bits(width), 0});
    }
}

template <class C>
void segment_with(const Schedule& plan, const Segment& s, C* amps, int n,
                  const InterruptCheck& interrupt) {
    if (s.kind == Segment::Kind::Pass)
        return apply_pass(plan, plan.steps[s.step], amps, n, s.zero, interrupt);
    // A chunked segment may hold hundreds of steps over the whole state: the calling thread
    // polls between its chunks, and every thread skips the chunks left once it says stop.
    std::atomic<bool> stop{false};
    const std::thread::id caller = std::this_thread::get_id();
    auto stopping = [&] {
        if (stop.load(std::memory_order_relaxed)) return true;
        if (!interrupt || std::this_thread::get_id() != caller || !interrupt()) return false;
        stop.store(true, std::memory_order_relaxed);
        return true;
    };
    const int c = std::popcount(s.local);
    const uint64_t outside = low_bits(n) & ~s.local;
    for_range(uint64_t{1} << (n - c), true, [&](uint64_t h) {
        if (stopping()) return;
        const Fixed chunk{outside, spread(h, s.local)};
        for (uint32_t i : s.steps) plan.apply(amps, n, plan.steps[i], chunk);
    });
    if (stop.load()) throw Interrupted();
}

}  // namespace

void apply_segment(const Schedule& plan, const Segment& s, cplx* amps, int n,
                   const InterruptCheck& interrupt) {
    segment_with(plan, s, amps, n, interrupt);
}

void apply_segment(const Schedule& plan, const Segment& s, cfloat* amps, int n,
                   const InterruptCheck& interrupt) {
    segment_with(plan, s, amps, n, interrupt);
}

}  // namespace kestrix
