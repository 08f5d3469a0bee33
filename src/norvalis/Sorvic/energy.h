#pragma once
// The variational energy <psi(angles)| H |psi(angles)> of the hardware-efficient ansatz,
// with psi simulated by kestrix, and its exact gradient by kestrix's adjoint method: one
// forward run, then one backward sweep over both states, so the whole gradient costs about
// three runs however many angles there are. The ansatz is planned once, with one parameter
// per angle; each evaluation only rewrites its rotations.
#include <span>
#include <vector>

#include "ansatz.h"
#include "kestrix/lib/plan/sweep.h"
#include "kestrix/lib/run/statevector.h"

namespace norvalis::sorvic {

class Energy {
  public:
    /// `hamiltonian`: the real symmetric 2^qubits x 2^qubits matrix, row-major.
    Energy(int qubits, std::vector<double> hamiltonian, std::vector<AnsatzGate> layout);

    size_t num_angles() const { return layout_.size(); }

    /// The energy at `angles`; its gradient is written into `gradient`.
    double operator()(std::span<const double> angles, std::span<double> gradient);

  private:
    int qubits_;
    std::vector<double> hamiltonian_;
    std::vector<AnsatzGate> layout_;
    kestrix::SweepPlan plan_;
};

}  // namespace norvalis::sorvic
