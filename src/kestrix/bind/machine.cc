// CPUQVM and its results.
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "core.h"
#include "kestrix/lib/base/memory.h"
#include "kestrix/lib/io/codec.h"
#include "kestrix/py/compare.h"
#include "kestrix/py/convert.h"
#include "kestrix/py/pickling.h"
#include "kestrix/py/run.h"
#include "kestrix/py/shipping.h"

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

// How a machine runs under noise: chosen per program (Automatic), or as the user asked.
enum class Method : uint8_t { Automatic, StateVector, DensityMatrix };

struct Machine {
    std::optional<uint64_t> seed;
    std::shared_ptr<Result> last;
    std::shared_ptr<const NoiseModel> noise;  ///< a copy of the model it runs under, or none
    Method method = Method::Automatic;
    Precision precision = Precision::Double;
    nb::object comm;  ///< an mpi4py communicator the state is split over; else unset or None
};

bool is_noisy(const Machine& m) { return m.noise || m.method != Method::Automatic; }

Result run_on(const Machine& m, const Program& program, uint64_t shots,
              std::optional<uint64_t> seed, bool keep_memory) {
    if (!is_noisy(m)) return run_program(program, shots, seed, keep_memory, m.precision);
    static const NoiseModel none;
    const NoiseModel& model = m.noise ? *m.noise : none;
    const NoisySimulator::Method method =
        m.method == Method::Automatic       ? automatic_method(program, model)
        : m.method == Method::DensityMatrix ? NoisySimulator::Method::DensityMatrix
                                            : NoisySimulator::Method::Trajectories;
    return run_noisy_program(program, shots, seed, keep_memory, model, method);
}

Program as_program(nb::handle prog) {
    if (nb::isinstance<Program>(prog)) return instance<Program>(prog);
    Program p;
    append_object(p.circuit, prog);
    return p;
}

std::shared_ptr<Result> run(Machine& machine, nb::handle prog, nb::handle shots,
                            nb::handle memory) {
    const uint64_t count = to_count(shots, "shots");
    // A strict flag: memory="no" or memory=0 is more likely a slip than an intent.
    if (!PyBool_Check(memory.ptr()))
        throw nb::type_error(("memory must be True or False, got " + type_name_of(memory)).c_str());
    const bool keep_memory = memory.ptr() == Py_True;
    const Program program = as_program(prog);
    // The last result goes before the run, unless the caller still holds it: the memory
    // of its state then serves the new one, where a fresh large state would cost a page
    // fault per page.
    machine.last.reset();
    machine.last =
        std::make_shared<Result>(run_on(machine, program, count, machine.seed, keep_memory));
    return machine.last;
}

std::vector<Program> as_programs(nb::handle programs) {
    std::vector<Program> out;
    for (nb::handle item : nb::iter(programs)) out.push_back(as_program(item));
    return out;
}

// An executor and chunk size as run_batch and prob_batch take them.
Placement placement_of(nb::handle executor, nb::handle chunk_size) {
    Placement p;
    p.executor = nb::borrow(executor);
    if (!chunk_size.is_none()) p.chunk_size = to_count(chunk_size, "chunk_size");
    return p;
}

// The block itself becomes the array's memory, the array owning the block.
nb::ndarray<nb::numpy, double> rows_array(RowBlock&& block) {
    auto* owned = new RowBlock(std::move(block));
    nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<RowBlock*>(p); });
    return nb::ndarray<nb::numpy, double>(owned->data.get(), {owned->rows, owned->cols}, owner);
}

