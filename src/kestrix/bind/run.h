#pragma once
// Running programs from C++ the way CPUQVM.run does from Python: seeds drawn from NumPy's
// global generator (so np.random.seed makes a script repeatable), the GIL released for
// long runs, and Ctrl-C honoured. Algorithm modules run their circuits through these.
#include <cstdint>
#include <optional>

#include "kestrix/lib/simulator.h"
#include "kestrix/lib/statevector.h"

namespace kestrix::py {

/// One draw from numpy.random.random(), scaled to a 53-bit seed.
uint64_t seed_from_numpy();

/// Runs `program` for `shots` shots from the all-zero state. Without `seed`, a program
/// that measures draws its seed from NumPy; one without measurements draws nothing.
Result run_program(const Program& program, uint64_t shots,
                   std::optional<uint64_t> seed = std::nullopt);

/// The all-zero state of `num_qubits` qubits after `circuit` (which must fit in it).
StateVector evolve(const Circuit& circuit, int num_qubits);

}  // namespace kestrix::py
