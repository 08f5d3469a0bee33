// QCircuit, QProg and draw_qprog.
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <string>

#include "core.h"
#include "kestrix/lib/io/codec.h"
#include "kestrix/lib/io/draw.h"
#include "kestrix/lib/io/gate_text.h"
#include "kestrix/lib/ir/circuit_tools.h"
#include "kestrix/lib/ir/program.h"
#include "kestrix/py/compare.h"
#include "kestrix/py/convert.h"
#include "kestrix/py/errors.h"
#include "kestrix/py/parameters.h"
#include "kestrix/py/pickling.h"
#include "kestrix/py/run.h"

namespace kestrix::py {

namespace {

// Up to this many gates a repr is the expression that rebuilds the object; beyond, a
// summary in angle brackets, which no one mistakes for code.
constexpr size_t kReprGates = 20;

Circuit& circuit_of(Circuit& c) { return c; }
Circuit& circuit_of(Program& p) { return p.circuit; }
const Circuit& circuit_of(const Circuit& c) { return c; }
const Circuit& circuit_of(const Program& p) { return p.circuit; }

// A notebook shows a circuit's drawing folded at this width: wider lines wrap in the
// browser and the rows no longer line up.
constexpr size_t kHtmlFold = 100;

// The characters HTML reads as markup, written as entities.
std::string html_escaped(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        switch (ch) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#x27;"; break;
            default: out += ch;
        }
    }
    return out;
}

// A figure draws at most this many cells, in whole columns: matplotlib takes about a
// second per thousand boxed labels, and a figure of a longer circuit could not be read.
constexpr size_t kMaxFigureCells = 2000;

// draw_qprog's figure: the layout handed to kestrix._drawing, which imports matplotlib
// only when a figure is asked for. Columns past the limit are counted with the gates left
// out.
nb::object layout_figure(const DrawLayout& layout) {
    nb::list columns;
    uint64_t left_out = layout.left_out;
    size_t shown = 0, cells_shown = 0;
    for (; shown < layout.columns.size(); ++shown) {
        cells_shown += layout.columns[shown].cells.size();
        if (shown > 0 && cells_shown > kMaxFigureCells) break;
    }
    for (size_t k = shown; k < layout.columns.size(); ++k)
        left_out += layout.columns[k].spans.size();
    for (size_t k = 0; k < shown; ++k) {
        const DrawLayout::Column& col = layout.columns[k];
        nb::dict cells;
        for (const auto& [row, text] : col.cells) cells[nb::int_(row)] = nb::str(text.c_str());
        nb::list spans;
        for (const DrawLayout::Span& span : col.spans)
            spans.append(nb::make_tuple(span.lo, span.hi, span.barrier));
        columns.append(nb::make_tuple(cells, spans));
    }
    return nb::module_::import_("kestrix._drawing").attr("figure")(layout.rows, columns, left_out);
}

// `a << b` appends in place and yields `a` itself, so appends chain. The operator is the
// type's own slot: a gate, by far the most frequent item in small circuits, is appended
// without the attribute lookup and argument dispatch of a bound method; anything else goes
// through insert(), which checks it and reports errors. The exact types are compared
// first: a pointer comparison costs far less than nanobind's isinstance and cast, which
// look the C++ type up, and subclasses still take that road.
template <class T>
PyObject* lshift_slot(PyObject* self, PyObject* item) {
    static PyTypeObject* const self_type = reinterpret_cast<PyTypeObject*>(nb::type<T>().ptr());
    static PyTypeObject* const gate_type = reinterpret_cast<PyTypeObject*>(nb::type<Gate>().ptr());
    const bool exact = Py_TYPE(self) == self_type && Py_TYPE(item) == gate_type;
    if (!exact && !nb::isinstance<T>(nb::handle(self))) Py_RETURN_NOTIMPLEMENTED;
    if (exact || nb::isinstance<Gate>(nb::handle(item))) {
        // A slot is called from C: nothing may be thrown past it.
        try {
            if (exact) {
                circuit_of(exact_instance<T>(self)).append(exact_instance<Gate>(item));
            } else {
                circuit_of(instance<T>(self)).append(instance<Gate>(item));
            }
        } catch (...) {
            set_python_error(std::current_exception());
            return nullptr;
        }
        return Py_NewRef(self);
    }
    return PyObject_CallMethod(self, "insert", "O", item);
}