nb::ndarray<nb::numpy, double> prob_batch(nb::handle programs_arg, nb::handle qubits_arg,
                                          const Placement& placement, nb::handle parameter_values,
                                          const std::shared_ptr<const NoiseModel>& noise,
                                          Precision precision) {
    std::optional<std::vector<int>> qubits;
    if (!qubits_arg.is_none()) qubits = to_index_list(qubits_arg, "qubit");
    std::vector<Program> programs;
    if (precision == Precision::Single && noise)
        throw nb::value_error("prob_batch: precision='single' runs without noise");
    if (precision == Precision::Single && !parameter_values.is_none())
        throw nb::value_error("prob_batch: parameter_values runs in double precision only");
    if (!parameter_values.is_none()) {
        const Program program = as_program(programs_arg);
        std::vector<double> storage;
        const ParameterRows rows = parameter_rows(program.circuit, parameter_values, storage);
        // Under noise the rows are bound into programs and run as a noisy batch.
        if (!noise) return rows_array(probabilities_of_rows(program, rows, qubits, placement));
        check_rows(program.circuit, rows);
        programs = bound_programs(program, rows);
    } else {
        programs = as_programs(programs_arg);
    }
    if (!qubits) {
        for (const Program& p : programs) {
            if (p.width() != programs.front().width()) {
                throw nb::value_error(("prob_batch: the programs have different widths (" +
                                       std::to_string(programs.front().width()) + " and " +
                                       std::to_string(p.width()) +
                                       " qubits); pass the qubits to read")
                                          .c_str());
            }
        }
    }
    std::vector<std::vector<double>> rows;
    if (noise) {
        Simulator::check_probabilities_batch(programs, qubits);
        rows = noisy_probabilities(programs, qubits, *noise);
    } else {
        rows = probabilities_of_programs(programs, qubits, placement, precision);
    }
    const size_t cols = qubits             ? size_t{1} << qubits->size()
                        : programs.empty() ? 0
                                           : size_t{1} << programs.front().width();
    return rows_array(row_block(rows, cols));
}

std::vector<int> qubit_list_or_all(const Result& r, nb::handle qubits) {
    return qubits.is_none() ? all_qubits(r) : to_index_list(qubits, "qubit");
}

// A machine pickles as its seed and last result: 'M', a format byte, a seed flag and eight
// seed bytes, then the result's own bytes when there is one. A noisy machine (format 2)
// puts its method byte, the length of its pickled model (eight bytes) and the model
// before the result.
// A single-precision machine (never noisy) is format 3: format 1 in single precision.
std::string encode_machine(const Machine& m) {
    const char format = is_noisy(m) ? 2 : m.precision == Precision::Single ? 3 : 1;
    std::string out = {'M', format, char(m.seed.has_value())};
    for (int k = 0; k < 8; ++k) out += char((m.seed.value_or(0) >> (8 * k)) & 0xff);
    if (is_noisy(m)) {
        out += char(m.method);
        std::string model;
        if (m.noise) {
            nb::bytes b = nb::cast<nb::bytes>(
                nb::module_::import_("pickle").attr("dumps")(nb::cast(*m.noise)));
            model.assign(b.c_str(), b.size());
        }
        for (int k = 0; k < 8; ++k) out += char((uint64_t(model.size()) >> (8 * k)) & 0xff);
        out += model;
    }
    if (m.last) out += encode_result(*m.last);
    return out;
}

Machine decode_machine(std::string_view bytes) {
    auto damaged = [] { return nb::value_error("cannot read this CPUQVM: the data is damaged"); };
    if (bytes.size() < 11 || bytes[1] < 1 || bytes[1] > 3 || uint8_t(bytes[2]) > 1) throw damaged();
    Machine m;
    if (bytes[1] == 3) m.precision = Precision::Single;
    uint64_t seed = 0;
    for (int k = 0; k < 8; ++k) seed |= uint64_t(uint8_t(bytes[3 + k])) << (8 * k);
    if (bytes[2]) m.seed = seed;
    size_t at = 11;
    if (bytes[1] == 2) {
        if (bytes.size() < 20 || uint8_t(bytes[11]) > 2) throw damaged();
        m.method = Method(bytes[11]);
        uint64_t length = 0;
        for (int k = 0; k < 8; ++k) length |= uint64_t(uint8_t(bytes[12 + k])) << (8 * k);
        if (length > bytes.size() - 20) throw damaged();
        if (length) {
            nb::object model = nb::module_::import_("pickle").attr("loads")(
                nb::bytes(bytes.data() + 20, size_t(length)));
            if (!nb::isinstance<NoiseModel>(model)) throw damaged();
            m.noise = std::make_shared<const NoiseModel>(instance<NoiseModel>(model));
        }
        at = 20 + size_t(length);
    }
    if (bytes.size() > at) m.last = std::make_shared<Result>(decode_result(bytes.substr(at)));
    return m;
}

