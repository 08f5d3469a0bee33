#include "kestrix/lib/plan/schedule.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <optional>
#include <stdexcept>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/base/memory.h"
#include "kestrix/lib/plan/repeat.h"

namespace kestrix {

namespace {

constexpr size_t kReservedSteps = 4096;
// A step with its share of the fused schedule and the segments built from it. Lowering
// stops with a MemoryError once the steps would take a quarter of the memory.
constexpr double kBytesPerStep = 3 * sizeof(Step);
// Steps lowered between two polls for an interrupt: a millisecond or so.
constexpr size_t kPollSteps = size_t{1} << 16;

uint64_t mask_of(const std::vector<int>& qubits) {
    uint64_t mask = 0;
    for (int q : qubits) mask |= uint64_t{1} << q;
    return mask;
}

// Lowers every gate in execution order. The walk keeps its own stack (nesting may be a
// million blocks deep) and refuses a circuit whose steps could not fit in memory before
// it grows that far; `interrupt` is polled every kPollSteps steps.
class Walker {
  public:
    Walker(Schedule& out, int n, bool fold, const InterruptCheck& interrupt, bool from_zero = false,
           std::vector<SymbolicStep>* symbolic = nullptr)
        : out_(out),
          n_(n),
          fold_(fold),
          interrupt_(interrupt),
          from_zero_(from_zero),
          symbolic_(symbolic) {}

    void walk(const ItemList& root, uint64_t controls, bool dagger) {
        // One frame per block being walked; `passes` walks of its list remain, counting
        // this one (a run of identical blocks that is not folded is walked once per copy).
        struct Frame {
            const ItemList* items;
            size_t k;
            uint64_t controls;
            bool dagger;
            uint64_t passes;
        };
        std::vector<Frame> stack{{&root, 0, controls, dagger, 1}};
        while (!stack.empty()) {
            Frame& f = stack.back();
            const size_t size = f.items->size();
            if (f.k == size) {
                f.k = 0;
                if (--f.passes == 0) stack.pop_back();
                continue;
            }
            const ItemList& items = *f.items;
            const bool reversed = f.dagger;
            auto at = [&](size_t k) -> const Item& { return items[reversed ? size - 1 - k : k]; };
            if (const Gate* g = std::get_if<Gate>(&at(f.k).value)) {
                gate(*g, f.controls, f.dagger);
                ++f.k;
                continue;
            }
            const Block& b = std::get<Block>(at(f.k).value);
            if (prepare(b, f.controls, f.dagger != b.dagger)) {
                ++f.k;
                continue;
            }
            size_t run = 1;
            if (fold_) {
                while (f.k + run < size) {
                    const Block* next = std::get_if<Block>(&at(f.k + run).value);
                    if (!next || !same_block(b, *next)) break;
                    ++run;
                }
            }
            f.k += run;
            if (run > 1 && fold(b, f.controls, f.dagger, run)) {
                touched_ |= out_.qubit_mask(out_.steps.back());
                continue;
            }
            const Frame body{b.body.get(), 0, f.controls | mask_of(b.controls),
                             f.dagger != b.dagger, run};
            stack.push_back(body);  // `f` dangles from here
        }
    }

  private:
    void gate(const Gate& g, uint64_t controls, bool dagger) {
        if (g.kind == GateKind::BARRIER) return;
        if (out_.steps.size() % kPollSteps == kPollSteps - 1) {
            if (double(out_.steps.size()) * kBytesPerStep > usable_memory() / 4) {
                throw MemoryError("the circuit expands to more than " +
                                  std::to_string(out_.steps.size()) +
                                  " operations, more than a quarter of this machine's " +
                                  gib_text(usable_memory()) + " of memory can hold");
            }
            if (interrupt_ && interrupt_()) throw Interrupted();
        }
        if (g.kind == GateKind::UNITARY && g.qubits.size() > 2) {
            // Wider than a gate op: a dense block of its own, which fusion leaves whole.
            out_.push_block(lower_block(g, controls, dagger));
            touched_ |= out_.blocks.back().qubit_mask() & ~out_.blocks.back().control_mask;
            return;
        }
        Step& step = out_.steps.emplace_back();
        if (g.kind == GateKind::MEASURE) {
            step.kind = Step::Kind::Measure;
            step.qubit = g.qubits[0];
            step.cbit = g.cbit;
            touched_ |= uint64_t{1} << step.qubit;
        } else if (g.symbols) {
            lower_symbolic(g, controls, dagger, step);
        } else {
            lower_op(g, controls, dagger, step.gate);
            touched_ |= step.gate.target_mask();
        }
    }

