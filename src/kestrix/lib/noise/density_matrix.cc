#include "kestrix/lib/noise/density_matrix.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/base/memory.h"
#include "kestrix/lib/plan/op.h"
#include "kestrix/lib/plan/plan.h"

namespace kestrix {

namespace {

bool is_real_gate(const Gate& g) {
    switch (g.kind) {
        case GateKind::I:
        case GateKind::H:
        case GateKind::X:
        case GateKind::Z:
        case GateKind::RY:
        case GateKind::CNOT:
        case GateKind::CZ:
        case GateKind::SWAP:
        case GateKind::TOFFOLI: return true;
        default: return false;
    }
}

// conj(U) of a gate, on the high twin of each of its qubits.
Gate conjugate_twin(const Gate& g, int n) {
    if (is_real_gate(g) || g.kind == GateKind::UNITARY) {
        Gate twin = g;
        for (int& q : twin.qubits) q += n;
        for (int& q : twin.controls) q += n;
        if (g.kind == GateKind::UNITARY) {
            Matrix m = *g.matrix;
            for (cplx& x : m) x = std::conj(x);
            twin.matrix = std::make_shared<const std::vector<cplx>>(std::move(m));
        }
        return twin;
    }
    const Unitary u = lower(g);
    const int d = u.num_targets == 1 ? 2 : 4;
    Matrix m(u.m.begin(), u.m.begin() + d * d);
    for (cplx& x : m) x = std::conj(x);
    std::vector<int> targets = {u.targets[0] + n};
    if (u.num_targets == 2) targets.push_back(u.targets[1] + n);
    std::vector<int> controls;
    for (int c : u.controls) controls.push_back(c + n);
    return matrix_gate(targets, controls, std::move(m));
}

}  // namespace

Gate matrix_gate(std::vector<int> qubits, std::vector<int> controls, std::vector<cplx> m) {
    Gate g;
    g.kind = GateKind::UNITARY;
    g.qubits = QubitList(qubits);
    g.controls = QubitList(controls);
    g.matrix = std::make_shared<const std::vector<cplx>>(std::move(m));
    return g;
}

void check_density_fits(int n) {
    const std::string what = "a density matrix of " + std::to_string(n) + " qubits";
    if (n < 0 || n > kMaxDensityQubits) {
        throw MemoryError(what + " needs 2**" + std::to_string(2 * int64_t{n} + 4) +
                          " bytes, more than any machine's memory");
    }
    check_memory(std::ldexp(double(sizeof(cplx)), 2 * n), what);
}

DensityMatrix::DensityMatrix(int n, const InterruptCheck& interrupt)
    : n_(n), vec_((check_density_fits(n), 2 * n), interrupt) {}

DensityMatrix DensityMatrix::from_state(const StateVector& state) {
    const int n = state.num_qubits();
    DensityMatrix rho(n);
    const cplx* a = state.data();
    cplx* v = rho.vec_.data();
    const uint64_t d = state.size();
    for (uint64_t c = 0; c < d; ++c)
        for (uint64_t r = 0; r < d; ++r) v[r + c * d] = a[r] * std::conj(a[c]);
    return rho;
}

DensityMatrix DensityMatrix::from_matrix(std::span<const cplx> m) {
    uint64_t d = 1;
    int n = 0;
    while (d * d < m.size()) {
        d *= 2;
        ++n;
    }
    if (d * d != m.size()) {
        throw ValueError("DensityMatrix: the matrix must be 2**n x 2**n, got " +
                         std::to_string(m.size()) + " entries");
    }
    check_density_fits(n);
    cplx trace = 0;
    for (uint64_t r = 0; r < d; ++r) {
        trace += m[r * d + r];
        for (uint64_t c = 0; c < d; ++c) {
            const cplx x = m[r * d + c];
            if (!std::isfinite(x.real()) || !std::isfinite(x.imag()))
                throw ValueError("DensityMatrix: the matrix has a non-finite entry");
            if (std::abs(x - std::conj(m[c * d + r])) > 1e-8)
                throw ValueError("DensityMatrix: the matrix is not Hermitian (within 1e-8)");
        }
    }
    if (std::abs(trace - cplx(1)) > 1e-8)
        throw ValueError("DensityMatrix: the trace must be 1 (within 1e-8)");
    DensityMatrix rho(n);
    cplx* v = rho.vec_.data();
    for (uint64_t r = 0; r < d; ++r)
        for (uint64_t c = 0; c < d; ++c) v[r + c * d] = m[r * d + c];
    return rho;
}

Circuit doubled_circuit(const std::vector<NoisyStep>& steps, const NoiseModel& model, int n) {
    std::vector<Matrix> superops(model.rules().size());
    Circuit out;
    for (const NoisyStep& s : steps) {
        if (s.kind == NoisyStep::Kind::Gate) {
            if (s.gate.kind == GateKind::MEASURE)
                throw ValueError("a density matrix cannot be evolved through a measurement");
            out.append(s.gate);
            out.append(conjugate_twin(s.gate, n));
            continue;
        }
        Matrix& op = superops[s.rule];
        if (op.empty()) op = superoperator(model.rules()[s.rule].channel);
        std::vector<int> qubits = s.qubits;
        for (int q : s.qubits) qubits.push_back(q + n);
        out.append(matrix_gate(std::move(qubits), {}, op));
    }
    return out;
}

void DensityMatrix::apply(const Circuit& circuit, const NoiseModel& model,
                          const InterruptCheck& interrupt) {
    if (circuit.has_measurement())
        throw ValueError("a density matrix cannot be evolved through a measurement");
    if (circuit.width() > n_) {
        throw IndexError("the circuit acts on qubit " + std::to_string(circuit.width() - 1) +
                         " but the density matrix has " + std::to_string(n_) + " qubits");
    }
    apply(attach_noise(circuit, model), model, interrupt);
}

void DensityMatrix::apply(const std::vector<NoisyStep>& steps, const NoiseModel& model,
                          const InterruptCheck& interrupt) {
    const Circuit doubled = doubled_circuit(steps, model, n_);
    Plan(doubled, 2 * n_, interrupt).run(vec_.data(), interrupt);
}

std::vector<double> DensityMatrix::probabilities(const std::vector<int>& qubits) const {
    check_distinct_qubits(qubits, "probabilities");
    for (int q : qubits)
        if (q >= n_)
            throw IndexError("qubit " + std::to_string(q) + " is outside the density matrix");
    std::vector<double> diag(dim());
    for (uint64_t i = 0; i < dim(); ++i) diag[i] = std::max(at(i, i).real(), 0.0);
    return marginal(diag, n_, qubits);
}

double DensityMatrix::expectation(const PauliSum& observable) const {
    if (observable.num_qubits > n_) {
        throw IndexError("the observable acts on " + std::to_string(observable.num_qubits) +
                         " qubits but the density matrix has " + std::to_string(n_));
    }
    // Tr(rho P) = sum_j rho[j ^ x][j] phase(j), with P|j> = phase(j) |j ^ x>.
    double total = 0;
    for (const PauliTerm& t : observable.terms) {
        const uint64_t x = t.pauli.x, z = t.pauli.z;
        const int ys = std::popcount(x & z);
        const cplx y_phase = std::pow(cplx(0, 1), ys);  // each Y = i X Z
        cplx sum = 0;
        for (uint64_t j = 0; j < dim(); ++j) {
            const double sign = (std::popcount(j & z) & 1) ? -1.0 : 1.0;
            sum += at(j, j ^ x) * sign;
        }
        total += t.coefficient * (sum * y_phase).real();
    }
    return total;
}

double DensityMatrix::purity() const {
    double s = 0;
    const uint64_t size = vec_.size();
    for (uint64_t i = 0; i < size; ++i) s += std::norm(vec_.data()[i]);
    return s;
}

DensityMatrix DensityMatrix::partial_trace(const std::vector<int>& traced) const {
    check_distinct_qubits(traced, "partial_trace");
    uint64_t mask = 0;
    for (int q : traced) {
        if (q >= n_)
            throw IndexError("qubit " + std::to_string(q) + " is outside the density matrix");
        mask |= uint64_t{1} << q;
    }
    std::vector<int> kept;
    for (int q = 0; q < n_; ++q)
        if (!(mask >> q & 1)) kept.push_back(q);
    const int m = int(kept.size());
    DensityMatrix out(m);
    cplx* v = out.vec_.data();
    v[0] = 0;
    const int t = int(traced.size());
    // Spreads the bits of a local index over the kept (or traced) qubits.
    auto spread = [](uint64_t local, const std::vector<int>& qubits) {
        uint64_t full = 0;
        for (size_t k = 0; k < qubits.size(); ++k) full |= ((local >> k) & 1) << qubits[k];
        return full;
    };
    std::vector<int> traced_sorted(traced);
    for (uint64_t r = 0; r < (uint64_t{1} << m); ++r) {
        const uint64_t fr = spread(r, kept);
        for (uint64_t c = 0; c < (uint64_t{1} << m); ++c) {
            const uint64_t fc = spread(c, kept);
            cplx s = 0;
            for (uint64_t e = 0; e < (uint64_t{1} << t); ++e) {
                const uint64_t fe = spread(e, traced_sorted);
                s += at(fr | fe, fc | fe);
            }
            v[r + (c << m)] = s;
        }
    }
    return out;
}

}  // namespace kestrix