std::shared_ptr<const NoiseModel> noise_of(nb::handle noise) {
    if (noise.is_none()) return current_noise();
    if (!nb::isinstance<NoiseModel>(noise)) {
        throw nb::type_error(
            ("noise must be a kestrix.noise.NoiseModel or None, got " + type_name_of(noise))
                .c_str());
    }
    return std::make_shared<const NoiseModel>(instance<NoiseModel>(noise));
}

Method method_of(nb::handle method) {
    if (method.is_none()) return Method::Automatic;
    if (!PyUnicode_Check(method.ptr()))
        throw nb::type_error(("method must be a str or None, got " + type_name_of(method)).c_str());
    const std::string name = nb::cast<std::string>(method);
    if (name == "statevector") return Method::StateVector;
    if (name == "density_matrix") return Method::DensityMatrix;
    throw nb::value_error(
        ("method must be 'statevector', 'density_matrix' or None, got '" + name + "'").c_str());
}

// A machine that splits its state over a communicator runs through kestrix._mpi, which
// exists where kestrix was built with MPI.
void check_split(nb::handle comm, bool noisy) {
    if (noisy) {
        throw nb::value_error(
            "CPUQVM(comm=...) runs noiseless programs: noise and method are not distributed");
    }
    try {
        nb::module_::import_("kestrix._mpi");
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        throw nb::import_error(
            ("CPUQVM(comm=...) needs kestrix built with MPI (kestrix._mpi is missing); got comm=" +
             type_name_of(comm))
                .c_str());
    }
}

}  // namespace

