#include "kestrix/lib/dist/swap_plan.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <limits>
#include <string>

#include "kestrix/lib/base/errors.h"

namespace kestrix {

namespace {

uint64_t bit(int q) { return uint64_t{1} << q; }

// Steps held back behind a swap at most: the look-past stops there.
constexpr size_t kLookAhead = 256;

uint64_t mask_of(const std::vector<int>& qubits) {
    uint64_t m = 0;
    for (int q : qubits) m |= bit(q);
    return m;
}

// Resolves controls on global bits: false when one reads 0 here (the step does nothing on
// this slice); else the controls that stay, all local.
bool resolve_controls(uint64_t& controls, const std::vector<int>& position, int nl, uint64_t rank) {
    for (uint64_t m = controls; m; m &= m - 1) {
        const int q = std::countr_zero(m);
        if (position[q] < nl) continue;
        if (!((rank >> (position[q] - nl)) & 1)) return false;
        controls &= ~bit(q);
    }
    return true;
}

// A diagonal over `qubits` (entry j: bit t of j is qubits[t]) with its global qubits fixed
// to this slice's bits, as an op on the local ones (physical bits). A constant factor
// becomes a diagonal on one local control, or on bit 0 when there are none.
void push_cut_diagonal(Schedule& out, const std::vector<int>& qubits, const cplx* entries,
                       uint64_t controls, const std::vector<int>& position, int nl, uint64_t rank) {
    std::vector<int> local_at;  // index in `qubits` of each local one
    uint64_t fixed = 0;
    for (size_t t = 0; t < qubits.size(); ++t) {
        const int p = position[qubits[t]];
        if (p < nl)
            local_at.push_back(int(t));
        else if ((rank >> (p - nl)) & 1)
            fixed |= bit(int(t));
    }
    Op op;
    op.kind = OpKind::Diagonal;
    for (int t : local_at) op.qubits.push_back(position[qubits[t]]);
    for (uint64_t x = 0; x < (uint64_t{1} << local_at.size()); ++x) {
        uint64_t j = fixed;
        for (size_t s = 0; s < local_at.size(); ++s) j |= ((x >> s) & 1) << local_at[s];
        op.m.push_back(entries[j]);
    }
    uint64_t physical_controls = 0;
    for (uint64_t m = controls; m; m &= m - 1)
        physical_controls |= bit(position[std::countr_zero(m)]);
    if (op.qubits.empty()) {
        const cplx factor = op.m[0];
        if (factor == cplx(1)) return;
        if (physical_controls) {
            const int c = std::countr_zero(physical_controls);
            physical_controls &= ~bit(c);
            op.qubits = {c};
            op.m = {cplx(1), factor};
        } else {
            op.qubits = {0};
            op.m = {factor, factor};
        }
    }
    op.control_mask = physical_controls;
    out.push_block(std::move(op));
}

}  // namespace

uint64_t SwapPlan::needs_local(const Schedule& schedule, const Step& step) {
    if (step.kind == Step::Kind::Measure) return 0;
    if (step.kind == Step::Kind::Gate) return step.gate.diagonal ? 0 : step.gate.target_mask();
    const Op& op = schedule.blocks[step.block];
    return op.kind == OpKind::Diagonal ? 0 : mask_of(op.qubits);
}

int SwapPlan::widest(const Schedule& schedule) {
    int most = 0;
    for (const Step& step : schedule.steps)
        most = std::max(most, std::popcount(needs_local(schedule, step)));
    return most;
}

SwapPlan::SwapPlan(const Schedule& schedule, int n, int global_qubits) : n_(n), k_(global_qubits) {
    const int nl = n - global_qubits;
    const std::vector<Step>& steps = schedule.steps;
    std::vector<uint64_t> need(steps.size());
    std::vector<std::vector<uint32_t>> uses(n);
    for (size_t i = 0; i < steps.size(); ++i) {
        need[i] = needs_local(schedule, steps[i]);
        if (std::popcount(need[i]) > nl) {
            throw ValueError(
                "a step acts on " + std::to_string(std::popcount(need[i])) +
                " qubits, more than the " + std::to_string(nl) + " local qubits of each of the " +
                std::to_string(uint64_t{1} << global_qubits) + " processes: use fewer processes");
        }
        for (uint64_t m = need[i]; m; m &= m - 1) uses[std::countr_zero(m)].push_back(uint32_t(i));
    }
    std::vector<size_t> cursor(n, 0);
    std::vector<bool> done(steps.size(), false);  // run already, ahead of their turn
    // The next step, from i on, that needs qubit q local and has not run yet.
    auto next_use = [&](int q, uint32_t i) {
        while (cursor[q] < uses[q].size() && (uses[q][cursor[q]] < i || done[uses[q][cursor[q]]]))
            ++cursor[q];
        for (size_t c = cursor[q]; c < uses[q].size(); ++c)
            if (!done[uses[q][c]]) return uses[q][c];
        return std::numeric_limits<uint32_t>::max();
    };
    std::vector<int> position(n), at(n);
    for (int q = 0; q < n; ++q) position[q] = at[q] = q;
    auto swap = [&](int local, int global) {
        SwapAction a;
        a.kind = SwapAction::Kind::Swap;
        a.local = local;
        a.global = global;
        actions_.push_back(std::move(a));
        std::swap(at[local], at[global]);
        position[at[local]] = local;
        position[at[global]] = global;
    };
    auto is_local = [&](uint32_t i) {
        for (uint64_t m = need[i]; m; m &= m - 1)
            if (position[std::countr_zero(m)] >= nl) return false;
        return true;
    };
    const uint64_t everything = n == 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
    std::vector<uint32_t> waiting;  // steps held back behind a swap, in program order
    uint32_t next = 0;              // the first step not yet looked at
    for (;;) {
        // One run: the waiting steps, then new ones, each taken when it needs no global
        // qubit and shares no qubit with a step held back before it (then they commute).
        std::vector<uint32_t> run, held;
        uint64_t blocked = 0;
        auto consider = [&](uint32_t i) {
            const uint64_t mask = schedule.qubit_mask(steps[i]);
            if (!(mask & blocked) && is_local(i)) {
                run.push_back(i);
            } else {
                held.push_back(i);
                blocked |= mask;
            }
        };
        for (uint32_t i : waiting) consider(i);
        while (next < steps.size() && steps[next].kind != Step::Kind::Measure &&
               blocked != everything && held.size() < kLookAhead)
            consider(next++);
        for (uint32_t i : run) done[i] = true;
        if (!run.empty()) {
            SwapAction a;
            a.kind = SwapAction::Kind::Run;
            a.steps = std::move(run);
            a.position = position;
            actions_.push_back(std::move(a));
        }
        waiting = std::move(held);
        if (waiting.empty()) {
            if (next == steps.size()) break;
            if (steps[next].kind == Step::Kind::Measure) {
                SwapAction a;
                a.kind = SwapAction::Kind::Measure;
                a.step = next++;
                a.position = position;
                actions_.push_back(std::move(a));
            }
            continue;
        }
        // The first held step waits for nothing but its global qubits: swap them in.
        const uint32_t i = waiting.front();
        uint64_t missing = 0;
        for (uint64_t m = need[i]; m; m &= m - 1)
            if (position[std::countr_zero(m)] >= nl) missing |= bit(std::countr_zero(m));
        for (; missing; missing &= missing - 1) {
            const int q = std::countr_zero(missing);
            // The local qubit needed again last; among equals the highest bit, whose half
            // of a slice is one contiguous piece.
            int victim = -1;
            uint32_t victim_use = 0;
            for (int p = nl - 1; p >= 0; --p) {
                if (need[i] & bit(at[p])) continue;
                const uint32_t use = next_use(at[p], i);
                if (victim < 0 || use > victim_use) {
                    victim = p;
                    victim_use = use;
                }
            }
            swap(victim, position[q]);
        }
    }
    // Back to the identity: each global bit gets its own qubit, through a local bit when
    // that qubit sits on another global bit.
    for (int p = nl; p < n; ++p) {
        if (position[p] == p) continue;
        if (position[p] >= nl) swap(nl - 1, position[p]);
        swap(position[p], p);
    }
    bool permuted = false;
    for (int p = 0; p < nl; ++p) permuted = permuted || at[p] != p;
    if (permuted) {
        SwapAction a;
        a.kind = SwapAction::Kind::Permute;
        a.position = position;
        actions_.push_back(std::move(a));
    }
}

size_t SwapPlan::swaps() const {
    size_t count = 0;
    for (const SwapAction& a : actions_) count += a.kind == SwapAction::Kind::Swap;
    return count;
}

Schedule local_steps(const Schedule& schedule, const std::vector<uint32_t>& order,
                     const std::vector<int>& position, int nl, uint64_t rank) {
    Schedule out;
    for (uint32_t i : order) {
        const Step& step = schedule.steps[i];
        if (step.kind == Step::Kind::Gate) {
            GateOp g = step.gate;
            if (!resolve_controls(g.control_mask, position, nl, rank)) continue;
            const uint64_t targets = g.target_mask();
            bool global_target = false;
            for (uint64_t m = targets; m; m &= m - 1)
                global_target = global_target || position[std::countr_zero(m)] >= nl;
            if (global_target) {
                // Only a diagonal may keep a global target (the plan swapped the others in).
                const int d = g.num_targets == 1 ? 2 : 4;
                cplx entries[4];
                for (int j = 0; j < d; ++j) entries[j] = g.m[size_t(j * d + j)];
                std::vector<int> qubits(g.targets.begin(), g.targets.begin() + g.num_targets);
                push_cut_diagonal(out, qubits, entries, g.control_mask, position, nl, rank);
                continue;
            }
            Step s;
            s.kind = Step::Kind::Gate;
            s.gate = relabel(g, position.data());
            out.steps.push_back(s);
            continue;
        }
        Op op = schedule.blocks[step.block];
        if (!resolve_controls(op.control_mask, position, nl, rank)) continue;
        if (op.kind == OpKind::Diagonal) {
            bool global_target = false;
            for (int q : op.qubits) global_target = global_target || position[q] >= nl;
            if (global_target) {
                push_cut_diagonal(out, op.qubits, op.m.data(), op.control_mask, position, nl, rank);
                continue;
            }
        }
        if (op.kind == OpKind::Multiplexed) {
            uint64_t global_select = 0, here = 0;
            for (uint64_t m = op.select_mask; m; m &= m - 1) {
                const int q = std::countr_zero(m);
                if (position[q] < nl) continue;
                global_select |= bit(q);
                if ((rank >> (position[q] - nl)) & 1) here |= bit(q);
            }
            if (global_select) {
                const size_t entries = size_t{1} << (2 * op.qubits.size());
                Op cut = op;
                cut.select_mask &= ~global_select;
                cut.select_values.clear();
                cut.m.clear();
                for (size_t j = 0; j < op.select_values.size(); ++j) {
                    if ((op.select_values[j] & global_select) != here) continue;
                    cut.select_values.push_back(op.select_values[j] & ~global_select);
                    cut.m.insert(cut.m.end(), op.m.begin() + ptrdiff_t(j * entries),
                                 op.m.begin() + ptrdiff_t((j + 1) * entries));
                }
                if (cut.select_values.empty()) continue;  // the identity on this slice
                if (!cut.select_mask) {
                    cut.kind = OpKind::Dense;
                    cut.select_values.clear();
                }
                op = std::move(cut);
            }
        }
        out.push_block(relabel(op, position.data()));
    }
    return out;
}

Schedule unpermute_steps(const std::vector<int>& position, int nl) {
    std::vector<int> at(nl);
    for (int q = 0; q < nl; ++q) at[position[q]] = q;
    Schedule out;
    for (int p = 0; p < nl; ++p) {
        if (at[p] == p) continue;
        int from = 0;
        while (at[from] != p) ++from;
        Step s;
        s.kind = Step::Kind::Gate;
        s.gate.num_targets = 2;
        s.gate.targets = {p, from};
        s.gate.m = {};
        s.gate.m[0] = s.gate.m[1 * 4 + 2] = s.gate.m[2 * 4 + 1] = s.gate.m[15] = cplx(1);
        out.steps.push_back(s);
        std::swap(at[p], at[from]);
    }
    return out;
}

}  // namespace kestrix
