// QGate and the gate constructors H(q), RX(q, t), CNOT(c, t), UNITARY(qubits, m), ...
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>

#include "core.h"
#include "kestrix/lib/io/codec.h"
#include "kestrix/lib/io/gate_text.h"
#include "kestrix/lib/ir/gate.h"
#include "kestrix/lib/ir/matrix.h"
#include "kestrix/py/convert.h"
#include "kestrix/py/parameters.h"
#include "kestrix/py/pickling.h"

namespace kestrix::py {

namespace {

struct GateDoc {
    GateKind kind;
    std::array<const char*, 4> names;  ///< qubits first, then angles
    const char* summary;
    const char* example;  ///< a call and its repr, as a doctest
};

// The Args section: one line per parameter, qubits and angles told apart.
std::string gate_docstring(const GateDoc& d) {
    const int arity = gate_arity(d.kind), count = arity + gate_param_count(d.kind);
    std::string doc = std::string(d.summary) + "\n\nArgs:\n";
    for (int k = 0; k < count; ++k) {
        doc += std::string("    ") + d.names[k] +
               (k < arity ? ": a qubit index (int >= 0).\n"
                          : ": an angle in radians (finite real), or a Parameter or "
                            "ParameterExpression that waits for one.\n");
    }
    return doc + "\nReturns:\n    QGate: a new, immutable gate.\n\nExample:\n" + d.example;
}

std::string gate_signature(const GateDoc& d) {
    const int arity = gate_arity(d.kind), count = arity + gate_param_count(d.kind);
    std::string sig = std::string("def ") + gate_name(d.kind) + "(";
    for (int k = 0; k < count; ++k)
        sig += std::string(k ? ", " : "") + d.names[k] +
               (k < arity ? ": int" : ": float | Parameter | ParameterExpression");
    return sig + ") -> QGate";
}

// Gates without angles on the lowest qubits are made once and handed out again: a gate is
// immutable (control() and dagger() return new ones), and the small circuits of kernels
// and losses are built from thousands of the same H(0) and CNOT(0, 1).
constexpr int kCachedQubits = 16;
constexpr size_t kCachedKinds = 32;  // above every kind there is
constexpr size_t kCacheSlots = kCachedKinds * kCachedQubits * kCachedQubits;

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

// A new QGate holding `gate`, made without looking its type up on every call as nb::cast
// does: a circuit of rotations makes one per gate.
nb::object gate_object(Gate&& gate) {
    static const nb::handle type = nb::type<Gate>();
    nb::object made = nb::inst_alloc(type);
    new (nb::inst_ptr<Gate>(made)) Gate(std::move(gate));
    nb::inst_mark_ready(made);
    return made;
}

nb::object build(GateKind kind, std::initializer_list<nb::handle> args) {
    const int arity = gate_arity(kind);
    QubitList qubits;
    ParamList params;
    SymbolList symbols;
    int k = 0;
    for (nb::handle a : args) {
        if (k++ < arity) {
            qubits.push_back(to_index(a, "qubit"));
        } else if (std::optional<ParamExpr> e = to_expression(a)) {
            symbols.push_back(Symbol{int(params.size()), std::move(*e)});
            params.push_back(0);
        } else {
            params.push_back(to_angle(a, "angle"));
        }
    }
    if (!symbols.empty())
        return gate_object(
            make_symbolic_gate(kind, std::move(qubits), std::move(params), std::move(symbols)));
    if (params.empty() && arity <= 2 && size_t(kind) < kCachedKinds &&
        std::all_of(qubits.begin(), qubits.end(), [](int q) { return q < kCachedQubits; }))
        return cached_gate(kind, qubits);
    return gate_object(make_gate(kind, std::move(qubits), std::move(params)));
}

// One constructor with named parameters, so that inspect and keywords see them.
void bind_gate(nb::module_& m, const GateDoc& d) {
    const GateKind kind = d.kind;
    const char* name = gate_name(kind);
    const std::string doc = gate_docstring(d), sig = gate_signature(d);
    const int count = gate_arity(kind) + gate_param_count(kind);
    auto arg = [&](int k) { return nb::arg(d.names[k]); };
    switch (count) {
        case 1:
            m.def(
                name, [kind](nb::handle a) { return build(kind, {a}); }, arg(0),
                nb::sig(sig.c_str()), doc.c_str());
            break;
        case 2:
            m.def(
                name,
                [kind](nb::handle a, nb::handle b) {
                    return build(kind, {a, b});
                },
                arg(0), arg(1), nb::sig(sig.c_str()), doc.c_str());
            break;
        case 3:
            m.def(
                name,
                [kind](nb::handle a, nb::handle b, nb::handle c) {
                    return build(kind, {a, b, c});
                },
                arg(0), arg(1), arg(2), nb::sig(sig.c_str()), doc.c_str());
            break;
        default:
            m.def(
                name,
                [kind](nb::handle a, nb::handle b, nb::handle c, nb::handle e) {
                    return build(kind, {a, b, c, e});
                },
                arg(0), arg(1), arg(2), arg(3), nb::sig(sig.c_str()), doc.c_str());
    }
}

const GateDoc kGates[] = {
    {GateKind::H,
     {"qubit"},
     "Hadamard gate: (1/sqrt 2) [[1, 1], [1, -1]].",
     "    >>> H(0)\n    H(0)\n"},
    {GateKind::X, {"qubit"}, "Pauli X (NOT) gate: [[0, 1], [1, 0]].", "    >>> X(2)\n    X(2)\n"},
    {GateKind::Y, {"qubit"}, "Pauli Y gate: [[0, -i], [i, 0]].", "    >>> Y(0)\n    Y(0)\n"},
    {GateKind::Z, {"qubit"}, "Pauli Z gate: diag(1, -1).", "    >>> Z(1)\n    Z(1)\n"},
    {GateKind::I, {"qubit"}, "Identity gate.", "    >>> I(0)\n    I(0)\n"},
    {GateKind::S,
     {"qubit"},
     "Phase gate S = diag(1, i), the square root of Z; SDG is its inverse.",
     "    >>> S(0).dagger() == SDG(0)\n    True\n"},
    {GateKind::T,
     {"qubit"},
     "T gate = diag(1, e^{i pi/4}), the square root of S; TDG is its inverse.",
     "    >>> T(0)\n    T(0)\n"},
    {GateKind::SX,
     {"qubit"},
     "SX = (1/2) [[1+i, 1-i], [1-i, 1+i]], the square root of X; SXDG is its inverse.",
     "    >>> SX(0)\n    SX(0)\n"},
    {GateKind::RX,
     {"qubit", "theta"},
     "exp(-i theta X / 2); RX(q, 2*pi) is minus the identity.",
     "    >>> RX(0, 0.1)\n    RX(0, 0.1)\n"},
    {GateKind::RY,
     {"qubit", "theta"},
     "exp(-i theta Y / 2).",
     "    >>> RY(1, 0.25).dagger()\n    RY(1, 0.25).dagger()\n"},
    {GateKind::RZ,
     {"qubit", "theta"},
     "exp(-i theta Z / 2) = diag(e^{-i theta/2}, e^{i theta/2}).",
     "    >>> RZ(0, -1.5)\n    RZ(0, -1.5)\n"},
    {GateKind::U1,
     {"qubit", "theta"},
     "diag(1, e^{i theta}).",
     "    >>> U1(0, 3.141592653589793)\n    U1(0, 3.141592653589793)\n"},
    {GateKind::U2,
     {"qubit", "phi", "lam"},
     "U3(qubit, pi/2, phi, lam); U2(q, 0, pi) acts as a Hadamard.",
     "    >>> U2(0, 0, 3.141592653589793)\n    U2(0, 0.0, 3.141592653589793)\n"},
    {GateKind::U3,
     {"qubit", "theta", "phi", "lam"},
     "[[cos(theta/2), -e^{i lam} sin(theta/2)],\n [e^{i phi} sin(theta/2), e^{i(phi+lam)} "
     "cos(theta/2)]].",
     "    >>> U3(0, 0, 0.1, 0.2)\n    U3(0, 0.0, 0.1, 0.2)\n"},
    {GateKind::CNOT,
     {"control", "target"},
     "X on target when control is 1.",
     "    >>> CNOT(0, 1).control([2])\n    CNOT(0, 1).control([2])\n"},
    {GateKind::CZ,
     {"control", "target"},
     "Z on target when control is 1 (symmetric).",
     "    >>> CZ(0, 1)\n    CZ(0, 1)\n"},
    {GateKind::CR,
     {"control", "target", "theta"},
     "Controlled phase: diag(1, 1, 1, e^{i theta}).",
     "    >>> CR(0, 1, 0.5)\n    CR(0, 1, 0.5)\n"},
    {GateKind::SWAP, {"a", "b"}, "Exchanges two qubits.", "    >>> SWAP(0, 1)\n    SWAP(0, 1)\n"},
    {GateKind::TOFFOLI,
     {"c1", "c2", "target"},
     "X on target when both controls are 1.",
     "    >>> TOFFOLI(0, 1, 2)\n    TOFFOLI(0, 1, 2)\n"},
};

// SDG(q) is S(q).dagger(): one gate kind, its inverse flagged, as every inverse is. Its
// docstring: the summary, then the sections every inverse shares, the example on
// `example_qubit`.
void bind_inverse(nb::module_& m, const char* name, GateKind kind, const char* summary,
                  int example_qubit) {
    const std::string base = gate_name(kind), q = std::to_string(example_qubit);
    std::string doc = summary;
    doc += "\n\nArgs:\n    qubit: a qubit index (int >= 0).\n";
    doc += "\nReturns:\n    QGate: " + base + "(qubit) with its dagger flag set.\n";
    doc += "\nExample:\n    >>> ";
    doc += std::string(name) + "(" + q + ")\n    " + base + "(" + q + ").dagger()\n";
    m.def(
        name,
        [kind](nb::handle qubit) { return nb::cast<const Gate&>(build(kind, {qubit})).daggered(); },
        nb::arg("qubit"), nb::sig((std::string("def ") + name + "(qubit: int) -> QGate").c_str()),
        doc.c_str());
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
    nb::class_<Gate> gate(
        m, "QGate", R"DOC(One gate: its name, operand qubits, controls, angles and dagger flag.

Gates are immutable and hashable: control() and dagger() return new gates, and two
gates are equal when name, qubits, controls (in order), angles, dagger flag and
classical bit all are.

Example:
    >>> g = RY(1, 0.25).control([0])
    >>> g.name, g.qubits, g.controls, g.params, g.is_dagger
    ('RY', [1], [0], [0.25], False)
    >>> g == RY(1, 0.25).control([0]) and len({g, RY(1, 0.25).control([0])}) == 1
    True
)DOC");
    gate.def_prop_ro(
            "name", [](const Gate& g) { return std::string(gate_name(g.kind)); },
            "Upper-case constructor name: 'H', 'CNOT', 'RY', 'MEASURE', 'BARRIER', ...")
        .def_prop_ro(
            "qubits", [](const Gate& g) { return g.qubits.to_vector(); },
            "Operand qubits as constructed, e.g. [control, target] for CNOT.")
        .def_prop_ro(
            "controls", [](const Gate& g) { return g.controls.to_vector(); },
            "Qubits added by control(), in the order given.")
        .def_prop_ro(
            "params",
            [](const Gate& g) {
                nb::list out;
                for (double p : g.params) out.append(p);
                if (g.symbols)
                    for (const Symbol& s : *g.symbols) out[s.slot] = expression_object(s.expr);
                return out;
            },
            nb::sig("def params(self) -> list[float | Parameter | ParameterExpression]"),
            "The angles, in radians; a Parameter or ParameterExpression where one waits "
            "for a value.")
        .def_prop_ro(
            "is_dagger", [](const Gate& g) { return g.dagger; },
            "Whether the gate runs as its adjoint (dagger() is the method that flips it).")
        .def_prop_ro(
            "matrix",
            [](const Gate& g) -> nb::object {
                if (!g.matrix) return nb::none();
                return nb::cast(to_numpy(*g.matrix));
            },
            nb::sig("def matrix(self) -> numpy.typing.NDArray[numpy.complex128] | None"),
            "The matrix a UNITARY gate was made from (its dagger flag not applied), else "
            "None.")
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
            nb::arg("qubits"),
            nb::sig("def control(self, qubits: int | collections.abc.Sequence[int]) -> QGate"),
            R"DOC(A new gate that acts only when every control qubit is 1.

Args:
    qubits: a qubit index or a sequence of them; an empty list adds none.

Returns:
    QGate: this gate with the controls appended to its own.

Example:
    >>> X(0).control([1, 2])
    X(0).control([1, 2])
)DOC")
        .def("dagger", &Gate::daggered, R"DOC(A new gate: the adjoint of this one.

Returns:
    QGate: the same gate with its dagger flag flipped (a measurement has none).

Example:
    >>> T(0).dagger()
    T(0).dagger()
)DOC")
        .def(
            "__eq__",
            [](const Gate& a, nb::handle b) -> nb::object {
                if (!nb::isinstance<Gate>(b)) return nb::borrow(Py_NotImplemented);
                return nb::bool_(a == instance<Gate>(b));
            },
            nb::arg("other").none(), nb::sig("def __eq__(self, other: object) -> bool"))
        .def("__hash__", [](const Gate& g) { return Py_hash_t(hash_value(g)); })
        .def("__repr__", &gate_text);
    make_picklable(gate, "kestrix.core", 'G', encode_gate, decode_gate, true);