template <class T>
PyType_Slot lshift_slots[] = {{Py_nb_lshift, reinterpret_cast<void*>(lshift_slot<T>)},
                              {0, nullptr}};

bool is_sdk_object(nb::handle item) {
    return nb::isinstance<Gate>(item) || nb::isinstance<Circuit>(item) ||
           nb::isinstance<Program>(item);
}

// Appends to a program: a program's declared qubits come along.
void append_to(Circuit& c, nb::handle item) { append_object(c, item); }
void append_to(Program& p, nb::handle item) {
    append_object(p.circuit, item);
    if (nb::isinstance<Program>(item)) {
        p.declared_qubits = std::max(p.declared_qubits, instance<Program>(item).declared_qubits);
    }
}

Circuit from_gates(const std::vector<Gate>& gates) {
    Circuit c;
    for (const Gate& g : gates) c.append(g);
    return c;
}
Circuit with_gates(const Circuit&, const std::vector<Gate>& gates) { return from_gates(gates); }
Program with_gates(const Program& p, const std::vector<Gate>& gates) {
    return Program{from_gates(gates), p.declared_qubits};
}

// The values a bind() call gives: a mapping from Parameter (or ParameterVector, to a
// sequence) to numbers, or one number per parameter of the circuit, in its order.
ParameterValues values_for(const Circuit& c, nb::handle values) {
    auto table = std::make_shared<std::unordered_map<uint64_t, double>>();
    auto known = [&](const Parameter& p) {
        for (const Parameter& q : c.parameters())
            if (q->id == p->id) return;
        throw nb::value_error(("bind: parameter '" + p->name + "' is not in the circuit").c_str());
    };
    if (PyDict_Check(values.ptr())) {
        for (auto [key, value] : nb::cast<nb::dict>(values)) {
            if (nb::isinstance<ParameterVectorObject>(key)) {
                const auto& v = nb::cast<const ParameterVectorObject&>(key);
                const std::vector<double> numbers = to_real_list(value, "bind");
                if (numbers.size() != v.items.size()) {
                    throw nb::value_error(("bind: ParameterVector '" + v.name + "' has " +
                                           std::to_string(v.items.size()) + " parameters, got " +
                                           std::to_string(numbers.size()) + " values")
                                              .c_str());
                }
                for (size_t k = 0; k < numbers.size(); ++k) (*table)[v.items[k]->id] = numbers[k];
                continue;
            }
            if (!nb::isinstance<ParameterObject>(key)) {
                throw nb::type_error(
                    ("bind: keys must be Parameter objects, got " + type_name_of(key)).c_str());
            }
            const Parameter& p = nb::cast<const ParameterObject&>(key).p;
            known(p);
            (*table)[p->id] = to_angle(value, "bind");
        }
    } else {
        const std::vector<double> numbers = to_real_list(values, "bind");
        if (numbers.size() != c.parameters().size()) {
            throw nb::value_error(("bind: the circuit has " +
                                   std::to_string(c.parameters().size()) + " parameters, got " +
                                   std::to_string(numbers.size()) + " values")
                                      .c_str());
        }
        for (size_t k = 0; k < numbers.size(); ++k) (*table)[c.parameters()[k]->id] = numbers[k];
    }
    return [table](const ParameterData& p) -> std::optional<double> {
        auto it = table->find(p.id);
        if (it == table->end()) return std::nullopt;
        return it->second;
    };
}

