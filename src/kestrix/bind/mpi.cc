// kestrix._mpi: CPUQVM(comm=...) runs here, the state split over the ranks of an mpi4py
// communicator. Built only where CMake found MPI.
#include <mpi.h>
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <memory>
#include <string>

#include "kestrix/lib/base/errors.h"
#include "kestrix/lib/base/memory.h"
#include "kestrix/lib/dist/distributed.h"
#include "kestrix/lib/dist/mpi_communicator.h"
#include "kestrix/py/convert.h"
#include "kestrix/py/errors.h"
#include "kestrix/py/run.h"
#include "kestrix/py/signature.h"

namespace nb = nanobind;

namespace kestrix::py {

namespace {

// A result with the communicator object it runs its collective calls on, kept alive.
struct SplitResult {
    DistributedResult result;
    nb::object comm;
};

MPI_Comm mpi_comm_of(nb::handle comm) {
    // mpi4py is imported by whoever made the communicator; without it, this is no
    // communicator (and importing it here would start MPI behind the caller's back).
    nb::handle modules = PySys_GetObject("modules");
    PyObject* mpi =
        modules.is_valid() ? PyDict_GetItemString(modules.ptr(), "mpi4py.MPI") : nullptr;
    if (mpi) {
        nb::handle intracomm = nb::handle(mpi).attr("Intracomm");
        if (PyObject_IsInstance(comm.ptr(), intracomm.ptr()) == 1) {
            if (nb::cast<bool>(nb::borrow(comm).attr("__eq__")(nb::handle(mpi).attr("COMM_NULL"))))
                throw nb::value_error("comm is MPI.COMM_NULL");
            nb::object address = nb::handle(mpi).attr("_addressof")(comm);
            return *reinterpret_cast<MPI_Comm*>(nb::cast<uintptr_t>(address));
        }
    }
    throw nb::type_error(
        ("comm must be an mpi4py intracommunicator (such as MPI.COMM_WORLD), got " +
         type_name_of(comm))
            .c_str());
}

void check_mpi_running() {
    int initialized = 0, finalized = 0;
    MPI_Initialized(&initialized);
    MPI_Finalized(&finalized);
    if (!initialized || finalized) throw nb::value_error("MPI is not running");
}

// Runs a collective call with the GIL released. Ctrl-C on any rank stops every rank; the
// ranks that were not interrupted themselves raise KeyboardInterrupt too.
template <class Work>
auto collective(Work&& work) {
    check_mpi_running();
    nb::object pending;
    const InterruptCheck interrupt = python_signals(pending);
    try {
        nb::gil_scoped_release release;
        return work(interrupt);
    } catch (const Interrupted&) {
        if (pending.is_valid())
            PyErr_SetRaisedException(pending.release().ptr());
        else
            PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw nb::python_error();
    }
}

// A Python error met on one rank, as the kestrix error that the ranks can share (the
// type and message travel; a Python exception object cannot).
std::exception_ptr as_kestrix_error(nb::python_error& e) {
    const std::string message = nb::cast<std::string>(nb::str(e.value()));
    if (e.matches(PyExc_ValueError)) return std::make_exception_ptr(ValueError(message));
    if (e.matches(PyExc_IndexError)) return std::make_exception_ptr(IndexError(message));
    if (e.matches(PyExc_MemoryError)) return std::make_exception_ptr(MemoryError(message));
    return std::make_exception_ptr(std::runtime_error(
        nb::cast<std::string>(nb::str(nb::handle(e.type()).attr("__name__"))) + ": " + message));
}

std::string bits_key(const Outcome& outcome, size_t width) {
    std::string key(width, '0');
    for (size_t k = 0; k < width; ++k)
        if (outcome.bit(k)) key[width - 1 - k] = '1';
    return key;
}

std::vector<int> qubits_or_all(const SplitResult& r, nb::handle qubits) {
    if (!qubits.is_none()) return to_index_list(qubits, "qubit");
    std::vector<int> all(r.result.num_qubits());
    for (int q = 0; q < r.result.num_qubits(); ++q) all[q] = q;
    return all;
}

std::vector<double> probabilities(const SplitResult& r, nb::handle qubits) {
    const std::vector<int> q = qubits_or_all(r, qubits);
    return collective([&](const InterruptCheck&) { return r.result.probabilities(q); });
}

std::shared_ptr<SplitResult> run(nb::handle comm, nb::handle prog, nb::handle shots,
                                 nb::handle seed, nb::handle memory, nb::handle buffer_share) {
    const MPI_Comm c = mpi_comm_of(comm);
    check_mpi_running();
    auto communicator =
        collective([&](const InterruptCheck&) { return std::make_shared<MpiCommunicator>(c); });
    // A bad argument on one rank is an error on every rank, not a wait for it.
    uint64_t count = 0, used = 0;
    bool keep_memory = false;
    DistributedOptions options;
    Program program;
    std::exception_ptr error, own;
    try {
        count = to_count(shots, "shots");
        if (!PyBool_Check(memory.ptr()))
            throw nb::type_error(
                ("memory must be True or False, got " + type_name_of(memory)).c_str());
        keep_memory = memory.ptr() == Py_True;
        if (!PyFloat_Check(buffer_share.ptr()) && !PyLong_Check(buffer_share.ptr()))
            throw nb::type_error(
                ("buffer_share must be a float, got " + type_name_of(buffer_share)).c_str());
        options.buffer_share = nb::cast<double>(buffer_share);
        if (nb::isinstance<Program>(prog))
            program = instance<Program>(prog);
        else
            append_object(program.circuit, prog);
        const std::optional<uint64_t> fixed = to_seed(seed);
        // Each rank may have its own NumPy generator: rank 0's draw is every rank's seed.
        used = fixed ? *fixed : program.circuit.has_measurement() ? seed_from_numpy() : 0;
    } catch (nb::python_error& e) {
        own = std::current_exception();
        error = as_kestrix_error(e);
    } catch (...) {
        error = std::current_exception();
    }
    try {
        fail_together(*communicator, error);
    } catch (...) {
        if (own) std::rethrow_exception(own);  // this rank's own Python error, as raised
        throw;
    }
    auto out = std::make_shared<SplitResult>();
    out->comm = nb::borrow(comm);
    out->result = collective([&](const InterruptCheck& interrupt) {
        communicator->broadcast(&used, sizeof used, 0);
        return DistributedSimulator::run(program, count, used, communicator, options, interrupt,
                                         keep_memory);
    });
    return out;
}

}  // namespace

}  // namespace kestrix::py

