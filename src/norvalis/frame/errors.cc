#include "errors.h"

#include <cstdarg>
#include <exception>
#include <new>
#include <typeinfo>

#include "kestrix/lib/errors.h"

namespace norvalis::frame {

namespace {

PyObject* python_type_of(nb::exception_type type) {
    switch (type) {
        case nb::exception_type::stop_iteration: return PyExc_StopIteration;
        case nb::exception_type::index_error: return PyExc_IndexError;
        case nb::exception_type::key_error: return PyExc_KeyError;
        case nb::exception_type::value_error: return PyExc_ValueError;
        case nb::exception_type::type_error: return PyExc_TypeError;
        case nb::exception_type::buffer_error: return PyExc_BufferError;
        case nb::exception_type::import_error: return PyExc_ImportError;
        case nb::exception_type::attribute_error: return PyExc_AttributeError;
        default: return PyExc_RuntimeError;
    }
}

}  // namespace

void set_python_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const nb::builtin_exception& e) {
        PyErr_SetString(python_type_of(e.type()), e.what());
    } catch (const kestrix::ValueError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const kestrix::IndexError& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const kestrix::MemoryError& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_cast& e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

void add_traceback(const char* function, const char* file, int line) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    PyCodeObject* code = PyCode_NewEmpty(file, function, line);
    PyObject* globals = code ? PyDict_New() : nullptr;
    PyFrameObject* frame =
        globals ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    // A failure to build the entry must not hide the exception it was meant to annotate.
    PyErr_Clear();
    PyErr_SetRaisedException(pending);
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(globals);
    Py_XDECREF(code);
}

void raise(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw nb::python_error();
}

}  // namespace norvalis::frame