Circuit bound_to(const Circuit& c, nb::handle values) { return c.bound(values_for(c, values)); }
Program bound_to(const Program& p, nb::handle values) {
    return Program{p.circuit.bound(values_for(p.circuit, values)), p.declared_qubits};
}

bool same_content(const Circuit& a, const Circuit& b, const InterruptCheck& check) {
    return same_gates(a, b, check);
}
bool same_content(const Program& a, const Program& b, const InterruptCheck& check) {
    return a.width() == b.width() && same_gates(a.circuit, b.circuit, check);
}

// Iteration hands out one gate at a time: a circuit appended to itself forty times holds
// 2^40 gates, which a list could never hold, and each step returns to Python (Ctrl-C).
struct GateIterator {
    GateCursor cursor;
};

std::string count(size_t n, const char* noun) {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

std::string appended_gates(const Circuit& c) {
    std::string out;
    c.for_each_gate([&](const Gate& g) { out += " << " + gate_text(g); });
    return out;
}

std::string circuit_repr(const Circuit& c) {
    const size_t n = c.gate_count();
    if (n > kReprGates)
        return "<QCircuit: " + count(n, "gate") + " on " + count(c.width(), "qubit") + ">";
    return "QCircuit()" + appended_gates(c);
}

std::string program_repr(const Program& p) {
    const size_t n = p.circuit.gate_count();
    if (n > kReprGates)
        return "<QProg: " + count(p.width(), "qubit") + ", " + count(n, "gate") + ">";
    return "QProg(" + std::to_string(p.width()) + ")" + appended_gates(p.circuit);
}

// What circuits and programs share: appending, reading back, equality, the circuit tools.
template <class T>
void bind_common(nb::class_<T>& cls, const char* type_name) {
    cls.def(
        "insert",
        [](nb::handle self, nb::handle item) {
            append_to(instance<T>(self), item);
            return nb::borrow(self);
        },
        // None too, so that `c << None` is refused with the message of `c << 5`.
        nb::arg("item").none(),
        nb::sig((std::string("def insert(self, item: QGate | QCircuit | QProg) -> ") + type_name)
                    .c_str()),
        R"DOC(Appends a gate, circuit or program in place; the same as `<<`.

Args:
    item: a QGate, QCircuit or QProg; later changes to it do not reach this one.

Returns:
    this object, so that calls chain.

Example:
    >>> c = QCircuit()
    >>> c.insert(H(0)) is c, len(c)
    (True, 1)
)DOC");
    cls.def("__len__", [](const T& x) { return circuit_of(x).gate_count(); });
    cls.def("__iter__", [](const T& x) { return GateIterator{GateCursor(circuit_of(x))}; });
    cls.def(
        "gates", [](const T& x) { return circuit_of(x).flatten(); },
        R"DOC(Every gate in execution order.

Appended circuits are expanded; each gate carries the controls and dagger flag it
runs with.

Returns:
    list[QGate]: the gates, as iteration yields them.

Example:
    >>> (QCircuit() << H(0) << CNOT(0, 1)).gates()
    [H(0), CNOT(0, 1)]
)DOC");
    cls.def(
        "__getitem__",
        [type_name](const T& x, nb::handle index) -> nb::object {
            const std::vector<Gate> gates = circuit_of(x).flatten();
            const Py_ssize_t n = Py_ssize_t(gates.size());
            if (PySlice_Check(index.ptr())) {
                Py_ssize_t start, stop, step;
                if (PySlice_Unpack(index.ptr(), &start, &stop, &step) < 0) throw nb::python_error();
                const Py_ssize_t len = PySlice_AdjustIndices(n, &start, &stop, step);
                std::vector<Gate> picked;
                for (Py_ssize_t k = 0; k < len; ++k) picked.push_back(gates[start + k * step]);
                return nb::cast(with_gates(x, picked));
            }
            if (!PyIndex_Check(index.ptr())) {
                throw nb::type_error((std::string(type_name) +
                                      " indices must be integers or "
                                      "slices, not " +
                                      type_name_of(index))
                                         .c_str());
            }
            Py_ssize_t k = PyNumber_AsSsize_t(index.ptr(), PyExc_IndexError);
            if (k == -1 && PyErr_Occurred()) throw nb::python_error();
            if (k < 0) k += n;
            if (k < 0 || k >= n)
                throw nb::index_error((std::string(type_name) + " index out of range").c_str());
            return nb::cast(gates[k]);
        },
        nb::arg("index"),
        nb::sig(
            (std::string("def __getitem__(self, index: typing.SupportsIndex | slice) -> QGate | ") +
             type_name)
                .c_str()));
    cls.def(
        "__add__",
        [](const T& x, nb::handle other) -> nb::object {
            if (!is_sdk_object(other)) return nb::borrow(Py_NotImplemented);
            T out = x;
            append_to(out, other);
            return nb::cast(std::move(out));
        },
        nb::arg("other").none(),
        nb::sig((std::string("def __add__(self, other: QGate | QCircuit | QProg) -> ") + type_name)
                    .c_str()));
    // Circuits and programs change in place (<<), so they are unhashable.
    make_comparable(cls, [](const T& a, const T& b) {
        return interruptible(
            [&](const InterruptCheck& check) { return same_content(a, b, check); });
    });
    cls.def(
        "depth",
        [](const T& x) {
            return interruptible(
                [&](const InterruptCheck& check) { return depth(circuit_of(x), check); });
        },
        R"DOC(The number of layers of gates.

A gate starts after every earlier gate that shares a qubit (controls included) or a
classical bit with it; barriers line their qubits up without a layer of their own.

Returns:
    int: the depth, 0 for an empty circuit.

Example:
    >>> (QCircuit() << H(0) << H(1) << CNOT(0, 1) << measure(1, 0)).depth()
    3
)DOC");
    cls.def(
        "count_ops",
        [](const T& x) {
            nb::dict out;
            const auto counts = interruptible(
                [&](const InterruptCheck& check) { return count_ops(circuit_of(x), check); });
            for (auto& [name, n] : counts) out[name.c_str()] = n;
            return out;
        },
        nb::sig("def count_ops(self) -> dict[str, int]"),
        R"DOC(How many gates of each name the circuit runs.

Returns:
    dict[str, int]: gate name -> count, most frequent first (ties in order of first
    appearance). Controlled or inverted gates count under their own name.

Example:
    >>> (QCircuit() << H(0) << H(1) << CNOT(0, 1)).count_ops()
    {'H': 2, 'CNOT': 1}
)DOC");
    cls.def_prop_ro(
        "parameters",
        [](const T& x) {
            nb::list out;
            for (const Parameter& p : circuit_of(x).parameters()) out.append(parameter_object(p));
            return out;
        },
        nb::sig("def parameters(self) -> list[Parameter]"),
        "The parameters its angles wait for, in the order they first appear.");
    cls.def(
        "bind", [](const T& x, nb::handle values) { return bound_to(x, values); },
        nb::arg("values"),
        nb::sig((std::string("def bind(self, values: collections.abc.Mapping[Parameter | "
                             "ParameterVector, float | collections.abc.Sequence[float]] | "
                             "collections.abc.Sequence[float] | numpy.typing.ArrayLike) -> ") +
                 type_name)
                    .c_str()),
        R"DOC(A new one with values given to its parameters.

Args:
    values: a mapping from Parameter to a number (a ParameterVector to a sequence of
        them); parameters left out stay unbound. Or one number per parameter, in the
        order of `parameters`.

Returns:
    the bound copy; blocks without parameters stay shared with this one.

Example:
    >>> t = ParameterVector("t", 2)
    >>> (QCircuit() << RX(0, t[0]) << RZ(0, -t[1])).bind([0.5, 0.25])
    QCircuit() << RX(0, 0.5) << RZ(0, -0.25)
)DOC");
    cls.def("__str__", [](const T& x) { return draw(circuit_of(x), x.width()); });
    cls.def("_repr_html_", [](const T& x) {
        return "<pre>" + html_escaped(draw(circuit_of(x), x.width(), kHtmlFold)) + "</pre>";
    });
}

}  // namespace

