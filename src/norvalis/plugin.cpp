// norvalis.plugin: the circuit and result helpers that the algorithm modules star-import.
#include <algorithm>
#include <cmath>
#include <numbers>
#include <numeric>
#include <vector>

#include "norvalis/frame/frame.h"

namespace {

using namespace norvalis::frame;

long long select_max_of(nb::handle value) {
    if (PyBool_Check(value.ptr()) || !PyLong_Check(value.ptr()))
        raise(PyExc_TypeError, "select_max must be an int, got %s", Py_TYPE(value.ptr())->tp_name);
    return as_long(value);
}

nb::object new_float(double value) {
    PyObject* f = PyFloat_FromDouble(value);
    if (!f) throw nb::python_error();
    return nb::steal(f);
}

// Keeps the `select_max` largest probabilities (earlier entries win ties), zeroing the
// rest; select_max <= 0 keeps all. Then scales the kept ones to sum to 1.
std::vector<bool> keep_largest_and_normalise(std::vector<double>& probs, long long select_max) {
    std::vector<bool> kept(probs.size(), true);
    if (select_max > 0 && size_t(select_max) < probs.size()) {
        std::vector<size_t> order(probs.size());
        std::iota(order.begin(), order.end(), size_t{0});
        std::nth_element(
            order.begin(), order.begin() + select_max, order.end(),
            [&](size_t a, size_t b) { return probs[a] != probs[b] ? probs[a] > probs[b] : a < b; });
        std::fill(kept.begin(), kept.end(), false);
        for (long long k = 0; k < select_max; ++k) kept[order[k]] = true;
    }
    double total = 0;
    for (size_t k = 0; k < probs.size(); ++k) total += kept[k] ? probs[k] : 0.0;
    if (!(total > 0) || !std::isfinite(total)) {
        raise(PyExc_ValueError, "the probabilities must have a positive finite sum, got %S",
              new_float(total).ptr());
    }
    for (size_t k = 0; k < probs.size(); ++k) probs[k] = kept[k] ? probs[k] / total : 0.0;
    return kept;
}

// A result is read from a snapshot, since a probability's __float__ may change `res`; one
// that changed size meanwhile is refused, as Python refuses a dict changed while iterated,
// rather than answered from data the caller no longer holds.
void check_unchanged(nb::handle res, Py_ssize_t size) {
    const Py_ssize_t now = PyObject_Size(res.ptr());
    if (now < 0) throw nb::python_error();
    if (now != size)
        raise(PyExc_RuntimeError, "res changed size while it was read (%zd entries, now %zd)", size,
              now);
}

// The string read backwards; bit strings are ASCII and take the fast path.
nb::object reversed_string(PyObject* text) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_IS_ASCII(text)) {
        PyObject* out = PyUnicode_New(n, 127);
        if (!out) throw nb::python_error();
        const Py_UCS1* from = PyUnicode_1BYTE_DATA(text);
        Py_UCS1* to = PyUnicode_1BYTE_DATA(out);
        for (Py_ssize_t k = 0; k < n; ++k) to[k] = from[n - 1 - k];
        return nb::steal(out);
    }
    nb::object range = nb::steal(PySlice_New(nullptr, nullptr, nb::int_(-1).ptr()));
    PyObject* out = PyObject_GetItem(text, range.ptr());
    if (!out) throw nb::python_error();
    return nb::steal(out);
}

Circuit hadamard_circuit(const Call& call) {
    auto [qubits] = call.args<1>();
    Circuit c;
    for (int q : to_index_list(qubits, "qubit")) c.append(make_gate(GateKind::H, {q}));
    return c;
}

Circuit apply_QGate(const Call& call) {
    auto [qubits, gate] = call.args<2>();
    Circuit c;
    for (nb::handle q : listed(qubits)) append(c, gate(q));
    return c;
}

Circuit QFT(const Call& call) {
    auto [qubits] = call.args<1>();
    const std::vector<int> q = to_index_list(qubits, "qubit");
    const int n = int(q.size());
    // Textbook construction on the list read highest qubit first, then a reversal by swaps.
    Circuit c;
    for (int j = n - 1; j >= 0; --j) {
        c.append(make_gate(GateKind::H, {q[j]}));
        for (int k = j - 1; k >= 0; --k) {
            c.append(
                make_gate(GateKind::CR, {q[k], q[j]}, {std::numbers::pi / std::ldexp(1.0, j - k)}));
        }
    }
    for (int k = 0; k < n / 2; ++k) c.append(make_gate(GateKind::SWAP, {q[k], q[n - 1 - k]}));
    return c;
}

Circuit measure_all(const Call& call) {
    auto [qubits, cbits] = call.args<2>();
    const std::vector<int> q = to_index_list(qubits, "qubit");
    const std::vector<int> c = to_index_list(cbits, "classical bit");
    if (q.size() != c.size()) {
        raise(PyExc_ValueError, "measure_all: %zu qubits but %zu classical bits", q.size(),
              c.size());
    }
    kestrix::check_distinct_qubits(q, "measure_all");
    Circuit out;
    for (size_t k = 0; k < q.size(); ++k) out.append(make_measure(q[k], c[k]));
    return out;
}

