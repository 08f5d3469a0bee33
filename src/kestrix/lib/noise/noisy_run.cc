#include "kestrix/lib/noise/noisy_run.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/base/memory.h"
#include "kestrix/lib/base/thread_pool.h"
#include "kestrix/lib/kernels/kernels.h"
#include "kestrix/lib/noise/density_matrix.h"
#include "kestrix/lib/noise/trajectory_tree.h"
#include "kestrix/lib/plan/op.h"
#include "kestrix/lib/plan/plan.h"
#include "kestrix/lib/run/sampling.h"

namespace kestrix {

namespace {

// Shots between two polls for an interrupt while branches are drawn.
constexpr uint64_t kPollShots = 1024;
// What one shot's entry in the table of error histories may cost: a map node and a short
// list of errors.
constexpr double kBytesPerHistory = 96;

size_t draw(const std::vector<double>& weights, Rng& rng) {
    double total = 0;
    for (double w : weights) total += w;
    const double u = rng.uniform() * total;
    double cumulative = 0;
    for (size_t k = 0; k < weights.size(); ++k) {
        cumulative += weights[k];
        if (u < cumulative) return k;
    }
    // Rounding can leave u just above the sum: the last branch of weight takes it.
    for (size_t k = weights.size(); k-- > 0;)
        if (weights[k] > 0) return k;
    return 0;
}

// One trajectory's pass through a channel: a mixture draws its unitary by a coin toss, a
// general channel draws its branch by the branch's probability on the state.
void apply_channel(StateVector& state, const Channel& ch, const std::vector<int>& qubits,
                   Rng& rng) {
    Op op;
    op.qubits = qubits;
    if (ch.is_mixture()) {
        const size_t b = draw(ch.mixture_probs, rng);
        if (ch.mixture_identity[b]) return;
        op.m = ch.mixture_unitaries[b];
    } else {
        const std::vector<double> p = branch_probabilities(ch, reduced_density(state, qubits));
        const size_t b = draw(p, rng);
        op.m = ch.kraus[b];
        const double scale = 1 / std::sqrt(p[b]);
        for (cplx& x : op.m) x *= scale;
    }
    apply_op(state.data(), state.num_qubits(), op);
}

// Flips each drawn reading's bits by the readout confusion of their qubits, shot by shot.
std::map<uint64_t, uint64_t> confuse(const std::map<uint64_t, uint64_t>& drawn,
                                     const std::vector<std::pair<double, double>>& readout,
                                     Rng& rng) {
    std::map<uint64_t, uint64_t> out;
    for (auto [value, count] : drawn) {
        for (uint64_t s = 0; s < count; ++s) {
            uint64_t read = value;
            for (size_t j = 0; j < readout.size(); ++j) {
                const bool one = (value >> j) & 1;
                if (rng.uniform() < (one ? readout[j].second : readout[j].first))
                    read ^= uint64_t{1} << j;
            }
            ++out[read];
        }
    }
    return out;
}

bool touches(const Gate& g, uint64_t mask) {
    for (int q : g.all_qubits())
        if ((mask >> q) & 1) return true;
    return false;
}

}  // namespace

Result NoisySimulator::run(const Program& program, const NoiseModel& model, uint64_t shots,
                           uint64_t seed, Method method, const InterruptCheck& interrupt,
                           bool keep_memory) {
    if (shots == 0) throw ValueError("shots must be positive");
    if (keep_memory && shots > Simulator::kMaxMemoryShots) {
        throw ValueError("memory=True keeps at most " + std::to_string(Simulator::kMaxMemoryShots) +
                         " shots, got " + std::to_string(shots));
    }
    const int n = program.width();
    if (method == Method::DensityMatrix)
        check_density_fits(n);
    else
        check_fits_in_memory(n);
    const std::vector<NoisyStep> steps = attach_noise(program.circuit, model);

    Result r;
    r.num_qubits_ = n;
    r.shots_ = shots;
    std::map<int, int> cbit_qubit;  // final writer of each classical bit
    bool terminal = true;
    uint64_t measured_mask = 0;
    for (const NoisyStep& s : steps) {
        if (s.kind == NoisyStep::Kind::Gate && s.gate.kind == GateKind::MEASURE) {
            cbit_qubit[s.gate.cbit] = s.gate.qubits[0];
            measured_mask |= uint64_t{1} << s.gate.qubits[0];
        } else if (s.kind == NoisyStep::Kind::Gate && touches(s.gate, measured_mask)) {
            terminal = false;
        }
    }
    std::vector<int> qubits;         // distinct measured qubits, in the order of their bits
    std::vector<size_t> source;      // for each classical bit, the position of its qubit
    std::map<int, size_t> position;  // classical bit -> its bit in an outcome
    for (auto& [c, q] : cbit_qubit) {
        position[c] = r.cbits_.size();
        r.cbits_.push_back(c);
        r.cbit_qubit_.push_back(q);
        auto it = std::find(qubits.begin(), qubits.end(), q);
        source.push_back(size_t(it - qubits.begin()));
        if (it == qubits.end()) qubits.push_back(q);
    }
    std::vector<std::pair<double, double>> readout;
    bool any_readout = false;
    for (int q : qubits) {
        readout.push_back(model.readout(q));
        any_readout = any_readout || readout.back() != std::pair<double, double>{0, 0};
    }
    const double table = std::ldexp(double(sizeof(double)), n);
    check_memory(
        std::ldexp(double(sizeof(cplx)), method == Method::DensityMatrix ? 2 * n : n) + table,
        "a noisy run of " + std::to_string(n) + " qubits");
    if (keep_memory && !qubits.empty())
        check_memory(double(shots) * sizeof(uint32_t),
                     "the memory of " + std::to_string(shots) + " shots");
    Rng rng(seed);
    auto finish = [&](std::map<uint64_t, uint64_t> drawn) {
        if (any_readout) drawn = confuse(drawn, readout, rng);
        for (auto [k, count] : drawn) {
            Outcome outcome;
            for (size_t j = 0; j < source.size(); ++j) outcome.set(j, (k >> source[j]) & 1);
            r.counts_.emplace_back(std::move(outcome), count);
        }
        std::sort(r.counts_.begin(), r.counts_.end());
    };
    std::vector<int> all(n);
    for (int q = 0; q < n; ++q) all[q] = q;

    if (method == Method::DensityMatrix) {
        if (!terminal) {
            throw ValueError(
                "the density_matrix method needs every measurement at the end of the program "
                "(no gate may act on a measured qubit)");
        }
        std::vector<NoisyStep> unitary;
        for (const NoisyStep& s : steps)
            if (s.kind == NoisyStep::Kind::Channel || s.gate.kind != GateKind::MEASURE)
                unitary.push_back(s);
        DensityMatrix rho(n, interrupt);
        rho.apply(unitary, model, interrupt);
        r.mean_probs_ = rho.probabilities(all);
        if (!qubits.empty()) {
            const std::vector<double> p = marginal(r.mean_probs_, n, qubits);
            std::map<uint64_t, uint64_t> drawn;
            for (auto [k, count] : sample_outcomes(
                     p.size(), [&](uint64_t i) { return p[i]; }, shots, rng))
                drawn[k] = count;
            finish(std::move(drawn));
        }
    } else if (terminal && model.all_mixtures()) {
        // Every branch is drawn up front, shot by shot; shots whose branches agree share one
        // simulation, and the identity branches draw nothing at all.
        std::vector<size_t> sites;  // the channel steps that may draw an error
        for (size_t i = 0; i < steps.size(); ++i)
            if (steps[i].kind == NoisyStep::Kind::Channel) sites.push_back(i);
        std::map<std::vector<uint64_t>, uint64_t> groups;
        std::vector<uint64_t> branches;
        // Sites whose channel can only leave the state alone (p = 0) draw nothing.
        std::erase_if(sites, [&](size_t i) {
            const Channel& ch = model.rules()[steps[i].rule].channel;
            return std::all_of(ch.mixture_identity.begin(), ch.mixture_identity.end(),
                               [](bool identity) { return identity; });
        });
        std::vector<size_t> site_of_step(steps.size(), SIZE_MAX);
        for (size_t k = 0; k < sites.size(); ++k) site_of_step[sites[k]] = k;
        if (sites.empty()) {
            groups[{}] = shots;
        } else {
            // A table entry per distinct history, at most one per shot.
            check_memory(double(shots) * kBytesPerHistory,
                         "the error histories of " + std::to_string(shots) + " shots");
        }
        for (uint64_t shot = 0; shot < shots && !sites.empty(); ++shot) {
            if (shot % kPollShots == kPollShots - 1 && interrupt && interrupt())
                throw Interrupted();
            branches.clear();
            for (size_t k = 0; k < sites.size(); ++k) {
                const Channel& ch = model.rules()[steps[sites[k]].rule].channel;
                const size_t b = draw(ch.mixture_probs, rng);
                if (!ch.mixture_identity[b]) branches.push_back(uint64_t(k) << 32 | b);
            }
            ++groups[branches];
        }
        r.mean_probs_.assign(uint64_t{1} << n, 0.0);
        // Groups come in the order of their first error's site. Every group shares the
        // noiseless run up to that site: a second state, the frontier, advances through
        // the noiseless circuit, and each group starts from a copy of it, so only the part
        // after its first error is simulated again. Skipped where a third state would not fit.
        const double bytes = std::ldexp(double(sizeof(cplx)), n);
        const bool use_frontier = groups.size() > 1 && 3 * bytes <= usable_memory();
        // Narrow states run a batch of groups at once, one per thread (wide ones use every
        // thread inside their kernels). Each group draws its shots with a seed drawn in
        // group order and is tallied in that order: the counts do not depend on the threads.
        const bool narrow = n < kParallelQubits;
        const size_t batch =
            narrow ? std::min<size_t>(groups.size(), 4 * size_t(thread_count())) : 1;
        std::optional<StateVector> frontier;
        size_t frontier_at = 0;  // steps before this one have run on the frontier
        std::map<uint64_t, uint64_t> drawn;
        std::vector<StateVector> slots;
        for (size_t k = 0; k < batch; ++k) slots.emplace_back(n, interrupt);
        struct Job {
            const std::vector<uint64_t>* events;
            uint64_t count;
            size_t start;  // the step the group's own simulation starts from
            uint64_t seed;
        };
        std::vector<Job> jobs;
        auto simulate = [&](const Job& job, StateVector& state, const InterruptCheck& check) {
            Circuit c;
            size_t next = 0;
            const std::vector<uint64_t>& events = *job.events;
            for (size_t i = job.start; i < steps.size(); ++i) {
                const NoisyStep& s = steps[i];
                if (s.kind == NoisyStep::Kind::Gate) {
                    if (s.gate.kind != GateKind::MEASURE) c.append(s.gate);
                    continue;
                }
                if (next == events.size() || (events[next] >> 32) != site_of_step[i]) continue;
                const Channel& ch = model.rules()[s.rule].channel;
                c.append(
                    matrix_gate(s.qubits, {}, ch.mixture_unitaries[events[next] & 0xffffffff]));
                ++next;
            }
            Plan(c, n, check, job.start == 0).run(state.data(), check);
        };
        auto run_jobs = [&] {
            const InterruptCheck none;
            run_pieces(jobs.size(), narrow ? thread_count() : 1, [&](uint64_t k, int worker) {
                simulate(jobs[k], slots[k], worker == 0 ? interrupt : none);
            });
            if (interrupt && interrupt()) throw Interrupted();
            for (size_t k = 0; k < jobs.size(); ++k) {
                const StateVector& state = slots[k];
                Rng own(jobs[k].seed);
                if (!qubits.empty())
                    for (auto [v, m] : sample_qubits(state, qubits, jobs[k].count, own))
                        drawn[v] += m;
                const double w = double(jobs[k].count) / double(shots);
                for (uint64_t i = 0; i < state.size(); ++i)
                    r.mean_probs_[i] += w * std::norm(state.data()[i]);
            }
            jobs.clear();
        };
        for (const auto& [events, count] : groups) {
            StateVector& state = slots[jobs.size()];
            size_t start = 0;
            if (use_frontier && !events.empty()) {
                start = sites[events[0] >> 32];
                if (!frontier) frontier.emplace(n, interrupt);
                Circuit ahead;
                for (size_t i = frontier_at; i < start; ++i)
                    if (steps[i].kind == NoisyStep::Kind::Gate &&
                        steps[i].gate.kind != GateKind::MEASURE)
                        ahead.append(steps[i].gate);
                if (!ahead.empty())
                    Plan(ahead, n, interrupt, frontier_at == 0).run(frontier->data(), interrupt);
                frontier_at = start;
                std::copy(frontier->data(), frontier->data() + frontier->size(), state.data());
            } else {
                state.reset(interrupt);
            }
            jobs.push_back({&events, count, start, rng()});
            if (jobs.size() == batch) run_jobs();
        }
        run_jobs();
        if (!qubits.empty()) finish(std::move(drawn));
    } else {
        // The gates between two channels or measurements are planned once. Programs that
        // measure at their end split their shots among the branches (TrajectoryTree); the
        // others run each shot on its own, measurements collapsing the state.
        std::vector<Plan> pieces;
        std::vector<Event> events;
        Circuit piece;
        auto flush = [&] {
            if (piece.empty()) return;
            pieces.emplace_back(piece, n, interrupt, events.empty());
            events.push_back({Event::Kind::Piece, pieces.size() - 1});
            piece = Circuit();
        };
        for (size_t i = 0; i < steps.size(); ++i) {
            const NoisyStep& s = steps[i];
            if (s.kind == NoisyStep::Kind::Gate && s.gate.kind != GateKind::MEASURE) {
                piece.append(s.gate);
                continue;
            }
            flush();
            if (events.size() % kPollShots == kPollShots - 1 && interrupt && interrupt())
                throw Interrupted();
            events.push_back(
                {s.kind == NoisyStep::Kind::Channel ? Event::Kind::Channel : Event::Kind::Measure,
                 i});
        }
        flush();
        if (terminal) {
            StateVector state(n, interrupt);
            r.mean_probs_.assign(state.size(), 0.0);
            std::map<uint64_t, uint64_t> drawn;
            // Copies of the state alive at once: a quarter of the memory, at most 64.
            const double bytes = std::ldexp(double(sizeof(cplx)), n);
            const size_t depth = size_t(std::clamp(usable_memory() / 4 / bytes - 1, 0.0, 64.0));
            TrajectoryTree tree(pieces, events, steps, model, rng, interrupt, depth,
                                [&](const StateVector& psi, uint64_t count) {
                                    if (!qubits.empty())
                                        for (auto [k, c] : sample_qubits(psi, qubits, count, rng))
                                            drawn[k] += c;
                                    const double w = double(count) / double(shots);
                                    for (uint64_t i = 0; i < psi.size(); ++i)
                                        r.mean_probs_[i] += w * std::norm(psi.data()[i]);
                                });
            tree.run(state, shots);
            if (!qubits.empty()) finish(std::move(drawn));
            if (keep_memory)
                r.memory_ = shuffled_memory(r.counts_, qubits.empty() ? 0 : shots, rng);
            return r;
        }
        std::map<Outcome, uint64_t> tally;
        std::vector<Outcome> shot_outcomes;
        StateVector state(n, interrupt);
        r.mean_probs_.assign(state.size(), 0.0);
        for (uint64_t shot = 0; shot < shots; ++shot) {
            if (shot) state.reset(interrupt);
            if (interrupt && interrupt()) throw Interrupted();
            Outcome outcome;
            uint64_t work = 0;  // amplitude updates since the last poll
            for (const Event& e : events) {
                work += state.size();
                if (work >= kPollWork) {
                    work = 0;
                    if (interrupt && interrupt()) throw Interrupted();
                }
                if (e.kind == Event::Kind::Piece) {
                    pieces[e.index].run(state.data(), interrupt);
                    continue;
                }
                const NoisyStep& s = steps[e.index];
                if (e.kind == Event::Kind::Channel) {
                    apply_channel(state, model.rules()[s.rule].channel, s.qubits, rng);
                    continue;
                }
                const int q = s.gate.qubits[0];
                const double p1 = state.probability_of_one(q);
                const int value = rng.uniform() < p1 ? 1 : 0;
                state.collapse(q, value, value ? p1 : 1 - p1);
                const auto [p01, p10] = model.readout(q);
                const bool flip = (p01 > 0 || p10 > 0) && rng.uniform() < (value ? p10 : p01);
                outcome.set(position[s.gate.cbit], value != int(flip));
            }
            if (!qubits.empty()) {
                ++tally[outcome];
                if (keep_memory) shot_outcomes.push_back(outcome);
            }
            for (uint64_t i = 0; i < state.size(); ++i)
                r.mean_probs_[i] += std::norm(state.data()[i]);
        }
        for (double& p : r.mean_probs_) p /= double(shots);
        r.counts_.assign(tally.begin(), tally.end());
        if (keep_memory) r.memory_ = memory_indices(r.counts_, shot_outcomes);
        return r;
    }
    if (keep_memory) r.memory_ = shuffled_memory(r.counts_, qubits.empty() ? 0 : shots, rng);
    return r;
}

}  // namespace kestrix
