#pragma once
// A program: a circuit plus the number of qubits it declares. Its width is the larger of
// that number and the highest qubit it touches plus one.
#include <algorithm>

#include "kestrix/lib/ir/circuit.h"

namespace kestrix {

struct Program {
    Circuit circuit;
    int declared_qubits = 0;

    int width() const { return std::max(declared_qubits, circuit.width()); }
};

}  // namespace kestrix
