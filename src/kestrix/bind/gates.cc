// QGate and the gate constructors H(q), RX(q, t), CNOT(c, t), UNITARY(qubits, m), ...
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <vector>

#include "convert.h"
#include "core.h"
#include "kestrix/lib/gate.h"
#include "kestrix/lib/matrix.h"

namespace kestrix::py {

namespace {

std::string gate_repr(const Gate& g) {
    std::ostringstream out;
    out.precision(17);
    if (g.kind == GateKind::BARRIER) {
        out << "BARRIER([";
        for (size_t k = 0; k < g.qubits.size(); ++k) out << (k ? ", " : "") << g.qubits[k];
        out << "])";
        return out.str();
    }
    out << (g.kind == GateKind::MEASURE ? "measure" : gate_name(g.kind)) << "(";
    if (g.kind == GateKind::UNITARY) out << "[";
    for (size_t k = 0; k < g.qubits.size(); ++k) out << (k ? ", " : "") << g.qubits[k];
    if (g.kind == GateKind::UNITARY) {
        const size_t dim = size_t{1} << g.qubits.size();
        out << "], <" << dim << "x" << dim << " matrix>";
    }
    if (g.kind == GateKind::MEASURE) out << ", " << g.cbit;
    for (double p : g.params) out << ", " << p;
    out << ")";
    if (!g.controls.empty()) {
        out << ".control([";
        for (size_t k = 0; k < g.controls.size(); ++k) out << (k ? ", " : "") << g.controls[k];
        out << "])";
    }
    if (g.dagger) out << ".dagger()";
    return out.str();
}

// Gates without angles on the lowest qubits are made once and handed out again: a gate is
// immutable (control() and dagger() return new ones), and the small circuits of kernels
// and losses are built from thousands of the same H(0) and CNOT(0, 1).
constexpr int kCachedQubits = 16;
constexpr size_t kCacheSlots = (size_t(GateKind::MEASURE) + 1) * kCachedQubits * kCachedQubits;

// A list that the module owns, so that the cached gates go away with the module at exit.
PyObject* g_gate_cache = nullptr;

nb::object cached_gate(GateKind kind, const QubitList& qubits) {
    const size_t slot = (size_t(kind) * kCachedQubits + size_t(qubits[0])) * kCachedQubits +
                        (qubits.size() == 2 ? size_t(qubits[1]) : 0);
    PyObject* gate = PyList_GET_ITEM(g_gate_cache, slot);
    if (gate == Py_None) {
        nb::object made = nb::cast(make_gate(kind, qubits));
        PyList_SetItem(g_gate_cache, slot, made.inc_ref().ptr());
        return made;
    }
    return nb::borrow(gate);
}

// Binds a constructor taking `arity` qubits and `params` angles, e.g. U3(q, theta, phi, lam).
void bind_gate(nb::module_& m, GateKind kind, const char* signature, const char* doc) {
    const int arity = gate_arity(kind), nparams = gate_param_count(kind);
    m.def(
        gate_name(kind),
        [kind, arity, nparams](nb::args args) -> nb::object {
            const char* name = gate_name(kind);
            if (int(args.size()) != arity + nparams) {
                throw nb::type_error(
                    (std::string(name) + "() takes " + std::to_string(arity + nparams) +
                     " arguments (" + std::to_string(arity) + " qubit(s), " +
                     std::to_string(nparams) + " angle(s)), got " + std::to_string(args.size()))
                        .c_str());
            }
            QubitList qubits;
            ParamList params;
            for (int k = 0; k < arity; ++k) qubits.push_back(to_index(args[k], "qubit"));
            if (nparams == 0 && arity <= 2 &&
                std::all_of(qubits.begin(), qubits.end(), [](int q) { return q < kCachedQubits; }))
                return cached_gate(kind, qubits);
            for (int k = 0; k < nparams; ++k) params.push_back(to_angle(args[arity + k], "angle"));
            return nb::cast(make_gate(kind, std::move(qubits), std::move(params)));
        },
        nb::sig((std::string("def ") + signature + " -> QGate").c_str()), doc);
}

// Any array-like of numbers, read through NumPy as a square complex matrix, row-major.
std::vector<cplx> to_complex_matrix(nb::handle data) {
    static nb::object* asarray = new nb::object(nb::module_::import_("numpy").attr("asarray"));
    static nb::object* complex128 =
        new nb::object(nb::module_::import_("numpy").attr("complex128"));
    nb::object array = (*asarray)(data, nb::arg("dtype") = *complex128);
    if (nb::cast<int>(array.attr("ndim")) != 2) {
        throw nb::value_error(("UNITARY: the matrix must be two-dimensional, got shape " +
                               std::string(nb::repr(array.attr("shape")).c_str()))
                                  .c_str());
    }
    nb::object rows = array.attr("shape")[0], cols = array.attr("shape")[1];
    if (!rows.equal(cols)) {
        throw nb::value_error(("UNITARY: the matrix must be square, got shape " +
                               std::string(nb::repr(array.attr("shape")).c_str()))
                                  .c_str());
    }
    nb::object contiguous = nb::module_::import_("numpy").attr("ascontiguousarray")(array);
    Py_buffer view;
    if (PyObject_GetBuffer(contiguous.ptr(), &view, PyBUF_C_CONTIGUOUS) != 0)
        throw nb::python_error();
    const cplx* begin = static_cast<const cplx*>(view.buf);
    std::vector<cplx> m(begin, begin + view.len / sizeof(cplx));
    PyBuffer_Release(&view);
    return m;
}

using ComplexMatrix = nb::ndarray<nb::numpy, cplx, nb::ndim<2>>;

ComplexMatrix to_numpy(const std::vector<cplx>& m) {
    const size_t dim = size_t(std::llround(std::sqrt(double(m.size()))));
    cplx* copy = new cplx[m.size()];
    std::copy(m.begin(), m.end(), copy);
    nb::capsule owner(copy, [](void* p) noexcept { delete[] static_cast<cplx*>(p); });
    return ComplexMatrix(copy, {dim, dim}, owner);
}

}  // namespace

void bind_gates(nb::module_& m) {
    nb::list cache;
    for (size_t k = 0; k < kCacheSlots; ++k) cache.append(nb::none());
    m.attr("_gate_cache") = cache;
    g_gate_cache = cache.ptr();
    nb::class_<Gate>(m, "QGate",
                     "One gate: its name, operand qubits, controls, angles and dagger flag.")
        .def_prop_ro("name", [](const Gate& g) { return std::string(gate_name(g.kind)); })
        .def_prop_ro("qubits", [](const Gate& g) { return g.qubits.to_vector(); })
        .def_prop_ro("controls", [](const Gate& g) { return g.controls.to_vector(); })
        .def_prop_ro("params", [](const Gate& g) { return g.params.to_vector(); })
        .def_prop_ro(
            "is_dagger", [](const Gate& g) { return g.dagger; },
            "Whether the gate runs as its adjoint (dagger() is the method that flips it).")
        .def_prop_ro(
            "cbit",
            [](const Gate& g) -> nb::object {
                if (g.kind != GateKind::MEASURE) return nb::none();
                return nb::int_(g.cbit);
            },
            "The classical bit of a measurement, else None.")
        .def(
            "control",
            [](const Gate& g, nb::handle qubits) {
                return g.controlled(to_index_list(qubits, "control qubit"));
            },
            nb::arg("qubits"), "A new gate that acts only when every control qubit is 1.")
        .def("dagger", &Gate::daggered, "A new gate: the adjoint of this one.")
        .def_prop_ro(
            "matrix",
            [](const Gate& g) -> nb::object {
                if (!g.matrix) return nb::none();
                return nb::cast(to_numpy(*g.matrix));
            },
            "The matrix a UNITARY gate was made from (its dagger flag not applied), else "
            "None.")
        .def("__eq__", [](const Gate& a, const Gate& b) { return a == b; })
        .def("__hash__", [](const Gate& g) { return hash_value(g); })
        .def("__repr__", &gate_repr);

    bind_gate(m, GateKind::H, "H(qubit)", "Hadamard gate.");
    bind_gate(m, GateKind::X, "X(qubit)", "Pauli X (NOT) gate.");
    bind_gate(m, GateKind::Y, "Y(qubit)", "Pauli Y gate.");
    bind_gate(m, GateKind::Z, "Z(qubit)", "Pauli Z gate.");
    bind_gate(m, GateKind::I, "I(qubit)", "Identity gate.");
    bind_gate(m, GateKind::RX, "RX(qubit, theta)",
              "exp(-i theta X / 2); RX(q, 2*pi) is minus the identity.");
    bind_gate(m, GateKind::RY, "RY(qubit, theta)", "exp(-i theta Y / 2).");
    bind_gate(m, GateKind::RZ, "RZ(qubit, theta)",
              "exp(-i theta Z / 2) = diag(e^{-i theta/2}, e^{i theta/2}).");
    bind_gate(m, GateKind::U1, "U1(qubit, theta)", "diag(1, e^{i theta}).");
    bind_gate(m, GateKind::U2, "U2(qubit, phi, lam)",
              "U3(qubit, pi/2, phi, lam); U2(q, 0, pi) acts as a Hadamard.");
    bind_gate(m, GateKind::U3, "U3(qubit, theta, phi, lam)",
              "[[cos(theta/2), -e^{i lam} sin(theta/2)], [e^{i phi} sin(theta/2), e^{i(phi+lam)} "
              "cos(theta/2)]].");
    bind_gate(m, GateKind::CNOT, "CNOT(control, target)", "X on target when control is 1.");
    bind_gate(m, GateKind::CZ, "CZ(control, target)", "Z on target when control is 1 (symmetric).");
    bind_gate(m, GateKind::CR, "CR(control, target, theta)", "diag(1, 1, 1, e^{i theta}).");
    bind_gate(m, GateKind::SWAP, "SWAP(a, b)", "Exchanges two qubits.");
    bind_gate(m, GateKind::TOFFOLI, "TOFFOLI(c1, c2, target)",
              "X on target when both controls are 1.");

    m.def(
        "UNITARY",
        [](nb::handle qubits, nb::handle matrix) {
            // The qubits are read first, as for every gate (argument order is unspecified).
            const std::vector<int> targets = to_index_list(qubits, "qubit");
            return make_unitary(QubitList(targets), to_complex_matrix(matrix));
        },
        nb::arg("qubits"), nb::arg("matrix"), nb::sig("def UNITARY(qubits, matrix) -> QGate"),
        "A gate given by its unitary matrix, on 1 to 6 qubits: `matrix` is 2**k x 2**k over "
        "the index whose bit j is qubits[j] (the first qubit least significant), checked to "
        "be unitary within 1e-8. It controls, inverts, draws and runs like any gate.");
    m.def(
        "BARRIER",
        [](nb::handle qubits) {
            return make_gate(GateKind::BARRIER, to_index_list(qubits, "qubit"));
        },
        nb::arg("qubits"), nb::sig("def BARRIER(qubits) -> QGate"),
        "A marker for drawings; it has no effect on the state.");
    m.def(
        "measure",
        [](nb::handle qubits, nb::handle cbits) -> nb::object {
            std::vector<int> q = to_index_list(qubits, "qubit");
            std::vector<int> c = to_index_list(cbits, "classical bit");
            if (q.size() != c.size()) {
                throw nb::value_error(("measure: " + std::to_string(q.size()) + " qubits but " +
                                       std::to_string(c.size()) + " classical bits")
                                          .c_str());
            }
            if (is_integer_scalar(qubits)) return nb::cast(make_measure(q[0], c[0]));
            check_distinct_qubits(q, "measure");
            Circuit out;
            for (size_t k = 0; k < q.size(); ++k) out.append(make_measure(q[k], c[k]));
            return nb::cast(std::move(out));
        },
        nb::arg("qubits"), nb::arg("cbits"), nb::sig("def measure(qubits, cbits)"),
        "Measures qubits[i] into classical bit cbits[i]. With one qubit "
        "and one bit, a single measurement gate; with lists, a circuit of measurements.");
}

}  // namespace kestrix::py
