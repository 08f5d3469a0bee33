#include "kestrix/lib/plan/fusion.h"

#include <algorithm>
#include <bit>

namespace kestrix {

namespace {

// Gates gathered for one fused block. Open groups act on disjoint qubits, so they commute
// and may be emitted in any order.
struct Group {
    uint64_t mask = 0;
    uint64_t changed = 0;  ///< targets of its non-diagonal gates: the qubits it may change
    bool diagonal = true;
    bool open = true;
    std::vector<uint32_t> steps;
};

// Relative cost per amplitude of a dense k-qubit block in cache (kestrix_perf_kernels): up
// to 2 qubits, loading and storing the amplitudes costs more than the arithmetic.
constexpr double kDenseCost[kMaxDenseQubits + 1] = {0, 1, 1, 1.8, 3.2, 6.5, 14};
// The same block run with a matrix per lane (a select qubit among the lanes) reads its
// coefficients from a table instead of broadcasting them (measured: 1.4 to 1.5 times).
constexpr double kLaneSelectCost = 1.5;

// Places the bits of v at the given positions of a local index.
uint64_t place(uint64_t v, const std::vector<int>& positions) {
    uint64_t out = 0;
    for (size_t j = 0; j < positions.size(); ++j) out |= ((v >> j) & 1) << positions[j];
    return out;
}

// A fused dense block that never changes some of its qubits becomes, when that is
// estimated cheaper, one dense block per pattern of those qubits (a multiplexed op), or a
// diagonal when it changes none: a CNOT chain fused with rotations changes fewer qubits
// than it reads.
void multiplex(Op& op) {
    const int width = int(op.qubits.size());
    const uint64_t dim = uint64_t{1} << width;
    uint64_t changed = 0;  // local bits that some nonzero entry flips
    for (uint64_t r = 0; r < dim; ++r)
        for (uint64_t c = 0; c < dim; ++c)
            if (op.m[r * dim + c] != cplx(0)) changed |= r ^ c;
    if (changed == 0) {
        std::vector<cplx> d(dim);
        for (uint64_t i = 0; i < dim; ++i) d[i] = op.m[i * dim + i];
        op.kind = OpKind::Diagonal;
        op.m = std::move(d);
        return;
    }
    std::vector<int> active, select;
    for (int j = 0; j < width; ++j) ((changed >> j) & 1 ? active : select).push_back(j);
    if (select.empty()) return;
    const int k = int(active.size());
    const uint64_t sub = uint64_t{1} << k;
    std::vector<cplx> blocks;
    std::vector<uint64_t> values;
    for (uint64_t sigma = 0; sigma < (uint64_t{1} << select.size()); ++sigma) {
        const uint64_t base = place(sigma, select);
        const size_t start = blocks.size();
        bool identity = true;
        for (uint64_t r = 0; r < sub; ++r) {
            for (uint64_t c = 0; c < sub; ++c) {
                const cplx e = op.m[(base | place(r, active)) * dim + (base | place(c, active))];
                identity = identity && e == cplx(r == c ? 1 : 0);
                blocks.push_back(e);
            }
        }
        if (identity) {
            blocks.resize(start);
            continue;
        }
        uint64_t value = 0;
        for (size_t j = 0; j < select.size(); ++j)
            if ((sigma >> j) & 1) value |= uint64_t{1} << op.qubits[select[j]];
        values.push_back(value);
    }
    // One sweep per pattern of the select qubits above the lanes, over its share of the
    // state; select qubits inside the kernels' registers pick a block lane by lane.
    const uint64_t lanes = (uint64_t{1} << kernel_lane_qubits()) - 1;
    std::vector<uint64_t> sweeps;
    for (uint64_t v : values)
        if (std::find(sweeps.begin(), sweeps.end(), v & ~lanes) == sweeps.end())
            sweeps.push_back(v & ~lanes);
    int high_select = 0;
    for (int j : select) high_select += op.qubits[j] >= kernel_lane_qubits();
    const double lane_cost = high_select < int(select.size()) ? kLaneSelectCost : 1;
    const double cost =
        double(sweeps.size()) * kDenseCost[k] * lane_cost / double(uint64_t{1} << high_select);
    if (cost >= kDenseCost[width]) return;
    std::vector<int> targets;
    for (int j : active) targets.push_back(op.qubits[j]);
    for (int j : select) op.select_mask |= uint64_t{1} << op.qubits[j];
    op.kind = OpKind::Multiplexed;
    op.qubits = std::move(targets);
    op.m = std::move(blocks);
    op.select_values = std::move(values);
}

// The product of diagonal gates over `qubits`, entry by entry.
std::vector<cplx> diagonal_product(const Schedule& in, const std::vector<uint32_t>& steps,
                                   const std::vector<int>& qubits) {
    const uint64_t dim = uint64_t{1} << qubits.size();
    std::vector<cplx> d(dim, cplx(1));
    int local[64] = {};
    for (size_t j = 0; j < qubits.size(); ++j) local[qubits[j]] = int(j);
    for (uint32_t i : steps) {
        const GateOp g = relabel(in.steps[i].gate, local);
        const int width = 1 << g.num_targets;
        for (uint64_t idx = 0; idx < dim; ++idx) {
            if ((idx & g.control_mask) != g.control_mask) continue;
            int t = int((idx >> g.targets[0]) & 1);
            if (g.num_targets == 2) t |= int((idx >> g.targets[1]) & 1) << 1;
            d[idx] *= g.m[t * width + t];
        }
    }
    return d;
}

class Fuser {
  public:
    Fuser(const Schedule& in, const FusionOptions& options,
          std::vector<std::vector<uint32_t>>* sources)
        : in_(in),
          sources_(sources),
          options_(options),
          read_limit_(
              std::min(kMaxDenseQubits, std::max(options.read_qubits, options.dense_qubits))) {
        std::fill(std::begin(owner_), std::end(owner_), -1);
    }

