#pragma once
// Running programs from C++ the way CPUQVM.run does from Python: seeds drawn from NumPy's
// global generator (so np.random.seed makes a script repeatable), the GIL released for
// long runs, and Ctrl-C honoured. Algorithm modules run their circuits through these.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/noise/noisy_run.h"
#include "kestrix/lib/run/evolve.h"
#include "kestrix/lib/run/simulator.h"
#include "kestrix/lib/run/statevector.h"
#include "kestrix/lib/run/sweep.h"

namespace kestrix::py {

namespace nb = nanobind;

/// Above this much amplitude work a run releases the GIL and polls for Ctrl-C; below it
/// the release would cost more than the run.
constexpr double kReleaseGilWork = double(1 << 20);

/// Runs work(interrupt), where `interrupt` polls for Ctrl-C (and any other signal whose
/// handler raises): the exception it raises leaves this call once the work stops. The GIL
/// is released while the work runs when `amount` (in amplitude updates) pays for it.
/// An interrupt check that polls for Ctrl-C (taking the GIL) and keeps the exception the
/// signal's handler raised in `pending`.
inline InterruptCheck python_signals(nb::object& pending) {
    return [&pending]() {
        nb::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() == 0) return false;
        pending = nb::steal(PyErr_GetRaisedException());
        return true;
    };
}

template <class Work>
auto interruptible_work(double amount, Work&& work) {
    nb::object pending;
    const InterruptCheck interrupt = python_signals(pending);
    try {
        if (amount < kReleaseGilWork) return work(interrupt);
        nb::gil_scoped_release release;
        return work(interrupt);
    } catch (const Interrupted&) {
        PyErr_SetRaisedException(pending.release().ptr());
        throw nb::python_error();
    }
}

/// The same for work on circuits rather than states (walking gates), with the GIL held.
template <class Work>
auto interruptible(Work&& work) {
    return interruptible_work(0, std::forward<Work>(work));
}

/// One draw from numpy.random.random(), scaled to a 53-bit seed.
uint64_t seed_from_numpy();

/// The NoiseModel that kestrix.noise.model(...) made current here, as a copy; null when
/// none is (one context-variable read).
std::shared_ptr<const NoiseModel> current_noise();

/// Widest program that a noisy run without a chosen method simulates on the exact density
/// matrix (16 MiB); wider ones, and programs that act on a qubit after measuring it, run
/// by trajectories.
constexpr int kAutoDensityQubits = 10;

/// The method a noisy run without a chosen method takes (see kAutoDensityQubits).
NoisySimulator::Method automatic_method(const Program& program, const NoiseModel& model);

/// Runs `program` under `model` with `method`, as run_program does without noise: without
/// `seed`, a run that draws anything (a measured program, or trajectories) draws its seed
/// from NumPy. The GIL is released for long runs; Ctrl-C stops them.
Result run_noisy_program(const Program& program, uint64_t shots, std::optional<uint64_t> seed,
                         bool keep_memory, const NoiseModel& model, NoisySimulator::Method method);

/// Where a batch runs: by default in this process, or through the executor that
/// kestrix.parallel.executor(...) made current when the batch holds enough work to pay for
/// shipping it; an explicit executor takes every batch (see shipping.h).
struct Placement {
    nb::object executor;      ///< an explicit executor, or none
    uint64_t chunk_size = 0;  ///< programs per shipped chunk; 0 sizes chunks by their work
    bool here = false;        ///< run in this process whatever executor is current
};

/// Runs `program` for `shots` shots from the all-zero state. Without `seed`, a program
/// that measures draws its seed from NumPy; one without measurements draws nothing.
/// `keep_memory`: the result also keeps each shot's outcome (Simulator::run). Under a
/// current noise model the program runs noisy: on the density matrix up to
/// kAutoDensityQubits qubits, by trajectories beyond (automatic_method).
///
/// In `precision` Single the state is complex64 (Simulator::run); such runs take no noise
/// model: ValueError under a current one.
Result run_program(const Program& program, uint64_t shots,
                   std::optional<uint64_t> seed = std::nullopt, bool keep_memory = false,
                   Precision precision = Precision::Double);

/// ValueError naming `what` when `precision` is Single and a noise model is current, or an
/// executor was given: those paths run in double precision only.
void check_single_runs_here(Precision precision, const Placement* placement, const char* what);

