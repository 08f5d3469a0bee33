#include "kestrix/py/signature.h"

#include <string>
#include <string_view>
#include <vector>

#include "kestrix/py/argument_errors.h"

namespace kestrix::py {

namespace nb = nanobind;

namespace {

struct Signed {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject* inner;            ///< the nanobind function called
    vectorcallfunc inner_call;  ///< its vectorcall entry point
    PyObject* text_signature;   ///< "(qubit, theta)"
};

// Straight into the inner function's entry point: PyObject_Vectorcall would look it up and
// check its result again on every call, and gate constructors are called by the million.
PyObject* signed_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* s = reinterpret_cast<Signed*>(self);
    PyObject* result = s->inner_call(s->inner, args, nargsf, kwnames);
    if (!result) explain_argument_error(s->inner, args, nargsf, kwnames);
    return result;
}

PyObject* signed_call_generic(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    PyObject* inner = reinterpret_cast<Signed*>(self)->inner;
    PyObject* result = PyObject_Vectorcall(inner, args, nargsf, kwnames);
    if (!result) explain_argument_error(inner, args, nargsf, kwnames);
    return result;
}

// Names read from the wrapped function rather than from the wrapper's own type.
bool forwarded(std::string_view name) {
    return name == "__doc__" || name == "__name__" || name == "__qualname__" ||
           name == "__module__";
}

PyObject* signed_getattro(PyObject* self, PyObject* name) {
    auto* s = reinterpret_cast<Signed*>(self);
    const char* text = PyUnicode_AsUTF8(name);
    if (!text) return nullptr;
    if (std::string_view(text) == "__text_signature__") return Py_NewRef(s->text_signature);
    if (!forwarded(text)) {
        if (PyObject* own = PyObject_GenericGetAttr(self, name)) return own;
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
    }
    return PyObject_GetAttr(s->inner, name);
}

// Methods bind to their instance as Python functions do.
PyObject* signed_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* signed_repr(PyObject* self) {
    return PyUnicode_FromFormat("<built-in function %U>", nb::getattr(self, "__qualname__").ptr());
}

// Pickled by reference, like Python's own functions: the qualified name in its module.
PyObject* signed_reduce(PyObject* self, PyObject*) {
    return PyObject_GetAttrString(self, "__qualname__");
}

int signed_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* s = reinterpret_cast<Signed*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(s->inner);
    return 0;
}