    void lower_symbolic(const Gate& g, uint64_t controls, bool dagger, Step& step) {
        if (!symbolic_) {
            throw ValueError("parameter '" + g.symbols->front().expr.param->name +
                             "' has no value: bind the circuit's parameters before running it");
        }
        // Angles unlike 0, pi/2 or pi, whose matrices would show zeros that other values
        // do not have.
        constexpr double kGenericAngles[] = {0.9273, 1.3181, 0.4115};
        Gate generic = g;
        for (const Symbol& s : *g.symbols) generic.params[s.slot] = kGenericAngles[s.slot % 3];
        generic.symbols = nullptr;
        lower_op(generic, controls, dagger, step.gate);
        touched_ |= step.gate.target_mask();
        symbolic_->push_back(SymbolicStep{uint32_t(out_.steps.size() - 1), g, controls, dagger});
    }

    // A block that prepares a state on qubits still |0> (nothing has acted on them since
    // the all-zero start), uncontrolled and not inverted, becomes one step that writes
    // its amplitudes: one pass in place of its gates.
    bool prepare(const Block& b, uint64_t controls, bool dagger) {
        if (!from_zero_ || !b.prepares || controls != 0 || !b.controls.empty() || dagger)
            return false;
        const Preparation& p = *b.prepares;
        const uint64_t mask = mask_of(p.qubits);
        if (touched_ & mask) return false;
        Op op;
        op.kind = OpKind::Prepare;
        op.qubits = p.qubits;
        op.m = p.amplitudes;
        out_.push_block(std::move(op));
        touched_ |= mask;
        return true;
    }

    // Replaces `run` copies of block b by its matrix power, when the block is unitary,
    // narrow enough and the estimated work is smaller.
    bool fold(const Block& b, uint64_t controls, bool dagger, uint64_t run) {
        Schedule body;
        std::vector<SymbolicStep> symbolic;  // a block whose angles vary is run copy by copy
        Walker(body, n_, true, interrupt_, false, &symbolic).walk(*b.body, 0, dagger != b.dagger);
        if (!symbolic.empty()) return false;
        uint64_t support = 0;
        std::vector<uint32_t> order;
        for (const Step& s : body.steps) {
            if (!s.is_unitary()) return false;
            support |= body.qubit_mask(s);
            order.push_back(uint32_t(order.size()));
        }
        const int width = std::popcount(support);
        if (width == 0 || width > kMaxFoldQubits) return false;
        const uint64_t all_controls = controls | mask_of(b.controls);
        Op op;
        for (uint64_t m = support; m; m &= m - 1) op.qubits.push_back(std::countr_zero(m));
        op.control_mask = all_controls;
        // The block folded last keeps its squares: phase estimation folds one block again
        // and again, at powers 1, 2, 4, ..., each then one squaring more.
        const bool inverted = dagger != b.dagger;
        const bool again = last_fold_ && inverted == last_fold_->inverted &&
                           op.qubits == last_fold_->qubits && same_items_of(b, last_fold_->block);
        if (!power_is_cheaper(n_, width, body.steps.size(), run, std::popcount(all_controls),
                              again ? last_fold_->squares.size() : 0))
            return false;
        if (!again) {
            last_fold_.emplace(
                FoldedBlock{b, inverted, op.qubits, {steps_matrix(body, order, op.qubits)}});
        }
        op.m = matrix_power(last_fold_->squares, 1 << width, run);
        // A power of the block folded just before, with nothing between them, may join it
        // in one sweep over the patterns of both controls.
        if (again && last_fold_->step + 1 == out_.steps.size() &&
            join_powers(out_.blocks[out_.steps.back().block], op, n_))
            return true;
        out_.push_block(std::move(op));
        last_fold_->step = out_.steps.size() - 1;
        return true;
    }

    // Whether two blocks run the same gates, whatever their controls.
    static bool same_items_of(const Block& a, const Block& b) {
        return same_block(Block{a.body, {}, false, nullptr}, Block{b.body, {}, false, nullptr});
    }

    struct FoldedBlock {
        Block block;
        bool inverted;
        std::vector<int> qubits;
        std::vector<std::vector<cplx>> squares;  ///< the block's matrix to the powers 2^j
        size_t step = size_t(-1);                ///< the step that holds its last powers
    };
    std::optional<FoldedBlock> last_fold_;

