#include "norvalis/frame/function.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "norvalis/frame/errors.h"

namespace norvalis::frame {

namespace {

struct FunctionObject {
    PyObject_HEAD FunctionData* data;
    PyObject* dict;  ///< __name__, __qualname__, __module__, __doc__, __text_signature__
};

std::string quoted_list(const std::vector<std::string>& names) {
    // Python's own wording: 'a', 'a' and 'b', 'a', 'b', and 'c'.
    std::string out;
    for (size_t k = 0; k < names.size(); ++k) {
        if (k > 0) out += names.size() == 2 ? " and " : (k + 1 == names.size() ? ", and " : ", ");
        out += "'" + names[k] + "'";
    }
    return out;
}

bool has_var_keyword(const FunctionData& f) {
    return !f.params.empty() && f.params.back().var_keyword;
}

[[noreturn]] void too_many_positional(const FunctionData& f, size_t given) {
    const size_t total = f.params.size() - has_var_keyword(f);
    size_t required = 0;
    for (size_t k = 0; k < total; ++k) required += !f.params[k].default_value.is_valid();
    std::string takes = required == total
                            ? std::to_string(total)
                            : "from " + std::to_string(required) + " to " + std::to_string(total);
    raise(PyExc_TypeError, "%s() takes %s positional argument%s but %zd %s given",
          f.qualname.c_str(), takes.c_str(), total == 1 ? "" : "s", given,
          given == 1 ? "was" : "were");
}

// The named parameter a keyword binds to; SIZE_MAX when a **name parameter takes it.
size_t param_index(const FunctionData& f, PyObject* keyword) {
    if (!PyUnicode_Check(keyword)) raise(PyExc_TypeError, "keywords must be strings");
    for (size_t k = 0; k < f.params.size(); ++k)
        if (!f.params[k].var_keyword &&
            PyUnicode_CompareWithASCIIString(keyword, f.params[k].name) == 0)
            return k;
    if (has_var_keyword(f)) return SIZE_MAX;
    raise(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", f.qualname.c_str(),
          keyword);
}

// Binds the arguments to the parameters; a **name parameter gets `extra`, a new dict that
// the caller keeps alive for the call.
std::vector<nb::handle> bind_arguments(const FunctionData& f, PyObject* args, PyObject* kwargs,
                                       nb::object& extra) {
    const size_t given = size_t(PyTuple_GET_SIZE(args));
    if (given > f.params.size() - has_var_keyword(f)) too_many_positional(f, given);
    std::vector<nb::handle> bound(f.params.size());
    for (size_t k = 0; k < given; ++k) bound[k] = PyTuple_GET_ITEM(args, k);
    if (has_var_keyword(f)) {
        extra = nb::dict();
        bound.back() = extra;
    }
    if (kwargs) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            const size_t k = param_index(f, key);
            if (k == SIZE_MAX) {
                if (PyDict_SetItem(extra.ptr(), key, value) < 0) throw nb::python_error();
                continue;
            }
            if (bound[k].is_valid()) {
                raise(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                      f.qualname.c_str(), f.params[k].name);
            }
            bound[k] = value;
        }
    }
    std::vector<std::string> missing;
    for (size_t k = 0; k < bound.size(); ++k) {
        if (bound[k].is_valid()) continue;
        if (f.params[k].default_value.is_valid()) {
            bound[k] = f.params[k].default_value;
        } else {
            missing.push_back(f.params[k].name);
        }
    }
    if (!missing.empty()) {
        raise(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
              f.qualname.c_str(), missing.size(), missing.size() == 1 ? "" : "s",
              quoted_list(missing).c_str());
    }
    return bound;
}

