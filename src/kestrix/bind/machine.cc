// CPUQVM and its results.
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/vector.h>

#include <memory>
#include <string>

#include "convert.h"
#include "core.h"
#include "run.h"

namespace kestrix::py {

namespace {

std::string bits_key(uint64_t value, size_t width) {
    std::string key(width, '0');
    for (size_t k = 0; k < width; ++k)
        if ((value >> k) & 1) key[width - 1 - k] = '1';
    return key;
}

std::string bits_key(const Outcome& outcome, size_t width) {
    std::string key(width, '0');
    for (size_t k = 0; k < width; ++k)
        if (outcome.bit(k)) key[width - 1 - k] = '1';
    return key;
}

nb::dict prob_dict(const std::vector<double>& probs, size_t width) {
    nb::dict d;
    for (uint64_t i = 0; i < probs.size(); ++i)
        if (probs[i] != 0) d[bits_key(i, width).c_str()] = probs[i];
    return d;
}

std::vector<int> all_qubits(const Result& r) {
    std::vector<int> q(r.num_qubits());
    for (int k = 0; k < r.num_qubits(); ++k) q[k] = k;
    return q;
}

struct Machine {
    std::optional<uint64_t> seed;
    std::shared_ptr<Result> last;
};

Program as_program(nb::handle prog) {
    if (nb::isinstance<Program>(prog)) return instance<Program>(prog);
    Program p;
    append_object(p.circuit, prog);
    return p;
}

std::shared_ptr<Result> run(Machine& machine, nb::handle prog, nb::handle shots) {
    const uint64_t count = to_count(shots, "shots");
    return std::make_shared<Result>(run_program(as_program(prog), count, machine.seed));
}

std::vector<Program> as_programs(nb::handle programs) {
    std::vector<Program> out;
    for (nb::handle item : nb::iter(programs)) out.push_back(as_program(item));
    return out;
}

nb::ndarray<nb::numpy, double> prob_batch(nb::handle programs_arg, nb::handle qubits_arg) {
    const std::vector<Program> programs = as_programs(programs_arg);
    const std::vector<int> qubits =
        qubits_arg.is_none() ? std::vector<int>{} : to_index_list(qubits_arg, "qubit");
    if (qubits_arg.is_none()) {
        for (const Program& p : programs) {
            if (p.width() != programs.front().width()) {
                throw nb::value_error(
                    ("prob_batch: the programs have different widths (" +
                     std::to_string(programs.front().width()) + " and " +
                     std::to_string(p.width()) + " qubits); pass the qubits to read")
                        .c_str());
            }
        }
    }
    const std::vector<std::vector<double>> rows = probabilities_of_programs(programs, qubits);
    const size_t cols = !qubits_arg.is_none() ? size_t{1} << qubits.size()
                        : rows.empty()        ? 0
                                              : rows.front().size();
    double* data = new double[std::max<size_t>(rows.size() * cols, 1)];
    nb::capsule owner(data, [](void* p) noexcept { delete[] static_cast<double*>(p); });
    for (size_t i = 0; i < rows.size(); ++i)
        std::copy(rows[i].begin(), rows[i].end(), data + i * cols);
    return nb::ndarray<nb::numpy, double>(data, {rows.size(), cols}, owner);
}

std::vector<int> qubit_list_or_all(const Result& r, nb::handle qubits) {
    return qubits.is_none() ? all_qubits(r) : to_index_list(qubits, "qubit");
}

}  // namespace

void bind_machine(nb::module_& m) {
    m.def(
        "state_passes", [](nb::handle prog) { return Simulator::passes(as_program(prog)); },
        nb::arg("prog"),
        "How many passes over the state vector one simulation of prog makes once its gates "
        "are fused, folded and cache-blocked (a measurement counts as one): what decides "
        "the time of a wide circuit.");

    nb::class_<Result>(m, "QResult", "The outcome of one CPUQVM.run.")
        .def(
            "get_prob_dict",
            [](const Result& r, nb::handle qubits) {
                if (qubits.is_none() && r.measured()) {
                    nb::dict d;
                    for (auto [outcome, count] : r.counts())
                        d[bits_key(outcome, r.cbits().size()).c_str()] =
                            double(count) / double(r.shots());
                    return d;
                }
                std::vector<int> q = qubit_list_or_all(r, qubits);
                return prob_dict(r.probabilities(q), q.size());
            },
            nb::arg("qubits") = nb::none(),
            "Bit string -> probability over `qubits` (last character is qubits[0]), ascending, "
            "zero entries omitted. Without qubits on a measured program: shot frequencies over "
            "the measured classical bits, highest bit first.")
        .def(
            "get_prob_list",
            [](const Result& r, nb::handle qubits) {
                return r.probabilities(qubit_list_or_all(r, qubits));
            },
            nb::arg("qubits") = nb::none(),
            "Probabilities indexed by the integer whose bit k is qubits[k].")
        .def(
            "get_counts",
            [](const Result& r) {
                nb::dict d;
                for (auto [outcome, count] : r.counts())
                    d[bits_key(outcome, r.cbits().size()).c_str()] = count;
                return d;
            },
            "Classical bit string (highest measured bit first) -> number of shots.")
        .def_prop_ro("shots", &Result::shots)
        .def_prop_ro("num_qubits", &Result::num_qubits)
        .def("__repr__", [](const Result& r) {
            return "QResult(" + std::to_string(r.num_qubits()) + " qubits, " +
                   std::to_string(r.shots()) + " shots)";
        });

    nb::class_<Machine>(m, "CPUQVM", "The CPU state-vector simulator.")
        .def(
            "__init__",
            [](Machine* self, nb::handle seed) {
                new (self) Machine{};
                if (seed.is_none()) return;
                if (PyBool_Check(seed.ptr()) || PyFloat_Check(seed.ptr()) ||
                    !PyIndex_Check(seed.ptr())) {
                    throw nb::type_error("seed must be an int or None");
                }
                nb::object index = nb::steal(PyNumber_Index(seed.ptr()));
                const unsigned long long value =
                    index.is_valid() ? PyLong_AsUnsignedLongLong(index.ptr()) : 0;
                if (PyErr_Occurred()) {
                    PyErr_Clear();
                    throw nb::value_error("seed must be an integer from 0 to 2**64 - 1");
                }
                self->seed = value;
            },
            nb::arg("seed") = nb::none(),
            "seed=None draws each run's seed from NumPy's global generator.")
        .def(
            "run",
            [](Machine& self, nb::handle prog, nb::handle shots) {
                self.last = run(self, prog, shots);
                return self.last;
            },
            nb::arg("prog"), nb::arg("shots") = 1000,
            "Runs the program from the all-zero state and returns its result (also kept for "
            "result()).")
        .def(
            "run_batch",
            [](Machine& self, nb::handle programs, nb::handle shots) {
                const uint64_t count = to_count(shots, "shots");
                std::vector<std::shared_ptr<Result>> out;
                for (Result& r : run_programs(as_programs(programs), count, self.seed))
                    out.push_back(std::make_shared<Result>(std::move(r)));
                return out;
            },
            nb::arg("programs"), nb::arg("shots") = 1000,
            "Runs many independent programs (QProg, QCircuit or gates) over all threads and "
            "returns one QResult per program, in order. Each result is exactly what run() "
            "would give: seeds are drawn one per measuring program from NumPy's generator, "
            "in order, as successive run() calls draw them (or the machine's seed is used). "
            "Releases the GIL and stops on Ctrl-C; result() is left unchanged.")
        .def(
            "prob_batch",
            [](const Machine&, nb::handle programs, nb::handle qubits) {
                return prob_batch(programs, qubits);
            },
            nb::arg("programs"), nb::arg("qubits") = nb::none(),
            "Exact probabilities of many programs without measurements, over all threads: a "
            "float64 array with one row per program, row i being what "
            "run(programs[i]).get_prob_list(qubits) gives (all qubits by default, which "
            "then must be as many in every program). Draws nothing from NumPy; releases the "
            "GIL and stops on Ctrl-C.")
        .def(
            "result",
            [](const Machine& self) {
                if (!self.last) throw nb::value_error("no result yet: call run() first");
                return self.last;
            },
            "The result of the last run.")
        .def("__repr__", [](const Machine& self) {
            return self.seed ? "CPUQVM(seed=" + std::to_string(*self.seed) + ")"
                             : std::string("CPUQVM()");
        });
}

}  // namespace kestrix::py