void signed_dealloc(PyObject* self) {
    auto* s = reinterpret_cast<Signed*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(s->inner);
    Py_CLEAR(s->text_signature);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef signed_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(Signed, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef signed_methods[] = {
    {"__reduce__", signed_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The method type binds as a descriptor; past that first slot, both types are the same.
PyType_Slot method_slots[] = {
    {Py_tp_descr_get, reinterpret_cast<void*>(signed_get)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_getattro, reinterpret_cast<void*>(signed_getattro)},
    {Py_tp_repr, reinterpret_cast<void*>(signed_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(signed_traverse)},
    {Py_tp_dealloc, reinterpret_cast<void*>(signed_dealloc)},
    {Py_tp_members, signed_members},
    {Py_tp_methods, signed_methods},
    {0, nullptr},
};
PyType_Slot* const function_slots = method_slots + 1;

constexpr unsigned kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                            Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;

PyType_Spec function_spec = {"kestrix.builtin_function", sizeof(Signed), 0, kFlags, function_slots};
// METHOD_DESCRIPTOR: obj.method(...) calls with obj as first argument, no bound object.
PyType_Spec method_spec = {"kestrix.builtin_method", sizeof(Signed), 0,
                           kFlags | Py_TPFLAGS_METHOD_DESCRIPTOR, method_slots};

PyTypeObject* type_from(PyType_Spec& type_spec) {
    PyObject* type = PyType_FromSpec(&type_spec);
    if (!type) throw nb::python_error();
    return reinterpret_cast<PyTypeObject*>(type);
}

nb::object wrap(nb::handle inner, const std::string& text_signature, bool method) {
    static PyTypeObject* function_type = type_from(function_spec);
    static PyTypeObject* method_type = type_from(method_spec);
    PyTypeObject* type = method ? method_type : function_type;
    nb::object self = nb::steal(type->tp_alloc(type, 0));
    if (!self.is_valid()) throw nb::python_error();
    auto* s = reinterpret_cast<Signed*>(self.ptr());
    s->inner = Py_NewRef(inner.ptr());
    s->inner_call = PyVectorcall_Function(inner.ptr());
    s->vectorcall = s->inner_call ? signed_call : signed_call_generic;
    s->text_signature = nb::str(text_signature.c_str()).release().ptr();
    return self;
}

// Splits "a: int, b: list[int] = \0" at its top-level commas.
std::vector<std::string> split_params(std::string_view list) {
    std::vector<std::string> out;
    int depth = 0;
    size_t start = 0;
    for (size_t k = 0; k <= list.size(); ++k) {
        const char c = k < list.size() ? list[k] : ',';
        if (c == '[' || c == '(') ++depth;
        if (c == ']' || c == ')') --depth;
        if (c == ',' && depth == 0) {
            std::string_view part = list.substr(start, k - start);
            while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
            if (!part.empty()) out.emplace_back(part);
            start = k + 1;
        }
    }
    return out;
}

// "(self, shots=1000)" from nanobind's "def run(self, shots: object = \0) -> T" and the
// tuple of default values; empty when the function has overloads or no readable form.
std::string text_signature(nb::handle function, bool drop_self) {
    nb::object signatures = nb::getattr(function, "__nb_signature__", nb::none());
    if (!nb::isinstance<nb::tuple>(signatures) || nb::len(signatures) != 1) return {};
    nb::tuple entry = nb::borrow<nb::tuple>(signatures[0]);
    const std::string sig = nb::cast<std::string>(entry[0]);
    nb::handle defaults = entry[2];
    const size_t open = sig.find('(');
    if (open == std::string::npos) return {};
    size_t close = open;
    for (int depth = 0; close < sig.size(); ++close) {
        depth += sig[close] == '(' || sig[close] == '[';
        depth -= sig[close] == ')' || sig[close] == ']';
        if (depth == 0) break;
    }
    if (close == sig.size()) return {};
    std::vector<std::string> params =
        split_params(std::string_view(sig).substr(open + 1, close - open - 1));
    if (drop_self && !params.empty() && params.front() == "self") params.erase(params.begin());
    std::string out = "(";
    for (size_t k = 0; k < params.size(); ++k) {
        const std::string& p = params[k];
        const size_t name_end = p.find_first_of(":=");
        std::string text = p.substr(0, name_end);
        while (!text.empty() && text.back() == ' ') text.pop_back();
        const size_t equals = p.find('=');
        if (equals != std::string::npos) {
            std::string value = p.substr(equals + 1);
            while (!value.empty() && value.front() == ' ') value.erase(value.begin());
            // nanobind writes \N for the N-th default value; nb::sig strings give the text.
            if (value.starts_with("\\"))
                value = nb::repr(defaults[std::stoul(value.substr(1))]).c_str();
            text += "=" + value;
        }
        out += (k ? ", " : "") + text;
    }
    return out + ")";
}

bool is_nanobind_function(nb::handle value) {
    nb::handle type = value.type();
    return nb::cast<std::string>(type.attr("__module__")) == "nanobind" &&
           (nb::cast<std::string>(type.attr("__name__")) == "nb_func" ||
            nb::cast<std::string>(type.attr("__name__")) == "nb_method");
}

bool is_public(const std::string& name) { return !name.empty() && name[0] != '_'; }

// A dict copy of a namespace: the loops below replace entries as they go.
nb::dict snapshot(nb::handle object) {
    nb::object copy = nb::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type),
                                                    object.attr("__dict__").ptr()));
    if (!copy.is_valid()) throw nb::python_error();
    return nb::borrow<nb::dict>(copy);
}

// nanobind's call of a class, which sign_class replaces by constructed_call: the classes'
// constructors are nanobind __init__ functions, which report a mismatch in nanobind's words.
// Every nanobind class calls the same function; a class that calls another keeps its own.
vectorcallfunc g_type_call = nullptr;

PyObject* constructed_call(PyObject* callable, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames) {
    PyObject* made = g_type_call(callable, args, nargsf, kwnames);
    if (!made)
        explain_constructor_error(reinterpret_cast<PyTypeObject*>(callable), args, nargsf, kwnames);
    return made;
}

void sign_constructor(nb::handle cls) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    if (!type->tp_vectorcall || type->tp_vectorcall == constructed_call) return;
    if (!g_type_call) g_type_call = type->tp_vectorcall;
    if (type->tp_vectorcall == g_type_call) type->tp_vectorcall = constructed_call;
}

void sign_class(nb::handle cls) {
    nb::dict members = snapshot(cls);
    for (auto [key, value] : members) {
        const std::string name = nb::cast<std::string>(key);
        if (!is_public(name) || !is_nanobind_function(value)) continue;
        const bool method = nb::cast<std::string>(value.type().attr("__name__")) == "nb_method";
        const std::string text = text_signature(value, false);
        if (!text.empty()) nb::setattr(cls, key, wrap(value, text, method));
    }
    if (nb::handle init = members.get("__init__", nb::none()); is_nanobind_function(init)) {
        const std::string text = text_signature(init, true);
        if (!text.empty()) nb::setattr(cls, "__signature__", nb::str(text.c_str()));
        sign_constructor(cls);
    }
}

}  // namespace

void add_signatures(nb::module_& m) {
    const std::string module_name = nb::cast<std::string>(m.attr("__name__"));
    for (auto [key, value] : snapshot(m)) {
        const std::string name = nb::cast<std::string>(key);
        // Private functions too (not dunders): _loads must pickle by reference.
        if (name.starts_with("__")) continue;
        if (is_nanobind_function(value)) {
            const std::string text = text_signature(value, false);
            if (!text.empty()) nb::setattr(m, key, wrap(value, text, false));
        } else if (is_public(name) && PyType_Check(value.ptr()) &&
                   nb::cast<std::string>(value.attr("__module__")) == module_name) {
            sign_class(value);
        }
    }
}

}  // namespace kestrix::py
