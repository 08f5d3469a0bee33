#pragma once
// Functions written in C++ that behave like Python functions: arguments bind by position
// or keyword with defaults computed once, the docstring begins with the signature line,
// they bind as methods when stored on a class, they read module-level names at call
// time, and an exception leaving them carries a traceback entry naming them.
#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <functional>
#include <source_location>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace norvalis::frame {

namespace nb = nanobind;

/// One parameter: a name and, unless it is required, the default value.
struct Param {
    const char* name;
    nb::object default_value;  ///< invalid handle: required
    bool var_keyword = false;  ///< **name: a dict of the keywords no other parameter takes
    /// The type the module's stub gives it ("int", "numpy.typing.ArrayLike", ...), written
    /// with full module paths; null leaves it untyped. It changes nothing at run time.
    const char* type = nullptr;
    bool is_return = false;  ///< the pseudo-parameter of returns(): the function's return type

    /// This parameter with its type in the stub: `arg("k", 2).typed("int")`.
    Param typed(const char* annotation) const {
        Param p = *this;
        p.type = annotation;
        return p;
    }
};

inline Param arg(const char* name) { return {name, nb::object()}; }

/// The return type in the module's stub, listed after the parameters:
///     {arg("q_num").typed("int"), arg("sol_num").typed("int"), returns("int")}
/// It is no parameter: the signature, the arity and the binding of arguments ignore it.
inline Param returns(const char* annotation) {
    Param p{"return", nb::object()};
    p.type = annotation;
    p.is_return = true;
    return p;
}

/// The last parameter as **name, for functions that take open-ended keyword options.
inline Param var_keyword(const char* name) { return {name, nb::object(), true}; }

template <class T>
Param arg(const char* name, T&& default_value) {
    return {name, nb::cast(std::forward<T>(default_value))};
}

struct FunctionData;

/// The arguments of one call, bound to the parameters in their declared order.
class Call {
  public:
    Call(const FunctionData& function, std::vector<nb::handle> args)
        : function_(function), args_(std::move(args)) {}

    /// Every argument, in declared order, for unpacking by name:
    ///     auto [qubits, shots] = call.args<2>();
    /// N must be the number of parameters (a mismatch is a SystemError, never a misread).
    template <size_t N>
    std::array<nb::handle, N> args() const {
        if (N != args_.size()) wrong_arity(N);
        std::array<nb::handle, N> out;
        for (size_t k = 0; k < N; ++k) out[k] = args_[k];
        return out;
    }
    /// The index-th value a closure captured when it was made.
    nb::handle captured(size_t index) const;
    /// A module-level name looked up now (module dictionary, then builtins), so that a
    /// caller who replaces it on the module is obeyed; NameError when absent.
    nb::object global(const char* name) const;
    /// Whether that name, looked up now as global() looks it up, is still the object the
    /// module bound to it at import (originals.h): the test before a C++ fast path that
    /// stands in for calls through the name.
    bool is_original(const char* name) const;
    const FunctionData& function() const { return function_; }

  private:
    [[noreturn]] void wrong_arity(size_t unpacked) const;

    const FunctionData& function_;
    std::vector<nb::handle> args_;
};

using Body = std::function<nb::object(const Call&)>;

/// Adapts a body to Body: one returning nothing returns None, one returning a C++ value
/// (a double, a kestrix::Circuit, ...) returns it converted to Python.
template <class F>
Body to_body(F&& f) {
    // A Python object is callable too, and one named like the function it was meant to
    // register (`nb::object iswap = m.def("iswap", iswap, ...)`) would be taken for it.
    static_assert(!std::is_base_of_v<nb::handle, std::decay_t<F>>,
                  "a body is a C++ function taking const Call&, not a Python object");
    using R = std::invoke_result_t<F&, const Call&>;
    if constexpr (std::is_void_v<R>) {
        return [f = std::forward<F>(f)](const Call& call) -> nb::object {
            f(call);
            return nb::none();
        };
    } else if constexpr (std::is_convertible_v<R, nb::object>) {
        return Body(std::forward<F>(f));
    } else {
        return
            [f = std::forward<F>(f)](const Call& call) -> nb::object { return nb::cast(f(call)); };
    }
}

/// Everything a function needs, fixed when it is defined.
struct FunctionData {
    std::string name;
    std::string qualname;
    std::vector<Param> params;
    Body body;
    nb::object globals;   ///< the defining module's dictionary
    nb::object captured;  ///< a closure's captured values (a tuple), else invalid
    std::string file;
    int line = 0;
    std::string remake;  ///< a module-level function remaking this closure from `captured`
};

/// What a definition site passes: the documentation below the signature line, and where
/// it is in the source (for traceback entries).
struct Doc {
    const char* text;
    std::source_location where;
    Doc(const char* text, std::source_location where = std::source_location::current())
        : text(text), where(where) {}
};

/// A new function object. `qualname` is the dotted path inside the module
/// ("Grover.cir", "Grover.__init__.<locals>.s_f").
nb::object make_function(nb::handle globals, std::string name, std::string qualname,
                         std::vector<Param> params, const Doc& doc, Body body);

/// A function defined inside the running call, named as a Python closure would be:
/// "<caller's qualname>.<locals>.<name>". The Python values it keeps go in `captured`
/// (read back with Call::captured), not in the C++ lambda, so that the garbage collector
/// sees them and can break reference cycles through them.
nb::object make_closure(const Call& caller, const char* name, std::vector<Param> params,
                        const Doc& doc, nb::tuple captured, Body body);

template <class F>
nb::object closure(const Call& caller, const char* name, std::vector<Param> params, const Doc& doc,
                   nb::tuple captured, F&& body) {
    return make_closure(caller, name, std::move(params), doc, std::move(captured),
                        to_body(std::forward<F>(body)));
}

/// A closure that pickles, for one that an object users keep holds (so the object travels
/// to other processes): it is "<outer>.<locals>.<name>" in the module of `globals`, and
/// pickles as remake(*captured), `remake` naming a module-level function that makes the
/// same closure again from those values.
nb::object make_picklable_closure(nb::handle globals, const std::string& outer, const char* name,
                                  std::vector<Param> params, const Doc& doc, nb::tuple captured,
                                  Body body, const char* remake);

/// The signature line of a function: "name(a, b=1)".
std::string signature_line(const std::string& name, const std::vector<Param>& params);

}  // namespace norvalis::frame
