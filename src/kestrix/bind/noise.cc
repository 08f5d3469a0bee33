// kestrix._noise: quantum channels and noise models (kestrix.noise re-exports them).
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cmath>
#include <string>

#include "kestrix/lib/io/number_text.h"
#include "kestrix/lib/noise/channel.h"
#include "kestrix/lib/noise/model.h"
#include "kestrix/py/compare.h"
#include "kestrix/py/convert.h"
#include "kestrix/py/errors.h"
#include "kestrix/py/signature.h"

namespace nb = nanobind;
using kestrix::Channel;
using kestrix::cplx;
using kestrix::Matrix;
using kestrix::NoiseModel;
using kestrix::NoiseRule;

namespace {

double to_real(nb::handle value, const char* what) {
    if (PyBool_Check(value.ptr()))
        throw nb::type_error((std::string(what) + " must be a real number, got bool").c_str());
    return kestrix::py::to_angle(value, what);
}

// One Kraus operator: a square array-like of numbers.
Matrix to_operator(nb::handle data) {
    static nb::object* numpy = new nb::object(nb::module_::import_("numpy"));
    nb::object array = numpy->attr("asarray")(data, nb::arg("dtype") = numpy->attr("complex128"));
    const std::string shape = nb::repr(array.attr("shape")).c_str();
    if (nb::cast<int>(array.attr("ndim")) != 2 ||
        !array.attr("shape")[0].equal(array.attr("shape")[1])) {
        throw nb::value_error(
            ("kraus: each operator must be a square matrix, got shape " + shape).c_str());
    }
    return kestrix::py::to_complex_vector(array.attr("ravel")(), "kraus");
}

nb::object operator_array(const Matrix& m) {
    size_t d = 1;
    while (d * d < m.size()) d *= 2;
    auto* copy = new cplx[m.size()];
    std::copy(m.begin(), m.end(), copy);
    nb::capsule owner(copy, [](void* p) noexcept { delete[] static_cast<cplx*>(p); });
    return nb::cast(nb::ndarray<nb::numpy, cplx>(copy, {d, d}, owner));
}

std::string number(double x) { return kestrix::shortest_text(x); }

std::string channel_repr(const Channel& ch) {
    if (ch.name == "kraus") {
        const size_t d = size_t{1} << ch.num_qubits;
        return "kraus(<" + std::to_string(ch.kraus.size()) + " operators, " + std::to_string(d) +
               "x" + std::to_string(d) + ">)";
    }
    std::string out = ch.name + "(";
    const size_t shown = ch.name == "depolarizing" ? 1 : ch.params.size();
    for (size_t k = 0; k < shown; ++k) out += (k ? ", " : "") + number(ch.params[k]);
    if (ch.name == "depolarizing" && ch.params[1] != 1) out += ", num_qubits=2";
    return out + ")";
}

std::string names_text(const std::vector<std::string>& names) {
    std::string out = "[";
    for (size_t k = 0; k < names.size(); ++k) out += (k ? ", '" : "'") + names[k] + "'";
    return out + "]";
}

std::string qubits_text(const std::vector<int>& qubits) {
    std::string out = "[";
    for (size_t k = 0; k < qubits.size(); ++k) out += (k ? ", " : "") + std::to_string(qubits[k]);
    return out + "]";
}

std::string model_repr(const NoiseModel& model) {
    if (model.empty()) return "NoiseModel()";
    std::string out = "NoiseModel(";
    for (const NoiseRule& r : model.rules()) {
        out += "\n    " + channel_repr(r.channel);
        if (r.channel.kind == Channel::Kind::Readout) {
            out += " on measurements";
        } else {
            out += r.gates ? " after " + names_text(*r.gates) : " after every gate";
        }
        out += r.qubits ? " of qubits " + qubits_text(*r.qubits) : "";
        out += ",";
    }
    return out + "\n)";
}

// A channel rebuilt by its constructor: what pickling stores.
Channel remake(const std::string& name, const std::vector<double>& p, nb::handle operators) {
    auto need = [&](size_t k) {
        if (p.size() != k) throw nb::value_error(("cannot read this channel: " + name).c_str());
    };
    if (name == "depolarizing") return need(2), kestrix::depolarizing(p[0], int(p[1]));
    if (name == "amplitude_damping") return need(1), kestrix::amplitude_damping(p[0]);
    if (name == "phase_damping") return need(1), kestrix::phase_damping(p[0]);
    if (name == "bit_flip") return need(1), kestrix::bit_flip(p[0]);
    if (name == "phase_flip") return need(1), kestrix::phase_flip(p[0]);
    if (name == "thermal_relaxation") return need(3), kestrix::thermal_relaxation(p[0], p[1], p[2]);
    if (name == "readout_error") return need(2), kestrix::readout_error(p[0], p[1]);
    std::vector<Matrix> ops;
    for (nb::handle op : nb::iter(operators)) ops.push_back(to_operator(op));
    return kestrix::kraus_channel(std::move(ops));
}

nb::object channel_state(const Channel& ch) {
    nb::list ops;
    if (ch.name == "kraus")
        for (const Matrix& m : ch.kraus) ops.append(operator_array(m));
    return nb::make_tuple(ch.name, nb::cast(ch.params), ops);
}

std::optional<std::vector<std::string>> to_gate_names(nb::handle gates) {
    if (gates.is_none()) return std::nullopt;
    std::vector<std::string> names;
    if (PyUnicode_Check(gates.ptr())) {
        names.push_back(nb::cast<std::string>(gates));
        return names;
    }
    for (nb::handle g : nb::iter(gates)) {
        if (!PyUnicode_Check(g.ptr())) {
            throw nb::type_error(
                ("NoiseModel.add: gate names must be strings, got " + kestrix::py::type_name_of(g))
                    .c_str());
        }
        names.push_back(nb::cast<std::string>(g));
    }
    return names;
}

const Channel& as_channel(nb::handle value) {
    if (!nb::isinstance<Channel>(value)) {
        throw nb::type_error(
            ("expected a Channel (from kestrix.noise), got " + kestrix::py::type_name_of(value))
                .c_str());
    }
    return kestrix::py::instance<Channel>(value);
}

void add_rule(NoiseModel& model, nb::handle channel, nb::handle gates, nb::handle qubits) {
    const Channel& ch = as_channel(channel);
    std::optional<std::vector<int>> q;
    if (!qubits.is_none()) q = kestrix::py::to_index_list(qubits, "qubit");
    model.add(ch, to_gate_names(gates), std::move(q));
}

}  // namespace

