#include "kestrix/lib/run/simulator.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <map>
#include <string>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/base/memory.h"
#include "kestrix/lib/base/parallel.h"
#include "kestrix/lib/base/thread_pool.h"
#include "kestrix/lib/plan/plan.h"
#include "kestrix/lib/plan/sweep.h"
#include "kestrix/lib/run/sampling.h"

namespace kestrix {

namespace {

// Fewer narrow programs than this run on the calling thread alone: waking a sleeping
// thread costs more than a handful of small programs.
constexpr size_t kMinSharedPrograms = 16;
// What planning and sampling a small program cost, in amplitude updates (a few
// microseconds): a batch of tiny programs polls for Ctrl-C every thousand or so.
constexpr uint64_t kProgramWork = uint64_t{1} << 12;

// Whether no step touches a qubit after it has been measured, so that one simulation
// serves every shot.
bool measurements_are_terminal(const Schedule& plan) {
    uint64_t measured = 0;
    for (const Step& step : plan.steps) {
        if (step.kind == Step::Kind::Measure) {
            measured |= uint64_t{1} << step.qubit;
        } else if (plan.qubit_mask(step) & measured) {
            return false;
        }
    }
    return true;
}

// Draws the shots of a program whose measurements are all terminal from its final state.
// The draw is over the distinct measured qubits (in the order of the classical bits that
// first hold them), so its table has at most 2^n entries however many classical bits
// copy them; each drawn value is then spelled out over the classical bits. When every
// qubit is measured, the draw reads the amplitudes themselves: no table of the state's
// size is made, so a state that fits in memory can be sampled.
std::vector<std::pair<Outcome, uint64_t>> sample_terminal(const StateVector& state,
                                                          const std::vector<int>& cbit_qubit,
                                                          uint64_t shots, Rng& rng) {
    return terminal_outcomes(cbit_qubit, [&](const std::vector<int>& qubits) {
        return sample_qubits(state, qubits, shots, rng);
    });
}

// Memory a run needs beyond what its state holds: the table of the measured qubits'
// distribution when only some are measured (and the sorted uniforms of a few shots), or
// the averaged probabilities of a run simulated shot by shot. MemoryError, with the sizes,
// before anything is allocated.
void check_run_fits(int n, size_t measured, bool terminal, uint64_t shots, Precision precision) {
    const double state =
        std::ldexp(double(precision == Precision::Single ? sizeof(cfloat) : sizeof(cplx)), n);
    double sampling = 0;
    if (!terminal) {
        sampling = std::ldexp(double(sizeof(double)), n);
    } else if (measured > 0) {
        const double table = measured < size_t(n) ? std::ldexp(1.0, int(measured)) : 0.0;
        const double uniforms =
            double(shots) < std::ldexp(1.0, int(measured)) / 8 ? double(shots) : 0.0;
        sampling = double(sizeof(double)) * (table + uniforms);
    }
    if (state + sampling <= usable_memory()) return;
    check_memory(state + sampling, "a run of " + std::to_string(n) + " qubits (the state " +
                                       gib_text(state) + ", sampling " + gib_text(sampling) + ")");
}

}  // namespace

size_t Simulator::passes(const Program& program) {
    const int n = program.width();
    // No state is made, but the engine's qubit masks stop at 64 bits: past 60 qubits it is
    // the MemoryError a run would give.
    if (n > 60) check_fits_in_memory(n);
    // A circuit that waits for parameters is planned as a sweep plans it.
    if (!program.circuit.parameters().empty())
        return SweepPlan(program.circuit, n, program.circuit.parameters(), {}, true)
            .planned()
            .passes();
    return Plan(program.circuit, n, {}, true).passes();
}

Result Simulator::run(const Program& program, uint64_t shots, uint64_t seed,
                      const InterruptCheck& interrupt, bool keep_memory, Precision precision) {
    if (shots == 0) throw ValueError("shots must be positive");
    if (keep_memory && shots > kMaxMemoryShots) {
        throw ValueError("memory=True keeps at most " + std::to_string(kMaxMemoryShots) +
                         " shots, got " + std::to_string(shots));
    }
    const int n = program.width();
    check_fits_in_memory(n, precision);
    check_bound(program.circuit);
    // Every run starts from |0...0>.
    const Plan plan(program.circuit, n, interrupt, true, precision);
    return run_plan(plan, shots, seed, interrupt, keep_memory);
}

void Simulator::check_bound(const Circuit& circuit) {
    const std::vector<Parameter>& unbound = circuit.parameters();
    if (unbound.empty()) return;
    std::string names;
    for (size_t k = 0; k < unbound.size() && k < 5; ++k)
        names += (k ? ", " : "") + unbound[k]->name;
    if (unbound.size() > 5) names += ", ...";
    throw ValueError("the circuit has " + std::to_string(unbound.size()) +
                     " unbound parameter(s) (" + names +
                     "): bind them with bind(...) or pass parameter_values");
}

Result Simulator::run_plan(const Plan& plan, uint64_t shots, uint64_t seed,
                           const InterruptCheck& interrupt, bool keep_memory) {
    const int n = plan.num_qubits();
    // Fusion never merges gates across a measurement, so it leaves this answer alone.
    const std::vector<Step>& steps = plan.schedule().steps;
    const bool terminal = measurements_are_terminal(plan.schedule());
    Result r;
    r.num_qubits_ = n;
    r.shots_ = shots;
    r.precision_ = plan.precision();
    std::map<int, int> cbit_qubit;  // final writer of each classical bit
    for (const Step& step : steps)
        if (step.kind == Step::Kind::Measure) cbit_qubit[step.cbit] = step.qubit;
    std::vector<int> measured;
    for (auto& [c, q] : cbit_qubit) {
        r.cbits_.push_back(c);
        r.cbit_qubit_.push_back(q);
        if (std::find(measured.begin(), measured.end(), q) == measured.end()) measured.push_back(q);
    }
    check_run_fits(n, measured.size(), terminal, shots, plan.precision());
    if (keep_memory && !measured.empty())
        check_memory(double(shots) * sizeof(uint32_t),
                     "the memory of " + std::to_string(shots) + " shots");
    Rng rng(seed);
    WorkPoller poller(interrupt);

    if (terminal) {
        StateVector state(n, interrupt, plan.precision());
        state.visit([&](auto* amps) {
            for (const Segment& s : plan.segments())
                if (s.kind != Segment::Kind::Measure) plan.apply(s, amps, poller);
        });
        if (r.measured()) r.counts_ = sample_terminal(state, r.cbit_qubit_, shots, rng);
        // Drawn after the counts, so that keeping the memory leaves them as they were.
        if (keep_memory) r.memory_ = shuffled_memory(r.counts_, r.measured() ? shots : 0, rng);
        r.state_.emplace(std::move(state));
        return r;
    }

    // One state buffer for every shot; each measurement step's outcome bit found once.
    std::map<Outcome, uint64_t> tally;
    r.mean_probs_.assign(uint64_t{1} << n, 0.0);
    std::map<int, size_t> cbit_position;
    for (size_t j = 0; j < r.cbits_.size(); ++j) cbit_position[r.cbits_[j]] = j;
    std::vector<size_t> outcome_bit(steps.size(), 0);
    for (size_t k = 0; k < steps.size(); ++k)
        if (!steps[k].is_unitary()) outcome_bit[k] = cbit_position[steps[k].cbit];
    StateVector state(n, interrupt, plan.precision());
    std::vector<Outcome> shot_outcomes;
    if (keep_memory) shot_outcomes.reserve(shots);
    for (uint64_t shot = 0; shot < shots; ++shot) {
        if (shot) state.reset();
        Outcome outcome;
        for (const Segment& s : plan.segments()) {
            if (s.kind != Segment::Kind::Measure) {
                state.visit([&](auto* amps) { plan.apply(s, amps, poller); });
                continue;
            }
            const size_t k = s.step;
            const int q = steps[k].qubit;
            const double p1 = state.probability_of_one(q);
            const int value = rng.uniform() < p1 ? 1 : 0;
            state.collapse(q, value, value ? p1 : 1 - p1);
            outcome.set(outcome_bit[k], value);
        }
        ++tally[outcome];
        if (keep_memory) shot_outcomes.push_back(outcome);
        double* mean = r.mean_probs_.data();
        state.visit([&](const auto* a) {
            for_range(state.size(), n >= kParallelQubits,
                      [&](uint64_t i) { mean[i] += std::norm(cplx(a[i])); });
        });
    }
    for (double& p : r.mean_probs_) p /= double(shots);
    r.counts_.assign(tally.begin(), tally.end());
    // Only a measured program runs shot by shot, so every shot has an outcome.
    if (keep_memory) r.memory_ = memory_indices(r.counts_, shot_outcomes);
    return r;
}

namespace {

// Runs body(i, check) for every program index and collects the errors. Narrow programs
// are pieces of one run_pieces call, taken one at a time by whichever thread is free;
// wide ones follow, one after another, each using every thread inside its kernels.
// `check` is the interrupt test a program polls: the caller's own callback on the
// calling thread, a shared stop flag on the others.
template <class Body>
void over_programs(std::span<const Program> programs, const InterruptCheck& interrupt, Body body) {
    std::vector<size_t> narrow, wide;
    for (size_t i = 0; i < programs.size(); ++i)
        (programs[i].width() < kParallelQubits ? narrow : wide).push_back(i);
    std::atomic<bool> stop{false};
    const InterruptCheck on_caller = [&] {
        if (!stop.load(std::memory_order_relaxed) && interrupt && interrupt()) stop.store(true);
        return stop.load(std::memory_order_relaxed);
    };
    const InterruptCheck on_worker = [&] { return stop.load(std::memory_order_relaxed); };
    std::vector<std::exception_ptr> errors(programs.size());
    auto attempt = [&](size_t i, const InterruptCheck& check) {
        try {
            body(i, check);
        } catch (const Interrupted&) {
            stop.store(true);
        } catch (...) {
            errors[i] = std::current_exception();
        }
    };
    const int workers = narrow.size() < kMinSharedPrograms ? 1 : thread_count();
    uint64_t work = 0;  // done on the calling thread since it last polled
    run_pieces(narrow.size(), workers, [&](uint64_t k, int worker) {
        if (stop.load(std::memory_order_relaxed)) return;
        const Program& p = programs[narrow[k]];
        attempt(narrow[k], worker == 0 ? on_caller : on_worker);
        if (worker != 0) return;
        work += ((p.circuit.gate_count() + 1) << p.width()) + kProgramWork;
        if (work >= kPollWork) {
            work = 0;
            on_caller();
        }
    });
    for (size_t i : wide) {
        if (stop.load() || on_caller()) break;
        attempt(i, on_caller);
    }
    if (stop.load()) throw Interrupted();
    for (const std::exception_ptr& error : errors)
        if (error) std::rethrow_exception(error);
}

}  // namespace

void Simulator::check_batch(std::span<const Program> programs, uint64_t shots,
                            std::span<const uint64_t> seeds, Precision precision) {
    if (seeds.size() != programs.size()) {
        throw ValueError("run_batch: " + std::to_string(programs.size()) + " programs but " +
                         std::to_string(seeds.size()) + " seeds");
    }
    if (shots == 0) throw ValueError("shots must be positive");
    check_results_fit(programs, 1, precision);
}

void Simulator::check_results_fit(std::span<const Program> programs, size_t copies,
                                  Precision precision) {
    const double amplitude = double(precision == Precision::Single ? sizeof(cfloat) : sizeof(cplx));
    double bytes = 0;
    for (const Program& p : programs) bytes += std::ldexp(amplitude, p.width());
    bytes *= double(copies);
    if (bytes <= usable_memory()) return;
    check_memory(bytes, "the results of a batch of " + std::to_string(programs.size() * copies) +
                            " runs (each keeps its final state)");
}

std::vector<Result> Simulator::run_batch(std::span<const Program> programs, uint64_t shots,
                                         std::span<const uint64_t> seeds,
                                         const InterruptCheck& interrupt, Precision precision) {
    check_batch(programs, shots, seeds, precision);
    std::vector<Result> results(programs.size());
    over_programs(programs, interrupt, [&](size_t i, const InterruptCheck& check) {
        results[i] = run(programs[i], shots, seeds[i], check, false, precision);
    });
    return results;
}

void Simulator::check_probabilities_batch(std::span<const Program> programs,
                                          const std::optional<std::vector<int>>& qubits) {
    if (qubits) check_distinct_qubits(*qubits, "probabilities_batch");
    for (size_t i = 0; i < programs.size(); ++i) {
        if (programs[i].circuit.has_measurement()) {
            throw ValueError("probabilities_batch: program " + std::to_string(i) +
                             " measures; run it with run_batch");
        }
        for (int q : qubits.value_or(std::vector<int>{})) {
            if (q >= programs[i].width()) {
                throw IndexError("probabilities_batch: qubit " + std::to_string(q) +
                                 " is outside program " + std::to_string(i) + " (" +
                                 std::to_string(programs[i].width()) + " qubits)");
            }
        }
    }
    check_probability_rows_fit(programs, qubits);
}

void Simulator::check_probability_rows_fit(std::span<const Program> programs,
                                           const std::optional<std::vector<int>>& qubits,
                                           size_t copies) {
    double rows = 0, widest = 0;
    for (const Program& p : programs) {
        const int k = qubits ? int(qubits->size()) : p.width();
        rows += std::ldexp(double(sizeof(double)), k);
        widest = std::max(widest, std::ldexp(double(sizeof(cplx)), p.width()));
    }
    rows *= double(copies);
    // The rows are held beside the widest state, then copied once into the caller's array.
    const double bytes = rows + std::max(widest, rows);
    if (bytes <= usable_memory()) return;
    check_memory(bytes, "a batch of " + std::to_string(programs.size() * copies) +
                            " rows of probabilities (" + gib_text(rows) +
                            " and a copy, or a state of " + gib_text(widest) + ")");
}

std::vector<std::vector<double>> Simulator::probabilities_batch(
    std::span<const Program> programs, const std::optional<std::vector<int>>& qubits,
    const InterruptCheck& interrupt, Precision precision) {
    check_probabilities_batch(programs, qubits);
    std::vector<std::vector<double>> rows(programs.size());
    over_programs(programs, interrupt, [&](size_t i, const InterruptCheck& check) {
        const Result r = run(programs[i], 1, 0, check, false, precision);
        if (qubits) {
            rows[i] = r.exact_probabilities(*qubits);
        } else {
            std::vector<int> all(r.num_qubits());
            for (int q = 0; q < r.num_qubits(); ++q) all[q] = q;
            rows[i] = r.exact_probabilities(all);
        }
    });
    return rows;
}

std::vector<double> Result::exact_probabilities(const std::vector<int>& qubits) const {
    check_distinct_qubits(qubits, "result");
    if (state_) return state_->probabilities(qubits);
    return marginal(mean_probs_, num_qubits_, qubits);
}

std::optional<std::vector<double>> Result::shot_frequencies(const std::vector<int>& qubits) const {
    if (!measured()) return std::nullopt;
    check_distinct_qubits(qubits, "result");
    std::vector<int> position;  // bit of the outcome that holds each requested qubit
    for (int q : qubits) {
        auto it = std::find(cbit_qubit_.begin(), cbit_qubit_.end(), q);
        if (it == cbit_qubit_.end()) return std::nullopt;
        position.push_back(int(it - cbit_qubit_.begin()));
    }
    std::vector<double> freq(uint64_t{1} << qubits.size(), 0.0);
    for (auto [outcome, count] : counts_) {
        uint64_t j = 0;
        for (size_t k = 0; k < position.size(); ++k) j |= uint64_t{outcome.bit(position[k])} << k;
        freq[j] += double(count) / double(shots_);
    }
    return freq;
}

std::vector<double> Result::probabilities(const std::vector<int>& qubits) const {
    if (auto f = shot_frequencies(qubits)) return *f;
    return exact_probabilities(qubits);
}

}  // namespace kestrix
