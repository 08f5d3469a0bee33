#include "kestrix/lib/run/gradient.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <numbers>
#include <string>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/base/memory.h"
#include "kestrix/lib/base/thread_pool.h"
#include "kestrix/lib/ir/matrix.h"
#include "kestrix/lib/kernels/kernels.h"
#include "kestrix/lib/plan/blocking.h"
#include "kestrix/lib/run/adjoint_step.h"
#include "kestrix/lib/run/statevector.h"

namespace kestrix {

namespace {

constexpr double kPi = std::numbers::pi;

void conjugate_transpose(cplx* m, int dim) {
    for (int r = 0; r < dim; ++r) {
        m[r * dim + r] = std::conj(m[r * dim + r]);
        for (int c = 0; c < r; ++c) {
            const cplx upper = m[c * dim + r];
            m[c * dim + r] = std::conj(m[r * dim + c]);
            m[r * dim + c] = std::conj(upper);
        }
    }
}

// The inverse of a lowered gate: its matrix's conjugate transpose, same qubits.
GateOp inverse(const GateOp& g) {
    GateOp inv = g;
    conjugate_transpose(inv.m.data(), g.num_targets == 1 ? 2 : 4);
    return inv;
}

Op inverse(const Op& op) {
    Op inv = op;
    const int k = int(op.qubits.size());
    const int dim = 1 << k;
    switch (op.kind) {
        case OpKind::Dense: conjugate_transpose(inv.m.data(), dim); break;
        case OpKind::Diagonal:
            for (cplx& z : inv.m) z = std::conj(z);
            break;
        case OpKind::Multiplexed:
            for (size_t b = 0; b * dim * dim < inv.m.size(); ++b)
                conjugate_transpose(inv.m.data() + b * dim * dim, dim);
            break;
        case OpKind::Prepare:
            throw ValueError("a gradient cannot undo a state preparation written in place");
    }
    return inv;
}

// The inverse of a step, for undoing it.
Step inverse_step(const Schedule& steps, const Step& step, Schedule& into) {
    if (step.kind == Step::Kind::Gate) {
        Step inv = step;
        inv.gate = inverse(step.gate);
        return inv;
    }
    into.push_block(inverse(steps.blocks[step.block]));
    Step inv = into.steps.back();
    into.steps.pop_back();
    return inv;
}

// The bits of v placed, lowest first, at the set bits of `mask`.
uint64_t deposit(uint64_t v, uint64_t mask) {
    uint64_t out = 0;
    for (; mask && v; mask &= mask - 1, v >>= 1)
        if (v & 1) out |= mask & -mask;
    return out;
}

// The gate of a symbolic step with every angle written as at() wrote it.
Gate bound_gate(const SweepPlan& plan, uint32_t symbolic, std::span<const double> values) {
    const SymbolicStep& sym = plan.symbolic()[symbolic];
    Gate g = sym.gate;
    g.symbols = nullptr;
    for (const AngleSlot& s : plan.slots())
        if (s.step == symbolic) g.params[s.slot] = s.scale * values[s.column] + s.offset;
    return g;
}

// d(gate)/d(angle `slot`) as a single-qubit matrix on the lowered gate's target, with the
// lowered gate's controls; inverted as lowering inverts.
GateOp derivative(const SymbolicStep& sym, const Gate& g, int slot) {
    GateOp op;
    lower_op(g, sym.controls, sym.dagger, op);
    const GateKind kind = g.kind == GateKind::CR ? GateKind::U1 : g.kind;
    single_qubit_derivative(kind, g.params, slot, op.m.data());
    if (g.dagger != sym.dagger) conjugate_transpose(op.m.data(), 2);
    return op;
}

void check_plan(const SweepPlan& plan) {
    for (const Step& s : plan.steps().steps)
        if (!s.is_unitary()) throw ValueError("a gradient needs a circuit without measurements");
}

void check_plan(const PauliSum& observable, const SweepPlan& plan) {
    const int n = plan.planned().num_qubits();
    if (observable.num_qubits > n) {
        throw IndexError("the observable acts on " + std::to_string(observable.num_qubits) +
                         " qubits but the circuit's state has " + std::to_string(n));
    }
    check_plan(plan);
}

}  // namespace

ValueAndGradient adjoint_gradient(const PauliSum& observable, SweepPlan& plan,
                                  std::span<const double> values, const InterruptCheck& interrupt) {
    check_plan(observable, plan);
    return adjoint_gradient(
        [&](const StateVector& psi, StateVector& h_psi) {
            return apply_observable(observable, psi, h_psi);
        },
        plan, values, interrupt);
}

ValueAndGradient adjoint_gradient(const Observe& observe, SweepPlan& plan,
                                  std::span<const double> values, const InterruptCheck& interrupt) {
    check_plan(plan);
    const Plan& forward = plan.at(values);
    const int n = forward.num_qubits();
    check_memory(3 * std::ldexp(double(sizeof(cplx)), n),
                 "a gradient over " + std::to_string(n) + " qubits (three states)");
    StateVector psi(n, interrupt);
    forward.run(psi.data(), interrupt);
    ValueAndGradient out;
    StateVector lambda(n, interrupt);
    out.value = observe(psi, lambda);
    out.gradient.assign(plan.num_parameters(), 0.0);

    // The way back, step by step: each step's inverse, and for a parameterised gate the
    // derivatives of its angles.
    struct Back {
        Step step;          ///< the inverse (blocks in `inverses`)
        int symbolic = -1;  ///< index into plan.symbolic(), or -1
        std::vector<GateOp> derivatives;
        AdjointShape shape = AdjointShape::General;
    };
    const Schedule& steps = plan.steps();
    std::vector<int> symbolic_of(steps.steps.size(), -1);
    for (size_t k = 0; k < plan.symbolic().size(); ++k)
        symbolic_of[plan.symbolic()[k].step] = int(k);
    Schedule inverses;
    std::vector<Back> back;
    for (size_t k = steps.steps.size(); k-- > 0;) {
        Back& b = back.emplace_back();
        b.step = inverse_step(steps, steps.steps[k], inverses);
        b.symbolic = symbolic_of[k];
        if (b.symbolic < 0) continue;
        const Gate g = bound_gate(plan, uint32_t(b.symbolic), values);
        for (const AngleSlot& s : plan.slots())
            if (s.step == uint32_t(b.symbolic))
                b.derivatives.push_back(derivative(plan.symbolic()[b.symbolic], g, s.slot));
        b.shape = adjoint_shape(b.step.gate, b.derivatives);
    }
    auto record = [&](const Back& b, const AdjointSums& sums) {
        size_t j = 0;
        for (const AngleSlot& s : plan.slots())
            if (s.step == uint32_t(b.symbolic))
                out.gradient[s.column] += 2 * s.scale * overlap(b.derivatives[j++], sums).real();
    };

    // Runs of steps that together move at most `chunk` qubits run chunk by chunk over both
    // states: the amplitudes whose other qubits read one pattern are gathered into a scratch
    // state that sits in cache, every step of the run is applied there (relabelled), and
    // they are written back: one pass for the run, not one per gate. The chunk's qubits are
    // chosen per run, the lowest always among them (so gathers copy runs of neighbours).
    // Sums are kept per chunk and added in chunk order, whatever the threads.
    const int chunk = std::min(n, n > kLargeStateQubits ? kLargeStateChunkQubits : kChunkQubits);
    const int run_qubits = std::min(chunk, kChunkRunQubits);
    const uint64_t low = (uint64_t{1} << run_qubits) - 1;
    const bool parallel = n >= kParallelQubits;
    WorkPoller poller(interrupt);
    std::vector<std::vector<cplx>> scratch(size_t(std::max(thread_count(), 1)));
    // The qubits a step needs in a chunk: none for a single-qubit diagonal (see chunked)
    // whose derivatives are diagonal too.
    auto moves = [&](const Back& b) -> uint64_t {
        if (b.step.kind == Step::Kind::Block) return inverses.blocks[b.step.block].qubit_mask();
        const GateOp& g = b.step.gate;
        const bool diagonal = b.symbolic < 0 ? g.diagonal : b.shape == AdjointShape::Diagonal;
        return g.num_targets == 1 && diagonal ? 0 : g.target_mask();
    };
    auto chunked = [&](const std::vector<size_t>& run, uint64_t moved) {
        // The chunk's qubits: those moved, the lowest, then the lowest others up to `chunk`.
        uint64_t set = moved | low;
        for (int q = 0; std::popcount(set) < chunk; ++q) set |= uint64_t{1} << q;
        std::vector<int> qubits, local(size_t(n), -1);
        for (uint64_t m = set; m; m &= m - 1) {
            local[size_t(std::countr_zero(m))] = int(qubits.size());
            qubits.push_back(std::countr_zero(m));
        }
        const uint64_t outside = ((uint64_t{1} << n) - 1) & ~set;
        // Each step relabelled into the chunk, with the controls outside it kept aside. A
        // diagonal gate on a qubit outside the chunk multiplies the whole chunk by one of
        // its entries (where its controls inside read 1): it never needs its qubit moved.
        struct Local {
            Step step;
            uint64_t outside_controls;
            const Back* from;
            int outside_target = -1;
            uint64_t inside_controls = 0;  ///< local bits, for a gate on an outside target
        };
        Schedule relabelled;
        std::vector<Local> steps_in;
        std::vector<size_t> symbolic;
        for (size_t i : run) {
            const Back& b = back[i];
            Local l{b.step, 0, &b};
            if (b.step.kind == Step::Kind::Gate && moves(b) == 0 &&
                !(b.step.gate.target_mask() & set)) {
                l.outside_target = b.step.gate.targets[0];
                l.outside_controls = b.step.gate.control_mask & outside;
                for (uint64_t m = b.step.gate.control_mask & set; m; m &= m - 1)
                    l.inside_controls |= uint64_t{1} << local[size_t(std::countr_zero(m))];
            } else if (b.step.kind == Step::Kind::Gate) {
                l.outside_controls = b.step.gate.control_mask & outside;
                GateOp g = b.step.gate;
                g.control_mask &= set;
                l.step.gate = relabel(g, local.data());
            } else {
                relabelled.push_block(relabel(inverses.blocks[b.step.block], local.data()));
                l.step = relabelled.steps.back();
            }
            if (b.symbolic >= 0) symbolic.push_back(steps_in.size());
            steps_in.push_back(l);
        }
        const uint64_t chunks = uint64_t{1} << (n - chunk), size = uint64_t{1} << chunk;
        std::vector<AdjointSums> sums(chunks * symbolic.size());
        run_pieces(chunks, parallel ? thread_count() : 1, [&](uint64_t c, int worker) {
            const uint64_t fixed = deposit(c, outside);
            std::vector<cplx>& buffer = scratch[size_t(worker) % scratch.size()];
            // A chunk of the lowest qubits is one stretch of memory: worked on in place.
            const bool in_place = set == size - 1;
            if (!in_place) buffer.resize(2 * size);
            cplx* a = in_place ? lambda.data() + fixed : buffer.data();  // lambda's chunk
            cplx* b = in_place ? psi.data() + fixed : a + size;          // psi's chunk
            const uint64_t runs = in_place ? 0 : size >> run_qubits, width = low + 1;
            auto global = [&](uint64_t r) { return fixed | deposit(r << run_qubits, set); };
            for (uint64_t r = 0; r < runs; ++r) {
                std::copy_n(lambda.data() + global(r), width, a + r * width);
                std::copy_n(psi.data() + global(r), width, b + r * width);
            }
            size_t s = 0;
            for (const Local& l : steps_in) {
                const bool on = (fixed & l.outside_controls) == l.outside_controls;
                AdjointSums* out_sums =
                    l.from->symbolic < 0 ? nullptr : &sums[c * symbolic.size() + s++];
                if (!on) continue;
                if (l.outside_target >= 0) {
                    const AdjointSums scaled =
                        adjoint_scaled(a, b, size, l.inside_controls, l.from->step.gate,
                                       int((fixed >> l.outside_target) & 1));
                    if (out_sums) *out_sums = scaled;
                } else if (out_sums) {
                    *out_sums = adjoint_runs(l.from->shape, a, b, l.step.gate, 0,
                                             size >> (l.step.gate.targets[0] + 1));
                } else {
                    relabelled.apply(b, chunk, l.step);
                    relabelled.apply(a, chunk, l.step);
                }
            }
            for (uint64_t r = 0; r < runs; ++r) {
                std::copy_n(a + r * width, width, lambda.data() + global(r));
                std::copy_n(b + r * width, width, psi.data() + global(r));
            }
        });
        for (size_t s = 0; s < symbolic.size(); ++s) {
            AdjointSums total{};
            for (uint64_t c = 0; c < chunks; ++c)
                for (int r = 0; r < 4; ++r) total[r] += sums[c * symbolic.size() + s][r];
            record(*steps_in[symbolic[s]].from, total);
        }
        poller.done(2 * psi.size());
    };
    // Plain steps that move more qubits than a chunk holds: planned (fused and
    // cache-blocked) as one run.
    auto planned = [&](size_t first, size_t last) {
        Schedule run;
        for (size_t i = first; i < last; ++i) {
            const Step& step = back[i].step;
            if (step.kind == Step::Kind::Block) {
                run.push_block(inverses.blocks[step.block]);
            } else {
                run.steps.push_back(step);
            }
        }
        const Plan undo(std::move(run), n);
        undo.run(psi.data(), interrupt);
        undo.run(lambda.data(), interrupt);
        poller.done(2 * undo.passes() * psi.size());
    };
    auto fits = [&](uint64_t moved) { return std::popcount(moved | low) <= chunk; };
    auto touches = [&](const Back& b) {
        return b.step.kind == Step::Kind::Block ? inverses.blocks[b.step.block].qubit_mask()
                                                : b.step.gate.qubit_mask();
    };
    // Steps that share no qubit commute, so a run takes, in order, every step that still
    // fits and that no step left out before it shares a qubit with: it reaches past the
    // steps it cannot hold, and the layers of a circuit slide through in a few runs.
    const uint64_t all = (uint64_t{1} << n) - 1;
    std::vector<bool> done(back.size(), false);
    for (size_t next = 0; next < back.size();) {
        if (!fits(moves(back[next]))) {
            size_t j = next + 1;
            while (j < back.size() && !done[j] && !fits(moves(back[j]))) ++j;
            planned(next, j);
            std::fill(done.begin() + long(next), done.begin() + long(j), true);
        } else {
            std::vector<size_t> run;
            uint64_t moved = 0, blocked = 0;
            for (size_t i = next; i < back.size() && blocked != all; ++i) {
                if (done[i]) continue;
                if (!(touches(back[i]) & blocked) && fits(moved | moves(back[i]))) {
                    run.push_back(i);
                    moved |= moves(back[i]);
                    done[i] = true;
                } else {
                    blocked |= touches(back[i]);
                }
            }
            chunked(run, moved);
        }
        while (next < back.size() && done[next]) ++next;
    }
    return out;
}

ValueAndGradient shift_gradient(const PauliSum& observable, SweepPlan& plan,
                                std::span<const double> values, std::optional<uint64_t> shots,
                                Rng& rng, const InterruptCheck& interrupt) {
    check_plan(observable, plan);
    const int n = plan.planned().num_qubits();
    check_fits_in_memory(n);
    if (shots && *shots == 0) throw ValueError("shots must be positive");
    StateVector state(n, interrupt);
    auto energy = [&](std::optional<std::pair<size_t, double>> shift) {
        const Plan& p = plan.at(values, shift);
        state.reset(interrupt);
        p.run(state.data(), interrupt);
        return shots ? sampled_expectation(observable, state, *shots, rng, interrupt)
                     : expectation(observable, state, interrupt);
    };
    ValueAndGradient out;
    out.value = energy(std::nullopt);
    out.gradient.assign(plan.num_parameters(), 0.0);
    // The four-term rule's weights for a generator with eigenvalues -1/2, 0 and 1/2.
    const double d1 = (std::numbers::sqrt2 + 1) / (4 * std::numbers::sqrt2);
    const double d2 = (std::numbers::sqrt2 - 1) / (4 * std::numbers::sqrt2);
    for (size_t k = 0; k < plan.slots().size(); ++k) {
        const AngleSlot& s = plan.slots()[k];
        const SymbolicStep& sym = plan.symbolic()[s.step];
        const GateKind kind = sym.gate.kind;
        // Phase angles (U1, CR, and U2's and U3's phi and lam) move one eigenvalue of a
        // projector: two terms always. Rotations under controls need four.
        const bool phase = kind == GateKind::U1 || kind == GateKind::CR || kind == GateKind::U2 ||
                           (kind == GateKind::U3 && s.slot > 0);
        const bool controlled = sym.controls != 0 || !sym.gate.controls.empty();
        auto difference = [&](double by) {
            return energy(std::make_pair(k, by)) - energy(std::make_pair(k, -by));
        };
        const double d = phase || !controlled
                             ? difference(kPi / 2) / 2
                             : d1 * difference(kPi / 2) - d2 * difference(3 * kPi / 2);
        out.gradient[s.column] += s.scale * d;
    }
    return out;
}

std::vector<ValueAndGradient> gradients(const PauliSum& observable, const Circuit& circuit, int n,
                                        const ParameterRows& rows, GradientMethod method,
                                        std::optional<uint64_t> shots,
                                        std::span<const uint64_t> seeds,
                                        const InterruptCheck& interrupt) {
    check_rows(circuit, rows);
    if (circuit.has_measurement())
        throw ValueError("a gradient needs a circuit without measurements");
    if (circuit.width() > n || observable.num_qubits > n)
        throw IndexError("the observable or circuit is wider than the state");
    if (shots && method == GradientMethod::Adjoint)
        throw ValueError("the adjoint method is exact: shots are for parameter-shift");
    if (shots && seeds.size() != rows.rows())
        throw ValueError("gradients: one seed per row is needed");
    check_fits_in_memory(n);
    std::vector<ValueAndGradient> out(rows.rows());
    for_each_row(circuit, n, rows, false, interrupt,
                 [&](size_t i, SweepPlan& plan, const InterruptCheck& check, size_t) {
                     if (method == GradientMethod::Adjoint) {
                         out[i] = adjoint_gradient(observable, plan, rows.row(i), check);
                     } else {
                         Rng rng(shots ? seeds[i] : 0);
                         out[i] = shift_gradient(observable, plan, rows.row(i), shots, rng, check);
                     }
                 });
    return out;
}

}  // namespace kestrix
