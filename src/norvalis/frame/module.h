#pragma once
// Definition and loading of a norvalis extension module. NORVALIS_MODULE(name, m) exports
// the single entry point PyInit_<name> for multi-phase initialisation; its body runs at
// execution, binds the dependencies in order and defines functions and classes on `m`.
// A module loads once per process, in one interpreter; any failure while loading
// propagates to the importer unchanged and leaves the module unbound. GUIDE.md in this
// folder shows a whole module.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "norvalis/frame/function.h"

namespace norvalis::frame {

namespace nb = nanobind;

class ClassBuilder;

/// The module being executed, with the helpers its body uses in source order.
class Module {
  public:
    explicit Module(nb::handle module);

    /// from <module> import <names...>; with `level` dots it is relative to this module's
    /// package (level 1, module "" imports siblings: from . import dravine).
    void import_from(const char* module, std::initializer_list<const char*> names, int level = 0);
    /// import <module> as <alias>
    void import_as(const char* module, const char* alias);
    /// from <dots><module> import *, relative to this module's package (`level` dots).
    void import_star(const char* module, int level);

    /// Defines a module-level function and binds it as a module attribute. The body, a
    /// named function of the module's source (or any callable), takes the Call and returns
    /// a Python object, a C++ value nanobind converts, or nothing:
    ///     m.def("iter_num", iter_num, {arg("q_num"), arg("sol_num")}, R"DOC(...)DOC");
    template <class F>
    nb::object def(const char* name, F&& body, std::vector<Param> params, const Doc& doc) {
        return define(name, std::move(params), doc, to_body(std::forward<F>(body)));
    }
    /// Starts an ordinary class; ClassBuilder::finish binds it.
    ClassBuilder define_class(const char* name, const char* doc);
    /// The same with base classes other than object (an exception class, say):
    ///     m.define_class("NorvalisWarning", "...", nb::make_tuple(user_warning));
    ClassBuilder define_class(const char* name, const char* doc, nb::tuple bases);
    /// Records `value` as the original of `name` in place of what the module bound to it
    /// (originals.h), for a binding that counts only when it is what the module expects.
    void remember(const char* name, nb::handle value);

    nb::handle globals() const { return globals_; }

  private:
    nb::object define(const char* name, std::vector<Param> params, const Doc& doc, Body body);

    nb::handle globals_;
};

/// An ordinary Python class built from C++ functions: `type(name, bases, namespace)`,
/// bases (object,) unless given, so instances keep their state in `__dict__` and methods
/// may be replaced.
class ClassBuilder {
  public:
    ClassBuilder(nb::handle globals, const char* name, const char* doc,
                 nb::tuple bases = nb::tuple());

    /// A method, a named function as for Module::def; `params` starts with "self":
    ///     grover.method("cir", grover_cir, {arg("self"), arg("iternum", 1)}, "...");
    template <class F>
    void method(const char* name, F&& body, std::vector<Param> params, const Doc& doc) {
        add(name, std::move(params), doc, to_body(std::forward<F>(body)), false);
    }
    /// A static method.
    template <class F>
    void static_method(const char* name, F&& body, std::vector<Param> params, const Doc& doc) {
        add(name, std::move(params), doc, to_body(std::forward<F>(body)), true);
    }
    /// A class attribute (a constant the methods read through self).
    void attribute(const char* name, nb::handle value);
    /// Creates the class and binds it on the module.
    nb::object finish();

  private:
    void add(const char* name, std::vector<Param> params, const Doc& doc, Body body,
             bool is_static);

    nb::handle globals_;
    std::string name_;
    nb::dict namespace_;
    nb::tuple bases_;
};

/// Per-module load bookkeeping behind the refusal of a second initialisation.
struct LoadState {
    int64_t interpreter = -1;
    bool loaded = false;
};

/// The Py_mod_exec step: checks, nanobind registration, then `body`. Returns 0 or -1 with
/// the exception set.
int exec_module(PyObject* module, LoadState& state, void (*body)(Module&)) noexcept;

}  // namespace norvalis::frame

#define NORVALIS_MODULE(name, variable)                                                   \
    static void norvalis_body_##name(::norvalis::frame::Module&);                         \
    static int norvalis_exec_##name(PyObject* m) {                                        \
        static ::norvalis::frame::LoadState state;                                        \
        return ::norvalis::frame::exec_module(m, state, norvalis_body_##name);            \
    }                                                                                     \
    extern "C" [[maybe_unused]] NB_EXPORT PyObject* PyInit_##name(void);                  \
    extern "C" PyObject* PyInit_##name(void) {                                            \
        static PyObject* definition = nullptr;                                            \
        nanobind::detail::init_singletons();                                              \
        if (!nanobind::detail::nb_backend_init(#name)) return nullptr;                    \
        if (!definition)                                                                  \
            definition = NB_CALL(module_new)(#name, nullptr, (void*)norvalis_exec_##name, \
                                             NB_ABI_MINOR_TAG);                           \
        return definition;                                                                \
    }                                                                                     \
    void norvalis_body_##name(::norvalis::frame::Module& variable)
