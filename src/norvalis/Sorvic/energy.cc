#include "energy.h"

#include <algorithm>
#include <complex>

#include "kestrix/lib/run/gradient.h"

namespace norvalis::sorvic {

namespace {

using kestrix::cplx;

// One parameter per angle of the layout, and the ansatz with those parameters.
kestrix::SweepPlan planned(int qubits, const std::vector<AnsatzGate>& layout) {
    std::vector<kestrix::Parameter> angles;
    for (size_t k = 0; k < layout.size(); ++k) angles.push_back(kestrix::make_parameter("a"));
    return kestrix::SweepPlan(ansatz_circuit(layout, angles), qubits, angles);
}

}  // namespace

Energy::Energy(int qubits, std::vector<double> hamiltonian, std::vector<AnsatzGate> layout)
    : qubits_(qubits),
      hamiltonian_(std::move(hamiltonian)),
      layout_(std::move(layout)),
      plan_(planned(qubits_, layout_)) {}

double Energy::operator()(std::span<const double> angles, std::span<double> gradient) {
    const auto observe = [&](const kestrix::StateVector& phi, kestrix::StateVector& h_phi) {
        const uint64_t dim = phi.size();
        const cplx* psi = phi.data();
        cplx* out = h_phi.data();
        double energy = 0;
        for (uint64_t r = 0; r < dim; ++r) {
            const double* row = hamiltonian_.data() + r * dim;
            cplx s = 0;
            for (uint64_t c = 0; c < dim; ++c) s += row[c] * psi[c];
            out[r] = s;
            energy += (std::conj(psi[r]) * s).real();
        }
        return energy;
    };
    const kestrix::ValueAndGradient result = kestrix::adjoint_gradient(observe, plan_, angles);
    std::copy(result.gradient.begin(), result.gradient.end(), gradient.begin());
    return result.value;
}

}  // namespace norvalis::sorvic