using kestrix::py::SplitResult;

NB_MODULE(_mpi, m) {
    using namespace kestrix::py;
    m.doc() = "kestrix over MPI: one state vector split over the ranks of a communicator.";
    register_exceptions();
    nb::module_::import_("kestrix.quantum_info");  // StateVector, PauliSum

    nb::class_<SplitResult> result(
        m, "DistributedResult",
        R"DOC(The outcome of a CPUQVM(comm=...) run, split over the ranks.

Counts are the same on every rank. Probabilities, expectation values and the gathered
state are collective calls: every rank makes them, in the same order. The exchange
figures are this rank's.
)DOC");
    result
        .def(
            "get_counts",
            [](const SplitResult& r) {
                nb::dict d;
                const kestrix::Result& res = r.result.result();
                for (auto [outcome, count] : res.counts())
                    d[bits_key(outcome, res.cbits().size()).c_str()] = count;
                return d;
            },
            nb::sig("def get_counts(self) -> dict[str, int]"),
            "Shot counts over the measured classical bits, as QResult.get_counts gives them.")
        .def(
            "get_memory",
            [](const SplitResult& r) {
                const kestrix::Result& res = r.result.result();
                if (!res.memory()) {
                    throw nb::value_error(
                        "this result kept no per-shot memory: run it with "
                        "CPUQVM.run(prog, shots, memory=True)");
                }
                kestrix::check_memory(
                    double(res.memory()->size()) * sizeof(PyObject*),
                    "the list of " + std::to_string(res.memory()->size()) + " shots");
                std::vector<nb::str> keys;
                for (const auto& [outcome, count] : res.counts())
                    keys.emplace_back(bits_key(outcome, res.cbits().size()).c_str());
                nb::list out;
                for (uint32_t k : *res.memory()) out.append(keys[k]);
                return out;
            },
            nb::sig("def get_memory(self) -> list[str]"),
            "Each shot's outcome in shot order, as QResult.get_memory gives it.")
        .def(
            "get_prob_list",
            [](const SplitResult& r, nb::handle qubits) { return probabilities(r, qubits); },
            nb::arg("qubits") = nb::none(),
            nb::sig("def get_prob_list(self, qubits: int | collections.abc.Sequence[int] | None "
                    "= None) -> list[float]"),
            "Probabilities as QResult.get_prob_list gives them (a collective call).")
        .def(
            "get_prob_dict",
            [](const SplitResult& r, nb::handle qubits) {
                nb::dict d;
                const kestrix::Result& res = r.result.result();
                if (qubits.is_none() && res.measured()) {
                    for (auto [outcome, count] : res.counts())
                        d[bits_key(outcome, res.cbits().size()).c_str()] =
                            double(count) / double(res.shots());
                    return d;
                }
                const size_t width = qubits_or_all(r, qubits).size();
                const std::vector<double> p = probabilities(r, qubits);
                for (uint64_t i = 0; i < p.size(); ++i) {
                    if (p[i] == 0) continue;
                    std::string key(width, '0');
                    for (size_t k = 0; k < width; ++k)
                        if ((i >> k) & 1) key[width - 1 - k] = '1';
                    d[key.c_str()] = p[i];
                }
                return d;
            },
            nb::arg("qubits") = nb::none(),
            nb::sig("def get_prob_dict(self, qubits: int | collections.abc.Sequence[int] | None "
                    "= None) -> dict[str, float]"),
            "Bit string -> probability, as QResult.get_prob_dict gives it (a collective call).")
        .def(
            "get_state",
            [](const SplitResult& r, nb::handle root) -> nb::object {
                if (!PyLong_Check(root.ptr()) || PyBool_Check(root.ptr()))
                    throw nb::type_error(
                        ("root must be an int, got " + type_name_of(root)).c_str());
                const long value = PyLong_AsLong(root.ptr());
                if (value == -1 && PyErr_Occurred()) throw nb::python_error();
                if (value < 0 || value > INT32_MAX)
                    throw nb::value_error(
                        ("root must be a rank of the communicator, got " + std::to_string(value))
                            .c_str());
                std::optional<kestrix::StateVector> whole = collective(
                    [&](const kestrix::InterruptCheck&) { return r.result.gather(int(value)); });
                if (!whole) return nb::none();
                return nb::cast(std::move(*whole));
            },
            nb::arg("root") = 0,
            nb::sig("def get_state(self, root: int = 0) -> kestrix.quantum_info.StateVector | "
                    "None"),
            R"DOC(The whole final state, gathered on `root` (a collective call).

Returns:
    StateVector | None: the state on the root rank, None on the others. MemoryError on
    every rank when it cannot fit on the root.
)DOC")
        .def(
            "expval",
            [](const SplitResult& r, nb::handle observable) {
                kestrix::PauliSum h;
                if (nb::isinstance<kestrix::PauliSum>(observable)) {
                    h = instance<kestrix::PauliSum>(observable);
                } else if (PyUnicode_Check(observable.ptr())) {
                    const std::string label = nb::cast<std::string>(observable);
                    h.num_qubits = int(label.size());
                    h.terms.push_back({kestrix::PauliString::from_label(label), 1.0});
                } else {
                    throw nb::type_error(("expval: the observable must be a PauliSum or a "
                                          "Pauli label, got " +
                                          type_name_of(observable))
                                             .c_str());
                }
                return collective(
                    [&](const kestrix::InterruptCheck&) { return r.result.expectation(h); });
            },
            nb::arg("observable"),
            nb::sig("def expval(self, observable: kestrix.quantum_info.PauliSum | str) -> float"),
            "<psi|H|psi> of the final state, the same on every rank (a collective call).")
        .def_prop_ro(
            "shots", [](const SplitResult& r) { return r.result.shots(); },
            "The number of shots run.")
        .def_prop_ro(
            "num_qubits", [](const SplitResult& r) { return r.result.num_qubits(); },
            "The program's width.")
        .def_prop_ro(
            "global_qubits", [](const SplitResult& r) { return r.result.global_qubits(); },
            "How many of the top qubits were split over the ranks (log2 of their number).")
        .def_prop_ro(
            "exchanges", [](const SplitResult& r) { return r.result.stats().exchanges; },
            "Index-bit swaps the run made (each trades half of every rank's slice).")
        .def_prop_ro(
            "bytes_sent", [](const SplitResult& r) { return r.result.stats().bytes; },
            "Bytes this rank sent in exchanges.")
        .def_prop_ro(
            "exchange_seconds", [](const SplitResult& r) { return r.result.stats().seconds; },
            "Wall time this rank spent in exchanges, packing included.")
        .def("__repr__", [](const SplitResult& r) {
            return "<DistributedResult: " + std::to_string(r.result.num_qubits()) + " qubits, " +
                   std::to_string(r.result.shots()) + " shots, " +
                   std::to_string(r.result.stats().exchanges) + " exchanges>";
        });

    m.def("run", &run, nb::arg("comm"), nb::arg("prog"), nb::arg("shots") = 1000,
          nb::arg("seed").none() = nb::none(), nb::kw_only(), nb::arg("memory").none() = false,
          nb::arg("buffer_share").none() = 0.125,
          nb::sig("def run(comm: object, prog: kestrix.core.QProg | kestrix.core.QCircuit | "
                  "kestrix.core.QGate, shots: int = 1000, seed: int | None = None, *, memory: bool "
                  "= False, buffer_share: float = 0.125) -> DistributedResult"),
          R"DOC(Runs a program with its state split over the ranks of `comm` (collective).

What CPUQVM(comm=comm).run(prog, shots) calls. Every rank calls it with the same
program; a communicator of 2^k ranks holds the top k qubits as rank bits.

Args:
    comm: an mpi4py intracommunicator, such as MPI.COMM_WORLD.
    prog: a QProg, QCircuit or QGate.
    shots: shots for a measured program.
    seed: fixes the draws; None draws rank 0's seed from NumPy's generator.
    memory: keep each shot's outcome.
    buffer_share: the exchange buffers as a share of a slice, in (0, 1].

Returns:
    DistributedResult: counts, and collective calls for the rest.
)DOC");
    add_signatures(m);
}
