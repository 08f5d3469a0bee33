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

nb::object rich_compare(nb::handle a, nb::handle b, int op) {
    PyObject* result = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

bool rich_compare_bool(nb::handle a, nb::handle b, int op) {
    const int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (result < 0) throw nb::python_error();
    return result == 1;
}

nb::handle builtin_int() { return reinterpret_cast<PyObject*>(&PyLong_Type); }

nb::object as_index(nb::handle value) {
    PyObject* result = PyNumber_Index(value.ptr());
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

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

nb::object as_float(nb::handle value) {
    PyObject* result = PyNumber_Float(value.ptr());
    if (!result) throw nb::python_error();
    return nb::steal(result);
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

nb::object slice_between(nb::handle value, nb::handle start, nb::handle stop) {
    nb::object range = nb::steal(PySlice_New(start.ptr(), stop.ptr(), nullptr));
    if (!range.is_valid()) throw nb::python_error();
    PyObject* result = PyObject_GetItem(value.ptr(), range.ptr());
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

nb::object column(nb::handle value, Py_ssize_t k) {
    nb::object all = nb::steal(PySlice_New(nullptr, nullptr, nullptr));
    if (!all.is_valid()) throw nb::python_error();
    return value[nb::make_tuple(all, k)];
}

nb::list as_list(nb::handle iterable) {
    PyObject* result = PySequence_List(iterable.ptr());
    if (!result) throw nb::python_error();
    return nb::steal<nb::list>(result);
}

nb::tuple as_tuple(nb::handle iterable) {
    PyObject* result = PySequence_Tuple(iterable.ptr());
    if (!result) throw nb::python_error();
    return nb::steal<nb::tuple>(result);
}

nb::list int_list(const std::vector<int>& values) {
    nb::list out;
    for (int v : values) out.append(v);
    return out;
}

std::pair<nb::object, nb::object> unpack_pair(nb::handle value) {
    PyObject* it = PyObject_GetIter(value.ptr());
    if (!it) {
        PyErr_Clear();
        raise(PyExc_TypeError, "cannot unpack non-iterable %s object",
              Py_TYPE(value.ptr())->tp_name);
    }
    nb::object iterator = nb::steal(it);
    nb::object out[2];
    for (int k = 0; k < 2; ++k) {
        PyObject* next = PyIter_Next(iterator.ptr());
        if (!next) {
            if (PyErr_Occurred()) throw nb::python_error();
            raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", k);
        }
        out[k] = nb::steal(next);
    }
    PyObject* extra = PyIter_Next(iterator.ptr());
    if (extra) {
        Py_DECREF(extra);
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return {std::move(out[0]), std::move(out[1])};
}

std::pair<nb::object, nb::object> unpack_pair_whole(nb::handle value) {
    nb::object items = nb::steal(PySequence_Tuple(value.ptr()));
    if (!items.is_valid()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError) || PyIter_Check(value.ptr()))
            throw nb::python_error();
        PyErr_Clear();
        raise(PyExc_TypeError, "cannot unpack non-iterable %s object",
              Py_TYPE(value.ptr())->tp_name);
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(items.ptr());
    if (n < 2) raise(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
    if (n > 2) raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    return {item(items, 0), item(items, 1)};
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

nb::object matmul(nb::handle a, nb::handle b) {
    PyObject* result = PyNumber_MatrixMultiply(a.ptr(), b.ptr());
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

nb::object absolute(nb::handle value) {
    PyObject* result = PyNumber_Absolute(value.ptr());
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

}  // namespace norvalis::frame
