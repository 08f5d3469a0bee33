#include "norvalis/frame/module.h"

#include "norvalis/frame/errors.h"
#include "norvalis/frame/originals.h"

namespace norvalis::frame {

Module::Module(nb::handle module) : globals_(PyModule_GetDict(module.ptr())) {}

void Module::import_from(const char* module, std::initializer_list<const char*> names, int level) {
    nb::list fromlist;
    for (const char* name : names) fromlist.append(name);
    nb::object source = nb::steal(
        PyImport_ImportModuleLevel(module, globals_.ptr(), nullptr, fromlist.ptr(), level));
    if (!source.is_valid()) throw nb::python_error();
    for (const char* name : names) {
        PyObject* value = nullptr;
        if (PyObject_GetOptionalAttrString(source.ptr(), name, &value) < 0)
            throw nb::python_error();
        if (!value) raise(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
        nb::object owned = nb::steal(value);
        if (PyDict_SetItemString(globals_.ptr(), name, value) < 0) throw nb::python_error();
        remember_original(name, value);
    }
}

void Module::import_as(const char* module, const char* alias) {
    nb::object value = nb::steal(PyImport_ImportModule(module));
    if (!value.is_valid()) throw nb::python_error();
    if (PyDict_SetItemString(globals_.ptr(), alias, value.ptr()) < 0) throw nb::python_error();
    remember_original(alias, value);
}

void Module::import_star(const char* module, int level) {
    nb::object fromlist = nb::make_tuple("*");
    nb::object source = nb::steal(
        PyImport_ImportModuleLevel(module, globals_.ptr(), nullptr, fromlist.ptr(), level));
    if (!source.is_valid()) throw nb::python_error();
    nb::object names;
    if (!nb::hasattr(source, "__all__")) {
        nb::list public_names;
        for (nb::handle key : nb::borrow<nb::dict>(source.attr("__dict__")).keys()) {
            const char* text = PyUnicode_AsUTF8(key.ptr());
            if (!text) throw nb::python_error();
            if (text[0] != '_') public_names.append(key);
        }
        names = std::move(public_names);
    } else {
        names = source.attr("__all__");
    }
    for (nb::handle name : names) {
        nb::object value = source.attr(name);
        if (PyDict_SetItem(globals_.ptr(), name.ptr(), value.ptr()) < 0) throw nb::python_error();
        if (!PyUnicode_Check(name.ptr())) continue;  // bound, but no name to remember it by
        const char* text = PyUnicode_AsUTF8(name.ptr());
        if (!text) throw nb::python_error();
        remember_original(text, value);
    }
}

nb::object Module::define(const char* name, std::vector<Param> params, const Doc& doc, Body body) {
    nb::object f = make_function(globals_, name, name, std::move(params), doc, std::move(body));
    if (PyDict_SetItemString(globals_.ptr(), name, f.ptr()) < 0) throw nb::python_error();
    remember_original(name, f);
    return f;
}

ClassBuilder Module::define_class(const char* name, const char* doc) {
    return ClassBuilder(globals_, name, doc);
}

ClassBuilder Module::define_class(const char* name, const char* doc, nb::tuple bases) {
    return ClassBuilder(globals_, name, doc, std::move(bases));
}

void Module::remember(const char* name, nb::handle value) { remember_original(name, value); }

ClassBuilder::ClassBuilder(nb::handle globals, const char* name, const char* doc, nb::tuple bases)
    : globals_(globals), name_(name), bases_(std::move(bases)) {
    namespace_["__module__"] = nb::borrow<nb::dict>(globals)["__name__"];
    namespace_["__qualname__"] = name;
    namespace_["__doc__"] = doc;
}

void ClassBuilder::add(const char* name, std::vector<Param> params, const Doc& doc, Body body,
                       bool is_static) {
    const std::string qualname = name_ + "." + name;
    nb::object f = make_function(globals_, name, qualname, std::move(params), doc, std::move(body));
    namespace_[name] = is_static ? nb::steal(PyStaticMethod_New(f.ptr())) : f;
    remember_original(qualname, f, is_static);
}

void ClassBuilder::attribute(const char* name, nb::handle value) { namespace_[name] = value; }

nb::object ClassBuilder::finish() {
    nb::object bases =
        bases_.size() > 0
            ? nb::object(bases_)
            : nb::make_tuple(nb::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    nb::object cls =
        nb::borrow(reinterpret_cast<PyObject*>(&PyType_Type))(name_.c_str(), bases, namespace_);
    if (PyDict_SetItemString(globals_.ptr(), name_.c_str(), cls.ptr()) < 0)
        throw nb::python_error();
    remember_original(name_, cls);
    return cls;
}

int exec_module(PyObject* module, LoadState& state, void (*body)(Module&)) noexcept {
    const char* name = PyModule_GetName(module);
    if (!name) return -1;
    const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (state.interpreter == -1) state.interpreter = interpreter;
    if (interpreter != state.interpreter) {
        PyErr_Format(PyExc_ImportError, "%s can be loaded in one interpreter per process only",
                     name);
        return -1;
    }
    if (state.loaded) {
        PyErr_Format(PyExc_ImportError,
                     "%s is already initialised in this process and cannot be initialised "
                     "again",
                     name);
        return -1;
    }
    nanobind::detail::internals = NB_CALL(nb_module_init)(NB_DOMAIN_STR, module);
    if (!nanobind::detail::internals) return -1;
    try {
        Module m(module);
        body(m);
    } catch (...) {
        set_python_error_from_current_exception();
        return -1;
    }
    state.loaded = true;
    return 0;
}

}  // namespace norvalis::frame
