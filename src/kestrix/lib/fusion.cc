#include "kestrix/lib/fusion.h"

#include <algorithm>
#include <bit>

namespace kestrix {

namespace {

// Gates gathered for one fused block. Open groups act on disjoint qubits, so they commute
// and may be emitted in any order.
struct Group {
    uint64_t mask = 0;
    bool diagonal = true;
    bool open = true;
    std::vector<uint32_t> steps;
};

class Fuser {
  public:
    Fuser(const Schedule& in, const FusionOptions& options) : in_(in), options_(options) {
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
        for (;;) {
            uint64_t joined = mask;
            bool diagonal = g.diagonal;
            for (int t = 0; t < count; ++t) {
                joined |= groups_[touching[t]].mask;
                diagonal = diagonal && groups_[touching[t]].diagonal;
            }
            const int limit = diagonal ? options_.diagonal_qubits : options_.dense_qubits;
            if (std::popcount(joined) <= limit) break;
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
                into.diagonal = into.diagonal && other.diagonal;
                other.open = false;
            }
        }
        Group& into = groups_[target];
        into.steps.push_back(i);
        into.mask |= mask;
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
            }
        }
        out_.push_block(std::move(op));
    }

    // The product of the group's diagonal gates, entry by entry.
    std::vector<cplx> diagonal_of(const Group& group, const std::vector<int>& qubits) const {
        const uint64_t dim = uint64_t{1} << qubits.size();
        std::vector<cplx> d(dim, cplx(1));
        int local[64] = {};
        for (size_t j = 0; j < qubits.size(); ++j) local[qubits[j]] = int(j);
        for (uint32_t i : group.steps) {
            const GateOp g = relabel(in_.steps[i].gate, local);
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

    const Schedule& in_;
    FusionOptions options_;
    std::vector<Group> groups_;
    int owner_[64];
    Schedule out_;
};

}  // namespace

Schedule fuse(const Schedule& schedule, const FusionOptions& options) {
    return Fuser(schedule, options).run();
}

}  // namespace kestrix
