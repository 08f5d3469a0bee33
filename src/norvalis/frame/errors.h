#pragma once
// How failures leave a norvalis function: C++ exceptions become the Python exception
// they stand for (through the SDK's one mapper), and the function gets a traceback entry
// of its own, as a Python function would. An error raised with `raise` remembers its
// source line, so the entry points at the very line that refused the input.
#include <nanobind/nanobind.h>

#include <source_location>

namespace norvalis::frame {

namespace nb = nanobind;

/// A format string together with the place it is written (captured implicitly).
struct Located {
    const char* text;
    std::source_location where;
    Located(const char* text, std::source_location where = std::source_location::current())
        : text(text), where(where) {}
};

/// The pending Python exception, thrown by `raise`, with the line that raised it.
struct RaisedError : nb::python_error {
    std::source_location where;
    explicit RaisedError(std::source_location where) : where(where) {}
};

/// Raises `type` with a message formatted as PyErr_Format does ("%s", "%zd", "%S", ...).
template <class... Args>
[[noreturn]] void raise(PyObject* type, Located format, Args... args) {
    if constexpr (sizeof...(Args) == 0) {
        PyErr_SetString(type, format.text);
    } else {
        PyErr_Format(type, format.text, args...);
    }
    throw RaisedError(format.where);
}

/// Turns the C++ exception being handled into the pending Python exception. Call only
/// from inside a catch block.
void set_python_error_from_current_exception() noexcept;

/// Adds a traceback entry "File <file>, line <line>, in <function>" to the pending
/// Python exception.
void add_traceback(const char* function, const char* file, int line) noexcept;

}  // namespace norvalis::frame
