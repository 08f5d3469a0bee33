#include "norvalis/frame/errors.h"

#include <exception>

#include "kestrix/py/errors.h"

namespace norvalis::frame {

void set_python_error_from_current_exception() noexcept {
    kestrix::py::set_python_error(std::current_exception());
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

}  // namespace norvalis::frame
