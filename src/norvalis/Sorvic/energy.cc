#include "energy.h"

#include <complex>

#include "kestrix/lib/run/evolve.h"

namespace norvalis::sorvic {

namespace {

using kestrix::cplx;

// <a| G |b> for the generator G of one ansatz gate.
cplx generator_element(const AnsatzGate& g, const cplx* a, const cplx* b, uint64_t size) {
    const uint64_t t = uint64_t{1} << g.target;
    cplx sum = 0;
    switch (g.generator) {
        case Generator::Z:
            for (uint64_t i = 0; i < size; ++i) sum += std::conj(a[i]) * (i & t ? -b[i] : b[i]);
            break;
        case Generator::X:
            for (uint64_t i = 0; i < size; ++i) sum += std::conj(a[i]) * b[i ^ t];
            break;
        case Generator::ControlledY: {
            // |1><1| on the control times Y on the target: Y|0> = i|1>, Y|1> = -i|0>.
            const uint64_t c = uint64_t{1} << g.control;
            const cplx i_unit(0, 1);
            for (uint64_t i = 0; i < size; ++i) {
                if (!(i & c)) continue;
                sum += std::conj(a[i]) * (i & t ? i_unit * b[i ^ t] : -i_unit * b[i ^ t]);
            }
            break;
        }
    }
    return sum;
}

}  // namespace

Energy::Energy(int qubits, std::vector<double> hamiltonian, std::vector<AnsatzGate> layout)
    : qubits_(qubits),
      hamiltonian_(std::move(hamiltonian)),
      layout_(std::move(layout)),
      phi_(qubits),
      lambda_(qubits) {}

double Energy::operator()(std::span<const double> angles, std::span<double> gradient) {
    phi_.reset();
    apply_circuit(phi_, ansatz_circuit(layout_, angles));
    const uint64_t dim = phi_.size();
    const cplx* psi = phi_.data();
    cplx* h_psi = lambda_.data();
    double energy = 0;
    for (uint64_t r = 0; r < dim; ++r) {
        const double* row = hamiltonian_.data() + r * dim;
        cplx s = 0;
        for (uint64_t c = 0; c < dim; ++c) s += row[c] * psi[c];
        h_psi[r] = s;
        energy += (std::conj(psi[r]) * s).real();
    }
    // dE/d(angle k) = Im <lambda_k| G_k |phi_k>, with phi_k the state after gate k and
    // lambda_k = H psi carried back through the later gates.
    for (size_t k = layout_.size(); k-- > 0;) {
        gradient[k] = generator_element(layout_[k], lambda_.data(), phi_.data(), dim).imag();
        if (k == 0) break;
        kestrix::Circuit undo;
        undo.append(ansatz_gate(layout_[k], angles[k]).daggered());
        apply_circuit(phi_, undo);
        apply_circuit(lambda_, undo);
    }
    return energy;
}

}  // namespace norvalis::sorvic
