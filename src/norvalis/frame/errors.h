#pragma once
// How failures leave a norvalis function: C++ exceptions become the Python exception
// they stand for, and the function gets a traceback entry of its own, as a Python
// function would.
#include <nanobind/nanobind.h>

namespace norvalis::frame {

namespace nb = nanobind;

/// Turns the C++ exception being handled into the pending Python exception. Call only
/// from inside a catch block.
void set_python_error_from_current_exception() noexcept;

/// Adds a traceback entry "File <file>, line <line>, in <function>" to the pending
/// Python exception.
void add_traceback(const char* function, const char* file, int line) noexcept;

/// Raises `type` with a formatted message (printf style, as PyErr_Format).
[[noreturn]] void raise(PyObject* type, const char* format, ...);

}  // namespace norvalis::frame
