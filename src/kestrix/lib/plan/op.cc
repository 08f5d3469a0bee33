#include "kestrix/lib/plan/op.h"

#include <bit>
#include <optional>
#include <vector>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/base/parallel.h"
#include "kestrix/lib/kernels/kernels.h"

namespace kestrix {

static_assert(kMaxUnitaryQubits <= kMaxDenseQubits, "UNITARY gates run on the dense kernels");

namespace {

uint64_t bit(int q) { return uint64_t{1} << q; }

uint64_t mask_of(std::span<const int> qubits) {
    uint64_t mask = 0;
    for (int q : qubits) mask |= bit(q);
    return mask;
}

uint64_t relabel_mask(uint64_t mask, const int* local) {
    uint64_t out = 0;
    for (; mask; mask &= mask - 1) out |= bit(local[std::countr_zero(mask)]);
    return out;
}

}  // namespace

Unitary lower(const Gate& gate) {
    GateOp op;
    lower_op(gate, 0, false, op);
    Unitary u;
    u.num_targets = op.num_targets;
    u.targets = op.targets;
    for (uint64_t mask = op.control_mask; mask; mask &= mask - 1)
        u.controls.push_back(std::countr_zero(mask));
    const int entries = op.num_targets == 1 ? 4 : 16;
    std::copy(op.m.begin(), op.m.begin() + entries, u.m.begin());
    return u;
}

uint64_t GateOp::target_mask() const {
    return num_targets == 1 ? bit(targets[0]) : bit(targets[0]) | bit(targets[1]);
}

uint64_t Op::qubit_mask() const { return mask_of(qubits) | control_mask | select_mask; }

void lower_op(const Gate& g, uint64_t extra_controls, bool dagger, GateOp& op) {
    op.num_targets = 1;
    op.control_mask = extra_controls | mask_of(g.controls);
    auto set1 = [&](int target, GateKind kind, std::span<const double> params) {
        op.targets = {target, target};
        single_qubit_matrix(kind, params, op.m.data());
    };
    switch (g.kind) {
        case GateKind::CNOT:
        case GateKind::CZ:
        case GateKind::CR:
            op.control_mask |= bit(g.qubits[0]);
            set1(g.qubits[1],
                 g.kind == GateKind::CNOT ? GateKind::X
                 : g.kind == GateKind::CZ ? GateKind::Z
                                          : GateKind::U1,
                 g.params);
            break;
        case GateKind::TOFFOLI:
            op.control_mask |= bit(g.qubits[0]) | bit(g.qubits[1]);
            set1(g.qubits[2], GateKind::X, g.params);
            break;
        case GateKind::SWAP:
            op.num_targets = 2;
            op.targets = {g.qubits[0], g.qubits[1]};
            op.m = {1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1};
            break;
        case GateKind::UNITARY:
            if (g.qubits.size() > 2) throw ValueError("a UNITARY gate this wide is a block");
            op.num_targets = int(g.qubits.size());
            op.targets = {g.qubits[0], g.qubits[op.num_targets - 1]};
            std::copy(g.matrix->begin(), g.matrix->end(), op.m.begin());
            break;
        case GateKind::BARRIER:
        case GateKind::MEASURE: throw ValueError(std::string(gate_name(g.kind)) + " has no matrix");
        default: set1(g.qubits[0], g.kind, g.params);
    }
    const int d = op.num_targets == 1 ? 2 : 4;
    if (g.dagger != dagger) {
        for (int r = 0; r < d; ++r) {
            op.m[r * d + r] = std::conj(op.m[r * d + r]);
            for (int c = 0; c < r; ++c) {
                const cplx upper = op.m[c * d + r];
                op.m[c * d + r] = std::conj(op.m[r * d + c]);
                op.m[r * d + c] = std::conj(upper);
            }
        }
    }
    op.diagonal = true;
    for (int r = 0; r < d; ++r)
        for (int c = 0; c < d; ++c)
            if (r != c && op.m[r * d + c] != cplx(0)) op.diagonal = false;
}

Op lower_block(const Gate& g, uint64_t extra_controls, bool dagger) {
    if (g.kind != GateKind::UNITARY) throw ValueError("only a UNITARY gate lowers to a block");
    Op op;
    op.qubits.assign(g.qubits.begin(), g.qubits.end());
    op.control_mask = extra_controls | mask_of(g.controls);
    const std::vector<cplx>& u = *g.matrix;
    if (g.dagger == dagger) {
        op.m = u;
        return op;
    }
    const size_t d = size_t{1} << g.qubits.size();
    op.m.resize(d * d);
    for (size_t r = 0; r < d; ++r)
        for (size_t c = 0; c < d; ++c) op.m[r * d + c] = std::conj(u[c * d + r]);
    return op;
}

namespace {

// The fixed part of the state joined with an operation's controls; nullopt when a fixed
// bit reads 0 where a control needs 1, so that nothing there is updated.
std::optional<Fixed> under_controls(Fixed fixed, uint64_t controls) {
    fixed.values &= fixed.mask;
    if ((fixed.values & controls) != (fixed.mask & controls)) return std::nullopt;
    return Fixed{fixed.mask | controls, fixed.values | controls};
}

// Writes the prepared amplitudes on op.qubits, which read |0>, for every pattern of the
// other qubits: the amplitude a at local index 0 becomes m[j] a at local index j, in one
// pass. On a large state the patterns are spread over the threads.
template <class C>
void apply_prepare(C* amps, int n, const Op& op, const C* m, Fixed f) {
    const int k = int(op.qubits.size());
    const uint64_t dim = uint64_t{1} << k;
    std::vector<uint64_t> offset(dim, 0);  // the bits of local index j on op.qubits
    for (uint64_t j = 1; j < dim; ++j)
        offset[j] = offset[j & (j - 1)] | bit(op.qubits[std::countr_zero(j)]);
    const uint64_t skip = mask_of(op.qubits) | f.mask;
    int free_bits[64];
    int count = 0;
    for (int q = 0; q < n; ++q)
        if (!(skip & bit(q))) free_bits[count++] = q;
    const uint64_t fixed = f.values & f.mask;
    for_range(uint64_t{1} << count, n >= kParallelQubits && count > 0, [&](uint64_t b) {
        uint64_t i = fixed;
        for (int t = 0; t < count; ++t) i |= ((b >> t) & 1) << free_bits[t];
        const C a = amps[i];
        for (uint64_t j = dim; j-- > 0;) amps[i | offset[j]] = m[j] * a;
    });
}

// One sweep per pattern of the select qubits above the lanes; select qubits among the
// lanes pick a block lane by lane within that sweep.
template <class C>
void apply_multiplexed(C* amps, int n, const Op& op, const C* m, Fixed f) {
    const int k = int(op.qubits.size());
    const size_t entries = size_t{1} << (2 * k);
    // The per-lane kernels stop at kMaxDenseQubits: a wider block takes every pattern,
    // lane qubits included, as a control pattern of apply_dense.
    const uint64_t lanes = k > kMaxDenseQubits ? 0 : (uint64_t{1} << kernel_lane_qubits<C>()) - 1;
    const uint64_t lane_select = op.select_mask & lanes;
    if (!lane_select) {
        for (size_t i = 0; i < op.select_values.size(); ++i) {
            if ((op.select_values[i] ^ f.values) & op.select_mask & f.mask) continue;
            apply_dense(amps, n, op.qubits.data(), k, f.mask | op.select_mask,
                        f.values | op.select_values[i], m + i * entries);
        }
        return;
    }
    const uint64_t high_select = op.select_mask & ~lanes;
    for (size_t i = 0; i < op.select_values.size(); ++i) {
        const uint64_t high = op.select_values[i] & high_select;
        if ((high ^ f.values) & high_select & f.mask) continue;
        // The first block of each high pattern runs the sweep for all of them.
        bool seen = false;
        for (size_t j = 0; j < i && !seen; ++j) seen = (op.select_values[j] & high_select) == high;
        if (seen) continue;
        const C* lane_m[uint64_t{1} << kMaxLaneQubits] = {};
        for (uint64_t v = 0; v <= lanes; ++v) {
            if ((v ^ f.values) & f.mask & lanes) continue;  // a lane control reads 0
            for (size_t j = 0; j < op.select_values.size(); ++j)
                if (op.select_values[j] == (high | (v & lane_select))) lane_m[v] = m + j * entries;
        }
        apply_dense_per_lane(amps, n, op.qubits.data(), k, (f.mask | high_select) & ~lanes,
                             (f.values & f.mask & ~lanes) | high, lane_m);
    }
}

template <class C>
void gate_with(C* amps, int n, const GateOp& g, const C* m, Fixed fixed) {
    const std::optional<Fixed> f = under_controls(fixed, g.control_mask);
    if (!f) return;
    if (g.num_targets == 1) {
        apply_1q(amps, n, g.targets[0], f->mask, f->values, m);
    } else {
        apply_2q(amps, n, g.targets[0], g.targets[1], f->mask, f->values, m);
    }
}

template <class C>
void op_with(C* amps, int n, const Op& op, const C* m, Fixed fixed) {
    const std::optional<Fixed> f = under_controls(fixed, op.control_mask);
    if (!f) return;
    const int k = int(op.qubits.size());
    if (op.kind == OpKind::Diagonal) {
        apply_diagonal(amps, n, op.qubits.data(), k, f->mask, f->values, m);
    } else if (op.kind == OpKind::Multiplexed) {
        apply_multiplexed(amps, n, op, m, *f);
    } else if (op.kind == OpKind::Prepare) {
        apply_prepare(amps, n, op, m, *f);
    } else if (k == 1) {
        apply_1q(amps, n, op.qubits[0], f->mask, f->values, m);
    } else {
        apply_dense(amps, n, op.qubits.data(), k, f->mask, f->values, m);
    }
}

}  // namespace

void apply_gate(cplx* amps, int n, const GateOp& g, Fixed fixed) {
    gate_with(amps, n, g, g.m.data(), fixed);
}

void apply_op(cplx* amps, int n, const Op& op, Fixed fixed) {
    op_with(amps, n, op, op.m.data(), fixed);
}

void apply_gate(cfloat* amps, int n, const GateOp& g, const cfloat* m, Fixed fixed) {
    gate_with(amps, n, g, m, fixed);
}

void apply_op(cfloat* amps, int n, const Op& op, const cfloat* m, Fixed fixed) {
    op_with(amps, n, op, m, fixed);
}

GateOp relabel(const GateOp& g, const int* local) {
    GateOp out = g;
    out.targets = {local[g.targets[0]], local[g.targets[1]]};
    out.control_mask = relabel_mask(g.control_mask, local);
    return out;
}

Op relabel(const Op& op, const int* local) {
    Op out = op;
    for (int& q : out.qubits) q = local[q];
    out.control_mask = relabel_mask(op.control_mask, local);
    out.select_mask = relabel_mask(op.select_mask, local);
    for (uint64_t& v : out.select_values) v = relabel_mask(v, local);
    return out;
}

}  // namespace kestrix
