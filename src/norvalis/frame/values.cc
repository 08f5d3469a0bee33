#include "norvalis/frame/values.h"

#include "norvalis/frame/errors.h"

namespace norvalis::frame {

void check_exact_type(nb::handle value, PyTypeObject* expected, const char* name, bool allow_none,
                      std::source_location where) {
    if (Py_IS_TYPE(value.ptr(), expected) || (allow_none && value.is_none())) return;
    raise(PyExc_TypeError,
          Located("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", where),
          name, expected->tp_name, Py_TYPE(value.ptr())->tp_name);
}

bool truthy(nb::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw nb::python_error();
    return result == 1;
}

bool contains(nb::handle container, nb::handle value) {
    const int result = PySequence_Contains(container.ptr(), value.ptr());
    if (result < 0) throw nb::python_error();
    return result == 1;
}

nb::handle builtin_int() { return reinterpret_cast<PyObject*>(&PyLong_Type); }

long long as_long(nb::handle value) {
    const long long v = PyLong_AsLongLong(value.ptr());
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

double as_double(nb::handle value) {
    const double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

bool has_len(nb::handle value) {
    const int found = PyObject_HasAttrStringWithError(value.ptr(), "__len__");
    if (found < 0) throw nb::python_error();
    return found == 1;
}

nb::object list_of(nb::handle value) {
    nb::list out;
    out.append(value);
    return out;
}

nb::object listed(nb::handle value) { return has_len(value) ? nb::borrow(value) : list_of(value); }

Py_ssize_t length(nb::handle value) {
    const Py_ssize_t n = PyObject_Length(value.ptr());
    if (n < 0) throw nb::python_error();
    return n;
}

nb::object item(nb::handle value, Py_ssize_t index) {
    nb::object key = nb::steal(PyLong_FromSsize_t(index));
    PyObject* result = PyObject_GetItem(value.ptr(), key.ptr());
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

nb::object slice(nb::handle value, std::optional<Py_ssize_t> start,
                 std::optional<Py_ssize_t> stop) {
    nb::object lo = start ? nb::steal(PyLong_FromSsize_t(*start)) : nb::none();
    nb::object hi = stop ? nb::steal(PyLong_FromSsize_t(*stop)) : nb::none();
    nb::object range = nb::steal(PySlice_New(lo.ptr(), hi.ptr(), nullptr));
    PyObject* result = PyObject_GetItem(value.ptr(), range.ptr());
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

nb::object slice_to(nb::handle value, nb::handle stop) {
    nb::object range = nb::steal(PySlice_New(nullptr, stop.ptr(), nullptr));
    if (!range.is_valid()) throw nb::python_error();
    PyObject* result = PyObject_GetItem(value.ptr(), range.ptr());
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

nb::object distinct(nb::handle items) {
    nb::object set = nb::steal(PySet_New(items.ptr()));
    if (!set.is_valid()) throw nb::python_error();
    PyObject* result = PySequence_List(set.ptr());
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

nb::object power(nb::handle base, nb::handle exponent) {
    PyObject* result = PyNumber_Power(base.ptr(), exponent.ptr(), Py_None);
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

}  // namespace norvalis::frame
