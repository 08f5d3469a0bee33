#pragma once
// Test helpers: random circuits over every gate kind, and a deliberately plain dense
// simulator to check the engine against.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "kestrix/lib/ir/circuit.h"
#include "kestrix/lib/plan/op.h"
#include "kestrix/lib/plan/schedule.h"

namespace kestrix::testing {

inline std::vector<int> distinct_qubits(int n, int count, std::mt19937_64& rng) {
    std::vector<int> q(n);
    std::iota(q.begin(), q.end(), 0);
    std::shuffle(q.begin(), q.end(), rng);
    q.resize(count);
    return q;
}

/// `gates` random gates on n >= 2 qubits; some carry extra controls or run as adjoints.
inline Circuit random_circuit(int n, int gates, std::mt19937_64& rng) {
    static const GateKind kinds[] = {GateKind::H,  GateKind::X,    GateKind::Y,       GateKind::Z,
                                     GateKind::RX, GateKind::RY,   GateKind::RZ,      GateKind::U1,
                                     GateKind::U2, GateKind::U3,   GateKind::CNOT,    GateKind::CZ,
                                     GateKind::CR, GateKind::SWAP, GateKind::TOFFOLI, GateKind::I};
    std::uniform_real_distribution<double> angle(-4, 4);
    Circuit c;
    for (int k = 0; k < gates; ++k) {
        const GateKind kind = kinds[rng() % std::size(kinds)];
        const int arity = gate_arity(kind);
        if (arity > n) continue;
        const int extra = rng() % 5 == 0 ? std::min(int(rng() % 2) + 1, n - arity) : 0;
        std::vector<int> q = distinct_qubits(n, arity + extra, rng);
        std::vector<double> params(gate_param_count(kind));
        for (double& p : params) p = angle(rng);
        Gate g = make_gate(kind, std::vector<int>(q.begin(), q.begin() + arity), params);
        if (extra) g = g.controlled(std::vector<int>(q.begin() + arity, q.end()));
        if (rng() % 4 == 0) g = g.daggered();
        c.append(g);
    }
    return c;
}

/// The matrix of u applied to `in`, index by index, with no cleverness.
inline std::vector<cplx> reference_apply(const std::vector<cplx>& in, const Unitary& u) {
    std::vector<cplx> out = in;
    const int d = 1 << u.num_targets;
    for (uint64_t i = 0; i < in.size(); ++i) {
        bool on = true;
        for (int q : u.controls) on = on && ((i >> q) & 1);
        if (!on) continue;
        int row = 0;
        for (int t = 0; t < u.num_targets; ++t) row |= int((i >> u.targets[t]) & 1) << t;
        cplx sum = 0;
        for (int col = 0; col < d; ++col) {
            uint64_t j = i;
            for (int t = 0; t < u.num_targets; ++t) {
                j &= ~(uint64_t{1} << u.targets[t]);
                j |= uint64_t((col >> t) & 1) << u.targets[t];
            }
            sum += u.m[row * d + col] * in[j];
        }
        out[i] = sum;
    }
    return out;
}

/// The n-qubit state a circuit prepares from |0...0>, one dense gate at a time.
inline std::vector<cplx> reference_state(const Circuit& c, int n) {
    std::vector<cplx> s(uint64_t{1} << n, cplx(0));
    s[0] = 1;
    c.for_each_gate([&](const Gate& g) {
        if (g.is_unitary()) s = reference_apply(s, lower(g));
    });
    return s;
}

inline double max_distance(const cplx* a, const cplx* b, uint64_t size) {
    double worst = 0;
    for (uint64_t i = 0; i < size; ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
    return worst;
}

/// The state a schedule's unitary steps make from |0...0>.
inline std::vector<cplx> run(const Schedule& plan, int n) {
    std::vector<cplx> s(uint64_t{1} << n, cplx(0));
    s[0] = 1;
    for (const Step& step : plan.steps)
        if (step.is_unitary()) plan.apply(s.data(), n, step);
    return s;
}

}  // namespace kestrix::testing
