#pragma once
// nanobind answers a call that matches no form of a function with "incompatible function
// arguments" and the full signature, which names neither the argument at fault nor what it
// should be. The SDK's own wording does: "H(): qubit must be an integer, got NoneType",
// "measure(): missing required argument 'cbits'". Every signed kestrix function (see
// signature.h) passes its failures through here, so the wording is the same everywhere.
#include <Python.h>

namespace kestrix::py {

/// Call when `function` (a nanobind function) has just failed on these vectorcall
/// arguments. If the pending error is nanobind's mismatch TypeError, it is replaced by a
/// TypeError that names the function, the argument and what it expects; any other pending
/// error is left as it is.
void explain_argument_error(PyObject* function, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames) noexcept;

/// The same for a call of the class `type` that failed in its nanobind __init__: the
/// message names the class, as in "StateVector(): data must be ...".
void explain_constructor_error(PyTypeObject* type, PyObject* const* args, size_t nargsf,
                               PyObject* kwnames) noexcept;

}  // namespace kestrix::py