    Schedule run() {
        for (uint32_t i = 0; i < in_.steps.size(); ++i) {
            const Step& step = in_.steps[i];
            if (step.kind == Step::Kind::Gate) {
                add_gate(i);
            } else {
                // Precomputed blocks and measurements run on their own, after every
                // earlier gate on their qubits (a measurement after every earlier gate).
                flush(step.kind == Step::Kind::Measure ? ~uint64_t{0} : in_.qubit_mask(step));
                if (step.kind == Step::Kind::Block) {
                    out_.push_block(in_.blocks[step.block]);
                    if (sources_) sources_->emplace_back();
                } else {
                    out_.steps.push_back(step);
                }
            }
        }
        flush(~uint64_t{0});
        return std::move(out_);
    }

  private:
    void add_gate(uint32_t i) {
        const GateOp& g = in_.steps[i].gate;
        const uint64_t mask = g.qubit_mask();
        int touching[64];
        int count = 0;
        for (uint64_t m = mask; m; m &= m - 1) {
            const int owner = owner_[std::countr_zero(m)];
            if (owner >= 0 && std::find(touching, touching + count, owner) == touching + count)
                touching[count++] = owner;
        }
        const uint64_t changes = g.diagonal ? 0 : g.target_mask();
        for (;;) {
            uint64_t joined = mask, changed = changes;
            bool diagonal = g.diagonal;
            for (int t = 0; t < count; ++t) {
                joined |= groups_[touching[t]].mask;
                changed |= groups_[touching[t]].changed;
                diagonal = diagonal && groups_[touching[t]].diagonal;
            }
            const bool fits = diagonal ? std::popcount(joined) <= options_.diagonal_qubits
                                       : std::popcount(changed) <= options_.dense_qubits &&
                                             std::popcount(joined) <= read_limit_;
            if (fits) break;
            if (count == 0) {
                // Wider than any block (a gate with many controls): it runs on its own.
                Group alone;
                alone.steps.push_back(i);
                emit(alone);
                return;
            }
            // Emit one touching group and try again with the rest: first one of the other
            // kind (a dense group keeps a diagonal gate from joining a diagonal run), then
            // the widest.
            auto rank = [&](int t) {
                const Group& group = groups_[touching[t]];
                return 64 * (group.diagonal != g.diagonal) + std::popcount(group.mask);
            };
            int pick = 0;
            for (int t = 1; t < count; ++t)
                if (rank(t) > rank(pick)) pick = t;
            close(touching[pick]);
            touching[pick] = touching[--count];
        }
        int target;
        if (count == 0) {
            target = int(groups_.size());
            groups_.emplace_back();
        } else {
            target = *std::min_element(touching, touching + count);
            for (int t = 0; t < count; ++t) {
                if (touching[t] == target) continue;
                Group& other = groups_[touching[t]];
                Group& into = groups_[target];
                into.steps.insert(into.steps.end(), other.steps.begin(), other.steps.end());
                into.mask |= other.mask;
                into.changed |= other.changed;
                into.diagonal = into.diagonal && other.diagonal;
                other.open = false;
            }
        }
        Group& into = groups_[target];
        into.steps.push_back(i);
        into.mask |= mask;
        into.changed |= changes;
        into.diagonal = into.diagonal && g.diagonal;
        for (uint64_t m = into.mask; m; m &= m - 1) owner_[std::countr_zero(m)] = target;
    }

