#pragma once
// Text drawing of a circuit: one row per qubit, gates packed into columns left to right.
#include <string>

#include "kestrix/lib/ir/circuit.h"

namespace kestrix {

/// `num_qubits` rows at least (a program's declared width); more if the circuit needs them.
/// A drawing stops at about four million glyphs; a last line counts the gates left out.
std::string draw(const Circuit& circuit, int num_qubits = 0);

}  // namespace kestrix