void bind_machine(nb::module_& m) {
    m.def(
        "state_passes", [](nb::handle prog) { return Simulator::passes(as_program(prog)); },
        nb::arg("prog"), nb::sig("def state_passes(prog: QProg | QCircuit | QGate) -> int"),
        R"DOC(How many passes over the state vector one simulation of a program makes.

Counted once its gates are fused, folded and cache-blocked (a measurement counts as
one): what decides the time of a wide circuit.

Args:
    prog: a QProg, QCircuit or QGate.

Returns:
    int: the number of passes.

Example:
    >>> state_passes(QProg(2) << H(0) << CNOT(0, 1)) <= 2
    True
)DOC");

    nb::class_<Result> result(m, "QResult",
                              R"DOC(The outcome of one CPUQVM.run: shot counts and probabilities.

Results are immutable; they pickle and copy, the final state included. Two results
are equal (==) when their width, shots, counts and probabilities are the same.

Example:
    >>> r = CPUQVM(seed=7).run(QProg(1) << X(0) << measure(0, 0), shots=10)
    >>> r.get_counts(), r.shots, r.num_qubits
    ({'1': 10}, 10, 1)
)DOC");
    result
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
            nb::sig("def get_prob_dict(self, qubits: int | collections.abc.Sequence[int] | None "
                    "= None) -> dict[str, float]"),
            R"DOC(Bit string -> probability, ascending, zero entries omitted.

Args:
    qubits: the qubits to read (the last character of a key is qubits[0]). Shot
        frequencies when all of them were measured, else exact probabilities.
        Without it: over the measured classical bits (highest bit first) for a
        measured program, over every qubit otherwise.

Returns:
    dict[str, float]: the distribution.

Example:
    >>> CPUQVM().run(QProg(2) << X(1)).get_prob_dict([0, 1])
    {'10': 1.0}
)DOC")
        .def(
            "get_prob_list",
            [](const Result& r, nb::handle qubits) {
                return r.probabilities(qubit_list_or_all(r, qubits));
            },
            nb::arg("qubits") = nb::none(),
            nb::sig("def get_prob_list(self, qubits: int | collections.abc.Sequence[int] | None "
                    "= None) -> list[float]"),
            R"DOC(Probabilities indexed by the integer whose bit k is qubits[k].

Args:
    qubits: the qubits to read (all of them by default); as for get_prob_dict,
        shot frequencies when all were measured.

Returns:
    list[float]: 2**len(qubits) entries, every index listed.

Example:
    >>> CPUQVM().run(QProg(2) << X(1)).get_prob_list([1])
    [0.0, 1.0]
)DOC")
        .def(
            "get_counts",
            [](const Result& r) {
                nb::dict d;
                for (auto [outcome, count] : r.counts())
                    d[bits_key(outcome, r.cbits().size()).c_str()] = count;
                return d;
            },
            nb::sig("def get_counts(self) -> dict[str, int]"),
            R"DOC(Shot counts over the measured classical bits.

Returns:
    dict[str, int]: bit string (highest measured bit first) -> number of shots,
    observed outcomes only; {} for a program without measurements.

Example:
    >>> CPUQVM().run(QProg(2) << X(0) << measure([0, 1], [0, 1]), shots=5).get_counts()
    {'01': 5}
)DOC")
        .def(
            "get_memory",
            [](const Result& r) {
                if (!r.memory()) {
                    throw nb::value_error(
                        "this result kept no per-shot memory: run it with "
                        "CPUQVM.run(prog, shots, memory=True)");
                }
                check_memory(double(r.memory()->size()) * sizeof(PyObject*),
                             "the list of " + std::to_string(r.memory()->size()) + " shots");
                // One string per distinct outcome, shared by every shot that drew it.
                std::vector<nb::str> keys;
                for (const auto& [outcome, count] : r.counts())
                    keys.emplace_back(bits_key(outcome, r.cbits().size()).c_str());
                nb::list out = nb::steal<nb::list>(PyList_New(Py_ssize_t(r.memory()->size())));
                if (!out.is_valid()) throw nb::python_error();
                for (size_t i = 0; i < r.memory()->size(); ++i) {
                    nb::str& key = keys[(*r.memory())[i]];
                    PyList_SET_ITEM(out.ptr(), Py_ssize_t(i), Py_NewRef(key.ptr()));
                }
                return out;
            },
            nb::sig("def get_memory(self) -> list[str]"),
            R"DOC(Each shot's outcome, in the order the shots were drawn.

Kept only by a run with memory=True (ValueError otherwise). The strings are those of
get_counts(), whose counts are the tally of this list; [] for a program without
measurements. Results compare equal only when their memories do too.

Returns:
    list[str]: one bit string per shot.

Example:
    >>> r = CPUQVM(seed=5).run(QProg(1) << H(0) << measure(0, 0), shots=6, memory=True)
    >>> r.get_memory()
    ['1', '0', '1', '1', '0', '0']
)DOC")
        .def_prop_ro("shots", &Result::shots, "The number of shots run.")
        .def_prop_ro("num_qubits", &Result::num_qubits, "The program's width.")
        .def_prop_ro(
            "precision", [](const Result& r) { return precision_name(r.precision()); },
            nb::sig("def precision(self) -> str"),
            "The precision of the state that made this result: 'double' or 'single'.")
        .def("__repr__", [](const Result& r) {
            auto count = [](uint64_t n, const char* noun) {
                return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
            };
            return "<QResult: " + count(r.num_qubits(), "qubit") + ", " + count(r.shots(), "shot") +
                   ">";
        });
    make_picklable(result, "kestrix.core", 'R', encode_result, decode_result, true);
    make_comparable(
        result, [](const Result& a, const Result& b) { return a == b; },
        [](const Result& r) {
            size_t h = std::hash<uint64_t>()(r.shots()) ^ size_t(r.num_qubits());
            for (const auto& [outcome, count] : r.counts())
                h = h * 1000003 ^ std::hash<uint64_t>()(outcome.word(0) * 31 + count);
            return h;
        });

    nb::class_<Machine> machine(m, "CPUQVM", R"DOC(The CPU state-vector simulator.

Each run starts from the all-zero state. With seed=None every run that samples draws
its seed from NumPy's global generator, so np.random.seed(s) makes a script
repeatable; CPUQVM(seed=s) fixes it instead. A machine pickles with its seed and last
result. Machines are equal (==) when their seeds are: the seed is their one setting.
A noisy machine (CPUQVM(noise=model), see kestrix.noise) also compares its model and
method.

Example:
    >>> qvm = CPUQVM(seed=1)
    >>> qvm.run(QProg(1) << H(0) << measure(0, 0), shots=100).get_counts()
    {'0': 53, '1': 47}
)DOC");
    machine
        .def(
            "__init__",
            [](Machine* self, nb::handle seed, nb::handle noise, nb::handle method,
               nb::handle precision, nb::handle comm) {
                const std::optional<uint64_t> s = to_seed(seed);
                const Method m = method_of(method);
                const Precision p = to_precision(precision);
                std::shared_ptr<const NoiseModel> model = noise_of(noise);
                if (p == Precision::Single && (model || m != Method::Automatic)) {
                    throw nb::value_error(
                        "precision='single' runs without noise: noisy runs are in double "
                        "precision only");
                }
                if (!comm.is_none()) {
                    if (p == Precision::Single)
                        throw nb::value_error("a state split over MPI is in double precision only");
                    check_split(comm, model != nullptr || m != Method::Automatic);
                }
                new (self) Machine{s, nullptr, std::move(model), m, p, nb::borrow(comm)};
            },
            nb::arg("seed") = nb::none(), nb::kw_only(), nb::arg("noise").none() = nb::none(),
            nb::arg("method").none() = nb::none(), nb::arg("precision") = "double",
            nb::arg("comm").none() = nb::none(),
            nb::sig("def __init__(self, seed: int | None = None, *, noise: "
                    "kestrix.noise.NoiseModel | None = None, method: str | None = None, "
                    "precision: str = 'double', comm: object | None = None) -> None"),
            R"DOC(A simulator; seed=None draws each run's seed from NumPy's global generator.

Args:
    seed: fixes every run's draws.
    noise: a kestrix.noise.NoiseModel to run under (the machine keeps a copy); by
        default the one of kestrix.noise.model(...) where one is current, else none.
    method: how a noisy run simulates: "statevector" (quantum trajectories, one state
        per trajectory: the probabilities of an unmeasured program are the average of
        `shots` trajectories), "density_matrix" (the exact noisy state; shots drawn from
        its distribution, for programs whose measurements all come at the end), or None
        (the density matrix up to 10 qubits where the measurements come at the end,
        trajectories otherwise).
    precision: "double" (complex128 states, the default) or "single" (complex64: half
        the memory and about twice the speed on wide circuits, amplitudes to about 1e-6;
        see the accuracy page). Matrices are built in double and rounded; probabilities
        are summed in double. Single-precision machines run without noise.
    comm: an mpi4py communicator of 2**k ranks (such as MPI.COMM_WORLD) to split the
        state over: every rank runs the same script, and run() returns a
        kestrix._mpi.DistributedResult on each (see docs/mpi.md). Noise and single
        precision are not distributed.
)DOC")
        .def(
            "run",
            [](Machine& self, nb::handle prog, nb::handle shots, nb::handle memory) -> nb::object {
                if (self.comm.is_valid() && !self.comm.is_none()) {
                    self.last.reset();
                    return nb::module_::import_("kestrix._mpi")
                        .attr("run")(self.comm, prog, shots,
                                     self.seed ? nb::cast(*self.seed) : nb::none(),
                                     nb::arg("memory") = memory);
                }
                return nb::cast(run(self, prog, shots, memory));
            },
            nb::arg("prog"), nb::arg("shots") = 1000, nb::kw_only(),
            nb::arg("memory").none() = false,
            nb::sig("def run(self, prog: QProg | QCircuit | QGate, shots: int = 1000, *, "
                    "memory: bool = False) -> QResult"),
            R"DOC(Runs a program from the all-zero state.

Args:
    prog: a QProg (or a bare QCircuit or QGate).
    shots: how many shots to sample for a measured program (a positive int).
    memory: also keep each shot's outcome, in shot order, for QResult.get_memory()
        (the counts are the same either way; at most 2**32 - 1 shots).

Returns:
    QResult: the result, also kept for result(). The previous one is let go when the
    simulation starts (a result you still hold stays as it is), so after a run that
    fails there (out of memory, interrupted) result() has none.

Example:
    >>> CPUQVM().run(QProg(1) << X(0)).get_prob_list()
    [0.0, 1.0]
)DOC")
        .def(
            "run_batch",
            [](Machine& self, nb::handle programs, nb::handle shots, nb::handle executor,
               nb::handle chunk_size, nb::handle parameter_values, nb::handle precision) {
                const uint64_t count = to_count(shots, "shots");
                const Placement placement = placement_of(executor, chunk_size);
                const Precision p = precision.is_none() ? self.precision : to_precision(precision);
                if (p == Precision::Single) {
                    if (is_noisy(self))
                        throw nb::value_error("run_batch: precision='single' runs without noise");
                    if (!parameter_values.is_none()) {
                        throw nb::value_error(
                            "run_batch: parameter_values runs in double precision only");
                    }
                    std::vector<std::shared_ptr<Result>> out;
                    for (Result& r :
                         run_programs(as_programs(programs), count, self.seed, placement, p))
                        out.push_back(std::make_shared<Result>(std::move(r)));
                    return out;
                }
                std::vector<Program> bound;  // the rows of values, under noise
                std::vector<Result> results;
                if (!parameter_values.is_none()) {
                    const Program program = as_program(programs);
                    std::vector<double> storage;
                    const ParameterRows rows =
                        parameter_rows(program.circuit, parameter_values, storage);
                    if (is_noisy(self)) {
                        check_rows(program.circuit, rows);
                        bound = bound_programs(program, rows);
                    } else {
                        results = run_rows(program, rows, count, self.seed, placement);
                    }
                } else if (!is_noisy(self)) {
                    results = run_programs(as_programs(programs), count, self.seed, placement);
                }
                std::vector<std::shared_ptr<Result>> out;
                if (is_noisy(self)) {
                    // Under noise the batch runs here, one program after another.
                    for (const Program& p :
                         parameter_values.is_none() ? as_programs(programs) : bound)
                        out.push_back(
                            std::make_shared<Result>(run_on(self, p, count, self.seed, false)));
                    return out;
                }
                for (Result& r : results) out.push_back(std::make_shared<Result>(std::move(r)));
                return out;
            },
            nb::arg("programs"), nb::arg("shots") = 1000, nb::kw_only(),
            nb::arg("executor").none() = nb::none(), nb::arg("chunk_size").none() = nb::none(),
            nb::arg("parameter_values").none() = nb::none(),
            nb::arg("precision").none() = nb::none(),
            nb::sig("def run_batch(self, programs: collections.abc.Iterable[QProg | QCircuit | "
                    "QGate] | QProg | QCircuit | QGate, shots: int = 1000, *, executor: object | "
                    "None = None, chunk_size: int | None = None, parameter_values: "
                    "numpy.typing.ArrayLike | None = None, precision: str | None = None) -> "
                    "list[QResult]"),
            R"DOC(Runs many independent programs over all threads.

Each result is exactly what run() would give: seeds are drawn one per measuring
program from NumPy's generator, in order, as successive run() calls draw them (or
the machine's seed is used). Releases the GIL and stops on Ctrl-C; result() is left
unchanged.

Args:
    programs: QProg, QCircuit or QGate objects.
    shots: shots for each measured program (a positive int).
    executor: an executor (a dask.distributed Client, a ProcessPoolExecutor, ...) whose
        workers run the batch in chunks, with the same results; by default the one of
        kestrix.parallel.executor(...) when the batch is large enough to gain, else this
        process.
    chunk_size: programs per shipped chunk; by default about 50 ms of work each.
    parameter_values: run one program with parameters (`programs` is then that program)
        once per row of this array of shape (rows, len(program.parameters)), columns in
        the order of `program.parameters`. The program is planned once and only the
        matrices that depend on a parameter are rewritten per row; result i is exactly
        run(program.bind(values[i])), seeds drawn as for a batch of the bound programs.
    precision: "double" or "single"; by default the machine's. A single-precision batch
        runs in this process (no executor) and takes no parameter_values.

Returns:
    list[QResult]: one result per program (or per row), in order.

Example:
    >>> progs = [QProg(1) << X(0) << measure(0, 0), QProg(1) << measure(0, 0)]
    >>> [r.get_counts() for r in CPUQVM(seed=3).run_batch(progs, shots=10)]
    [{'1': 10}, {'0': 10}]
)DOC")
        .def(
            "prob_batch",
            [](const Machine& self, nb::handle programs, nb::handle qubits, nb::handle executor,
               nb::handle chunk_size, nb::handle parameter_values, nb::handle precision) {
                const Precision p = precision.is_none() ? self.precision : to_precision(precision);
                return prob_batch(programs, qubits, placement_of(executor, chunk_size),
                                  parameter_values, self.noise, p);
            },
            nb::arg("programs"), nb::arg("qubits") = nb::none(), nb::kw_only(),
            nb::arg("executor").none() = nb::none(), nb::arg("chunk_size").none() = nb::none(),
            nb::arg("parameter_values").none() = nb::none(),
            nb::arg("precision").none() = nb::none(),
            nb::sig("def prob_batch(self, programs: collections.abc.Iterable[QProg | QCircuit | "
                    "QGate] | QProg | QCircuit | QGate, qubits: int | "
                    "collections.abc.Sequence[int] | None = None, *, executor: object | None = "
                    "None, chunk_size: int | None = None, parameter_values: "
                    "numpy.typing.ArrayLike | None = None, precision: str | None = None) -> "
                    "numpy.typing.NDArray[numpy.float64]"),
            R"DOC(Exact probabilities of many programs without measurements, over all threads.

Draws nothing from NumPy; releases the GIL and stops on Ctrl-C.

Args:
    programs: QProg, QCircuit or QGate objects without measurements.
    qubits: the qubits to read (all of them by default, which then must be as many in
        every program).
    executor: where the batch runs, as for run_batch.
    chunk_size: programs per shipped chunk, as for run_batch.
    parameter_values: one program run once per row of values, as for run_batch.
    precision: "double" or "single"; by default the machine's (as for run_batch).

Returns:
    numpy.ndarray: float64, one row per program (or per row of values); row i is what
    run(programs[i]).get_prob_list(qubits) gives.

Example:
    >>> CPUQVM().prob_batch([X(0), H(0)], [0]).round(3)
    array([[0. , 1. ],
           [0.5, 0.5]])
)DOC")
        .def(
            "result",
            [](const Machine& self) {
                if (!self.last) throw nb::value_error("no result yet: call run() first");
                return self.last;
            },
            R"DOC(The result of the last run.

Returns:
    QResult: what the last run() returned; ValueError before any run.

Example:
    >>> qvm = CPUQVM()
    >>> _ = qvm.run(QProg(1))
    >>> qvm.result().shots
    1000
)DOC")
        .def_prop_ro(
            "noise",
            [](const Machine& self) -> nb::object {
                if (!self.noise) return nb::none();
                return nb::cast(NoiseModel(*self.noise));
            },
            nb::sig("def noise(self) -> kestrix.noise.NoiseModel | None"),
            "A copy of the noise model the machine runs under, or None.")
        .def_prop_ro(
            "precision", [](const Machine& self) { return precision_name(self.precision); },
            nb::sig("def precision(self) -> str"),
            "The precision of the machine's states: 'double' or 'single'.")
        .def("__repr__", [](const Machine& self) {
            if (self.precision == Precision::Single) {
                return self.seed
                           ? "CPUQVM(seed=" + std::to_string(*self.seed) + ", precision='single')"
                           : std::string("CPUQVM(precision='single')");
            }
            if (!is_noisy(self)) {
                return self.seed ? "CPUQVM(seed=" + std::to_string(*self.seed) + ")"
                                 : std::string("CPUQVM()");
            }
            std::string out = "CPUQVM(";
            if (self.seed) out += "seed=" + std::to_string(*self.seed) + ", ";
            if (self.noise) {
                const size_t rules = self.noise->rules().size();
                out += "noise=<NoiseModel: " + std::to_string(rules) +
                       (rules == 1 ? " rule>" : " rules>");
            }
            if (self.method != Method::Automatic) {
                out += std::string(self.noise ? ", " : "") + "method='" +
                       (self.method == Method::DensityMatrix ? "density_matrix" : "statevector") +
                       "'";
            }
            return out + ")";
        });
    make_picklable(machine, "kestrix.core", 'M', encode_machine, decode_machine, false);
    make_comparable(machine, [](const Machine& a, const Machine& b) {
        const bool same_noise = a.noise && b.noise ? *a.noise == *b.noise : a.noise == b.noise;
        return a.seed == b.seed && same_noise && a.method == b.method && a.precision == b.precision;
    });

    m.def("_run_shipped_chunk", &run_shipped_chunk, nb::arg("request"),
          "Runs one chunk of a batch shipped by kestrix.parallel (bytes in, bytes out).");
}

}  // namespace kestrix::py
