#pragma once
// Byte strings that hold SDK objects exactly, so that they pickle and travel to other
// processes. A circuit keeps its structure: a block appended many times is written once
// and comes back shared, as the engine wants it. Reading checks everything it reads and
// rebuilds through the checked constructors, so a damaged or hostile string is a
// ValueError, never a bad object.
#include <string>
#include <string_view>

#include "kestrix/lib/ir/circuit.h"
#include "kestrix/lib/ir/program.h"
#include "kestrix/lib/run/pauli.h"
#include "kestrix/lib/run/simulator.h"
#include "kestrix/lib/run/statevector.h"

namespace kestrix {

std::string encode_gate(const Gate& gate);
Gate decode_gate(std::string_view bytes);

std::string encode_circuit(const Circuit& circuit);
Circuit decode_circuit(std::string_view bytes);

std::string encode_program(const Program& program);
Program decode_program(std::string_view bytes);

std::string encode_state(const StateVector& state);
StateVector decode_state(std::string_view bytes);

std::string encode_result(const Result& result);
Result decode_result(std::string_view bytes);

std::string encode_pauli_sum(const PauliSum& observable);
PauliSum decode_pauli_sum(std::string_view bytes);

}  // namespace kestrix
