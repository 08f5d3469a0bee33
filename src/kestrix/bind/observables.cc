// PauliSum and expval: Pauli observables and their expectation values, computed in C++ on
// the amplitudes (see kestrix/lib/run/pauli.h for the C++ API).
#include "observables.h"

#include <nanobind/ndarray.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cmath>
#include <optional>
#include <string>

#include "kestrix/lib/io/codec.h"
#include "kestrix/lib/io/number_text.h"
#include "kestrix/lib/ir/program.h"
#include "kestrix/lib/run/pauli.h"
#include "kestrix/lib/run/statevector.h"
#include "kestrix/py/compare.h"
#include "kestrix/py/convert.h"
#include "kestrix/py/pickling.h"
#include "kestrix/py/run.h"

namespace kestrix::py {

namespace {

// A real coefficient: complex ones are accepted when their imaginary part is 0, since an
// observable with another coefficient is not Hermitian and has no real expectation.
double to_coefficient(nb::handle value, const std::string& label) {
    if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) || PyBool_Check(value.ptr()))
        throw nb::type_error(("PauliSum: the coefficient of '" + label +
                              "' must be a number, got " + type_name_of(value))
                                 .c_str());
    const Py_complex c = PyComplex_AsCComplex(value.ptr());
    if (c.real == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        throw nb::type_error(("PauliSum: the coefficient of '" + label +
                              "' must be a number, got " + type_name_of(value))
                                 .c_str());
    }
    if (c.imag != 0) {
        throw nb::value_error(("PauliSum: the coefficient of '" + label +
                               "' must be real (the observable must be Hermitian), got " +
                               nb::repr(value).c_str())
                                  .c_str());
    }
    if (!std::isfinite(c.real)) {
        throw nb::value_error(
            ("PauliSum: the coefficient of '" + label + "' must be finite").c_str());
    }
    return c.real;
}

std::string to_label(nb::handle value) {
    if (!PyUnicode_Check(value.ptr()))
        throw nb::type_error(
            ("PauliSum: a Pauli label must be a str, got " + type_name_of(value)).c_str());
    return nb::cast<std::string>(value);
}

// Each item of an iterable, as a tuple of `size` values (snapshotted first: user code in
// __iter__ or __float__ may change the container).
std::vector<nb::tuple> rows(nb::handle terms, size_t size, const char* shape) {
    nb::object list = nb::steal(PySequence_List(terms.ptr()));
    if (!list.is_valid()) {
        PyErr_Clear();
        throw nb::type_error(
            ("PauliSum: terms must be " + std::string(shape) + ", got " + type_name_of(terms))
                .c_str());
    }
    std::vector<nb::tuple> out;
    for (nb::handle item : list) {
        nb::object t = nb::steal(PySequence_Tuple(item.ptr()));
        if (!t.is_valid() || nb::len(t) != size || PyUnicode_Check(item.ptr())) {
            PyErr_Clear();
            throw nb::type_error(("PauliSum: each term must be " + std::string(shape) + ", got " +
                                  nb::repr(item).c_str())
                                     .c_str());
        }
        out.push_back(nb::borrow<nb::tuple>(t));
    }
    return out;
}

int width_of(nb::handle num_qubits, int needed) {
    if (num_qubits.is_none()) return needed;
    const int n = to_index(num_qubits, "num_qubits");
    if (n < needed) {
        throw nb::value_error(("PauliSum: num_qubits is " + std::to_string(n) +
                               " but a term acts on " + std::to_string(needed) + " qubits")
                                  .c_str());
    }
    if (n > kMaxPauliQubits) throw nb::value_error("PauliSum: at most 64 qubits");
    return n;
}

