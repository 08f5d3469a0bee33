#include "kestrix/py/run.h"

#include <nanobind/nanobind.h>

#include <cmath>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/base/memory.h"
#include "kestrix/py/convert.h"
#include "kestrix/py/shipping.h"

namespace kestrix::py {

namespace nb = nanobind;

uint64_t seed_from_numpy() {
    static nb::object* random = new nb::object(nb::module_::import_("numpy.random").attr("random"));
    const double u = nb::cast<double>((*random)());
    return static_cast<uint64_t>(u * 0x1.0p53);
}

Result run_program(const Program& program, uint64_t shots, std::optional<uint64_t> seed,
                   bool keep_memory) {
    const int width = program.width();
    check_fits_in_memory(width);
    const bool random = program.circuit.has_measurement();
    const uint64_t used_seed = seed ? *seed : (random ? seed_from_numpy() : 0);
    // Programs with measurements may be simulated once per shot: count that in.
    const double work = double(program.circuit.gate_count() + 1) * std::ldexp(1.0, width) *
                        (random ? double(shots) : 1.0);
    return interruptible_work(work, [&](const InterruptCheck& interrupt) {
        return Simulator::run(program, shots, used_seed, interrupt, keep_memory);
    });
}

std::vector<Result> run_programs(std::span<const Program> programs, uint64_t shots,
                                 std::optional<uint64_t> seed, const Placement& placement) {
    std::vector<uint64_t> seeds;
    for (const Program& p : programs) {
        check_fits_in_memory(p.width());
        // Drawn in order, exactly as one run_program per program would draw them.
        seeds.push_back(seed ? *seed : (p.circuit.has_measurement() ? seed_from_numpy() : 0));
    }
    return run_programs(programs, shots, std::span<const uint64_t>(seeds), placement);
}

std::vector<Result> run_programs(std::span<const Program> programs, uint64_t shots,
                                 std::span<const uint64_t> seeds, const Placement& placement) {
    for (const Program& p : programs) check_fits_in_memory(p.width());
    if (nb::object executor = executor_for(programs, placement); !executor.is_none()) {
        Simulator::check_batch(programs, shots, seeds);  // refused before shipping
        return run_shipped(executor, programs, shots, seeds, placement.chunk_size);
    }
    return interruptible_work(kReleaseGilWork, [&](const InterruptCheck& interrupt) {
        return Simulator::run_batch(programs, shots, seeds, interrupt);
    });
}

std::vector<std::vector<double>> probabilities_of_programs(
    std::span<const Program> programs, const std::optional<std::vector<int>>& qubits,
    const Placement& placement) {
    for (const Program& p : programs) check_fits_in_memory(p.width());
    if (nb::object executor = executor_for(programs, placement); !executor.is_none()) {
        Simulator::check_probabilities_batch(programs, qubits);  // refused before shipping
        return probabilities_shipped(executor, programs, qubits, placement.chunk_size);
    }
    return interruptible_work(kReleaseGilWork, [&](const InterruptCheck& interrupt) {
        return Simulator::probabilities_batch(programs, qubits, interrupt);
    });
}

ParameterRows parameter_rows(const Circuit& circuit, nb::handle values,
                             std::vector<double>& storage) {
    if (circuit.parameters().empty())
        throw ValueError("parameter_values: the circuit has no parameters");
    storage = to_real_rows(values, circuit.parameters().size(), "parameter_values");
    return ParameterRows{circuit.parameters(), storage};
}

namespace {

// Every row bound into a program of its own, for executors that run bound programs.
std::vector<Program> bound_programs(const Program& program, const ParameterRows& rows) {
    std::vector<Program> out;
    for (size_t i = 0; i < rows.rows(); ++i) {
        const std::span<const double> row = rows.row(i);
        const ParameterValues values = [&](const ParameterData& p) -> std::optional<double> {
            for (size_t j = 0; j < rows.parameters.size(); ++j)
                if (rows.parameters[j]->id == p.id) return row[j];
            return std::nullopt;
        };
        out.push_back(Program{program.circuit.bound(values), program.declared_qubits});
    }
    return out;
}

}  // namespace

std::vector<Result> run_rows(const Program& program, const ParameterRows& rows, uint64_t shots,
                             std::optional<uint64_t> seed, const Placement& placement) {
    check_rows(program.circuit, rows);
    check_fits_in_memory(program.width());
    std::vector<uint64_t> seeds;
    const bool random = program.circuit.has_measurement();
    for (size_t i = 0; i < rows.rows(); ++i)
        seeds.push_back(seed ? *seed : (random ? seed_from_numpy() : 0));
    if (!placement.executor.is_none())
        return run_programs(bound_programs(program, rows), shots, seeds, placement);
    return interruptible_work(kReleaseGilWork, [&](const InterruptCheck& interrupt) {
        return run_sweep(program, rows, shots, seeds, interrupt);
    });
}

std::vector<std::vector<double>> probabilities_of_rows(
    const Program& program, const ParameterRows& rows,
    const std::optional<std::vector<int>>& qubits, const Placement& placement) {
    check_rows(program.circuit, rows);
    if (!placement.executor.is_none())
        return probabilities_of_programs(bound_programs(program, rows), qubits, placement);
    return interruptible_work(kReleaseGilWork, [&](const InterruptCheck& interrupt) {
        return probabilities_sweep(program, rows, qubits, interrupt);
    });
}

StateVector evolve(const Circuit& circuit, int num_qubits) {
    if (circuit.width() > num_qubits) {
        throw IndexError("the circuit acts on qubit " + std::to_string(circuit.width() - 1) +
                         " but the state has " + std::to_string(num_qubits) + " qubits");
    }
    StateVector state(num_qubits);
    apply(state, circuit, true);
    return state;
}

void apply(StateVector& state, const Circuit& circuit, bool from_zero) {
    const double work = double(circuit.gate_count() + 1) * std::ldexp(1.0, state.num_qubits());
    interruptible_work(work, [&](const InterruptCheck& interrupt) {
        apply_circuit(state, circuit, interrupt, from_zero);
    });
}

std::vector<cplx> matrix_of(const Circuit& circuit, int n) {
    const double work = double(circuit.gate_count() + 1) * std::ldexp(1.0, 2 * n);
    return interruptible_work(work, [&](const InterruptCheck& interrupt) {
        return circuit_matrix(circuit, n, interrupt);
    });
}

}  // namespace kestrix::py