std::string source_path(std::string_view file) {
    const size_t src = file.rfind("/src/");
    return std::string(src == std::string_view::npos ? file : file.substr(src + 5));
}

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    const FunctionData& f = *reinterpret_cast<FunctionObject*>(self)->data;
    int line = f.line;
    try {
        nb::object extra;
        // Arguments are borrowed from the call's tuple and keyword dict. The tuple cannot
        // change, but the dict may be the caller's own (functools.partial passes its
        // `keywords`), which user code run by the body could empty: bind from a copy.
        nb::object keywords;
        if (kwargs) {
            keywords = nb::steal(PyDict_Copy(kwargs));
            if (!keywords.is_valid()) throw nb::python_error();
        }
        Call call(f, bind_arguments(f, args, keywords.ptr(), extra));
        nb::object result = f.body(call);
        return result.is_valid() ? result.release().ptr() : Py_NewRef(Py_None);
    } catch (RaisedError& e) {
        e.restore();
        // Point at the refusing line when it is in this function's own source file.
        if (source_path(e.where.file_name()) == f.file) line = int(e.where.line());
    } catch (...) {
        set_python_error_from_current_exception();
    }
    add_traceback(f.name.c_str(), f.file.c_str(), line);
    return nullptr;
}

// Stored on a class, the function binds to the instance as a Python function does.
PyObject* function_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* function_repr(PyObject* self) {
    const FunctionData& f = *reinterpret_cast<FunctionObject*>(self)->data;
    return PyUnicode_FromFormat("<function %s at %p>", f.qualname.c_str(), self);
}

// Functions take part in garbage collection like Python functions: a closure capturing an
// object that refers back to it must not leak.
int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->dict);
    if (f->data) {
        Py_VISIT(f->data->globals.ptr());
        Py_VISIT(f->data->captured.ptr());
        for (const Param& p : f->data->params) Py_VISIT(p.default_value.ptr());
    }
    return 0;
}

int function_clear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->dict);
    if (f->data) {
        f->data->globals.reset();
        f->data->captured.reset();
        for (Param& p : f->data->params) p.default_value.reset();
    }
    return 0;
}

void function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    delete f->data;
    type->tp_free(self);
    Py_DECREF(type);
}

// Pickled by reference, as Python's functions are: the qualified name in its module. A
// closure's name holds "<locals>", and pickle refuses it as it refuses Python's closures,
// unless the closure names the module-level function that remakes it.
PyObject* function_reduce(PyObject* self, PyObject*) {
    const FunctionData& f = *reinterpret_cast<FunctionObject*>(self)->data;
    if (f.remake.empty() || !f.captured.is_valid()) return PyUnicode_FromString(f.qualname.c_str());
    PyObject* remake = nullptr;
    if (PyDict_GetItemStringRef(f.globals.ptr(), f.remake.c_str(), &remake) <= 0) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_AttributeError, "cannot pickle %s: %s is gone from its module",
                         f.qualname.c_str(), f.remake.c_str());
        return nullptr;
    }
    return PyTuple_Pack(2, nb::steal(remake).ptr(), f.captured.ptr());
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(function_call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_get)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {Py_tp_doc, const_cast<char*>("A function of a norvalis module, compiled from C++.")},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "norvalis.compiled_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    function_slots,
};

