#include "kestrix/py/run.h"

#include <nanobind/nanobind.h>

#include <cmath>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/base/memory.h"
#include "kestrix/lib/noise/density_matrix.h"
#include "kestrix/py/convert.h"
#include "kestrix/py/shipping.h"

namespace kestrix::py {

namespace nb = nanobind;

uint64_t seed_from_numpy() {
    static nb::object* random = new nb::object(nb::module_::import_("numpy.random").attr("random"));
    const double u = nb::cast<double>((*random)());
    return static_cast<uint64_t>(u * 0x1.0p53);
}

std::shared_ptr<const NoiseModel> current_noise() {
    static nb::object* var = new nb::object(nb::module_::import_("kestrix.noise").attr("_current"));
    PyObject* value = nullptr;
    if (PyContextVar_Get(var->ptr(), nullptr, &value) != 0) throw nb::python_error();
    nb::object held = nb::steal(value);
    if (held.is_none()) return nullptr;
    return std::make_shared<const NoiseModel>(instance<NoiseModel>(held));
}

NoisySimulator::Method automatic_method(const Program& program, const NoiseModel& model) {
    if (program.width() > kAutoDensityQubits) return NoisySimulator::Method::Trajectories;
    if (program.circuit.has_measurement()) {
        uint64_t measured = 0;
        for (const NoisyStep& s : attach_noise(program.circuit, model)) {
            if (s.gate.kind == GateKind::MEASURE) {
                measured |= uint64_t{1} << s.gate.qubits[0];
            } else if (s.kind == NoisyStep::Kind::Gate) {
                for (int q : s.gate.all_qubits())
                    if ((measured >> q) & 1) return NoisySimulator::Method::Trajectories;
            }
        }
    }
    return NoisySimulator::Method::DensityMatrix;
}

Result run_noisy_program(const Program& program, uint64_t shots, std::optional<uint64_t> seed,
                         bool keep_memory, const NoiseModel& model, NoisySimulator::Method method) {
    const int width = program.width();
    if (method == NoisySimulator::Method::DensityMatrix)
        check_density_fits(width);
    else
        check_fits_in_memory(width);
    const bool random = program.circuit.has_measurement() ||
                        (method == NoisySimulator::Method::Trajectories && !model.empty());
    const uint64_t used_seed = seed ? *seed : (random ? seed_from_numpy() : 0);
    const double work =
        double(program.circuit.gate_count() + 1) *
        std::ldexp(1.0, method == NoisySimulator::Method::DensityMatrix ? 2 * width : width) *
        (method == NoisySimulator::Method::Trajectories ? double(shots) : 1.0);
    return interruptible_work(work, [&](const InterruptCheck& interrupt) {
        return NoisySimulator::run(program, model, shots, used_seed, method, interrupt,
                                   keep_memory);
    });
}

void check_single_runs_here(Precision precision, const Placement* placement, const char* what) {
    if (precision != Precision::Single) return;
    if (current_noise()) {
        throw ValueError(std::string(what) +
                         ": precision='single' runs without noise; a noise model is current");
    }
    if (placement && !placement->executor.is_none()) {
        throw ValueError(std::string(what) +
                         ": precision='single' runs in this process; pass no executor");
    }
}

Result run_program(const Program& program, uint64_t shots, std::optional<uint64_t> seed,
                   bool keep_memory, Precision precision) {
    check_single_runs_here(precision, nullptr, "run");
    if (std::shared_ptr<const NoiseModel> noise = current_noise()) {
        return run_noisy_program(program, shots, seed, keep_memory, *noise,
                                 automatic_method(program, *noise));
    }
    const int width = program.width();
    check_fits_in_memory(width, precision);
    const bool random = program.circuit.has_measurement();
    const uint64_t used_seed = seed ? *seed : (random ? seed_from_numpy() : 0);
    // Programs with measurements may be simulated once per shot: count that in.
    const double work = double(program.circuit.gate_count() + 1) * std::ldexp(1.0, width) *
                        (random ? double(shots) : 1.0);
    return interruptible_work(work, [&](const InterruptCheck& interrupt) {
        return Simulator::run(program, shots, used_seed, interrupt, keep_memory, precision);
    });
}

std::vector<Result> run_programs(std::span<const Program> programs, uint64_t shots,
                                 std::optional<uint64_t> seed, const Placement& placement,
                                 Precision precision) {
    check_single_runs_here(precision, &placement, "run_batch");
    std::vector<uint64_t> seeds;
    for (const Program& p : programs) {
        check_fits_in_memory(p.width(), precision);
        // Drawn in order, exactly as one run_program per program would draw them.
        seeds.push_back(seed ? *seed : (p.circuit.has_measurement() ? seed_from_numpy() : 0));
    }
    return run_programs(programs, shots, std::span<const uint64_t>(seeds), placement, precision);
}

std::vector<Result> run_programs(std::span<const Program> programs, uint64_t shots,
                                 std::span<const uint64_t> seeds, const Placement& placement,
                                 Precision precision) {
    check_single_runs_here(precision, &placement, "run_batch");
    if (std::shared_ptr<const NoiseModel> noise = current_noise()) {
        Simulator::check_batch(programs, shots, seeds);
        std::vector<Result> results;
        for (size_t i = 0; i < programs.size(); ++i) {
            results.push_back(run_noisy_program(programs[i], shots, seeds[i], false, *noise,
                                                automatic_method(programs[i], *noise)));
        }
        return results;
    }
    for (const Program& p : programs) check_fits_in_memory(p.width(), precision);
    // Shipped chunks run in double: a single-precision batch stays here, with the same
    // results as anywhere else.
    if (nb::object executor =
            precision == Precision::Single ? nb::none() : executor_for(programs, placement);
        !executor.is_none()) {
        Simulator::check_batch(programs, shots, seeds);  // refused before shipping
        return run_shipped(executor, programs, shots, seeds, placement.chunk_size);
    }
    return interruptible_work(kReleaseGilWork, [&](const InterruptCheck& interrupt) {
        return Simulator::run_batch(programs, shots, seeds, interrupt, precision);
    });
}

std::vector<std::vector<double>> probabilities_of_programs(
    std::span<const Program> programs, const std::optional<std::vector<int>>& qubits,
    const Placement& placement, Precision precision) {
    check_single_runs_here(precision, &placement, "prob_batch");
    if (std::shared_ptr<const NoiseModel> noise = current_noise()) {
        Simulator::check_probabilities_batch(programs, qubits);
        return noisy_probabilities(programs, qubits, *noise);
    }
    for (const Program& p : programs) check_fits_in_memory(p.width(), precision);
    if (nb::object executor =
            precision == Precision::Single ? nb::none() : executor_for(programs, placement);
        !executor.is_none()) {
        Simulator::check_probabilities_batch(programs, qubits);  // refused before shipping
        return probabilities_shipped(executor, programs, qubits, placement.chunk_size);
    }
    return interruptible_work(kReleaseGilWork, [&](const InterruptCheck& interrupt) {
        return Simulator::probabilities_batch(programs, qubits, interrupt, precision);
    });
}

ParameterRows parameter_rows(const Circuit& circuit, nb::handle values,
                             std::vector<double>& storage) {
    if (circuit.parameters().empty())
        throw ValueError("parameter_values: the circuit has no parameters");
    storage = to_real_rows(values, circuit.parameters().size(), "parameter_values");
    return ParameterRows{circuit.parameters(), storage};
}

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

std::vector<Result> run_rows(const Program& program, const ParameterRows& rows, uint64_t shots,
                             std::optional<uint64_t> seed, const Placement& placement) {
    check_rows(program.circuit, rows);
    check_fits_in_memory(program.width());
    std::vector<uint64_t> seeds;
    const bool random = program.circuit.has_measurement();
    for (size_t i = 0; i < rows.rows(); ++i)
        seeds.push_back(seed ? *seed : (random ? seed_from_numpy() : 0));
    // An executor, or noise from the context, runs the rows bound into programs.
    if (!placement.executor.is_none() || current_noise())
        return run_programs(bound_programs(program, rows), shots, seeds, placement);
    return interruptible_work(kReleaseGilWork, [&](const InterruptCheck& interrupt) {
        return run_sweep(program, rows, shots, seeds, interrupt);
    });
}

RowBlock row_block(const std::vector<std::vector<double>>& rows, size_t cols) {
    RowBlock out(rows.size(), cols);
    for (size_t i = 0; i < rows.size(); ++i) {
        // Every row has `cols` entries by construction; a row of another length would
        // write past the block, so it is an error rather than a copy.
        if (rows[i].size() != cols)
            throw std::logic_error("prob_batch: a row has " + std::to_string(rows[i].size()) +
                                   " entries, expected " + std::to_string(cols));
        std::copy(rows[i].begin(), rows[i].end(), out.row(i));
    }
    return out;
}

RowBlock probabilities_of_rows(const Program& program, const ParameterRows& rows,
                               const std::optional<std::vector<int>>& qubits,
                               const Placement& placement) {
    check_rows(program.circuit, rows);
    if (!placement.executor.is_none() || current_noise()) {
        return row_block(
            probabilities_of_programs(bound_programs(program, rows), qubits, placement),
            size_t{1} << (qubits ? qubits->size() : size_t(program.width())));
    }
    return interruptible_work(kReleaseGilWork, [&](const InterruptCheck& interrupt) {
        return probabilities_sweep(program, rows, qubits, interrupt);
    });
}

std::vector<std::vector<double>> noisy_probabilities(std::span<const Program> programs,
                                                     const std::optional<std::vector<int>>& qubits,
                                                     const NoiseModel& model) {
    std::vector<std::vector<double>> rows;
    for (const Program& p : programs) {
        // Exact where the density matrix is small; a thousand trajectories beyond.
        const NoisySimulator::Method method = automatic_method(p, model);
        const Result r =
            run_noisy_program(p, method == NoisySimulator::Method::DensityMatrix ? 1 : 1000,
                              std::nullopt, false, model, method);
        std::vector<int> all(r.num_qubits());
        for (int q = 0; q < r.num_qubits(); ++q) all[q] = q;
        rows.push_back(r.exact_probabilities(qubits ? *qubits : all));
    }
    return rows;
}

StateVector evolve(const Circuit& circuit, int num_qubits, Precision precision) {
    if (circuit.width() > num_qubits) {
        throw IndexError("the circuit acts on qubit " + std::to_string(circuit.width() - 1) +
                         " but the state has " + std::to_string(num_qubits) + " qubits");
    }
    StateVector state(num_qubits, {}, precision);
    apply(state, circuit, true);
    return state;
}

void apply(StateVector& state, const Circuit& circuit, bool from_zero) {
    const double work = double(circuit.gate_count() + 1) * std::ldexp(1.0, state.num_qubits());
    interruptible_work(work, [&](const InterruptCheck& interrupt) {
        apply_circuit(state, circuit, interrupt, from_zero);
    });
}

std::vector<cplx> matrix_of(const Circuit& circuit, int n, Precision precision) {
    const double work = double(circuit.gate_count() + 1) * std::ldexp(1.0, 2 * n);
    return interruptible_work(work, [&](const InterruptCheck& interrupt) {
        return circuit_matrix(circuit, n, interrupt, precision);
    });
}

}  // namespace kestrix::py