    Schedule& out_;
    int n_;
    bool fold_;
    const InterruptCheck& interrupt_;
    bool from_zero_;
    std::vector<SymbolicStep>* symbolic_;
    uint64_t touched_ = 0;  ///< qubits that may have left |0>
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

void Schedule::apply(cplx* amps, int n, const Step& step, Fixed fixed) const {
    if (step.kind == Step::Kind::Gate) {
        apply_gate(amps, n, step.gate, fixed);
    } else if (step.kind == Step::Kind::Block) {
        apply_op(amps, n, blocks[step.block], fixed);
    } else {
        throw ValueError("a measurement has no matrix");
    }
}

namespace {

// Rounds a matrix to float, with the parts that double arithmetic left as noise around
// zero (cos(pi / 2) = 6e-17, products of fused gates that cancel) set to zero: far below
// float's resolution, they would otherwise multiply one another, step after step, into
// subnormal floats, which cost the kernels ten times more.
void round_matrix(const cplx* m, size_t count, cfloat* out) {
    double largest = 0;
    for (size_t i = 0; i < count; ++i)
        largest = std::max({largest, std::abs(m[i].real()), std::abs(m[i].imag())});
    const double noise = std::ldexp(largest, -40);
    auto part = [&](double x) { return std::abs(x) < noise ? 0.0f : float(x); };
    for (size_t i = 0; i < count; ++i) out[i] = cfloat(part(m[i].real()), part(m[i].imag()));
}

}  // namespace

void Schedule::round_to_single() {
    single_gates.assign(steps.size(), {});
    for (size_t i = 0; i < steps.size(); ++i) {
        const GateOp& g = steps[i].gate;
        if (steps[i].kind == Step::Kind::Gate)
            round_matrix(g.m.data(), g.num_targets == 1 ? 4 : 16, single_gates[i].data());
    }
    single_blocks.resize(blocks.size());
    for (size_t b = 0; b < blocks.size(); ++b) {
        single_blocks[b].resize(blocks[b].m.size());
        round_matrix(blocks[b].m.data(), blocks[b].m.size(), single_blocks[b].data());
    }
}

void Schedule::apply(cfloat* amps, int n, const Step& step, Fixed fixed) const {
    // The rounded matrices are found by the step's place in `steps`.
    const size_t index = size_t(&step - steps.data());
    if (index >= single_gates.size() || size_t(step.block + 1) > single_blocks.size())
        throw std::logic_error("a single-precision step of another schedule, or not rounded");
    if (step.kind == Step::Kind::Gate) {
        apply_gate(amps, n, step.gate, single_gates[index].data(), fixed);
    } else if (step.kind == Step::Kind::Block) {
        apply_op(amps, n, blocks[step.block], single_blocks[step.block].data(), fixed);
    } else {
        throw ValueError("a measurement has no matrix");
    }
}

Schedule make_schedule(const Circuit& circuit, int n, bool fold_repeats,
                       const InterruptCheck& interrupt, bool from_zero,
                       std::vector<SymbolicStep>* symbolic) {
    Schedule s;
    // Steps are 300 bytes: a small circuit's are sized once, but never more than a few
    // thousand up front, since runs of repeated blocks may fold a huge circuit to a few.
    s.steps.reserve(std::min<size_t>(circuit.gate_count(), kReservedSteps));
    Walker(s, n, fold_repeats, interrupt, from_zero, symbolic).walk(circuit.items(), 0, false);
    return s;
}

namespace {

using Matrix2 = std::array<cplx, 4>;

Matrix2 times(const Matrix2& a, const Matrix2& b) {
    return {a[0] * b[0] + a[1] * b[2], a[0] * b[1] + a[1] * b[3], a[2] * b[0] + a[3] * b[2],
            a[2] * b[1] + a[3] * b[3]};
}

// A single-qubit matrix m on `target` under `controls`, applied in place to `size`
// amplitudes without the kernels' setup: the matrices of fused blocks are a few dozen
// amplitudes, built again for every row of a sweep. Flips (CNOT) only move amplitudes.
void apply_small(cplx* a, uint64_t size, int target, uint64_t controls, const Matrix2& m) {
    const uint64_t bit = uint64_t{1} << target;
    const bool flip = m[0] == cplx(0) && m[3] == cplx(0);
    for (uint64_t k = 0; k < size / 2; ++k) {
        const uint64_t i = ((k >> target) << (target + 1)) | (k & (bit - 1));
        if ((i & controls) != controls) continue;
        const cplx x0 = a[i], x1 = a[i | bit];
        if (flip) {
            a[i] = m[1] * x1, a[i | bit] = m[2] * x0;
        } else {
            a[i] = m[0] * x0 + m[1] * x1, a[i | bit] = m[2] * x0 + m[3] * x1;
        }
    }
}

// The columns (a 2s-qubit state, low s bits the row) of a product of steps on s qubits,
// built with uncontrolled single-qubit gates held per qubit and multiplied together first:
// a block of rotations and CNOTs costs one pass per qubit between CNOTs, and the first, on
// the identity, is one Kronecker product of every gate held. Gates arrive on the global
// qubits and are renamed through `local` as they come.
class ColumnBuilder {
  public:
    ColumnBuilder(int s, const int* local, std::vector<cplx>& columns)
        : s_(s), dim_(uint64_t{1} << s), local_(local), columns_(columns) {
        columns_.resize(dim_ * dim_);
    }