    for (const GateDoc& d : kGates) bind_gate(m, d);
    bind_inverse(m, "SDG", GateKind::S, "The inverse of S, diag(1, -i): S(qubit).dagger().", 0);
    bind_inverse(m, "TDG", GateKind::T,
                 "The inverse of T, diag(1, e^{-i pi/4}): T(qubit).dagger().", 1);
    bind_inverse(m, "SXDG", GateKind::SX, "The inverse of SX: SX(qubit).dagger().", 0);

    m.def(
        "UNITARY",
        [](nb::handle qubits, nb::handle matrix) {
            // The qubits are read first, as for every gate (argument order is unspecified).
            const std::vector<int> targets = to_index_list(qubits, "qubit");
            return make_unitary(QubitList(targets), to_complex_matrix(matrix));
        },
        nb::arg("qubits"), nb::arg("matrix"),
        nb::sig("def UNITARY(qubits: int | collections.abc.Sequence[int], matrix: "
                "numpy.typing.ArrayLike) -> QGate"),
        R"DOC(A gate given by its unitary matrix, on 1 to 6 qubits.

It controls, inverts, draws and runs like any gate.

Args:
    qubits: distinct qubit indices; index bit j of the matrix belongs to qubits[j]
        (the first qubit least significant).
    matrix: 2**k x 2**k, unitary within 1e-8.

Returns:
    QGate: a UNITARY gate (its repr names the matrix's size, not its entries).

Example:
    >>> g = UNITARY([0], [[0, 1], [1, 0]])
    >>> g, g == UNITARY([0], [[0, 1], [1, 0]]), g.matrix.real.tolist()
    (UNITARY([0], <2x2 matrix>), True, [[0.0, 1.0], [1.0, 0.0]])
)DOC");
    m.def(
        "BARRIER",
        [](nb::handle qubits) {
            return make_gate(GateKind::BARRIER, to_index_list(qubits, "qubit"));
        },
        nb::arg("qubits"),
        nb::sig("def BARRIER(qubits: int | collections.abc.Sequence[int]) -> QGate"),
        R"DOC(A marker for drawings; it has no effect on the state.

Args:
    qubits: a qubit index or a sequence of them.

Returns:
    QGate: a barrier over those qubits.

Example:
    >>> BARRIER([0, 1])
    BARRIER([0, 1])
)DOC");
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
        nb::arg("qubits"), nb::arg("cbits"),
        nb::sig("def measure(qubits: int | collections.abc.Sequence[int], cbits: int | "
                "collections.abc.Sequence[int]) -> QGate | "
                "QCircuit"),
        R"DOC(Measures qubits[i] into classical bit cbits[i].

Args:
    qubits: a qubit index, or a sequence of distinct ones.
    cbits: a classical bit index, or a sequence as long as qubits.

Returns:
    QGate | QCircuit: one measurement gate for one qubit; a circuit of
    measurements for sequences.

Example:
    >>> measure(0, 1)
    measure(0, 1)
    >>> measure([0, 1], [0, 1])
    QCircuit() << measure(0, 0) << measure(1, 1)
)DOC");
}

}  // namespace kestrix::py
