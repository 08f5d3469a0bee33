#pragma once
// The one mapping from C++ exceptions to Python exceptions, used by the kestrix bindings
// (through nanobind's translator) and by every norvalis function, so a failure reads the
// same whichever layer raised it and no C++ type name reaches the user.
#include <exception>

namespace kestrix::py {

/// Sets the pending Python exception for `error`: libkestrix's ValueError, IndexError and
/// MemoryError become the builtin of the same name, nanobind's builtin exceptions theirs,
/// a pending Python error is restored, and anything else becomes a readable error.
void set_python_error(const std::exception_ptr& error) noexcept;

/// Installs set_python_error as nanobind's translator for this extension module.
void register_exceptions();

}  // namespace kestrix::py
