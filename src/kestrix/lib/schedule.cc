#include "kestrix/lib/schedule.h"

#include <algorithm>
#include <bit>

#include "kestrix/lib/errors.h"
#include "kestrix/lib/repeat.h"

namespace kestrix {

namespace {

constexpr size_t kReservedSteps = 4096;

uint64_t mask_of(const std::vector<int>& qubits) {
    uint64_t mask = 0;
    for (int q : qubits) mask |= uint64_t{1} << q;
    return mask;
}

class Walker {
  public:
    Walker(Schedule& out, int n, bool fold) : out_(out), n_(n), fold_(fold) {}

    void walk(const ItemList& items, uint64_t controls, bool dagger) {
        const size_t size = items.size();
        auto at = [&](size_t k) -> const Item& { return items[dagger ? size - 1 - k : k]; };
        for (size_t k = 0; k < size;) {
            if (const Gate* g = std::get_if<Gate>(&at(k).value)) {
                gate(*g, controls, dagger);
                ++k;
                continue;
            }
            const Block& b = std::get<Block>(at(k).value);
            size_t run = 1;
            if (fold_) {
                while (k + run < size) {
                    const Block* next = std::get_if<Block>(&at(k + run).value);
                    if (!next || !same_block(b, *next)) break;
                    ++run;
                }
            }
            if (run > 1 && fold(b, controls, dagger, run)) {
                k += run;
                continue;
            }
            for (size_t r = 0; r < run; ++r)
                walk(*b.body, controls | mask_of(b.controls), dagger != b.dagger);
            k += run;
        }
    }

  private:
    void gate(const Gate& g, uint64_t controls, bool dagger) {
        if (g.kind == GateKind::BARRIER) return;
        if (g.kind == GateKind::UNITARY && g.qubits.size() > 2) {
            // Wider than a gate op: a dense block of its own, which fusion leaves whole.
            out_.push_block(lower_block(g, controls, dagger));
            return;
        }
        Step& step = out_.steps.emplace_back();
        if (g.kind == GateKind::MEASURE) {
            step.kind = Step::Kind::Measure;
            step.qubit = g.qubits[0];
            step.cbit = g.cbit;
        } else {
            lower_op(g, controls, dagger, step.gate);
        }
    }

    // Replaces `run` copies of block b by its matrix power, when the block is unitary,
    // narrow enough and the estimated work is smaller.
    bool fold(const Block& b, uint64_t controls, bool dagger, uint64_t run) {
        Schedule body;
        Walker(body, n_, true).walk(*b.body, 0, dagger != b.dagger);
        uint64_t support = 0;
        std::vector<uint32_t> order;
        for (const Step& s : body.steps) {
            if (!s.is_unitary()) return false;
            support |= body.qubit_mask(s);
            order.push_back(uint32_t(order.size()));
        }
        const int width = std::popcount(support);
        if (width == 0 || width > kMaxDenseQubits) return false;
        const uint64_t all_controls = controls | mask_of(b.controls);
        if (!power_is_cheaper(n_, width, body.steps.size(), run, std::popcount(all_controls)))
            return false;
        Op op;
        for (uint64_t m = support; m; m &= m - 1) op.qubits.push_back(std::countr_zero(m));
        op.control_mask = all_controls;
        op.m = matrix_power(steps_matrix(body, order, op.qubits), 1 << width, run);
        out_.push_block(std::move(op));
        return true;
    }

    Schedule& out_;
    int n_;
    bool fold_;
};

}  // namespace

uint64_t Schedule::qubit_mask(const Step& step) const {
    if (step.kind == Step::Kind::Gate) return step.gate.qubit_mask();
    if (step.kind == Step::Kind::Block) return blocks[step.block].qubit_mask();
    return uint64_t{1} << step.qubit;
}

void Schedule::push_block(Op op) {
    Step& step = steps.emplace_back();
    step.kind = Step::Kind::Block;
    step.block = int(blocks.size());
    blocks.push_back(std::move(op));
}

void Schedule::apply(cplx* amps, int n, const Step& step) const {
    if (step.kind == Step::Kind::Gate) {
        apply_gate(amps, n, step.gate);
    } else if (step.kind == Step::Kind::Block) {
        apply_op(amps, n, blocks[step.block]);
    } else {
        throw ValueError("a measurement has no matrix");
    }
}

Schedule make_schedule(const Circuit& circuit, int n, bool fold_repeats) {
    Schedule s;
    // Steps are 300 bytes: a small circuit's are sized once, but never more than a few
    // thousand up front, since runs of repeated blocks may fold a huge circuit to a few.
    s.steps.reserve(std::min<size_t>(circuit.gate_count(), kReservedSteps));
    Walker(s, n, fold_repeats).walk(circuit.items(), 0, false);
    return s;
}

std::vector<cplx> steps_matrix(const Schedule& schedule, const std::vector<uint32_t>& order,
                               const std::vector<int>& support) {
    const int s = int(support.size());
    const uint64_t dim = uint64_t{1} << s;
    int local[64] = {};
    for (int j = 0; j < s; ++j) local[support[j]] = j;
    // Column c of the matrix is the image of basis state c: all columns evolve together as
    // one 2s-qubit state whose low s bits are the row and high s bits the column.
    std::vector<cplx> columns(dim * dim, cplx(0));
    for (uint64_t c = 0; c < dim; ++c) columns[c * dim + c] = 1;
    for (uint32_t i : order) {
        const Step& step = schedule.steps[i];
        if (step.kind == Step::Kind::Gate) {
            apply_gate(columns.data(), 2 * s, relabel(step.gate, local));
        } else {
            apply_op(columns.data(), 2 * s, relabel(schedule.blocks[step.block], local));
        }
    }
    std::vector<cplx> m(dim * dim);
    for (uint64_t r = 0; r < dim; ++r)
        for (uint64_t c = 0; c < dim; ++c) m[r * dim + c] = columns[c * dim + r];
    return m;
}

}  // namespace kestrix
