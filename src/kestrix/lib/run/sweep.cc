#include "kestrix/lib/run/sweep.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <string>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/base/huge_pages.h"
#include "kestrix/lib/base/memory.h"
#include "kestrix/lib/base/thread_pool.h"
#include "kestrix/lib/kernels/kernels.h"
#include "kestrix/lib/plan/sweep.h"

namespace kestrix {

namespace {

// Fewer rows than this run on the calling thread: waking threads costs more.
constexpr size_t kMinSharedRows = 16;

// The worker's state, back to |0...0>: one per thread for the whole sweep, since a fresh
// state per row costs its page faults every time.
StateVector& reset_state(std::optional<StateVector>& state, int n) {
    if (state) {
        state->reset();
    } else {
        state.emplace(n);
    }
    return *state;
}

}  // namespace

void RowBlock::Release::operator()(double* p) const noexcept {
    HugePageAllocator<double>().deallocate(p, count);
}

RowBlock::RowBlock(size_t rows, size_t cols)
    : rows(rows), cols(cols), data(nullptr, Release{std::max<size_t>(rows * cols, 1)}) {
    data.reset(HugePageAllocator<double>().allocate(data.get_deleter().count));
}

void for_each_row(const Circuit& circuit, int n, const ParameterRows& rows, bool from_zero,
                  const InterruptCheck& interrupt, const RowBody& body) {
    const size_t count = rows.rows();
    if (count == 0) return;
    const SweepPlan first(circuit, n, rows.parameters, interrupt, from_zero);
    const int workers = n < kParallelQubits && count >= kMinSharedRows ? thread_count() : 1;
    std::vector<std::optional<SweepPlan>> plans(size_t(std::max(workers, 1)));
    std::atomic<bool> stop{false};
    const InterruptCheck on_caller = [&] {
        if (!stop.load(std::memory_order_relaxed) && interrupt && interrupt()) stop.store(true);
        return stop.load(std::memory_order_relaxed);
    };
    const InterruptCheck on_worker = [&] { return stop.load(std::memory_order_relaxed); };
    uint64_t work = 0;
    const uint64_t row_work = (circuit.gate_count() + 1) << n;
    run_pieces(count, workers, [&](uint64_t i, int worker) {
        if (stop.load(std::memory_order_relaxed)) return;
        const size_t slot = size_t(worker) % plans.size();
        std::optional<SweepPlan>& plan = plans[slot];
        if (!plan) plan.emplace(first);
        try {
            body(size_t(i), *plan, worker == 0 ? on_caller : on_worker, slot);
        } catch (const Interrupted&) {
            stop.store(true);
            return;
        }
        if (worker != 0) return;
        work += row_work;
        if (work >= kPollWork) {
            work = 0;
            on_caller();
        }
    });
    if (stop.load()) throw Interrupted();
}

void check_rows(const Circuit& circuit, const ParameterRows& rows) {
    const size_t columns = rows.parameters.size();
    if (columns == 0 ? !rows.values.empty() : rows.values.size() % columns != 0) {
        throw ValueError("parameter_values has " + std::to_string(rows.values.size()) +
                         " numbers, not a whole number of rows of " + std::to_string(columns));
    }
    for (const Parameter& p : circuit.parameters()) {
        bool listed = false;
        for (const Parameter& q : rows.parameters) listed = listed || q->id == p->id;
        if (!listed) throw ValueError("parameter '" + p->name + "' has no column of values");
    }
    for (double v : rows.values)
        if (!std::isfinite(v)) throw ValueError("parameter values must be finite");
}

std::vector<Result> run_sweep(const Program& program, const ParameterRows& rows, uint64_t shots,
                              std::span<const uint64_t> seeds, const InterruptCheck& interrupt) {
    if (shots == 0) throw ValueError("shots must be positive");
    if (seeds.size() != rows.rows()) {
        throw ValueError("run_sweep: " + std::to_string(rows.rows()) + " rows but " +
                         std::to_string(seeds.size()) + " seeds");
    }
    check_rows(program.circuit, rows);
    check_fits_in_memory(program.width());
    Simulator::check_results_fit(std::span<const Program>(&program, 1), rows.rows());
    std::vector<Result> results(rows.rows());
    for_each_row(program.circuit, program.width(), rows, true, interrupt,
                 [&](size_t i, SweepPlan& plan, const InterruptCheck& check, size_t) {
                     results[i] = Simulator::run_plan(plan.at(rows.row(i)), shots, seeds[i], check);
                 });
    return results;
}

RowBlock probabilities_sweep(const Program& program, const ParameterRows& rows,
                             const std::optional<std::vector<int>>& qubits,
                             const InterruptCheck& interrupt) {
    check_rows(program.circuit, rows);
    Simulator::check_probabilities_batch(std::span<const Program>(&program, 1), qubits);
    check_fits_in_memory(program.width());
    Simulator::check_probability_rows_fit(std::span<const Program>(&program, 1), qubits,
                                          rows.rows());
    std::vector<int> all(size_t(program.width()));
    for (int q = 0; q < program.width(); ++q) all[size_t(q)] = q;
    const std::vector<int>& read = qubits ? *qubits : all;
    RowBlock out(rows.rows(), uint64_t{1} << read.size());
    const int n = program.width();
    std::vector<std::optional<StateVector>> states(size_t(std::max(thread_count(), 1)));
    for_each_row(program.circuit, n, rows, true, interrupt,
                 [&](size_t i, SweepPlan& plan, const InterruptCheck& check, size_t worker) {
                     StateVector& state = reset_state(states[worker], n);
                     plan.at(rows.row(i)).run(state.data(), check);
                     state.probabilities(read, out.row(i));
                 });
    return out;
}

std::vector<double> expectation_sweep(const PauliSum& observable, const Circuit& circuit, int n,
                                      const ParameterRows& rows, std::optional<uint64_t> shots,
                                      std::span<const uint64_t> seeds,
                                      const InterruptCheck& interrupt) {
    check_rows(circuit, rows);
    if (circuit.has_measurement()) throw ValueError("expval: the circuit measures");
    if (circuit.width() > n || observable.num_qubits > n)
        throw IndexError("expval: the observable or circuit is wider than the state");
    if (shots && *shots == 0) throw ValueError("shots must be positive");
    if (shots && seeds.size() != rows.rows())
        throw ValueError("expectation_sweep: one seed per row is needed");
    check_fits_in_memory(n);
    std::vector<double> out(rows.rows());
    std::vector<std::optional<StateVector>> states(size_t(std::max(thread_count(), 1)));
    for_each_row(circuit, n, rows, true, interrupt,
                 [&](size_t i, SweepPlan& plan, const InterruptCheck& check, size_t worker) {
                     StateVector& state = reset_state(states[worker], n);
                     plan.at(rows.row(i)).run(state.data(), check);
                     if (shots) {
                         Rng rng(seeds[i]);
                         out[i] = sampled_expectation(observable, state, *shots, rng, check);
                     } else {
                         out[i] = expectation(observable, state, check);
                     }
                 });
    return out;
}

}  // namespace kestrix