    // Emits every open group that touches `mask`, oldest first.
    void flush(uint64_t mask) {
        for (size_t gi = 0; gi < groups_.size(); ++gi)
            if (groups_[gi].open && (groups_[gi].mask & mask)) close(int(gi));
    }

    void close(int gi) {
        Group& group = groups_[gi];
        group.open = false;
        for (uint64_t m = group.mask; m; m &= m - 1) owner_[std::countr_zero(m)] = -1;
        emit(group);
    }

    void emit(const Group& group) {
        Op op;
        if (group.steps.size() == 1) {
            const GateOp& g = in_.steps[group.steps[0]].gate;
            const int dim = 1 << g.num_targets;
            op.qubits.assign(g.targets.begin(), g.targets.begin() + g.num_targets);
            op.control_mask = g.control_mask;
            op.m.assign(g.m.begin(), g.m.begin() + dim * dim);
        } else {
            for (uint64_t m = group.mask; m; m &= m - 1) op.qubits.push_back(std::countr_zero(m));
            if (group.diagonal) {
                op.kind = OpKind::Diagonal;
                op.m = diagonal_of(group, op.qubits);
            } else {
                op.m = steps_matrix(in_, group.steps, op.qubits);
                multiplex(op);
            }
        }
        out_.push_block(std::move(op));
        if (sources_) sources_->push_back(group.steps);
    }

    std::vector<cplx> diagonal_of(const Group& group, const std::vector<int>& qubits) const {
        return diagonal_product(in_, group.steps, qubits);
    }

