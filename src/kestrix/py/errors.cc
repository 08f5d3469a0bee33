#include "kestrix/py/errors.h"

#include <nanobind/nanobind.h>

#include <new>
#include <typeinfo>

#include "kestrix/lib/base/errors.h"

namespace kestrix::py {

namespace nb = nanobind;

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

void set_python_error(const std::exception_ptr& error) noexcept {
    try {
        std::rethrow_exception(error);
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const nb::builtin_exception& e) {
        PyErr_SetString(python_type_of(e.type()), e.what());
    } catch (const ValueError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const IndexError& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const MemoryError& e) {
        PyErr_SetString(PyExc_MemoryError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_SetString(PyExc_MemoryError, "not enough memory for this operation");
    } catch (const std::length_error&) {
        PyErr_SetString(PyExc_MemoryError, "the requested size is too large for this machine");
    } catch (const std::bad_cast&) {
        PyErr_SetString(PyExc_TypeError, "an argument has the wrong type for this operation");
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown error in compiled code");
    }
}

void register_exceptions() {
    static bool done = false;
    if (done) return;
    done = true;
    nb::register_exception_translator(
        [](const std::exception_ptr& error, void*) { set_python_error(error); });
}

}  // namespace kestrix::py