// "ZZ", {"ZZ": 1, "XI": 0.5} or [("ZZ", 1), ("XI", 0.5)]: labels of equal length, qubit 0 last.
PauliSum from_labels(nb::handle terms, nb::handle num_qubits) {
    std::vector<std::pair<std::string, double>> parsed;
    if (PyUnicode_Check(terms.ptr())) {
        parsed.emplace_back(to_label(terms), 1.0);
    } else {
        nb::handle source = terms;
        nb::object items;
        if (PyDict_Check(terms.ptr())) source = items = terms.attr("items")();
        for (const nb::tuple& t :
             rows(source, 2, "a label, a dict or (label, coefficient) pairs")) {
            std::string label = to_label(t[0]);
            const double c = to_coefficient(t[1], label);
            parsed.emplace_back(std::move(label), c);
        }
    }
    PauliSum out;
    int width = -1;
    for (auto& [label, c] : parsed) {
        if (width >= 0 && int(label.size()) != width) {
            throw nb::value_error(("PauliSum: every label must have the same length, got '" +
                                   parsed.front().first + "' and '" + label + "'")
                                      .c_str());
        }
        width = int(label.size());
        out.terms.push_back({PauliString::from_label(label), c});
    }
    out.num_qubits = width_of(num_qubits, std::max(width, 0));
    return out;
}

PauliSum from_sparse(nb::handle terms, nb::handle num_qubits) {
    PauliSum out;
    int needed = 0;
    for (const nb::tuple& t : rows(terms, 3, "(letters, qubits, coefficient) triples")) {
        const std::string letters = to_label(t[0]);
        const std::vector<int> qubits = to_index_list(t[1], "qubit");
        const PauliString p = PauliString::from_sparse(letters, qubits);
        out.terms.push_back({p, to_coefficient(t[2], letters)});
        for (int q : qubits) needed = std::max(needed, q + 1);
    }
    out.num_qubits = width_of(num_qubits, needed);
    return out;
}

std::vector<std::pair<std::string, double>> terms_of(const PauliSum& p) {
    std::vector<std::pair<std::string, double>> out;
    for (const PauliTerm& t : p.terms) out.emplace_back(t.pauli.label(p.num_qubits), t.coefficient);
    return out;
}

std::string sum_repr(const PauliSum& p) {
    std::string out = "PauliSum([";
    for (size_t k = 0; k < p.terms.size(); ++k) {
        out += (k ? ", ('" : "('") + p.terms[k].pauli.label(p.num_qubits) + "', " +
               shortest_text(p.terms[k].coefficient) + ")";
    }
    out += "]";
    // Labels of an empty sum carry no width: say it.
    if (p.terms.empty() && p.num_qubits) out += ", num_qubits=" + std::to_string(p.num_qubits);
    return out + ")";
}

PauliSum combined(const PauliSum& a, const PauliSum& b, double sign) {
    PauliSum out = a;
    out.num_qubits = std::max(a.num_qubits, b.num_qubits);
    for (PauliTerm t : b.terms) {
        t.coefficient *= sign;
        out.terms.push_back(t);
    }
    return out;
}

PauliSum scaled(const PauliSum& a, double factor) {
    PauliSum out = a;
    for (PauliTerm& t : out.terms) t.coefficient *= factor;
    return out;
}

// The state an expectation is taken on: a StateVector as it is (read in place: a copy of
// a large state would double the memory), or a circuit run from the all-zero state over at
// least the observable's qubits, kept in `holder`.
const StateVector& state_for(nb::handle target, int min_qubits, std::optional<StateVector>& holder,
                             std::optional<Precision> precision = std::nullopt) {
    if (nb::isinstance<StateVector>(target)) {
        const StateVector& state = instance<StateVector>(target);
        if (precision && *precision != state.precision()) {
            throw nb::value_error((std::string("expval: the state is in ") +
                                   precision_name(state.precision()) + " precision, not " +
                                   precision_name(*precision))
                                      .c_str());
        }
        return state;
    }
    int width = min_qubits;
    if (nb::isinstance<Program>(target)) width = std::max(width, instance<Program>(target).width());
    if (!nb::isinstance<Gate>(target) && !nb::isinstance<Circuit>(target) &&
        !nb::isinstance<Program>(target)) {
        throw nb::type_error(("expval: expected a StateVector, QCircuit, QProg or QGate, got " +
                              type_name_of(target))
                                 .c_str());
    }
    const Circuit c = to_circuit(target);
    if (c.has_measurement())
        throw nb::value_error("expval: the circuit has measurements; pass it without them");
    return holder.emplace(
        evolve(c, std::max(width, c.width()), precision.value_or(Precision::Double)));
}

