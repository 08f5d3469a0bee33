// Parameter, ParameterExpression and ParameterVector: angles that wait for values.
#include "kestrix/py/parameters.h"

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cmath>
#include <string>

#include "core.h"
#include "kestrix/lib/io/gate_text.h"
#include "kestrix/py/convert.h"
#include "kestrix/py/pickling.h"

namespace kestrix::py {

namespace {

// A real number for arithmetic with a parameter, or nullopt when `value` is not one (the
// operator then returns NotImplemented, and Python raises its usual TypeError).
std::optional<double> real_operand(nb::handle value) {
    if (PyComplex_Check(value.ptr()) || PyUnicode_Check(value.ptr()) ||
        PyBytes_Check(value.ptr()) || !PyNumber_Check(value.ptr()))
        return std::nullopt;
    const double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    if (!std::isfinite(v)) throw nb::value_error("a parameter expression needs finite numbers");
    return v;
}

nb::object not_implemented() { return nb::borrow(Py_NotImplemented); }

// The arithmetic of an affine expression, shared by Parameter and ParameterExpression:
// each operator with a real number gives a new expression, `change` writing it from the
// operand's (NotImplemented for anything but a real number, so Python raises its TypeError).
template <class T, class Get>
void def_arithmetic(nb::class_<T>& cls, Get get) {
    auto def = [&](const char* name, void (*change)(ParamExpr&, double)) {
        cls.def(
            name,
            [get, change](const T& self, nb::handle other) -> nb::object {
                const auto v = real_operand(other);
                if (!v) return not_implemented();
                ParamExpr e = get(self);
                change(e, *v);
                return nb::cast(ExpressionObject{e});
            },
            nb::arg("other").none(),
            nb::sig((std::string("def ") + name + "(self, other: float) -> ParameterExpression")
                        .c_str()));
    };
    auto add = [](ParamExpr& e, double v) { e.offset += v; };
    auto times = [](ParamExpr& e, double v) {
        e.scale *= v;
        e.offset *= v;
    };
    def("__add__", add);
    def("__radd__", add);
    def("__sub__", [](ParamExpr& e, double v) { e.offset -= v; });
    def("__rsub__", [](ParamExpr& e, double v) {
        e.scale = -e.scale;
        e.offset = v - e.offset;
    });
    def("__mul__", times);
    def("__rmul__", times);
    def("__truediv__", [](ParamExpr& e, double v) {
        if (v == 0) {
            PyErr_SetString(PyExc_ZeroDivisionError, "a parameter expression divided by zero");
            throw nb::python_error();
        }
        e.scale /= v;
        e.offset /= v;
    });
    cls.def("__neg__", [get](const T& self) {
        ParamExpr e = get(self);
        e.scale = -e.scale;
        e.offset = -e.offset;
        return nb::cast(ExpressionObject{e});
    });
    cls.def("__pos__", [get](const T& self) { return nb::cast(ExpressionObject{get(self)}); });
}

// Bytes of a parameter: its name and id. A copy that travels stays the same parameter.
void write_parameter(std::string& out, const Parameter& p) {
    for (int k = 0; k < 8; ++k) out += char((p->id >> (8 * k)) & 0xff);
    out += p->name;
}

Parameter read_parameter(std::string_view bytes) {
    if (bytes.size() < 8) throw nb::value_error("cannot read this Parameter: the data is damaged");
    uint64_t id = 0;
    for (int k = 0; k < 8; ++k) id |= uint64_t(uint8_t(bytes[k])) << (8 * k);
    return make_parameter(std::string(bytes.substr(8)), id);
}

std::string checked_name(nb::handle name) {
    if (!PyUnicode_Check(name.ptr()))
        throw nb::type_error(
            ("a parameter's name must be a str, got " + type_name_of(name)).c_str());
    std::string text = nb::cast<std::string>(name);
    if (text.empty()) throw nb::value_error("a parameter's name must not be empty");
    return text;
}

}  // namespace

void bind_parameters(nb::module_& m) {
    nb::class_<ParameterObject> parameter(m, "Parameter",
                                          R"DOC(A named angle that waits for a value.

Gates take a Parameter, or an affine expression of one (`2 * theta + 0.1`), wherever
they take an angle; the circuit keeps it until `bind` gives it a value, and sweeps
(`run_batch` and `prob_batch` with `parameter_values`, `expval` with
`parameter_values`, `quantum_info.gradient`) run it for many values while planning it
once. Parameters are known by identity: two made with the same name are different, and
a copy (pickled, sent to another process) stays the same one.

Args:
    name: the name shown in drawings and OpenQASM (a non-empty str).

Example:
    >>> theta = Parameter("theta")
    >>> c = QCircuit() << RY(0, 2 * theta + 0.1)
    >>> c.parameters
    [Parameter('theta')]
    >>> c.bind({theta: 0.2})
    QCircuit() << RY(0, 0.5)
)DOC");
    parameter
        .def(
            "__init__",
            [](ParameterObject* self, nb::handle name) {
                new (self) ParameterObject{make_parameter(checked_name(name))};
            },
            nb::arg("name"), nb::sig("def __init__(self, name: str) -> None"))
        .def_prop_ro(
            "name", [](const ParameterObject& self) { return self.p->name; }, "The name.")
        .def("__repr__",
             [](const ParameterObject& self) {
                 return "Parameter(" +
                        nb::cast<std::string>(nb::repr(nb::str(self.p->name.c_str()))) + ")";
             })
        .def("__str__", [](const ParameterObject& self) { return self.p->name; })
        .def(
            "__eq__",
            [](const ParameterObject& self, nb::handle other) -> nb::object {
                if (!nb::isinstance<ParameterObject>(other)) return not_implemented();
                return nb::bool_(nb::cast<const ParameterObject&>(other).p->id == self.p->id);
            },
            nb::arg("other").none(), nb::sig("def __eq__(self, other: object) -> bool"))
        .def("__hash__", [](const ParameterObject& self) { return Py_hash_t(self.p->id >> 1); });
    def_arithmetic(parameter, [](const ParameterObject& self) { return ParamExpr{self.p, 1, 0}; });
    make_picklable(
        parameter, "kestrix.core", 'a',
        [](const ParameterObject& self) {
            std::string out = "a";
            write_parameter(out, self.p);
            return out;
        },
        [](std::string_view bytes) { return ParameterObject{read_parameter(bytes.substr(1))}; },
        true);

    nb::class_<ExpressionObject> expression(m, "ParameterExpression",
                                            R"DOC(scale * parameter + offset, an angle of a gate.

Made by arithmetic on a Parameter with real numbers (`2 * theta + 0.1`, `-theta / 2`);
an expression of two parameters, or a product of parameters, is refused.

Example:
    >>> theta = Parameter("theta")
    >>> e = 2 * theta + 0.1
    >>> e.parameter == theta, e.scale, e.offset
    (True, 2.0, 0.1)
    >>> e.value(0.2)
    0.5
)DOC");
    expression
        .def_prop_ro(
            "parameter",
            [](const ExpressionObject& self) { return parameter_object(self.e.param); },
            nb::sig("def parameter(self) -> Parameter"), "The parameter it depends on.")
        .def_prop_ro(
            "scale", [](const ExpressionObject& self) { return self.e.scale; }, "The factor.")
        .def_prop_ro(
            "offset", [](const ExpressionObject& self) { return self.e.offset; }, "The constant.")
        .def(
            "value",
            [](const ExpressionObject& self, nb::handle x) {
                return self.e.at(to_angle(x, "value"));
            },
            nb::arg("x"), nb::sig("def value(self, x: float) -> float"),
            R"DOC(The angle when the parameter is x.

Args:
    x: the parameter's value (a finite real).

Returns:
    float: scale * x + offset.

Example:
    >>> (2 * Parameter("theta") + 0.1).value(0.2)
    0.5
)DOC")
        .def("__repr__",
             [](const ExpressionObject& self) {
                 return "ParameterExpression(" + expr_text(self.e) + ")";
             })
        .def("__str__", [](const ExpressionObject& self) { return expr_text(self.e); })
        .def(
            "__eq__",
            [](const ExpressionObject& self, nb::handle other) -> nb::object {
                const std::optional<ParamExpr> e = to_expression(other);
                if (!e) return not_implemented();
                return nb::bool_(*e == self.e);
            },
            nb::arg("other").none(), nb::sig("def __eq__(self, other: object) -> bool"))
        .def("__hash__", [](const ExpressionObject& self) {
            // Equal to a Parameter's hash when the expression is the parameter itself.
            if (self.e.scale == 1 && self.e.offset == 0) return Py_hash_t(self.e.param->id >> 1);
            return Py_hash_t((self.e.param->id >> 1) ^ std::hash<double>()(self.e.scale + 0.0) ^
                             (std::hash<double>()(self.e.offset + 0.0) << 1));
        });
    def_arithmetic(expression, [](const ExpressionObject& self) { return self.e; });
    make_picklable(
        expression, "kestrix.core", 'x',
        [](const ExpressionObject& self) {
            std::string out = "x";
            for (double v : {self.e.scale, self.e.offset}) {
                const uint64_t bits = std::bit_cast<uint64_t>(v);
                for (int k = 0; k < 8; ++k) out += char((bits >> (8 * k)) & 0xff);
            }
            write_parameter(out, self.e.param);
            return out;
        },
        [](std::string_view bytes) {
            if (bytes.size() < 17)
                throw nb::value_error("cannot read this ParameterExpression: the data is damaged");
            double v[2];
            for (int j = 0; j < 2; ++j) {
                uint64_t bits = 0;
                for (int k = 0; k < 8; ++k)
                    bits |= uint64_t(uint8_t(bytes[1 + 8 * j + k])) << (8 * k);
                v[j] = std::bit_cast<double>(bits);
            }
            if (!std::isfinite(v[0]) || !std::isfinite(v[1]))
                throw nb::value_error("cannot read this ParameterExpression: the data is damaged");
            return ExpressionObject{ParamExpr{read_parameter(bytes.substr(17)), v[0], v[1]}};
        },
        true);

    nb::class_<ParameterVectorObject> vector(m, "ParameterVector",
                                             R"DOC(n parameters named name[0] ... name[n-1].

A sequence of Parameter objects; wherever a list of parameters is taken (the column
order of `parameter_values`), a ParameterVector stands for its elements.

Args:
    name: the common name (a non-empty str).
    length: how many parameters (an int >= 0).

Example:
    >>> t = ParameterVector("t", 3)
    >>> len(t), t[1]
    (3, Parameter('t[1]'))
    >>> (QCircuit() << RX(0, t[0]) << RY(1, t[2])).parameters == [t[0], t[2]]
    True
)DOC");
    vector
        .def(
            "__init__",
            [](ParameterVectorObject* self, nb::handle name, nb::handle length) {
                const std::string base = checked_name(name);
                const uint64_t n = to_count_or_zero(length, "length");
                if (n > (uint64_t{1} << 20))
                    throw nb::value_error("a ParameterVector holds at most 2**20 parameters");
                std::vector<Parameter> items;
                items.reserve(n);
                for (uint64_t k = 0; k < n; ++k)
                    items.push_back(make_parameter(base + "[" + std::to_string(k) + "]"));
                new (self) ParameterVectorObject{base, std::move(items)};
            },
            nb::arg("name"), nb::arg("length"),
            nb::sig("def __init__(self, name: str, length: int) -> None"))
        .def_prop_ro(
            "name", [](const ParameterVectorObject& self) { return self.name; }, "The name.")
        .def_prop_ro(
            "params",
            [](const ParameterVectorObject& self) {
                nb::list out;
                for (const Parameter& p : self.items) out.append(parameter_object(p));
                return out;
            },
            nb::sig("def params(self) -> list[Parameter]"), "The parameters, in order.")
        .def("__len__", [](const ParameterVectorObject& self) { return self.items.size(); })
        .def(
            "__getitem__",
            [](const ParameterVectorObject& self, nb::handle index) {
                if (!PyIndex_Check(index.ptr()))
                    throw nb::type_error(
                        ("ParameterVector indices must be integers, not " + type_name_of(index))
                            .c_str());
                Py_ssize_t k = PyNumber_AsSsize_t(index.ptr(), PyExc_IndexError);
                if (k == -1 && PyErr_Occurred()) throw nb::python_error();
                const Py_ssize_t n = Py_ssize_t(self.items.size());
                if (k < 0) k += n;
                if (k < 0 || k >= n) throw nb::index_error("ParameterVector index out of range");
                return parameter_object(self.items[size_t(k)]);
            },
            nb::arg("index"),
            nb::sig("def __getitem__(self, index: typing.SupportsIndex) -> Parameter"))
        .def("__repr__", [](const ParameterVectorObject& self) {
            return "ParameterVector(" +
                   nb::cast<std::string>(nb::repr(nb::str(self.name.c_str()))) + ", " +
                   std::to_string(self.items.size()) + ")";
        });
    make_picklable(
        vector, "kestrix.core", 'V',
        [](const ParameterVectorObject& self) {
            std::string out = "V";
            auto u64 = [&](uint64_t v) {
                for (int k = 0; k < 8; ++k) out += char((v >> (8 * k)) & 0xff);
            };
            u64(self.name.size());
            out += self.name;
            u64(self.items.size());
            for (const Parameter& p : self.items) u64(p->id);
            return out;
        },
        [](std::string_view bytes) {
            size_t at = 1;
            auto u64 = [&]() {
                if (bytes.size() - at < 8)
                    throw nb::value_error("cannot read this ParameterVector: the data is damaged");
                uint64_t v = 0;
                for (int k = 0; k < 8; ++k) v |= uint64_t(uint8_t(bytes[at + k])) << (8 * k);
                at += 8;
                return v;
            };
            const uint64_t len = u64();
            if (len > bytes.size() - at)
                throw nb::value_error("cannot read this ParameterVector: the data is damaged");
            ParameterVectorObject v{std::string(bytes.substr(at, len)), {}};
            at += len;
            const uint64_t n = u64();
            if (n > (bytes.size() - at) / 8)
                throw nb::value_error("cannot read this ParameterVector: the data is damaged");
            for (uint64_t k = 0; k < n; ++k)
                v.items.push_back(make_parameter(v.name + "[" + std::to_string(k) + "]", u64()));
            return v;
        },
        true);
}

}  // namespace kestrix::py
