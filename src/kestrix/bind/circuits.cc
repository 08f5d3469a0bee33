// QCircuit, QProg and draw_qprog.
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <string>

#include "convert.h"
#include "core.h"
#include "errors.h"
#include "kestrix/lib/draw.h"
#include "kestrix/lib/program.h"

namespace kestrix::py {

namespace {

Circuit& circuit_of(Circuit& c) { return c; }
Circuit& circuit_of(Program& p) { return p.circuit; }

// `a << b` appends in place and yields `a` itself, so appends chain. The operator is the
// type's own slot: a gate, by far the most frequent item in small circuits, is appended
// without the attribute lookup and argument dispatch of a bound method; anything else goes
// through insert(), which checks it and reports errors.
template <class T>
PyObject* lshift_slot(PyObject* self, PyObject* item) {
    if (!nb::isinstance<T>(nb::handle(self))) Py_RETURN_NOTIMPLEMENTED;
    if (nb::isinstance<Gate>(nb::handle(item))) {
        // A slot is called from C: nothing may be thrown past it.
        try {
            circuit_of(instance<T>(self)).append(instance<Gate>(item));
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

template <class T, class Append>
void bind_append(nb::class_<T>& cls, Append append) {
    auto op = [append](nb::handle self, nb::handle item) {
        append(instance<T>(self), item);
        return nb::borrow(self);
    };
    cls.def("insert", op, nb::arg("item"), "Appends a gate, circuit or program; the same as `<<`.");
}

// Iteration hands out one gate at a time: a circuit appended to itself forty times holds
// 2^40 gates, which a list could never hold, and each step returns to Python (Ctrl-C).
struct GateIterator {
    GateCursor cursor;
};

template <class T, class Get>
void bind_inspection(nb::class_<T>& cls, Get circuit_of) {
    cls.def("__len__", [circuit_of](T& x) { return circuit_of(x).gate_count(); });
    cls.def("__iter__", [circuit_of](T& x) { return GateIterator{GateCursor(circuit_of(x))}; });
    cls.def(
        "gates", [circuit_of](T& x) { return circuit_of(x).flatten(); },
        "Every gate in execution order, blocks expanded.");
}

std::string count(size_t n, const char* noun) {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

std::string circuit_repr(const Circuit& c) {
    return "QCircuit(" + count(c.gate_count(), "gate") + " on " + count(c.width(), "qubit") + ")";
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
                                "An ordered list of gates; `c << g` appends in place.");
    circuit.def(nb::init<>());
    bind_append(circuit, [](Circuit& c, nb::handle item) { append_object(c, item); });
    bind_inspection(circuit, [](Circuit& c) -> Circuit& { return c; });
    circuit
        .def(
            "control",
            [](const Circuit& c, nb::handle qubits) {
                return c.controlled(to_index_list(qubits, "control qubit"));
            },
            nb::arg("qubits"), "A new circuit that acts only when every control qubit is 1.")
        .def("dagger", &Circuit::daggered, "A new circuit: the inverse of this one.")
        .def_prop_ro("num_qubits", &Circuit::width, "Highest qubit touched plus one.")
        .def("__str__", [](const Circuit& c) { return draw(c); })
        .def("__repr__", &circuit_repr);

    nb::class_<Program> program(m, "QProg", nb::type_slots(lshift_slots<Program>),
                                "A program: a circuit over a declared number of qubits.");
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
        nb::arg("num_qubits") = nb::none());
    bind_append(program, [](Program& p, nb::handle item) {
        append_object(p.circuit, item);
        if (nb::isinstance<Program>(item)) {
            p.declared_qubits =
                std::max(p.declared_qubits, instance<Program>(item).declared_qubits);
        }
    });
    bind_inspection(program, [](Program& p) -> Circuit& { return p.circuit; });
    program
        .def(
            "qubits",
            [](const Program& p) {
                std::vector<int> q(p.width());
                for (int k = 0; k < int(q.size()); ++k) q[k] = k;
                return q;
            },
            "The qubit indices [0, 1, ..., n-1].")
        .def(
            "cbits",
            [](const Program& p) {
                std::vector<int> c(p.width());
                for (int k = 0; k < int(c.size()); ++k) c[k] = k;
                return c;
            },
            "The classical bits [0, 1, ..., n-1].")
        .def_prop_ro("num_qubits", &Program::width)
        .def(
            "to_circuit", [](const Program& p) { return p.circuit; },
            "The program's gates as a QCircuit.")
        .def("__str__", [](const Program& p) { return draw(p.circuit, p.width()); })
        .def("__repr__", [](const Program& p) {
            return "QProg(" + count(p.width(), "qubit") + ", " +
                   count(p.circuit.gate_count(), "gate") + ")";
        });

    m.def(
        "draw_qprog",
        [](nb::handle item) {
            if (nb::isinstance<Program>(item)) {
                const Program& p = instance<Program>(item);
                return draw(p.circuit, p.width());
            }
            Circuit c;
            append_object(c, item);
            return draw(c);
        },
        nb::arg("prog"),
        "The text drawing of a program or circuit, one row per qubit; prints nothing.");
}

}  // namespace kestrix::py
