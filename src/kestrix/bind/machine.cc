// CPUQVM and its results.
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
    if (nb::isinstance<Program>(prog)) return nb::cast<const Program&>(prog);
    Program p;
    append_object(p.circuit, prog);
    return p;
}

std::shared_ptr<Result> run(Machine& machine, nb::handle prog, nb::handle shots) {
    const uint64_t count = to_count(shots, "shots");
    return std::make_shared<Result>(run_program(as_program(prog), count, machine.seed));
}

std::vector<int> qubit_list_or_all(const Result& r, nb::handle qubits) {
    return qubits.is_none() ? all_qubits(r) : to_index_list(qubits, "qubit");
}

}  // namespace

void bind_machine(nb::module_& m) {
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
                if (PyBool_Check(seed.ptr()) || PyFloat_Check(seed.ptr()) || !PyIndex_Check(seed.ptr()))
                    throw nb::type_error("seed must be an int or None");
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
