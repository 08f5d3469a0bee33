#pragma once
// Byte strings that hold SDK objects exactly, so that they pickle and travel to other
// processes. A circuit keeps its structure: a block appended many times is written once
// and comes back shared, as the engine wants it. Reading checks everything it reads and
// rebuilds through the checked constructors, so a damaged or hostile string is a
// ValueError, never a bad object.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

/// How a batch sent to another process runs: for `shots`, or for exact probabilities over
/// `qubits` (every qubit when nullopt); and the sender's version, which the receiver checks
/// before it runs anything.
struct BatchSettings {
    std::string version;
    bool probabilities = false;
    uint64_t shots = 1;
    std::optional<std::vector<int>> qubits;
};

/// A batch as the receiver reads it: the settings, the programs and one seed per program.
struct BatchRequest {
    BatchSettings settings;
    std::vector<Program> programs;
    std::vector<uint64_t> seeds;
};

std::string encode_batch_request(const BatchSettings& settings, std::span<const Program> programs,
                                 std::span<const uint64_t> seeds);
BatchRequest decode_batch_request(std::string_view bytes);

/// The answer to a request: one result per program, or one row of probabilities.
std::string encode_batch_results(std::span<const Result> results);
std::vector<Result> decode_batch_results(std::string_view bytes);
std::string encode_batch_rows(const std::vector<std::vector<double>>& rows);
std::vector<std::vector<double>> decode_batch_rows(std::string_view bytes);

}  // namespace kestrix
