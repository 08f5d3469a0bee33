#pragma once
// Batches run by an executor (kestrix.parallel): a batch is cut into chunks of consecutive
// programs, each encoded once as bytes (kestrix/lib/io/codec.h) and run on a worker by the
// same C++ batch path, and the answers come back in order. Seeds are drawn by the caller
// before anything is shipped, so the results are those of an in-process run, whatever the
// chunks and the workers.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "kestrix/lib/ir/program.h"
#include "kestrix/lib/run/simulator.h"
#include "kestrix/py/run.h"

namespace kestrix::py {

namespace nb = nanobind;

/// The executor a batch goes to, or None to run it here: none when `placement.here`, the
/// explicit one of `placement`,
/// else kestrix.parallel's current one when the batch holds work enough to pay for
/// shipping (kShipMinWork). TypeError when an explicit one has no submit method.
nb::object executor_for(std::span<const Program> programs, const Placement& placement);

/// run_batch's results, computed by `executor`'s workers.
std::vector<Result> run_shipped(nb::handle executor, std::span<const Program> programs,
                                uint64_t shots, std::span<const uint64_t> seeds,
                                uint64_t chunk_size);

/// probabilities_batch's rows, computed by `executor`'s workers.
std::vector<std::vector<double>> probabilities_shipped(
    nb::handle executor, std::span<const Program> programs,
    const std::optional<std::vector<int>>& qubits, uint64_t chunk_size);

/// The worker's side: runs one shipped chunk and returns its answer. RuntimeError when the
/// chunk comes from another version of kestrix; Ctrl-C stops it.
nb::bytes run_shipped_chunk(nb::bytes request);

}  // namespace kestrix::py