    // A gate, its controls in `drop` left out (they read 1 wherever the product is taken).
    void gate(const GateOp& global, uint64_t drop = 0) {
        if (global.num_targets == 2) {
            const GateOp g = relabel(global, local_);
            flush(g.qubit_mask());
            apply_gate(columns(), 2 * s_, g);
            return;
        }
        const int t = local_[global.targets[0]];
        const Matrix2 m{global.m[0], global.m[1], global.m[2], global.m[3]};
        const uint64_t control_mask = global.control_mask & ~drop;
        if (control_mask == 0) {
            held_[t] = held_mask_ >> t & 1 ? times(m, held_[t]) : m;
            held_mask_ |= uint64_t{1} << t;
            return;
        }
        uint64_t controls = 0;
        for (uint64_t c = control_mask; c; c &= c - 1)
            controls |= uint64_t{1} << local_[std::countr_zero(c)];
        flush(controls | uint64_t{1} << t);
        apply_small(columns(), dim_ * dim_, t, controls, m);
    }
    void op(const Op& global) {
        const Op o = relabel(global, local_);
        flush(o.qubit_mask());
        apply_op(columns(), 2 * s_, o);
    }
    // The product of every step given.
    const std::vector<cplx>& finish() {
        flush(~uint64_t{0});
        columns();
        return columns_;
    }

  private:
    // Runs the held gates on `qubits`.
    void flush(uint64_t qubits) {
        if (!(held_mask_ & qubits)) return;
        if (!started_) {  // held gates may always run early: here all cost one product
            kronecker(held_mask_);
            held_mask_ = 0;
            return;
        }
        for (uint64_t m = held_mask_ & qubits; m; m &= m - 1) {
            const int q = std::countr_zero(m);
            apply_small(columns_.data(), dim_ * dim_, q, 0, held_[q]);
        }
        held_mask_ &= ~qubits;
    }

    // The columns to update, the identity's until something has been written.
    cplx* columns() {
        if (!started_) kronecker(0);
        return columns_.data();
    }
    // Entry (r, c) of the product of the held matrices on `due` and the identity elsewhere.
    void kronecker(uint64_t due) {
        for (uint64_t c = 0; c < dim_; ++c) {
            for (uint64_t r = 0; r < dim_; ++r) {
                cplx e = ((r ^ c) & ~due) ? cplx(0) : cplx(1);
                for (uint64_t m = due; m && e != cplx(0); m &= m - 1) {
                    const int q = std::countr_zero(m);
                    e *= held_[q][((r >> q) & 1) * 2 + ((c >> q) & 1)];
                }
                columns_[c * dim_ + r] = e;
            }
        }
        started_ = true;
    }

    int s_;
    uint64_t dim_;
    const int* local_;
    std::vector<cplx>& columns_;
    bool started_ = false;
    uint64_t held_mask_ = 0;
    Matrix2 held_[kMaxFoldQubits];  // entries read only where held_mask_ has the bit
};

}  // namespace

void steps_matrix(const Schedule& schedule, const std::vector<uint32_t>& order,
                  const std::vector<int>& support, std::vector<cplx>& m, Fixed fixed) {
    const int s = int(support.size());
    const uint64_t dim = uint64_t{1} << s;
    int local[64] = {};
    for (int j = 0; j < s; ++j) local[support[j]] = j;
    // Column c of the matrix is the image of basis state c: all columns evolve together as
    // one 2s-qubit state whose low s bits are the row and high s bits the column.
    thread_local std::vector<cplx> columns;
    ColumnBuilder build(s, local, columns);
    for (uint32_t i : order) {
        const Step& step = schedule.steps[i];
        if (step.kind == Step::Kind::Gate) {
            const uint64_t fixed_controls = step.gate.control_mask & fixed.mask;
            if ((fixed_controls & fixed.values) != fixed_controls) continue;  // never fires
            build.gate(step.gate, fixed.mask);
        } else {
            build.op(schedule.blocks[step.block]);
        }
    }
    build.finish();
    m.resize(dim * dim);
    for (uint64_t r = 0; r < dim; ++r)
        for (uint64_t c = 0; c < dim; ++c) m[r * dim + c] = columns[c * dim + r];
}

std::vector<cplx> steps_matrix(const Schedule& schedule, const std::vector<uint32_t>& order,
                               const std::vector<int>& support) {
    std::vector<cplx> m;
    steps_matrix(schedule, order, support, m);
    return m;
}

}  // namespace kestrix