void bind_circuits(nb::module_& m) {
    nb::class_<GateIterator>(m, "GateIterator", "The gates of a circuit, in execution order.")
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", [](GateIterator& it) {
            Gate gate;
            if (!it.cursor.next(gate)) throw nb::stop_iteration();
            return gate;
        });

    nb::class_<Circuit> circuit(m, "QCircuit", nb::type_slots(lshift_slots<Circuit>),
                                R"DOC(An ordered list of gates.

`c << g` appends a gate, circuit or program in place and returns `c`. Circuits
compare equal when they run the same gates in the same order, and are unhashable,
as lists are. Indexing and slicing read the gates in execution order, `+` makes a
new circuit, and they pickle and copy with their structure kept.

Example:
    >>> c = QCircuit() << H(0) << CNOT(0, 1)
    >>> c
    QCircuit() << H(0) << CNOT(0, 1)
    >>> c[1], c[:1], len(c + c), c.num_qubits
    (CNOT(0, 1), QCircuit() << H(0), 4, 2)
)DOC");
    circuit.def(nb::init<>(), "An empty circuit.");
    bind_common(circuit, "QCircuit");
    circuit
        .def(
            "control",
            [](const Circuit& c, nb::handle qubits) {
                return c.controlled(to_index_list(qubits, "control qubit"));
            },
            nb::arg("qubits"),
            nb::sig("def control(self, qubits: int | collections.abc.Sequence[int]) -> QCircuit"),
            R"DOC(A new circuit that acts only when every control qubit is 1.

Args:
    qubits: a qubit index or a sequence of them, none used by the circuit.

Returns:
    QCircuit: the controlled circuit; this one is unchanged.

Example:
    >>> list(QCircuit().insert(X(0)).control([1]))
    [X(0).control([1])]
)DOC")
        .def("dagger", &Circuit::daggered, R"DOC(A new circuit: the inverse of this one.

Returns:
    QCircuit: the gates in reverse order, each inverted.

Example:
    >>> list((QCircuit() << H(0) << S(0)).dagger())
    [S(0).dagger(), H(0).dagger()]
)DOC")
        .def_prop_ro("num_qubits", &Circuit::width, "Highest qubit touched plus one.")
        .def("__repr__", &circuit_repr);
    make_picklable(circuit, "kestrix.core", 'C', encode_circuit, decode_circuit, false);

    nb::class_<Program> program(m, "QProg", nb::type_slots(lshift_slots<Program>),
                                R"DOC(A program: a circuit over a declared number of qubits.

Its width (num_qubits) is the larger of the declared number and the highest qubit it
touches plus one. Programs append, read back, compare, index and pickle as circuits
do; two programs are equal when their widths and gates are.

Example:
    >>> p = QProg(2) << H(0) << CNOT(0, 1) << measure([0, 1], [0, 1])
    >>> p.qubits(), p.num_qubits, p.count_ops()
    ([0, 1], 2, {'MEASURE': 2, 'H': 1, 'CNOT': 1})
)DOC");
    program.def(
        "__init__",
        [](Program* p, nb::handle n) {
            const int count = n.is_none() ? 0 : to_index(n, "number of qubits");
            if (count > kMaxQubits) {
                throw nb::value_error(("QProg: at most " + std::to_string(kMaxQubits) +
                                       " qubits, got " + std::to_string(count))
                                          .c_str());
            }
            new (p) Program{Circuit(), count};
        },
        nb::arg("num_qubits") = nb::none(),
        nb::sig("def __init__(self, num_qubits: int | None = None) -> None"),
        "An empty program over num_qubits qubits (none declared by default).");
    bind_common(program, "QProg");
    program
        .def(
            "qubits",
            [](const Program& p) {
                std::vector<int> q(p.width());
                for (int k = 0; k < int(q.size()); ++k) q[k] = k;
                return q;
            },
            R"DOC(The qubit indices [0, 1, ..., n-1] of a program of width n.

Returns:
    list[int]: the indices.

Example:
    >>> QProg(3).qubits()
    [0, 1, 2]
)DOC")
        .def(
            "cbits",
            [](const Program& p) {
                std::vector<int> c(p.width());
                for (int k = 0; k < int(c.size()); ++k) c[k] = k;
                return c;
            },
            R"DOC(The classical bits [0, 1, ..., n-1] of a program of width n.

Returns:
    list[int]: the indices.

Example:
    >>> QProg(2).cbits()
    [0, 1]
)DOC")
        .def_prop_ro("num_qubits", &Program::width, "The program's width.")
        .def(
            "to_circuit", [](const Program& p) { return p.circuit; },
            R"DOC(The program's gates as a QCircuit.

Returns:
    QCircuit: a copy; changing it leaves the program alone.

Example:
    >>> (QProg(2) << H(1)).to_circuit()
    QCircuit() << H(1)
)DOC")
        .def("__repr__", &program_repr);
    make_picklable(program, "kestrix.core", 'P', encode_program, decode_program, false);

    m.def(
        "draw_qprog",
        [](nb::handle item, nb::handle fold, nb::handle output) -> nb::object {
            const size_t width = fold.is_none() ? 0 : size_t(to_count(fold, "fold"));
            if (!nb::isinstance<nb::str>(output) ||
                (nb::cast<std::string>(output) != "text" && nb::cast<std::string>(output) != "mpl"))
                throw nb::value_error(
                    ("output must be 'text' or 'mpl', got " + std::string(nb::repr(output).c_str()))
                        .c_str());
            const bool figure = nb::cast<std::string>(output) == "mpl";
            if (figure && width > 0)
                throw nb::value_error(
                    "fold applies to the text drawing; output='mpl' draws one "
                    "figure");
            Circuit c;
            int rows = 0;
            if (nb::isinstance<Program>(item)) {
                const Program& p = instance<Program>(item);
                c = p.circuit;
                rows = p.width();
            } else {
                append_object(c, item);
            }
            if (figure) return layout_figure(draw_layout(c, rows));
            return nb::str(draw(c, rows, width).c_str());
        },
        nb::arg("prog"), nb::kw_only(), nb::arg("fold").none() = nb::none(),
        nb::arg("output").none() = "text",
        nb::sig("def draw_qprog(prog: QProg | QCircuit | QGate, *, fold: int | None = None, "
                "output: str = 'text') -> typing.Any"),
        R"DOC(The text drawing of a program, circuit or gate, one row per qubit.

It prints nothing; `print(prog)` shows the same drawing.

Args:
    prog: a QProg, QCircuit or QGate.
    fold: a line width (a positive int): the drawing is cut into blocks of whole gate
        columns, no wider than it (a block holds at least one column), one under
        another with a blank line between them. None draws one block.
    output: 'text' for the text drawing, 'mpl' for a matplotlib Figure of the same
        layout (matplotlib is imported only then; fold is for text only).

Returns:
    str: the drawing, one line per qubit (a matplotlib.figure.Figure for 'mpl').

Example:
    >>> print(draw_qprog(QProg(2) << H(0) << CNOT(0, 1)))
    q_0: ─H─●─
    q_1: ───X─
    <BLANKLINE>
    >>> print(draw_qprog(QProg(1) << H(0) << X(0) << H(0), fold=10))
    q_0: ─H─X─
    <BLANKLINE>
    q_0: ─H─
    <BLANKLINE>
)DOC");
}

}  // namespace kestrix::py
