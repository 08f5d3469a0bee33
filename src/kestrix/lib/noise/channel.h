#pragma once
// Quantum channels given by Kraus operators, and readout errors. A channel that is a
// mixture of unitaries (depolarising, bit and phase flips) also keeps that form, so that a
// trajectory picks its branch by a coin toss rather than by computing norms on the state.
#include <cstdint>
#include <string>
#include <vector>

#include "kestrix/lib/base/complex.h"

namespace kestrix {

/// A square matrix, row-major; its local index bit j belongs to the channel's j-th qubit.
using Matrix = std::vector<cplx>;

/// Widest channel: its superoperator (4^k x 4^k) runs on the dense kernels, which stop at
/// six qubits, and a density matrix doubles every qubit.
constexpr int kMaxChannelQubits = 3;

struct Channel {
    enum class Kind : uint8_t { Kraus, Readout };
    Kind kind = Kind::Kraus;
    /// The constructor that made it ("depolarizing", "kraus", ...) and its arguments, for
    /// repr and pickling.
    std::string name;
    std::vector<double> params;
    int num_qubits = 1;
    /// Kraus operators, 2^k x 2^k each, sum K^dagger K = I.
    std::vector<Matrix> kraus;
    /// When every operator is a multiple of a unitary: K_i = sqrt(probs[i]) U_i. Empty
    /// otherwise. Branches whose unitary is a phase times I are marked, so a trajectory
    /// that draws them does nothing.
    std::vector<double> mixture_probs;
    std::vector<Matrix> mixture_unitaries;
    std::vector<bool> mixture_identity;
    /// Readout only: the chance that a 0 reads as 1, and that a 1 reads as 0.
    double p01 = 0;
    double p10 = 0;

    bool is_mixture() const { return !mixture_probs.empty(); }
    friend bool operator==(const Channel& a, const Channel& b);
};

/// A channel of Kraus operators on k = log2(dimension) qubits (1 to kMaxChannelQubits).
/// ValueError for operators of unequal or non-power-of-two size, non-finite entries, or a
/// sum of K^dagger K farther than 1e-10 (largest entry) from the identity.
Channel kraus_channel(std::vector<Matrix> operators, std::string name = "kraus",
                      std::vector<double> params = {});

/// With probability p the qubits are replaced by the maximally mixed state (as Qiskit
/// Aer's depolarizing_error): Kraus weights 1 - p + p/4^k for I, p/4^k for each other
/// Pauli string. p in [0, 1]; num_qubits 1 or 2.
Channel depolarizing(double p, int num_qubits = 1);
Channel amplitude_damping(double gamma);
Channel phase_damping(double gamma);
Channel bit_flip(double p);
Channel phase_flip(double p);
/// Relaxation towards |0> over `time` with T1 and T2 (T2 <= 2 T1), ground-state
/// population as the end point: amplitude damping by 1 - e^{-t/T1} followed by the pure
/// dephasing that brings coherences to e^{-t/T2}.
Channel thermal_relaxation(double t1, double t2, double time);
/// A confusion matrix on one measured qubit: 0 reads as 1 with probability p01, 1 reads as
/// 0 with probability p10.
Channel readout_error(double p01, double p10);

/// The superoperator S = sum K (x) conj(K), 4^k x 4^k row-major over the local index
/// r + 2^k c of a density matrix entry (row r, column c) of the channel's qubits.
Matrix superoperator(const Channel& channel);

/// Probabilities Tr(K_i rho K_i^dagger) of each branch, given the reduced density matrix
/// rho (2^k x 2^k row-major) of the channel's qubits.
std::vector<double> branch_probabilities(const Channel& channel, const Matrix& rho);

}  // namespace kestrix