/// How many programs a module gathers before it runs them as one batch: a few thousand in
/// this process, which keeps memory small, and many more while kestrix.parallel has an
/// executor current, so that a batch spreads over its workers. Gathering more or fewer
/// changes no result: seeds are drawn in order either way.
size_t pending_programs_limit();

/// Runs many independent programs over all the engine's threads and returns one result
/// per program, each exactly what run_program(programs[i], shots, seed) would return when
/// called once per program in order: without `seed`, every program that measures draws its
/// seed from NumPy's generator, in order, before any runs. The GIL is released while the
/// programs run; Ctrl-C stops the batch with KeyboardInterrupt. Use it wherever a module
/// runs many small circuits (kernel entries, distances, losses): on k cores it costs about
/// 1/k of the one-by-one time, and under kestrix.parallel.executor it runs on the
/// executor's workers, with the same results.
std::vector<Result> run_programs(std::span<const Program> programs, uint64_t shots,
                                 std::optional<uint64_t> seed = std::nullopt,
                                 const Placement& placement = {},
                                 Precision precision = Precision::Double);

/// The same with one seed per program, drawn by the caller: for modules whose seed draws
/// interleave with other NumPy calls (a replaceable step called before each run), so the
/// seeds cannot all be drawn at the start of the batch. ValueError when the counts differ.
std::vector<Result> run_programs(std::span<const Program> programs, uint64_t shots,
                                 std::span<const uint64_t> seeds, const Placement& placement = {},
                                 Precision precision = Precision::Double);

/// The exact-probability counterpart of run_programs for programs without measurements:
/// row i is the distribution of programs[i]'s final state over `qubits` (index bit k =
/// qubits[k]), or over all its qubits when `qubits` is nullopt. Draws nothing from NumPy.
std::vector<std::vector<double>> probabilities_of_programs(
    std::span<const Program> programs, const std::optional<std::vector<int>>& qubits,
    const Placement& placement = {}, Precision precision = Precision::Double);

/// Rows of parameter values for `circuit`: `values` is an array of shape (rows,
/// parameters) (one row may be 1-D), columns in the order of circuit.parameters(); the
/// numbers are kept in `storage`. ValueError for another shape or a circuit without
/// parameters.
ParameterRows parameter_rows(const Circuit& circuit, nb::handle values,
                             std::vector<double>& storage);

/// One program per row, each row's values bound (for executors and noisy runs).
std::vector<Program> bound_programs(const Program& program, const ParameterRows& rows);

/// run_programs for one program run at every row of `rows`: planned once and swept here,
/// or, with an explicit executor, bound row by row and shipped. Seeds are drawn as
/// run_programs draws them for the bound programs, so the results are the same.
std::vector<Result> run_rows(const Program& program, const ParameterRows& rows, uint64_t shots,
                             std::optional<uint64_t> seed, const Placement& placement);
/// probabilities_of_programs for one program at every row, in the same way.
/// Rows of `cols` numbers each copied into one block (logic_error for a row of another
/// length).
RowBlock row_block(const std::vector<std::vector<double>>& rows, size_t cols);
RowBlock probabilities_of_rows(const Program& program, const ParameterRows& rows,
                               const std::optional<std::vector<int>>& qubits,
                               const Placement& placement);

/// Rows of exact probabilities of programs without measurements under `model` (the
/// density matrix up to kAutoDensityQubits qubits, a thousand trajectories beyond), as
/// probabilities_of_programs gives them without noise.
std::vector<std::vector<double>> noisy_probabilities(std::span<const Program> programs,
                                                     const std::optional<std::vector<int>>& qubits,
                                                     const NoiseModel& model);

/// The all-zero state of `num_qubits` qubits after `circuit` (which must fit in it).
StateVector evolve(const Circuit& circuit, int num_qubits, Precision precision = Precision::Double);

/// Applies `circuit` to `state` in place, the GIL released when the work is long; Ctrl-C
/// stops it with KeyboardInterrupt. `from_zero`: the state is |0...0> (see apply_circuit).
void apply(StateVector& state, const Circuit& circuit, bool from_zero = false);

/// The 2^n x 2^n matrix of `circuit` (row-major, index bit k = qubit k), computed as
/// apply() runs a circuit.
std::vector<cplx> matrix_of(const Circuit& circuit, int n, Precision precision = Precision::Double);

}  // namespace kestrix::py