// One type per extension module: each module links its own copy of the frame.
PyTypeObject* function_type() {
    static PyObject* type = nullptr;
    if (!type) {
        type = PyType_FromSpec(&function_spec);
        if (!type) throw nb::python_error();
    }
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace

void Call::wrong_arity(size_t unpacked) const {
    raise(PyExc_SystemError, "%s() unpacks %zu arguments but declares %zu parameters",
          function_.qualname.c_str(), unpacked, args_.size());
}

nb::handle Call::captured(size_t index) const {
    if (!function_.captured.is_valid()) raise(PyExc_SystemError, "not a closure");
    return PyTuple_GET_ITEM(function_.captured.ptr(), Py_ssize_t(index));
}

nb::object Call::global(const char* name) const {
    if (!function_.globals.is_valid()) raise(PyExc_SystemError, "function already cleared");
    PyObject* value = nullptr;
    if (PyDict_GetItemStringRef(function_.globals.ptr(), name, &value) < 0)
        throw nb::python_error();
    if (!value && PyDict_GetItemStringRef(PyEval_GetBuiltins(), name, &value) < 0)
        throw nb::python_error();
    if (!value) raise(PyExc_NameError, "name '%s' is not defined", name);
    return nb::steal(value);
}

std::string signature_line(const std::string& name, const std::vector<Param>& params) {
    std::string line = name + "(";
    for (size_t k = 0; k < params.size(); ++k) {
        if (k > 0) line += ", ";
        if (params[k].var_keyword) line += "**";
        line += params[k].name;
        if (params[k].default_value.is_valid())
            line.append("=").append(nb::repr(params[k].default_value).c_str());
    }
    return line + ")";
}

nb::object make_function(nb::handle globals, std::string name, std::string qualname,
                         std::vector<Param> params, const Doc& doc, Body body) {
    // The types the stub declares: each typed parameter's, and the return type, which
    // returns() lists last and which is no parameter.
    nb::dict annotations;
    if (!params.empty() && params.back().is_return) {
        annotations["return"] = params.back().type;
        params.pop_back();
    }
    for (const Param& p : params) {
        if (p.is_return) raise(PyExc_SystemError, "%s: returns() must come last", qualname.c_str());
        if (p.type) annotations[p.name] = p.type;
    }
    PyTypeObject* type = function_type();
    nb::object self = nb::steal(type->tp_alloc(type, 0));
    if (!self.is_valid()) throw nb::python_error();
    auto* f = reinterpret_cast<FunctionObject*>(self.ptr());
    f->dict = PyDict_New();
    if (!f->dict) throw nb::python_error();
    f->data = new FunctionData{std::move(name),
                               std::move(qualname),
                               std::move(params),
                               std::move(body),
                               nb::borrow(globals),
                               nb::object(),
                               source_path(doc.where.file_name()),
                               int(doc.where.line()),
                               std::string()};
    const FunctionData& data = *f->data;
    const std::string signature = signature_line(data.name, data.params);
    std::string text = signature;
    // Raw-string docstrings may open and close on lines of their own.
    std::string_view rest = doc.text ? doc.text : "";
    while (!rest.empty() && rest.front() == '\n') rest.remove_prefix(1);
    while (!rest.empty() && (rest.back() == '\n' || rest.back() == ' ')) rest.remove_suffix(1);
    if (!rest.empty()) text += "\n\n" + std::string(rest);
    nb::dict attrs = nb::borrow<nb::dict>(f->dict);
    attrs["__name__"] = data.name.c_str();
    attrs["__qualname__"] = data.qualname.c_str();
    attrs["__module__"] = nb::borrow<nb::dict>(globals)["__name__"];
    attrs["__doc__"] = text.c_str();
    attrs["__text_signature__"] = signature.substr(data.name.size()).c_str();
    // Read by tools/stubgen.py alone; inspect.signature keeps the untyped text signature.
    if (annotations.size() > 0) attrs["__annotations__"] = annotations;
    return self;
}

namespace {

nb::object closure_function(nb::handle globals, const std::string& outer, const char* name,
                            std::vector<Param> params, const Doc& doc, nb::tuple captured,
                            Body body, const char* remake) {
    nb::object f = make_function(globals, name, outer + ".<locals>." + name, std::move(params), doc,
                                 std::move(body));
    FunctionData& data = *reinterpret_cast<FunctionObject*>(f.ptr())->data;
    data.captured = std::move(captured);
    data.remake = remake;
    return f;
}

}  // namespace

nb::object make_closure(const Call& caller, const char* name, std::vector<Param> params,
                        const Doc& doc, nb::tuple captured, Body body) {
    const FunctionData& parent = caller.function();
    return closure_function(parent.globals, parent.qualname, name, std::move(params), doc,
                            std::move(captured), std::move(body), "");
}

nb::object make_picklable_closure(nb::handle globals, const std::string& outer, const char* name,
                                  std::vector<Param> params, const Doc& doc, nb::tuple captured,
                                  Body body, const char* remake) {
    return closure_function(globals, outer, name, std::move(params), doc, std::move(captured),
                            std::move(body), remake);
}

}  // namespace norvalis::frame