    const Schedule& in_;
    std::vector<std::vector<uint32_t>>* sources_;
    FusionOptions options_;
    int read_limit_;
    std::vector<Group> groups_;
    int owner_[64];
    Schedule out_;
};

}  // namespace

Schedule fuse(const Schedule& schedule, const FusionOptions& options,
              std::vector<std::vector<uint32_t>>* sources) {
    return Fuser(schedule, options, sources).run();
}

Refill::Refill(const Schedule& in, std::vector<uint32_t> from, const Op& op)
    : steps(std::move(from)) {
    uint64_t mask = 0;
    for (uint32_t i : steps) mask |= in.steps[i].gate.qubit_mask();
    for (uint64_t m = mask; m; m &= m - 1) qubits.push_back(std::countr_zero(m));
    const uint64_t dim = uint64_t{1} << qubits.size();
    if (steps.size() == 1 || op.kind == OpKind::Dense) return;  // copied whole
    if (op.kind == OpKind::Multiplexed) {
        uint64_t targets = 0;
        for (int q : op.qubits) targets |= uint64_t{1} << q;
        per_pattern = true;
        for (uint32_t i : steps) {
            const GateOp& g = in.steps[i].gate;
            per_pattern = per_pattern && in.steps[i].kind == Step::Kind::Gate &&
                          g.num_targets == 1 && (g.target_mask() & ~targets) == 0;
        }
        // Every pattern left out must be one under which no gate fires.
        const uint64_t select = op.select_mask;
        for (uint64_t sub = select;; sub = (sub - 1) & select) {
            const bool listed = std::find(op.select_values.begin(), op.select_values.end(), sub) !=
                                op.select_values.end();
            for (uint32_t i : steps) {
                const uint64_t c = in.steps[i].gate.control_mask & select;
                per_pattern = per_pattern && (listed || (c & sub) != c);
            }
            if (sub == 0) break;
        }
        if (per_pattern) return;
    }
    // The local bits the fused op may change: its targets' positions among `qubits`.
    uint64_t active = 0;
    if (op.kind == OpKind::Multiplexed) {
        for (int q : op.qubits)
            active |= uint64_t{1} << (std::find(qubits.begin(), qubits.end(), q) - qubits.begin());
    }
    for (uint32_t r = 0; r < dim; ++r)
        for (uint32_t c = 0; c < dim; ++c)
            if ((r ^ c) & ~active) zero.push_back(r * dim + c);
    if (op.kind == OpKind::Diagonal) {
        for (uint32_t i = 0; i < dim; ++i) take.push_back(i * dim + i);
        return;
    }
    // Each selecting pattern's block: taken where the op lists it, the identity elsewhere.
    std::vector<int> act, select;
    for (int j = 0; j < int(qubits.size()); ++j) ((active >> j) & 1 ? act : select).push_back(j);
    const uint64_t sub = uint64_t{1} << act.size();
    size_t listed = 0;
    for (uint64_t sigma = 0; sigma < (uint64_t{1} << select.size()); ++sigma) {
        const uint64_t base = place(sigma, select);
        uint64_t value = 0;
        for (size_t j = 0; j < select.size(); ++j)
            if ((sigma >> j) & 1) value |= uint64_t{1} << qubits[select[j]];
        const bool kept = listed < op.select_values.size() && op.select_values[listed] == value;
        listed += kept;
        for (uint64_t r = 0; r < sub; ++r) {
            for (uint64_t c = 0; c < sub; ++c) {
                const uint32_t at = uint32_t((base | place(r, act)) * dim + (base | place(c, act)));
                (kept ? take : r == c ? one : zero).push_back(at);
            }
        }
    }
}

bool refill(const Schedule& in, const Refill& recipe, Op& op) {
    if (recipe.steps.size() == 1) {  // a gate on its own, copied as emit copies it
        const GateOp& g = in.steps[recipe.steps[0]].gate;
        const int dim = 1 << g.num_targets;
        std::copy(g.m.begin(), g.m.begin() + dim * dim, op.m.begin());
        return true;
    }
    bool diagonal = true;
    for (uint32_t i : recipe.steps) diagonal = diagonal && in.steps[i].gate.diagonal;
    if (op.kind == OpKind::Diagonal && diagonal) {
        op.m = diagonal_product(in, recipe.steps, recipe.qubits);
        return true;
    }
    // Scratch kept from call to call: a sweep refills every block once per row.
    thread_local std::vector<cplx> full;
    if (recipe.per_pattern) {
        const size_t size = size_t{1} << (2 * op.qubits.size());
        op.m.resize(op.select_values.size() * size);
        for (size_t p = 0; p < op.select_values.size(); ++p) {
            steps_matrix(in, recipe.steps, op.qubits, full,
                         Fixed{op.select_mask, op.select_values[p]});
            std::copy(full.begin(), full.end(), op.m.begin() + long(p * size));
        }
        return true;
    }
    steps_matrix(in, recipe.steps, recipe.qubits, full);
    if (op.kind == OpKind::Dense) {
        op.m = full;
        return true;
    }
    for (uint32_t i : recipe.zero)
        if (full[i] != cplx(0)) return false;
    for (uint32_t i : recipe.one)
        if (full[i] != cplx(1)) return false;  // a pattern left out as the identity is not one now
    op.m.resize(recipe.take.size());
    for (size_t k = 0; k < recipe.take.size(); ++k) op.m[k] = full[recipe.take[k]];
    return true;
}

}  // namespace kestrix
