#pragma once
// The HHL linear-system solver on kestrix. For a Hermitian H (the matrix itself, or the
// embedding [[0, A], [A^dagger, 0]] of any other) and |b> = b / |b|:
//   1. phase estimation of exp(iHt) writes each eigenvalue lambda of H, as the signed
//      integer k = lambda * 2^f (two's complement), into an m-qubit register;
//   2. an RY on the ancilla, uniformly controlled by the register, turns |0> into
//      sqrt(1 - 1/k^2)|0> + (1/k)|1>, i.e. amplitude C/lambda with C = 2^-f;
//   3. phase estimation is undone.
// The amplitudes with the ancilla at 1 and the register at 0 are then C * A^-1 |b>, so
// x = (those amplitudes) * |b| * 2^f. Eigenvalues that are multiples of 2^-f are
// estimated exactly; others spread over neighbouring register values.
#include <functional>
#include <vector>

#include "kestrix/lib/ir/circuit.h"
#include "kestrix/lib/run/statevector.h"
#include "linear_system.h"

namespace norvalis::kavrel {

/// Eigenvalues and eigenvectors (column j of a row-major dim x dim matrix belongs to
/// values[j]) of a Hermitian matrix.
struct Eigensystem {
    std::vector<double> values;
    std::vector<cplx> vectors;
};
using EigenSolver = std::function<Eigensystem(const std::vector<cplx>& matrix, size_t dim)>;

/// Widest eigenvalue register: its inversion stage is 2^m / 16 controlled 32 x 32 blocks
/// (64 MiB of matrices at 16 qubits).
constexpr int kMaxEigenvalueQubits = 16;

/// Largest precision_cnt worth asking for: 100 fractional bits, far beyond any register.
constexpr int kMaxPrecision = 30;

/// A built solver: where everything sits and how the raw amplitudes scale to x.
struct Hhl {
    size_t size = 0;      ///< N, the length of the solution returned
    size_t unknowns = 0;  ///< M: x[M:] is zero padding
    bool hermitian = true;
    int fraction_bits = 0;  ///< f = ceil(log2(10^precision))
    std::vector<int> system_qubits, eigenvalue_qubits;
    int ancilla = 0;
    size_t solution_offset = 0;  ///< x sits at system indices offset .. offset + M - 1
    double scale = 1;            ///< |b| * 2^f
    kestrix::Circuit circuit;

    int width() const { return int(system_qubits.size() + eigenvalue_qubits.size()) + 1; }
};

/// f = ceil(log2(10^precision)): 0, 4, 7, 10, ... fractional bits for 0, 1, 2, 3 digits.
int fraction_bits(int precision);

/// What the checks of a system find: its block, its spectrum and the register it needs.
struct Survey {
    size_t unknowns = 0;
    bool hermitian = true;
    double norm = 0;     ///< |b|
    double largest = 0;  ///< largest |eigenvalue| of the matrix the circuit inverts
    int fraction_bits = 0, register_qubits = 0, system_qubits = 0;
};

/// Checks a system whose size N is a power of two: a singular or inconsistent system, an
/// eigenvalue below the resolution of `precision` digits or a register or system too wide
/// is a ValueError. The eigenvalues come from `eigen`; they size the register and are
/// never used to solve.
Survey survey(const LinearSystem& system, int precision, const EigenSolver& eigen);

/// The solver of a surveyed system whose b is not all zero.
Hhl build_hhl(const LinearSystem& system, const Survey& found, const EigenSolver& eigen);

/// x from the state after the circuit: the amplitudes with the ancilla at 1 and the
/// register at 0, at system indices offset + i, times `scale`; zero beyond `unknowns`.
std::vector<cplx> read_solution(const kestrix::StateVector& state,
                                const std::vector<int>& system_qubits, int ancilla, size_t offset,
                                size_t unknowns, size_t size, double scale);

}  // namespace norvalis::kavrel