// expval over rows of parameter values: the circuit planned once (see expectation_sweep).
nb::object expval_rows(const PauliSum& h, nb::handle target, nb::handle shots, nb::handle seed,
                       nb::handle parameter_values) {
    if (!nb::isinstance<Gate>(target) && !nb::isinstance<Circuit>(target) &&
        !nb::isinstance<Program>(target)) {
        throw nb::type_error(("expval: parameter_values needs a QCircuit, QProg or QGate, got " +
                              type_name_of(target))
                                 .c_str());
    }
    const Circuit c = to_circuit(target);
    int n = std::max(h.num_qubits, c.width());
    if (nb::isinstance<Program>(target)) n = std::max(n, instance<Program>(target).width());
    std::vector<double> storage;
    const ParameterRows rows = parameter_rows(c, parameter_values, storage);
    std::optional<uint64_t> count;
    std::vector<uint64_t> seeds;
    if (!shots.is_none()) {
        count = to_count(shots, "shots");
        Rng draw(to_seed(seed).value_or(seed_from_numpy()));
        for (size_t i = 0; i < rows.rows(); ++i) seeds.push_back(draw());
    }
    const std::vector<double> values =
        interruptible_work(kReleaseGilWork, [&](const InterruptCheck& check) {
            return expectation_sweep(h, c, n, rows, count, seeds, check);
        });
    return nb::cast(to_numpy(values.data(), {values.size()}));
}

}  // namespace

const PauliSum& as_observable(nb::handle value, PauliSum& holder) {
    if (nb::isinstance<PauliSum>(value)) return instance<PauliSum>(value);
    if (PyUnicode_Check(value.ptr())) return holder = from_labels(value, nb::none());
    throw nb::type_error(
        ("expval: the observable must be a PauliSum or a Pauli label, got " + type_name_of(value))
            .c_str());
}