NB_MODULE(_noise, m) {
    m.doc() = "kestrix noise: quantum channels and noise models (see kestrix.noise).";
    nb::module_::import_("kestrix.core");
    kestrix::py::register_exceptions();

    nb::class_<Channel> channel(m, "Channel", R"DOC(A quantum channel, or a readout error.

Made by the constructors of kestrix.noise (depolarizing, amplitude_damping, kraus, ...);
immutable. Channels compare equal when made alike, hash, pickle and copy.

Example:
    >>> depolarizing(0.01)
    depolarizing(0.01)
    >>> len(amplitude_damping(0.1).kraus)
    2
)DOC");
    channel
        .def_prop_ro(
            "num_qubits", [](const Channel& c) { return c.num_qubits; },
            "The qubits it acts on (1 for a readout error).")
        .def_prop_ro(
            "kraus",
            [](const Channel& c) {
                nb::list ops;
                for (const Matrix& k : c.kraus) ops.append(operator_array(k));
                return ops;
            },
            nb::sig("def kraus(self) -> list[numpy.typing.NDArray[numpy.complex128]]"),
            "Its Kraus operators, 2**k x 2**k each (index bit j = the channel's j-th qubit); "
            "[] for a readout error.")
        .def_prop_ro(
            "is_unitary_mixture", [](const Channel& c) { return c.is_mixture(); },
            "Whether every Kraus operator is a multiple of a unitary: trajectories "
            "then draw its branch without computing norms.")
        .def_prop_ro(
            "is_readout", [](const Channel& c) { return c.kind == Channel::Kind::Readout; },
            "Whether it is a readout error (applied to measurement results).")
        .def("__repr__", &channel_repr)
        .def("__reduce__",
             [](const Channel& c) {
                 return nb::make_tuple(nb::module_::import_("kestrix._noise").attr("_channel"),
                                       channel_state(c));
             })
        .def("__copy__", [](nb::handle self) { return nb::borrow(self); })
        .def(
            "__deepcopy__", [](nb::handle self, nb::handle) { return nb::borrow(self); },
            nb::arg("memo"));
    kestrix::py::make_comparable(
        channel, [](const Channel& a, const Channel& b) { return a == b; },
        [](const Channel& c) {
            size_t h = std::hash<std::string>()(c.name);
            for (double p : c.params) h = h * 1000003 ^ std::hash<double>()(p + 0.0);
            for (const Matrix& k : c.kraus)
                for (const cplx& x : k) h = h * 1000003 ^ std::hash<double>()(x.real() + 0.0);
            return h;
        });

    m.def(
        "_channel",
        [](const std::string& name, const std::vector<double>& params, nb::handle operators) {
            return remake(name, params, operators);
        },
        nb::arg("name"), nb::arg("params"), nb::arg("operators"), "Rebuilds a pickled channel.");

    m.def(
        "depolarizing",
        [](nb::handle p, nb::handle num_qubits) {
            return kestrix::depolarizing(to_real(p, "p"),
                                         kestrix::py::to_index(num_qubits, "num_qubits"));
        },
        nb::arg("p"), nb::arg("num_qubits") = 1,
        nb::sig("def depolarizing(p: float, num_qubits: int = 1) -> Channel"),
        R"DOC(With probability p, the qubits are replaced by the maximally mixed state.

Kraus weights 1 - p + p/4**k on I and p/4**k on each other Pauli string (as Qiskit Aer's
depolarizing_error): a unitary mixture.

Args:
    p: the depolarising probability, in [0, 1].
    num_qubits: 1 or 2.

Returns:
    Channel: the channel.

Example:
    >>> depolarizing(0.02, num_qubits=2)
    depolarizing(0.02, num_qubits=2)
)DOC");
    m.def(
        "amplitude_damping",
        [](nb::handle gamma) { return kestrix::amplitude_damping(to_real(gamma, "gamma")); },
        nb::arg("gamma"), nb::sig("def amplitude_damping(gamma: float) -> Channel"),
        R"DOC(Energy loss: |1> decays to |0> with probability gamma.

Args:
    gamma: the decay probability, in [0, 1].

Returns:
    Channel: Kraus operators [[1, 0], [0, sqrt(1 - gamma)]] and [[0, sqrt(gamma)], [0, 0]].

Example:
    >>> amplitude_damping(0.1)
    amplitude_damping(0.1)
)DOC");
    m.def(
        "phase_damping",
        [](nb::handle gamma) { return kestrix::phase_damping(to_real(gamma, "gamma")); },
        nb::arg("gamma"), nb::sig("def phase_damping(gamma: float) -> Channel"),
        R"DOC(Loss of phase without loss of energy: coherences shrink by sqrt(1 - gamma).

Args:
    gamma: in [0, 1].

Returns:
    Channel: Kraus operators [[1, 0], [0, sqrt(1 - gamma)]] and [[0, 0], [0, sqrt(gamma)]].

Example:
    >>> phase_damping(0.2)
    phase_damping(0.2)
)DOC");
    m.def(
        "bit_flip", [](nb::handle p) { return kestrix::bit_flip(to_real(p, "p")); }, nb::arg("p"),
        nb::sig("def bit_flip(p: float) -> Channel"),
        R"DOC(X with probability p.

Args:
    p: in [0, 1].

Returns:
    Channel: a unitary mixture.

Example:
    >>> bit_flip(0.1).is_unitary_mixture
    True
)DOC");
    m.def(
        "phase_flip", [](nb::handle p) { return kestrix::phase_flip(to_real(p, "p")); },
        nb::arg("p"), nb::sig("def phase_flip(p: float) -> Channel"),
        R"DOC(Z with probability p.

Args:
    p: in [0, 1].

Returns:
    Channel: a unitary mixture.

Example:
    >>> phase_flip(0.1)
    phase_flip(0.1)
)DOC");
    m.def(
        "thermal_relaxation",
        [](nb::handle t1, nb::handle t2, nb::handle time) {
            return kestrix::thermal_relaxation(to_real(t1, "t1"), to_real(t2, "t2"),
                                               to_real(time, "time"));
        },
        nb::arg("t1"), nb::arg("t2"), nb::arg("time"),
        nb::sig("def thermal_relaxation(t1: float, t2: float, time: float) -> Channel"),
        R"DOC(Relaxation over `time` towards |0>: the |1> population decays as
exp(-time/t1), coherences as exp(-time/t2).

Args:
    t1: the relaxation time (positive).
    t2: the dephasing time (positive, at most 2 * t1).
    time: how long the qubit idles (non-negative), in the same unit.

Returns:
    Channel: amplitude damping by 1 - exp(-time/t1) and the pure dephasing that
    completes exp(-time/t2).

Example:
    >>> thermal_relaxation(50.0, 70.0, 1.0)
    thermal_relaxation(50.0, 70.0, 1.0)
)DOC");
    m.def(
        "kraus",
        [](nb::handle operators) {
            std::vector<Matrix> ops;
            if (PyUnicode_Check(operators.ptr()) || PyBytes_Check(operators.ptr()))
                throw nb::type_error("kraus: expected a list of matrices, got str");
            for (nb::handle op : nb::iter(operators)) ops.push_back(to_operator(op));
            return kestrix::kraus_channel(std::move(ops));
        },
        nb::arg("operators"),
        nb::sig("def kraus(operators: collections.abc.Iterable[numpy.typing.ArrayLike]) -> "
                "Channel"),
        R"DOC(A channel given by its Kraus operators.

Args:
    operators: 2**k x 2**k matrices (k = 1 to 3; index bit j = the channel's j-th
        qubit) with sum K^dagger K = I within 1e-10.

Returns:
    Channel: the channel; ValueError for operators that are not complete.

Example:
    >>> import numpy as np
    >>> kraus([np.sqrt(0.9) * np.eye(2), np.sqrt(0.1) * np.array([[0, 1], [1, 0]])])
    kraus(<2 operators, 2x2>)
)DOC");
    m.def(
        "readout_error",
        [](nb::handle p01, nb::handle p10) {
            return kestrix::readout_error(to_real(p01, "p01"), to_real(p10, "p10"));
        },
        nb::arg("p01"), nb::arg("p10"),
        nb::sig("def readout_error(p01: float, p10: float) -> Channel"),
        R"DOC(A confusion matrix on each measured qubit.

Args:
    p01: the probability that a 0 reads as 1.
    p10: the probability that a 1 reads as 0.

Returns:
    Channel: a readout error, for NoiseModel.add; it flips measurement results, never
    the state.

Example:
    >>> readout_error(0.02, 0.05)
    readout_error(0.02, 0.05)
)DOC");

    nb::class_<NoiseModel> model(m, "NoiseModel", R"DOC(Which channels follow which gates.

A model is a list of rules, applied in the order they were added. It compares equal
to a model with the same rules, pickles and copies (not hashable: it changes).

Example:
    >>> m = NoiseModel()
    >>> m.add(depolarizing(0.01), ["H", "RX"])
    >>> m.add(depolarizing(0.02, num_qubits=2), ["CNOT"])
    >>> m.add(readout_error(0.01, 0.03), qubits=[0])
    >>> m
    NoiseModel(
        depolarizing(0.01) after ['H', 'RX'],
        depolarizing(0.02, num_qubits=2) after ['CNOT'],
        readout_error(0.01, 0.03) on measurements of qubits [0],
    )
)DOC");
    model.def(nb::init<>(), "An empty model: no noise.")
        .def("add", &add_rule, nb::arg("channel"), nb::arg("gates") = nb::none(),
             nb::arg("qubits") = nb::none(),
             nb::sig("def add(self, channel: Channel, gates: str | collections.abc.Iterable[str] | "
                     "None = None, qubits: int | collections.abc.Iterable[int] | None = None) "
                     "-> None"),
             R"DOC(Attaches a channel after gates, or a readout error to measurements.

A one-qubit channel follows each qubit of a matching gate (targets and controls) that
lies in `qubits`; a k-qubit channel follows gates on exactly k qubits, all of them in
`qubits`, on the gate's qubits in order (operands, then controls).

Args:
    channel: a Channel.
    gates: gate names as the SDK writes them ("H", "CNOT", "RX", ...); every gate when
        None. Must be None for a readout error.
    qubits: the qubits it applies on; every qubit when None.

Returns:
    None: the model changes in place.

Example:
    >>> m = NoiseModel()
    >>> m.add(bit_flip(0.1), "X", qubits=[0])
    >>> len(m.rules)
    1
)DOC")
        .def_prop_ro(
            "rules",
            [](const NoiseModel& model) {
                nb::list out;
                for (const NoiseRule& r : model.rules())
                    out.append(nb::make_tuple(r.channel, nb::cast(r.gates), nb::cast(r.qubits)));
                return out;
            },
            nb::sig("def rules(self) -> list[tuple[Channel, list[str] | None, list[int] | None]]"),
            "(channel, gates, qubits) for each rule, in the order added.")
        .def("__repr__", &model_repr)
        .def("__reduce__",
             [](const NoiseModel& model) {
                 nb::list rules;
                 for (const NoiseRule& r : model.rules())
                     rules.append(nb::make_tuple(r.channel, nb::cast(r.gates), nb::cast(r.qubits)));
                 return nb::make_tuple(nb::module_::import_("kestrix._noise").attr("_model"),
                                       nb::make_tuple(rules));
             })
        .def("__copy__", [](const NoiseModel& model) { return NoiseModel(model); })
        .def(
            "__deepcopy__", [](const NoiseModel& model, nb::handle) { return NoiseModel(model); },
            nb::arg("memo"));
    kestrix::py::make_comparable(model,
                                 [](const NoiseModel& a, const NoiseModel& b) { return a == b; });
    m.def(
        "_model",
        [](nb::handle rules) {
            NoiseModel model;
            for (nb::handle rule : nb::iter(rules)) {
                nb::tuple t = nb::cast<nb::tuple>(rule);
                if (t.size() != 3) throw nb::value_error("cannot read this NoiseModel");
                add_rule(model, t[0], t[1], t[2]);
            }
            return model;
        },
        nb::arg("rules"), "Rebuilds a pickled noise model.");

    kestrix::py::add_signatures(m);
}
