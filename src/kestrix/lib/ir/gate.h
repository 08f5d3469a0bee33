#pragma once
// One gate of a circuit as the user constructed it, plus the extra controls and dagger
// flag it carries. Matrices are derived from it on demand (see matrix.h).
#include <complex>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "kestrix/lib/base/small_vector.h"
#include "kestrix/lib/ir/parameter.h"

namespace kestrix {

/// UNITARY is a dense unitary given by its matrix (see make_unitary).
// clang-format off
enum class GateKind : uint8_t {
    I, H, X, Y, Z, RX, RY, RZ, U1, U2, U3, CNOT, CZ, CR, SWAP, TOFFOLI, BARRIER, MEASURE,
    UNITARY, S, T, SX
};
// clang-format on

using QubitList = SmallVector<int, 3>;
using ParamList = SmallVector<double, 3>;
/// A UNITARY gate's 2^k x 2^k matrix, row-major over the local index whose bit j is the
/// gate's qubits[j]. Shared and immutable: copies of the gate never copy the matrix.
using MatrixPayload = std::shared_ptr<const std::vector<std::complex<double>>>;

/// Qubit and classical-bit indices run from 0 to kMaxQubits - 1: far beyond any state that
/// fits in memory, small enough that a width (highest index plus one) never overflows and
/// a drawing with a row per qubit stays a few megabytes.
constexpr int kMaxQubits = 1 << 16;

/// Widest UNITARY gate: it runs on the engine's dense kernels, which stop there.
constexpr int kMaxUnitaryQubits = 6;

struct Gate {
    GateKind kind = GateKind::I;
    bool dagger = false;
    QubitList qubits;    ///< operands as constructed, e.g. CNOT: {control, target}
    QubitList controls;  ///< controls added by control(), in the order given
    ParamList params;
    int cbit = -1;         ///< classical bit of a MEASURE
    MatrixPayload matrix;  ///< UNITARY only; its dagger flag is applied when lowered
    /// Angles that are expressions of parameters still unbound (null when none: most gates
    /// hold numbers only, and copying a null pointer costs nothing). params[slot] holds 0
    /// until bound.
    std::shared_ptr<const SymbolList> symbols;

    /// Adds controls; refuses a control repeated or equal to an operand.
    Gate controlled(const std::vector<int>& extra) const;
    /// The adjoint: the same gate with its dagger flag flipped.
    Gate daggered() const;
    bool is_unitary() const { return kind != GateKind::MEASURE && kind != GateKind::BARRIER; }
    /// Operands and controls together, operands first.
    std::vector<int> all_qubits() const;
    bool is_symbolic() const { return symbols != nullptr; }
    /// The expression angle `slot` waits for, or null when it holds a number.
    const ParamExpr* symbol_at(int slot) const;
};

/// Gates are equal when they run alike: the same kind, operands, controls in the same
/// order, angles (parameters compared by identity), dagger flag and classical bit. hash_value
/// agrees with it (equal gates hash alike), and the repeated-block matcher uses the same
/// definition.
bool operator==(const Gate& a, const Gate& b);
size_t hash_value(const Gate& g);

/// Upper-case constructor name: "H", "CNOT", "RY", "MEASURE", ...
const char* gate_name(GateKind kind);
/// Number of operand qubits and angles the constructor takes (BARRIER: -1, any number).
int gate_arity(GateKind kind);
int gate_param_count(GateKind kind);

/// Checked constructor used by every front end: validates qubits and angles.
Gate make_gate(GateKind kind, QubitList qubits, ParamList params = {});
Gate make_measure(int qubit, int cbit);
/// A UNITARY gate on 1 to kMaxUnitaryQubits distinct qubits. Refuses a matrix of the wrong
/// size, with a non-finite entry, or farther than 1e-8 (largest entry of U U^dagger - I)
/// from unitary.
Gate make_unitary(QubitList qubits, std::vector<std::complex<double>> matrix);

/// The rotation or phase gate `kind` with some angles given as parameter expressions:
/// `params` holds the numbers (any value in a symbolic slot), `symbols` the expressions.
Gate make_symbolic_gate(GateKind kind, QubitList qubits, ParamList params, SymbolList symbols);
/// The gate with the values `values` gives bound into its angles; the rest stay symbolic.
/// ValueError when a bound angle is not finite.
Gate bound(const Gate& gate, const ParameterValues& values);

/// Whether two gates carry the same matrix payload (both none, or equal entries).
bool same_matrix(const Gate& a, const Gate& b);

/// Throws ValueError unless every qubit lies in [0, kMaxQubits) and none repeats.
void check_distinct_qubits(std::span<const int> qubits, const char* what);

}  // namespace kestrix
