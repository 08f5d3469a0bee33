#include "kestrix/lib/dist/distributed.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <map>
#include <memory>
#include <string>
#include <type_traits>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/base/memory.h"
#include "kestrix/lib/base/parallel.h"
#include "kestrix/lib/dist/swap_plan.h"
#include "kestrix/lib/plan/plan.h"
#include "kestrix/lib/run/sampling.h"

namespace kestrix {

namespace {

// Runs `turn` on each rank in rank order, handing `carry` from each rank to the next: the
// running sums of one process, continued across processes, so that they add in the same
// order as on one process.
template <class Turn>
void in_rank_order(Communicator& comm, void* carry, size_t bytes, Turn turn) {
    for (int r = 0; r < comm.size(); ++r) {
        if (comm.rank() == r) turn();
        comm.broadcast(carry, bytes, r);
    }
}

bool measurements_are_terminal(const Schedule& plan) {
    uint64_t measured = 0;
    for (const Step& step : plan.steps) {
        if (step.kind == Step::Kind::Measure)
            measured |= uint64_t{1} << step.qubit;
        else if (plan.qubit_mask(step) & measured)
            return false;
    }
    return true;
}

// Swaps local bit l with global bit g: this rank trades the half of its slice whose bit l
// differs from its own bit g with the partner rank, piece by piece through `buffer`.
void swap_bits(cplx* a, int nl, int l, int g, Communicator& comm, std::vector<cplx>& buffer,
               ExchangeStats& stats) {
    const auto start = std::chrono::steady_clock::now();
    const int own = (comm.rank() >> (g - nl)) & 1;
    const int partner = comm.rank() ^ (1 << (g - nl));
    const uint64_t half = uint64_t{1} << (nl - 1);
    const uint64_t piece = buffer.size() / 2;
    cplx* send = buffer.data();
    cplx* recv = send + piece;
    const uint64_t low = (uint64_t{1} << l) - 1;
    const uint64_t set = uint64_t(1 - own) << l;
    auto index = [&](uint64_t j) { return ((j & ~low) << 1) | (j & low) | set; };
    const bool parallel = nl >= kParallelQubits;
    for (uint64_t at = 0; at < half; at += piece) {
        const uint64_t count = std::min(piece, half - at);
        for_range(count, parallel, [&](uint64_t j) { send[j] = a[index(at + j)]; });
        comm.exchange(partner, send, recv, count * sizeof(cplx));
        for_range(count, parallel, [&](uint64_t j) { a[index(at + j)] = recv[j]; });
    }
    stats.exchanges += 1;
    stats.bytes += half * sizeof(cplx);
    stats.seconds +=
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Measures physical bit p: the probability of 1 summed over ranks in rank order, the
// outcome drawn alike on every rank, the slices collapsed.
int measure(StateVector& slice, int p, int nl, Communicator& comm, Rng& rng) {
    const bool global = p >= nl;
    const int own = global ? (comm.rank() >> (p - nl)) & 1 : 0;
    double part = 0;
    if (!global)
        part = slice.probability_of_one(p);
    else if (own)
        part = slice.probabilities({})[0];
    const double p1 = sum_over_ranks(comm, std::span<const double>(&part, 1))[0];
    const int value = rng.uniform() < p1 ? 1 : 0;
    const double prob = value ? p1 : 1 - p1;
    if (!global) {
        slice.collapse(p, value, prob);
    } else {
        const cplx scale = own == value ? 1 / std::sqrt(prob) : 0.0;
        cplx* a = slice.data();
        for_range(slice.size(), nl >= kParallelQubits, [&](uint64_t i) { a[i] *= scale; });
    }
    return value;
}

void reset_slice(StateVector& slice, int rank, const InterruptCheck& interrupt) {
    slice.reset(interrupt);
    if (rank != 0) slice.data()[0] = 0;
}

// What every rank must agree on: a different plan would pair exchanges wrongly or wait
// forever. (Angles may differ without harm to the others: they are not hashed.)
uint64_t fingerprint(const SwapPlan& plan, const Schedule& schedule, uint64_t shots, uint64_t seed,
                     bool keep_memory) {
    uint64_t h = 1469598103934665603ULL;
    auto mix = [&](uint64_t x) { h = (h ^ x) * 1099511628211ULL; };
    mix(uint64_t(plan.num_qubits()));
    mix(shots);
    mix(seed);
    mix(keep_memory);
    for (const SwapAction& a : plan.actions()) {
        mix(uint64_t(a.kind));
        mix(uint64_t(a.local) << 32 | uint64_t(a.global));
        mix(a.step);
        for (uint32_t i : a.steps) mix(i);
    }
    for (const Step& step : schedule.steps)
        mix(step.is_unitary() ? schedule.qubit_mask(step) : ~uint64_t(step.qubit));
    return h;
}

}  // namespace

int DistributedSimulator::global_qubits(int size, int n) {
    if (size < 1 || (size & (size - 1))) {
        throw ValueError("the communicator has " + std::to_string(size) +
                         " processes: a state splits over a power of two of them (1, 2, 4, ...)");
    }
    const int k = std::countr_zero(unsigned(size));
    if (k > 0 && k >= n) {
        throw ValueError("the communicator's " + std::to_string(size) +
                         " processes are too many for " + std::to_string(n) +
                         " qubits: each needs a slice of at least 2 amplitudes");
    }
    return k;
}

DistributedResult DistributedSimulator::run(const Program& program, uint64_t shots, uint64_t seed,
                                            std::shared_ptr<Communicator> comm_ptr,
                                            const DistributedOptions& options,
                                            const InterruptCheck& interrupt, bool keep_memory) {
    Communicator& comm = *comm_ptr;
    const int rank = comm.rank();
    const int n = program.width();
    DistributedResult out;
    out.comm_ = comm_ptr;
    Result& r = out.result_;
    Schedule schedule;
    std::optional<SwapPlan> plan;
    std::vector<std::unique_ptr<Plan>> local_plans;
    std::optional<StateVector> slice;
    std::vector<cplx> buffer;
    bool terminal = true;
    int nl = 0;
    // Anything up to the first exchange may fail on one rank alone: the ranks agree first.
    std::exception_ptr error;
    try {
        if (shots == 0) throw ValueError("shots must be positive");
        if (keep_memory && shots > Simulator::kMaxMemoryShots) {
            throw ValueError("memory=True keeps at most " +
                             std::to_string(Simulator::kMaxMemoryShots) + " shots, got " +
                             std::to_string(shots));
        }
        if (!(options.buffer_share > 0 && options.buffer_share <= 1)) {
            throw ValueError("the exchange buffer must be a share of a slice in (0, 1], got " +
                             std::to_string(options.buffer_share));
        }
        out.global_qubits_ = global_qubits(comm.size(), n);
        nl = n - out.global_qubits_;
        Simulator::check_bound(program.circuit);
        // The plan's qubit masks are 64-bit, as the engine's are.
        if (n > 63)
            throw ValueError("a split state has at most 63 qubits, got " + std::to_string(n));
        if (nl > 60) check_fits_in_memory(nl);
        schedule = make_schedule(program.circuit, n, true, interrupt, true);
        // Folded repeats and state preparations may span more qubits than a slice holds:
        // then the gates run as they are.
        if (SwapPlan::widest(schedule) > nl)
            schedule = make_schedule(program.circuit, n, false, interrupt, false);
        plan.emplace(schedule, n, out.global_qubits_);
        terminal = measurements_are_terminal(schedule);
        const double slice_bytes = std::ldexp(double(sizeof(cplx)), nl);
        const double need = slice_bytes * (1 + options.buffer_share) +
                            (terminal ? 0.0 : std::ldexp(double(sizeof(double)), nl));
        const int here = comm.ranks_on_this_machine();
        check_memory(need * here, "a run of " + std::to_string(n) + " qubits over " +
                                      std::to_string(comm.size()) + " processes (" +
                                      std::to_string(here) + " on this machine, " + gib_text(need) +
                                      " each)");
        slice.emplace(nl, interrupt);
        if (rank != 0) slice->data()[0] = 0;
        const uint64_t amps = uint64_t(options.buffer_share * std::ldexp(1.0, nl));
        buffer.resize(std::max<uint64_t>(2, amps & ~uint64_t{1}));
        local_plans.resize(plan->actions().size());
        for (size_t i = 0; i < plan->actions().size(); ++i) {
            const SwapAction& a = plan->actions()[i];
            if (a.kind == SwapAction::Kind::Run)
                local_plans[i] = std::make_unique<Plan>(
                    local_steps(schedule, a.steps, a.position, nl, uint64_t(rank)), nl);
            else if (a.kind == SwapAction::Kind::Permute)
                local_plans[i] = std::make_unique<Plan>(unpermute_steps(a.position, nl), nl);
        }
    } catch (...) {
        error = std::current_exception();
    }
    fail_together(comm, error);
    const uint64_t print = fingerprint(*plan, schedule, shots, seed, keep_memory);
    const std::vector<uint64_t> prints = allgather(comm, std::span<const uint64_t>(&print, 1));
    if (std::count(prints.begin(), prints.end(), prints[0]) != comm.size()) {
        throw ValueError(
            "the processes run different programs or settings: every rank must run the same "
            "program with the same shots and seed");
    }

    r.num_qubits_ = n;
    r.shots_ = shots;
    std::map<int, int> cbit_qubit;  // final writer of each classical bit
    for (const Step& step : schedule.steps)
        if (step.kind == Step::Kind::Measure) cbit_qubit[step.cbit] = step.qubit;
    for (auto& [c, q] : cbit_qubit) {
        r.cbits_.push_back(c);
        r.cbit_qubit_.push_back(q);
    }
    std::map<int, size_t> cbit_position;
    for (size_t j = 0; j < r.cbits_.size(); ++j) cbit_position[r.cbits_[j]] = j;

    Rng rng(seed);
    WorkPoller poller(interrupt);
    // A rank that fails between exchanges carries its error to the next one, where every
    // rank learns of it.
    auto run_actions = [&](Outcome* outcome) {
        std::exception_ptr failed;
        for (size_t i = 0; i < plan->actions().size(); ++i) {
            const SwapAction& a = plan->actions()[i];
            if (a.kind == SwapAction::Kind::Run || a.kind == SwapAction::Kind::Permute) {
                if (failed) continue;
                try {
                    for (const Segment& s : local_plans[i]->segments())
                        local_plans[i]->apply(s, slice->data(), poller);
                } catch (...) {
                    failed = std::current_exception();
                }
                continue;
            }
            // Terminal measurements are drawn from the final state instead.
            if (a.kind == SwapAction::Kind::Measure && !outcome) continue;
            fail_together(comm, failed);
            if (a.kind == SwapAction::Kind::Swap) {
                swap_bits(slice->data(), nl, a.local, a.global, comm, buffer, out.stats_);
            } else {
                const Step& step = schedule.steps[a.step];
                const int value = measure(*slice, a.position[step.qubit], nl, comm, rng);
                outcome->set(cbit_position[step.cbit], value);
            }
        }
        fail_together(comm, failed);
    };

    if (terminal) {
        run_actions(nullptr);
        out.slice_.emplace(std::move(*slice));
        if (r.measured()) r.counts_ = sample_terminal(out, rng);
        if (keep_memory) r.memory_ = shuffled_memory(r.counts_, r.measured() ? shots : 0, rng);
        return out;
    }
    std::map<Outcome, uint64_t> tally;
    out.mean_slice_.assign(slice->size(), 0.0);
    std::vector<Outcome> shot_outcomes;
    if (keep_memory) shot_outcomes.reserve(shots);
    for (uint64_t shot = 0; shot < shots; ++shot) {
        if (shot) reset_slice(*slice, rank, interrupt);
        Outcome outcome;
        run_actions(&outcome);
        ++tally[outcome];
        if (keep_memory) shot_outcomes.push_back(outcome);
        const cplx* a = slice->data();
        double* mean = out.mean_slice_.data();
        for_range(slice->size(), nl >= kParallelQubits,
                  [&](uint64_t i) { mean[i] += std::norm(a[i]); });
    }
    for (double& p : out.mean_slice_) p /= double(shots);
    r.counts_.assign(tally.begin(), tally.end());
    if (keep_memory) r.memory_ = memory_indices(r.counts_, shot_outcomes);
    return out;
}

// The draw of Simulator::run over the distinct measured qubits, each drawn value spelled
// out over the classical bits.
std::vector<std::pair<Outcome, uint64_t>> DistributedSimulator::sample_terminal(
    const DistributedResult& out, Rng& rng) {
    const Result& r = out.result_;
    return terminal_outcomes(r.cbit_qubit_, [&](const std::vector<int>& qubits) {
        return sample_qubits(out, qubits, r.shots_, rng);
    });
}

// sample_qubits over the split state, drawing exactly what one process draws: over a
// table of the measured qubits, or, when every qubit is measured in order, walking the
// amplitudes rank after rank with the running sums handed on.
std::vector<std::pair<uint64_t, uint64_t>> DistributedSimulator::sample_qubits(
    const DistributedResult& out, const std::vector<int>& qubits, uint64_t shots, Rng& rng) {
    const int n = out.num_qubits();
    bool identity = int(qubits.size()) == n;
    for (size_t j = 0; j < qubits.size(); ++j) identity = identity && qubits[j] == int(j);
    const cplx* a = out.slice_->data();
    if (!identity) {
        const std::vector<double> table =
            out.marginal(qubits, [a](uint64_t i) { return std::norm(a[i]); });
        return sample_outcomes(
            table.size(), [&](uint64_t k) { return table[k]; }, shots, rng);
    }
    Communicator& comm = *out.comm_;
    const uint64_t local = out.slice_->size();
    const uint64_t base = uint64_t(comm.rank()) * local;
    const uint64_t size = uint64_t{1} << n;
    struct Mass {
        double total = 0;
        uint64_t last_nonzero = 0;
    } mass;
    in_rank_order(comm, &mass, sizeof mass, [&] {
        for (uint64_t i = 0; i < local; ++i) {
            const double p = std::norm(a[i]);
            mass.total += std::max(p, 0.0);
            if (p > 0) mass.last_nonzero = base + i;
        }
    });
    std::vector<uint64_t> mine;  // (outcome, count) pairs of this rank's amplitudes
    std::vector<std::pair<uint64_t, uint64_t>> counts;
    auto collect = [&] {
        const std::vector<uint64_t> all = allgather_varied(comm, mine);
        for (size_t j = 0; j + 1 < all.size(); j += 2) counts.emplace_back(all[j], all[j + 1]);
    };
    if (shots < size / 8) {
        std::vector<double> u(shots);
        for (double& x : u) x = rng.uniform() * mass.total;
        std::sort(u.begin(), u.end());
        struct Walk {
            double cumulative = 0;
            uint64_t next = 0;
        } walk;
        in_rank_order(comm, &walk, sizeof walk, [&] {
            for (uint64_t i = 0; i < local && walk.next < shots; ++i) {
                const double p = std::norm(a[i]);
                if (p <= 0) continue;
                walk.cumulative += p;
                uint64_t count = 0;
                for (; walk.next < shots && u[walk.next] < walk.cumulative; ++walk.next) ++count;
                if (count) mine.insert(mine.end(), {base + i, count});
            }
        });
        collect();
        if (walk.next < shots) {
            if (!counts.empty() && counts.back().first == mass.last_nonzero)
                counts.back().second += shots - walk.next;
            else
                counts.emplace_back(mass.last_nonzero, shots - walk.next);
        }
        return counts;
    }
    static_assert(std::is_trivially_copyable_v<Rng>);
    struct Chain {
        uint64_t left;
        double mass;
        Rng rng;
    } chain{shots, mass.total, rng};
    in_rank_order(comm, &chain, sizeof chain, [&] {
        for (uint64_t i = 0; i < local && chain.left > 0; ++i) {
            const double p = std::norm(a[i]);
            if (p <= 0) continue;
            if (base + i == mass.last_nonzero || p >= chain.mass) {
                mine.insert(mine.end(), {base + i, chain.left});
                chain.left = 0;
                break;
            }
            const uint64_t count = binomial(chain.left, p / chain.mass, chain.rng);
            if (count) mine.insert(mine.end(), {base + i, count});
            chain.left -= count;
            chain.mass -= p;
        }
    });
    rng = chain.rng;  // the draws go on from where the last rank left them
    collect();
    return counts;
}

template <class Prob>
std::vector<double> DistributedResult::marginal(const std::vector<int>& qubits,
                                                const Prob& prob) const {
    Communicator& comm = *comm_;
    const int n = num_qubits();
    const int nl = n - global_qubits_;
    for (int q : qubits)
        if (q >= n) throw IndexError("qubit " + std::to_string(q) + " is outside the state");
    std::exception_ptr error;
    try {
        check_memory(
            std::ldexp(double(sizeof(double)), int(qubits.size())) * comm.ranks_on_this_machine(),
            "a table of the probabilities of " + std::to_string(qubits.size()) + " qubits");
    } catch (...) {
        error = std::current_exception();
    }
    fail_together(comm, error);
    std::vector<double> table(uint64_t{1} << qubits.size(), 0.0);
    uint64_t fixed = 0;  // this rank's global bits, where the table's index holds them
    std::vector<std::pair<int, int>> local;  // (bit of the slice, bit of the table index)
    for (size_t j = 0; j < qubits.size(); ++j) {
        if (qubits[j] < nl)
            local.emplace_back(qubits[j], int(j));
        else if ((comm.rank() >> (qubits[j] - nl)) & 1)
            fixed |= uint64_t{1} << j;
    }
    const uint64_t amps = uint64_t{1} << nl;
    in_rank_order(comm, table.data(), table.size() * sizeof(double), [&] {
        for (uint64_t i = 0; i < amps; ++i) {
            uint64_t k = fixed;
            for (auto [bit, at] : local) k |= ((i >> bit) & 1) << at;
            table[k] += prob(i);
        }
    });
    return table;
}

std::vector<double> DistributedResult::exact_probabilities(const std::vector<int>& qubits) const {
    check_distinct_qubits(qubits, "result");
    if (slice_) {
        const cplx* a = slice_->data();
        return marginal(qubits, [a](uint64_t i) { return std::norm(a[i]); });
    }
    const double* mean = mean_slice_.data();
    return marginal(qubits, [mean](uint64_t i) { return mean[i]; });
}

std::vector<double> DistributedResult::probabilities(const std::vector<int>& qubits) const {
    if (auto f = result_.shot_frequencies(qubits)) return *f;
    return exact_probabilities(qubits);
}

std::optional<StateVector> DistributedResult::gather(int root) const {
    Communicator& comm = *comm_;
    if (root < 0 || root >= comm.size()) {
        throw ValueError("root must be a rank of the communicator (0 to " +
                         std::to_string(comm.size() - 1) + "), got " + std::to_string(root));
    }
    if (!slice_) {
        throw ValueError(
            "a program measured mid-circuit runs shot by shot and keeps no final state to "
            "gather");
    }
    const int n = num_qubits();
    std::optional<StateVector> whole;
    std::exception_ptr error;
    if (comm.rank() == root) {
        try {
            check_memory(std::ldexp(double(sizeof(cplx)), n) +
                             double(slice_->size() * sizeof(cplx)) * comm.ranks_on_this_machine(),
                         "the gathered state of " + std::to_string(n) + " qubits");
            whole.emplace(n);
        } catch (...) {
            error = std::current_exception();
        }
    }
    fail_together(comm, error);
    const uint64_t local = slice_->size();
    const uint64_t piece = uint64_t{1} << 22;  // 64 MiB per message
    for (int r = 0; r < comm.size(); ++r) {
        if (r == root) {
            if (comm.rank() == root)
                std::copy(slice_->data(), slice_->data() + local, whole->data() + r * local);
            continue;
        }
        for (uint64_t at = 0; at < local; at += piece) {
            const uint64_t count = std::min(piece, local - at);
            if (comm.rank() == r)
                comm.send(root, slice_->data() + at, count * sizeof(cplx));
            else if (comm.rank() == root)
                comm.recv(r, whole->data() + r * local + at, count * sizeof(cplx));
        }
    }
    return whole;
}

double DistributedResult::expectation(const PauliSum& observable) const {
    Communicator& comm = *comm_;
    const int n = num_qubits();
    if (observable.num_qubits > n) {
        throw IndexError("the observable acts on " + std::to_string(observable.num_qubits) +
                         " qubits but the state has " + std::to_string(n));
    }
    if (!slice_) {
        throw ValueError(
            "expval needs the final state, which a program measured mid-circuit does not keep");
    }
    const int nl = n - global_qubits_;
    const uint64_t local_mask = (uint64_t{1} << nl) - 1;
    const uint64_t rank = uint64_t(comm.rank());
    const uint64_t amps = slice_->size();
    const cplx* a = slice_->data();
    const uint64_t piece = std::min<uint64_t>(amps, uint64_t{1} << 20);
    std::vector<cplx> partner_piece;
    std::vector<double> parts;
    // P|i> = i^(x&z) (-1)^(z.i) |i ^ x>, so <psi|P|psi> = sum_i conj(a[i ^ x]) phase(i) a[i].
    for (const PauliTerm& t : observable.terms) {
        const uint64_t x = t.pauli.x, z = t.pauli.z;
        if (!(x | z)) {
            parts.push_back(comm.rank() == 0 ? 1.0 : 0.0);
            continue;
        }
        const int ys = std::popcount(x & z) & 3;
        const cplx y_phase = ys == 0   ? cplx(1)
                             : ys == 1 ? cplx(0, 1)
                             : ys == 2 ? cplx(-1)
                                       : cplx(0, -1);
        const bool global_sign = std::popcount((z >> nl) & rank) & 1;
        const uint64_t xl = x & local_mask;
        const int partner = int(rank ^ (x >> nl));
        cplx sum = 0;
        auto add = [&](const cplx* b, uint64_t at, uint64_t count) {
            for (uint64_t j = at; j < at + count; ++j) {
                const uint64_t i = j ^ xl;
                const double sign = (std::popcount(z & local_mask & i) & 1) ? -1.0 : 1.0;
                sum += std::conj(b[j - at]) * sign * a[i];
            }
        };
        if (partner == comm.rank()) {
            for (uint64_t at = 0; at < amps; at += piece) add(a + at, at, piece);
        } else {
            partner_piece.resize(piece);
            for (uint64_t at = 0; at < amps; at += piece) {
                comm.exchange(partner, a + at, partner_piece.data(), piece * sizeof(cplx));
                add(partner_piece.data(), at, piece);
            }
        }
        parts.push_back((y_phase * sum).real() * (global_sign ? -1.0 : 1.0));
    }
    const std::vector<double> values = sum_over_ranks(comm, parts);
    double total = 0;
    for (size_t k = 0; k < values.size(); ++k) total += observable.terms[k].coefficient * values[k];
    return total;
}

}  // namespace kestrix
