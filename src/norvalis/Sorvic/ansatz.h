#pragma once
// The hardware-efficient ansatz: per layer RZ, RX, RZ on every qubit, then (from two
// qubits on) a ring of RY gates, the one on qubit (q + 1) mod n controlled by qubit q.
// Every gate takes one angle, in angle order, so gate k is the derivative's k-th term.
#include <cstdint>
#include <span>
#include <vector>

#include "kestrix/lib/ir/circuit.h"

namespace norvalis::sorvic {

/// Each ansatz gate is exp(-i angle G / 2) for one of these generators G.
enum class Generator { Z, X, ControlledY };

struct AnsatzGate {
    Generator generator;
    int target;
    int control = -1;  ///< ControlledY only
};

/// Angles per layer: 3 on one qubit, 4n on n >= 2 qubits.
int64_t angles_per_layer(int qubits);

/// The gates of `layers` layers on `qubits` qubits, in circuit (and angle) order.
std::vector<AnsatzGate> ansatz_layout(int qubits, int64_t layers);

/// One gate of the layout with its angle.
kestrix::Gate ansatz_gate(const AnsatzGate& gate, double angle);

/// The whole circuit; `angles` holds one angle per gate of `layout`.
kestrix::Circuit ansatz_circuit(const std::vector<AnsatzGate>& layout,
                                std::span<const double> angles);
/// The same with angle k the parameter angles[k], to be planned once and swept.
kestrix::Circuit ansatz_circuit(const std::vector<AnsatzGate>& layout,
                                const std::vector<kestrix::Parameter>& angles);

}  // namespace norvalis::sorvic
