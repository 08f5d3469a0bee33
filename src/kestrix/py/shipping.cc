#include "kestrix/py/shipping.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "kestrix/lib/io/codec.h"

namespace kestrix::py {

namespace {

// Estimated work of a program, in amplitude updates: its gates over its state, plus what
// planning and sampling cost a tiny one (a few microseconds).
double program_work(const Program& p) {
    return double(p.circuit.gate_count() + 1) * std::ldexp(1.0, p.width()) + 4096.0;
}

// Work of one chunk (about 50 ms on one core): enough to amortise a task's scheduling on a
// cluster, little enough that a batch spreads over several workers.
constexpr double kChunkWork = 5e7;
// Work a batch must hold before the current executor takes it: two chunks, the least that
// can run on two workers at once (a batch of one chunk only waits for it elsewhere).
constexpr double kShipMinWork = 2 * kChunkWork;
// Programs a module gathers per batch: in process (about 5 MB of them), and while an
// executor is current (about 150 MB at most, for the few seconds of work that spread
// over a cluster).
constexpr size_t kPendingHere = 4096;
constexpr size_t kPendingShipped = size_t{1} << 17;

nb::module_& parallel() {
    static nb::module_* module = new nb::module_(nb::module_::import_("kestrix.parallel"));
    return *module;
}

std::string own_version() {
    return nb::cast<std::string>(nb::module_::import_("kestrix").attr("__version__"));
}

// [begin, end) of each chunk: `chunk_size` programs each, or as many as kChunkWork holds.
std::vector<std::pair<size_t, size_t>> chunks_of(std::span<const Program> programs,
                                                 uint64_t chunk_size) {
    std::vector<std::pair<size_t, size_t>> out;
    size_t begin = 0;
    double work = 0;
    for (size_t i = 0; i < programs.size(); ++i) {
        work += program_work(programs[i]);
        const size_t taken = i + 1 - begin;
        if (chunk_size ? taken >= chunk_size : work >= kChunkWork) {
            out.emplace_back(begin, i + 1);
            begin = i + 1;
            work = 0;
        }
    }
    if (begin < programs.size()) out.emplace_back(begin, programs.size());
    return out;
}

// Ships every chunk as soon as it is encoded, so that the workers start while the rest
// are encoded, then hands the answers to `take` in order. After an error or Ctrl-C the
// chunks still pending are cancelled: no partial answer is returned.
template <class Take>
void ship(nb::handle executor, std::span<const Program> programs, std::span<const uint64_t> seeds,
          const BatchSettings& settings, uint64_t chunk_size, Take take) {
    nb::list futures;
    try {
        for (auto [begin, end] : chunks_of(programs, chunk_size)) {
            const std::string bytes = encode_batch_request(
                settings, programs.subspan(begin, end - begin), seeds.subspan(begin, end - begin));
            futures.append(
                parallel().attr("_submit")(executor, nb::bytes(bytes.data(), bytes.size())));
        }
        for (nb::handle future : futures) {
            nb::object answer = parallel().attr("_result")(future);
            if (!PyBytes_Check(answer.ptr()))
                throw nb::type_error("a worker answered a batch with something other than bytes");
            take(std::string_view(PyBytes_AS_STRING(answer.ptr()),
                                  size_t(PyBytes_GET_SIZE(answer.ptr()))));
        }
    } catch (...) {
        // The error in flight stays the one raised; cancelling must not replace it.
        nb::error_scope keep;
        try {
            parallel().attr("_cancel")(futures);
        } catch (...) {
        }
        throw;
    }
}

BatchSettings settings_here() {
    BatchSettings settings;
    settings.version = own_version();
    return settings;
}

}  // namespace

size_t pending_programs_limit() {
    return parallel().attr("current")().is_none() ? kPendingHere : kPendingShipped;
}

nb::object executor_for(std::span<const Program> programs, const Placement& placement) {
    if (placement.here) return nb::none();
    if (placement.executor.is_valid() && !placement.executor.is_none()) {
        parallel().attr("check_executor")(placement.executor);
        return placement.executor;
    }
    nb::object current = parallel().attr("current")();
    if (current.is_none()) return current;
    double work = 0;
    for (const Program& p : programs) work += program_work(p);
    return work >= kShipMinWork ? current : nb::none();
}

std::vector<Result> run_shipped(nb::handle executor, std::span<const Program> programs,
                                uint64_t shots, std::span<const uint64_t> seeds,
                                uint64_t chunk_size) {
    BatchSettings settings = settings_here();
    settings.shots = shots;
    std::vector<Result> results;
    ship(executor, programs, seeds, settings, chunk_size, [&](std::string_view answer) {
        for (Result& result : decode_batch_results(answer)) results.push_back(std::move(result));
    });
    if (results.size() != programs.size())
        throw nb::value_error("the workers answered a batch with the wrong number of results");
    return results;
}

std::vector<std::vector<double>> probabilities_shipped(
    nb::handle executor, std::span<const Program> programs,
    const std::optional<std::vector<int>>& qubits, uint64_t chunk_size) {
    BatchSettings settings = settings_here();
    settings.probabilities = true;
    settings.qubits = qubits;
    const std::vector<uint64_t> seeds(programs.size(), 0);
    std::vector<std::vector<double>> rows;
    ship(executor, programs, seeds, settings, chunk_size, [&](std::string_view answer) {
        for (std::vector<double>& row : decode_batch_rows(answer)) rows.push_back(std::move(row));
    });
    if (rows.size() != programs.size())
        throw nb::value_error("the workers answered a batch with the wrong number of rows");
    return rows;
}

nb::bytes run_shipped_chunk(nb::bytes request_bytes) {
    const BatchRequest request =
        decode_batch_request(std::string_view(request_bytes.c_str(), request_bytes.size()));
    const std::string version = own_version();
    if (request.settings.version != version) {
        throw std::runtime_error("this worker runs kestrix " + version +
                                 " but the batch comes from kestrix " + request.settings.version +
                                 ": install the same version on every worker");
    }
    const Placement here{nb::none(), 0, true};
    const std::string answer =
        request.settings.probabilities
            ? encode_batch_rows(
                  probabilities_of_programs(request.programs, request.settings.qubits, here))
            : encode_batch_results(
                  run_programs(request.programs, request.settings.shots, request.seeds, here));
    return nb::bytes(answer.data(), answer.size());
}

}  // namespace kestrix::py
