#pragma once
// An exact n-qubit density matrix, held as a vector of 2n qubits: entry (row r, column c)
// is amplitude r + 2^n c. A unitary U acts as U on the low n qubits and conj(U) on the
// high n, and a channel as its superoperator on its qubits and their high twins, so the
// whole evolution is one circuit for the engine's fused kernels.
#include <cstdint>
#include <span>
#include <vector>

#include "kestrix/lib/base/interrupt.h"
#include "kestrix/lib/ir/circuit.h"
#include "kestrix/lib/noise/model.h"
#include "kestrix/lib/run/pauli.h"
#include "kestrix/lib/run/statevector.h"

namespace kestrix {

/// Widest density matrix: 2n qubits must index a state (at most 60); memory decides
/// before that (MemoryError).
constexpr int kMaxDensityQubits = 30;

/// MemoryError when a density matrix of n qubits (16 * 4^n bytes) cannot fit in memory.
void check_density_fits(int n);

class DensityMatrix {
  public:
    /// |0...0><0...0| on n qubits.
    explicit DensityMatrix(int n, const InterruptCheck& interrupt = {});
    /// |psi><psi|.
    static DensityMatrix from_state(const StateVector& state);
    /// From a dim x dim row-major matrix: dim a power of two, entries finite, Hermitian and
    /// of trace 1 within 1e-8; ValueError otherwise.
    static DensityMatrix from_matrix(std::span<const cplx> m);

    int num_qubits() const { return n_; }
    uint64_t dim() const { return uint64_t{1} << n_; }
    cplx at(uint64_t row, uint64_t col) const { return vec_.data()[row + (col << n_)]; }
    const cplx* data() const { return vec_.data(); }

    /// Applies `circuit` (no measurements: ValueError; within the width: IndexError) with
    /// `model`'s channels after its gates. Interrupted when `interrupt` asks.
    void apply(const Circuit& circuit, const NoiseModel& model,
               const InterruptCheck& interrupt = {});
    /// Applies steps made by attach_noise (no measurements) with `model`'s channels.
    void apply(const std::vector<NoisyStep>& steps, const NoiseModel& model,
               const InterruptCheck& interrupt = {});

    /// The diagonal over `qubits` (index bit k = qubits[k]).
    std::vector<double> probabilities(const std::vector<int>& qubits) const;
    /// Tr(rho H). IndexError when the observable is wider than the matrix.
    double expectation(const PauliSum& observable) const;
    /// Tr(rho^2).
    double purity() const;
    /// The matrix of the other qubits, in ascending order, with `traced` summed out.
    DensityMatrix partial_trace(const std::vector<int>& traced) const;

    friend bool operator==(const DensityMatrix& a, const DensityMatrix& b) {
        return a.vec_ == b.vec_;
    }

  private:
    DensityMatrix(int n, StateVector vec) : n_(n), vec_(std::move(vec)) {}
    int n_;
    StateVector vec_;
};

/// A UNITARY gate around any square matrix, unchecked: the engine's lowering and fusion
/// only multiply matrices, so a superoperator or a Kraus operator runs as a unitary does.
Gate matrix_gate(std::vector<int> qubits, std::vector<int> controls, std::vector<cplx> m);

/// The circuit that runs `steps` (gates and channels, no measurements) on the doubled
/// register of an n-qubit density matrix.
Circuit doubled_circuit(const std::vector<NoisyStep>& steps, const NoiseModel& model, int n);

}  // namespace kestrix
