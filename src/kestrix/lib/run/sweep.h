#pragma once
// Running one circuit with parameters for many values: planned once (plan/sweep.h), the
// rows of values spread over the engine's threads, each row's result exactly what binding
// the row and running the bound circuit gives.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "kestrix/lib/base/interrupt.h"
#include "kestrix/lib/ir/program.h"
#include "kestrix/lib/run/pauli.h"
#include "kestrix/lib/run/simulator.h"

namespace kestrix {

class SweepPlan;

/// Rows of parameter values: `values` holds rows x columns numbers, row after row, column
/// j the value of parameters[j].
struct ParameterRows {
    std::vector<Parameter> parameters;
    std::span<const double> values;

    size_t rows() const { return parameters.empty() ? 0 : values.size() / parameters.size(); }
    std::span<const double> row(size_t i) const {
        return values.subspan(i * parameters.size(), parameters.size());
    }
};

/// Rows of `cols` numbers in one block of memory, row after row: a sweep fills each row in
/// place, and the block is handed on (to NumPy) without a copy, its owner going with it.
/// A large block comes from the state vectors' allocator, in huge pages, and the last one
/// released is kept for the next of its size: a sweep repeated (an optimiser's loop)
/// writes its tens of MiB of results without touching fresh pages each time.
struct RowBlock {
    struct Release {
        size_t count = 0;
        void operator()(double* p) const noexcept;
    };
    size_t rows = 0, cols = 0;
    std::unique_ptr<double[], Release> data;

    RowBlock(size_t rows, size_t cols);
    double* row(size_t i) { return data.get() + i * cols; }
};

/// Calls body(row, plan, interrupt, worker) for every row, `plan` being a SweepPlan of the
/// circuit (from_zero as SweepPlan takes it) for the calling thread alone (worker is its
/// index, below thread_count()). Narrow circuits spread their rows over the threads, each
/// with its own copy of the plan; wide ones take the rows in turn, each run using every
/// thread. `interrupt` is the caller's on the calling thread, a shared stop flag on the
/// others; Interrupted when it asked.
using RowBody = std::function<void(size_t row, SweepPlan& plan, const InterruptCheck& interrupt,
                                   size_t worker)>;
void for_each_row(const Circuit& circuit, int n, const ParameterRows& rows, bool from_zero,
                  const InterruptCheck& interrupt, const RowBody& body);

/// ValueError unless the rows fit the circuit: a whole number of rows, one column per
/// parameter, each parameter of the circuit among them, every value finite.
void check_rows(const Circuit& circuit, const ParameterRows& rows);

/// One result per row: results[i] is Simulator::run(program bound to row i, shots,
/// seeds[i]), to the last bit. One seed per row (ValueError otherwise).
std::vector<Result> run_sweep(const Program& program, const ParameterRows& rows, uint64_t shots,
                              std::span<const uint64_t> seeds,
                              const InterruptCheck& interrupt = {});

/// Exact probabilities of a program without measurements per row, over `qubits` (all of
/// the program's when nullopt), as Simulator::probabilities_batch gives them.
RowBlock probabilities_sweep(const Program& program, const ParameterRows& rows,
                             const std::optional<std::vector<int>>& qubits,
                             const InterruptCheck& interrupt = {});

/// <psi|H|psi> per row, psi the n-qubit all-zero state after `circuit` bound to the row;
/// with `shots`, the estimate sampled_expectation makes with Rng(seeds[row]).
std::vector<double> expectation_sweep(const PauliSum& observable, const Circuit& circuit, int n,
                                      const ParameterRows& rows,
                                      std::optional<uint64_t> shots = std::nullopt,
                                      std::span<const uint64_t> seeds = {},
                                      const InterruptCheck& interrupt = {});

}  // namespace kestrix