void bind_observables(nb::module_& m) {
    nb::class_<PauliSum> cls(m, "PauliSum",
                             R"DOC(A Pauli observable: real coefficients times Pauli strings.

Labels read as bit strings do: the last character acts on qubit 0, so 'ZX' is X on
qubit 0 and Z on qubit 1. Sums add (+, -), scale by real numbers, compare by their
terms in order, hash, and pickle.

Example:
    >>> h = PauliSum([("ZZ", 1.0), ("XI", 0.5)])
    >>> h.num_qubits, h.terms
    (2, [('ZZ', 1.0), ('XI', 0.5)])
    >>> 2 * h - PauliSum("ZZ")
    PauliSum([('ZZ', 2.0), ('XI', 1.0), ('ZZ', -1.0)])
)DOC");
    cls.def(
           "__init__",
           [](PauliSum* self, nb::handle terms, nb::handle num_qubits) {
               new (self) PauliSum(from_labels(terms, num_qubits));
           },
           nb::arg("terms"), nb::arg("num_qubits") = nb::none(),
           nb::sig("def __init__(self, terms: str | collections.abc.Mapping[str, float] | "
                   "collections.abc.Iterable[tuple[str, float]], num_qubits: int | None = None) "
                   "-> None"),
           R"DOC(A sum of labelled Pauli strings.

Args:
    terms: one label ('XZ', coefficient 1), a dict label -> coefficient, or
        (label, coefficient) pairs; labels of one length, letters I, X, Y, Z.
    num_qubits: the observable's width (the labels' length by default).
)DOC")
        .def_static(
            "from_sparse",
            [](nb::handle terms, nb::handle num_qubits) { return from_sparse(terms, num_qubits); },
            nb::arg("terms"), nb::arg("num_qubits") = nb::none(),
            nb::sig("def from_sparse(terms: collections.abc.Iterable[tuple[str, "
                    "collections.abc.Sequence[int], float]], num_qubits: int | None = None) -> "
                    "PauliSum"),
            R"DOC(A sum of Pauli strings given on listed qubits.

Args:
    terms: (letters, qubits, coefficient) triples; letters[k] acts on qubits[k].
    num_qubits: the width (highest qubit used plus one by default).

Returns:
    PauliSum: the observable.

Example:
    >>> PauliSum.from_sparse([("XZ", [2, 0], 0.5)])
    PauliSum([('XIZ', 0.5)])
)DOC")
        .def_prop_ro("terms", &terms_of, nb::sig("def terms(self) -> list[tuple[str, float]]"),
                     "(label, coefficient) pairs, labels over num_qubits qubits, in order.")
        .def_prop_ro(
            "num_qubits", [](const PauliSum& p) { return p.num_qubits; }, "The observable's width.")
        .def(
            "to_matrix",
            [](const PauliSum& p) {
                const std::vector<cplx> m = pauli_matrix(p);
                const size_t dim = size_t{1} << p.num_qubits;
                cplx* copy = new cplx[m.size()];
                std::copy(m.begin(), m.end(), copy);
                nb::capsule owner(copy, [](void* q) noexcept { delete[] static_cast<cplx*>(q); });
                return nb::ndarray<nb::numpy, cplx>(copy, {dim, dim}, owner);
            },
            nb::sig("def to_matrix(self) -> numpy.typing.NDArray[numpy.complex128]"),
            R"DOC(The dense matrix, for small widths (at most 14 qubits).

Returns:
    numpy.ndarray: 2**n x 2**n, index bit k = qubit k.

Example:
    >>> PauliSum("ZI").to_matrix().real.diagonal()
    array([ 1.,  1., -1., -1.])
)DOC")
        .def("__len__", [](const PauliSum& p) { return p.terms.size(); })
        .def(
            "__add__",
            [](const PauliSum& a, nb::handle b) -> nb::object {
                if (!nb::isinstance<PauliSum>(b)) return nb::borrow(Py_NotImplemented);
                return nb::cast(combined(a, instance<PauliSum>(b), 1.0));
            },
            nb::arg("other").none(), nb::sig("def __add__(self, other: PauliSum) -> PauliSum"))
        .def(
            "__sub__",
            [](const PauliSum& a, nb::handle b) -> nb::object {
                if (!nb::isinstance<PauliSum>(b)) return nb::borrow(Py_NotImplemented);
                return nb::cast(combined(a, instance<PauliSum>(b), -1.0));
            },
            nb::arg("other").none(), nb::sig("def __sub__(self, other: PauliSum) -> PauliSum"))
        .def("__neg__", [](const PauliSum& a) { return scaled(a, -1.0); })
        .def(
            "__mul__",
            [](const PauliSum& a, nb::handle factor) -> nb::object {
                if (!PyNumber_Check(factor.ptr()) || PyComplex_Check(factor.ptr()))
                    return nb::borrow(Py_NotImplemented);
                return nb::cast(scaled(a, to_coefficient(factor, "factor")));
            },
            nb::arg("factor").none(), nb::sig("def __mul__(self, factor: float) -> PauliSum"))
        .def(
            "__rmul__",
            [](const PauliSum& a, nb::handle factor) -> nb::object {
                if (!PyNumber_Check(factor.ptr()) || PyComplex_Check(factor.ptr()))
                    return nb::borrow(Py_NotImplemented);
                return nb::cast(scaled(a, to_coefficient(factor, "factor")));
            },
            nb::arg("factor").none(), nb::sig("def __rmul__(self, factor: float) -> PauliSum"))
        .def("__repr__", &sum_repr);
    // A sum never changes once made (+ and * make new ones), so it hashes by its terms.
    make_comparable(
        cls, [](const PauliSum& a, const PauliSum& b) { return a == b; },
        [](const PauliSum& p) {
            size_t h = std::hash<int>()(p.num_qubits);
            for (const PauliTerm& t : p.terms) {
                h = h * 1000003 ^ std::hash<uint64_t>()(t.pauli.x * 3 + t.pauli.z);
                h = h * 1000003 ^ std::hash<double>()(t.coefficient + 0.0);
            }
            return h;
        });
    make_picklable(cls, "kestrix.quantum_info", 'Q', encode_pauli_sum, decode_pauli_sum, true);

    m.def(
        "expval",
        [](nb::handle observable, nb::handle state, nb::handle shots, nb::handle seed,
           nb::handle parameter_values, nb::handle precision_arg) -> nb::object {
            PauliSum holder;
            const PauliSum& h = as_observable(observable, holder);
            std::optional<Precision> precision;
            if (!precision_arg.is_none()) precision = to_precision(precision_arg);
            if (!parameter_values.is_none()) {
                if (precision == Precision::Single)
                    throw nb::value_error("expval: parameter_values runs in double precision only");
                return expval_rows(h, state, shots, seed, parameter_values);
            }
            std::optional<StateVector> evolved;
            const StateVector& s = state_for(state, h.num_qubits, evolved, precision);
            // One pass over the amplitudes per group of terms that share their X letters.
            const double work = double(h.terms.size() + 1) * double(s.size());
            if (shots.is_none()) {
                return nb::float_(interruptible_work(
                    work, [&](const InterruptCheck& check) { return expectation(h, s, check); }));
            }
            const uint64_t count = to_count(shots, "shots");
            Rng rng(to_seed(seed).value_or(seed_from_numpy()));
            return nb::float_(interruptible_work(work, [&](const InterruptCheck& check) {
                return sampled_expectation(h, s, count, rng, check);
            }));
        },
        nb::arg("observable"), nb::arg("state"), nb::arg("shots") = nb::none(),
        nb::arg("seed") = nb::none(), nb::kw_only(), nb::arg("parameter_values") = nb::none(),
        nb::arg("precision").none() = nb::none(),
        nb::sig("def expval(observable: PauliSum | str, state: StateVector | QCircuit | QProg | "
                "QGate, shots: int | None = None, seed: int | None = None, *, "
                "parameter_values: numpy.typing.ArrayLike | None = None, precision: str | None = "
                "None) -> float | numpy.typing.NDArray[numpy.float64]"),
        R"DOC(The expectation value <psi|H|psi> of a Pauli observable.

Computed on the amplitudes, no matrix built: one pass over the state for all the
terms that share their X and Y positions.

Args:
    observable: a PauliSum, or one Pauli label.
    state: a StateVector, or a circuit (QCircuit, QProg, QGate; no measurements)
        run from the all-zero state over at least the observable's qubits.
    shots: None for the exact value; else the estimate from this many
        measurements of each term's Pauli string (each term on its own; identity
        terms count exactly).
    seed: the sampling seed; None draws one from NumPy's global generator.
    parameter_values: for a circuit with parameters, an array of shape (rows,
        len(circuit.parameters)): the value at every row, the circuit planned once and
        the rows spread over the threads (with shots, row i samples with the i-th of
        seeds drawn in order from `seed`, or from NumPy's generator).
    precision: "double" or "single": the precision a circuit is run in (double by
        default); a StateVector is read in its own precision, which this must match
        if given. The sums are taken in double either way.

Returns:
    float: the expectation value (or its estimate); with parameter_values, a float64
    array of one per row.

Example:
    >>> bell = QCircuit() << H(0) << CNOT(0, 1)
    >>> round(expval(PauliSum([("ZZ", 1.0), ("XX", 0.5), ("ZI", 2.0)]), bell), 12)
    1.5
    >>> expval("ZZ", bell, shots=1000, seed=1)
    1.0
)DOC");
}

}  // namespace kestrix::py