nb::object parse_quantum_result_dict(const Call& call) {
    auto [res, qubits, select_max] = call.args<3>();
    if (!PyDict_Check(res.ptr()))
        raise(PyExc_TypeError, "res must be a dict, got %s", Py_TYPE(res.ptr())->tp_name);
    const size_t width = to_index_list(qubits, "qubit").size();
    // A snapshot of the items: a probability's __float__ may change `res`.
    nb::object items = nb::steal(PyDict_Items(res.ptr()));
    if (!items.is_valid()) throw nb::python_error();
    const Py_ssize_t size = PyList_GET_SIZE(items.ptr());
    std::vector<double> probs(static_cast<size_t>(size));
    for (Py_ssize_t k = 0; k < size; ++k) {
        PyObject* key = PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), k), 0);
        if (!PyUnicode_Check(key)) {
            raise(PyExc_TypeError, "keys of res must be bit strings, got %s",
                  Py_TYPE(key)->tp_name);
        }
        if (size_t(PyUnicode_GET_LENGTH(key)) != width) {
            raise(PyExc_ValueError, "key '%U' has %zd characters but %zu qubits were given", key,
                  PyUnicode_GET_LENGTH(key), width);
        }
        probs[k] = as_double(PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), k), 1));
    }
    check_unchanged(res, size);
    const std::vector<bool> kept = keep_largest_and_normalise(probs, select_max_of(select_max));
    // Presized: a million-entry result would otherwise rehash twenty times.
    nb::object out = nb::steal(_PyDict_NewPresized(size));
    if (!out.is_valid()) throw nb::python_error();
    for (Py_ssize_t k = 0; k < size; ++k) {
        if (!kept[k]) continue;
        PyObject* key = PyTuple_GET_ITEM(PyList_GET_ITEM(items.ptr(), k), 0);
        nb::object bits = reversed_string(key), p = new_float(probs[k]);
        if (PyDict_SetItem(out.ptr(), bits.ptr(), p.ptr()) < 0) throw nb::python_error();
    }
    return out;
}

nb::object parse_quantum_result_list(const Call& call) {
    auto [res, qubits, select_max] = call.args<3>();
    const size_t width = to_index_list(qubits, "qubit").size();
    // A copy, not a view: a probability's __float__ may change `res`.
    nb::object items = as_list(res);
    const Py_ssize_t size = PyList_GET_SIZE(items.ptr());
    if (width >= 63 || size_t(size) != (size_t{1} << width)) {
        raise(PyExc_ValueError, "res has %zd probabilities but %zu qubits need 2**%zu", size, width,
              width);
    }
    std::vector<double> probs(static_cast<size_t>(size));
    for (Py_ssize_t k = 0; k < size; ++k) probs[k] = as_double(PyList_GET_ITEM(items.ptr(), k));
    check_unchanged(res, size);
    keep_largest_and_normalise(probs, select_max_of(select_max));
    nb::object out = nb::steal(PyList_New(size));
    if (!out.is_valid()) throw nb::python_error();
    for (Py_ssize_t k = 0; k < size; ++k)
        PyList_SET_ITEM(out.ptr(), k, new_float(probs[k]).release().ptr());
    return out;
}

}  // namespace

// The stubs' type of a qubit list: NumPy integer arrays are taken as well.
constexpr const char* kQubits = "collections.abc.Sequence[int] | numpy.typing.ArrayLike";

NORVALIS_MODULE(plugin, m) {
    nb::module_::import_("kestrix.core");
    m.globals()["__all__"] =
        nb::make_tuple("hadamard_circuit", "apply_QGate", "QFT", "measure_all",
                       "parse_quantum_result_dict", "parse_quantum_result_list");

    m.def("hadamard_circuit", hadamard_circuit,
          {arg("qubits").typed(kQubits), returns("kestrix.core.QCircuit")},
          "A circuit with one H on every qubit of the list.");

    m.def("apply_QGate", apply_QGate,
          {arg("qubits").typed("int | collections.abc.Sequence[int]"),
           arg("gate").typed("collections.abc.Callable[[int], kestrix.core.QGate]"),
           returns("kestrix.core.QCircuit")},
          R"DOC(
A circuit applying `gate(q)` once to every qubit q of the list (a lone qubit
counts as a list of one); `gate` is a one-qubit gate constructor such as H
or X.
)DOC");

    m.def("QFT", QFT, {arg("qubits").typed(kQubits), returns("kestrix.core.QCircuit")}, R"DOC(
The quantum Fourier transform on the list, the first qubit least
significant: |x> -> sum_y exp(2 pi i x y / 2^n) |y> / sqrt(2^n). Its
dagger() is the inverse.
)DOC");

    m.def("measure_all", measure_all,
          {arg("qubits").typed(kQubits), arg("cbits").typed(kQubits),
           returns("kestrix.core.QCircuit")},
          R"DOC(
Measurements of qubits[i] into classical bit cbits[i], appendable to a
QProg.
)DOC");

    m.def("parse_quantum_result_dict", parse_quantum_result_dict,
          {arg("res").typed("collections.abc.Mapping[str, float]"), arg("qubits").typed(kQubits),
           arg("select_max", -1).typed("int"), returns("dict[str, float]")},
          R"DOC(
Reads get_prob_dict(qubits) the other way round: character j of each key is
the value of qubits[j]. Keeps the select_max most probable outcomes (all
when -1), scaled to sum to 1, in the order of `res`.
)DOC");

    m.def("parse_quantum_result_list", parse_quantum_result_list,
          {arg("res").typed("collections.abc.Sequence[float]"), arg("qubits").typed(kQubits),
           arg("select_max", -1).typed("int"), returns("list[float]")},
          R"DOC(
The 2**len(qubits) probabilities of get_prob_list(qubits), indexed by the
integer whose bit k is qubits[k]; keeps the select_max most probable (all
when -1, the others set to 0), scaled to sum to 1.
)DOC");
}
