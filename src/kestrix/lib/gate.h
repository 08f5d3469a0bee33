#pragma once
// One gate of a circuit as the user constructed it, plus the extra controls and dagger
// flag it carries. Matrices are derived from it on demand (see matrix.h).
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "small_vector.h"

namespace kestrix {

enum class GateKind : uint8_t {
    I, H, X, Y, Z, RX, RY, RZ, U1, U2, U3, CNOT, CZ, CR, SWAP, TOFFOLI, BARRIER, MEASURE,
    S, T, SX
};

using QubitList = SmallVector<int, 3>;
using ParamList = SmallVector<double, 3>;

struct Gate {
    GateKind kind = GateKind::I;
    bool dagger = false;
    QubitList qubits;    ///< operands as constructed, e.g. CNOT: {control, target}
    QubitList controls;  ///< controls added by control(), in the order given
    ParamList params;
    int cbit = -1;              ///< classical bit of a MEASURE

    /// Adds controls; refuses a control repeated or equal to an operand.
    Gate controlled(const std::vector<int>& extra) const;
    /// The adjoint: the same gate with its dagger flag flipped.
    Gate daggered() const;
    bool is_unitary() const { return kind != GateKind::MEASURE && kind != GateKind::BARRIER; }
    /// Operands and controls together, operands first.
    std::vector<int> all_qubits() const;
};

/// Upper-case constructor name: "H", "CNOT", "RY", "MEASURE", ...
const char* gate_name(GateKind kind);
/// Number of operand qubits and angles the constructor takes (BARRIER: -1, any number).
int gate_arity(GateKind kind);
int gate_param_count(GateKind kind);

/// Checked constructor used by every front end: validates qubits and angles.
Gate make_gate(GateKind kind, QubitList qubits, ParamList params = {});
Gate make_measure(int qubit, int cbit);

/// Throws ValueError unless every qubit is non-negative and none repeats.
void check_distinct_qubits(std::span<const int> qubits, const char* what);

}  // namespace kestrix
