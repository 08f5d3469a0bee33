#include "convert.h"

#include <nanobind/stl/string.h>

#include <climits>
#include <cmath>
#include <string>

#include "kestrix/lib/errors.h"
#include "kestrix/lib/program.h"

namespace kestrix::py {

std::string type_name_of(nb::handle value) {
    return nb::cast<std::string>(nb::type_name(value.type()));
}

int to_index(nb::handle value, const char* what) {
    // Fast path for the common case, a plain small int: no temporary objects.
    if (PyLong_CheckExact(value.ptr())) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (overflow == 0 && v >= 0 && v <= INT_MAX) return int(v);
    }
    if (PyFloat_Check(value.ptr()) || !PyIndex_Check(value.ptr())) {
        throw nb::type_error((std::string(what) + " must be an integer, got " + type_name_of(value))
                                 .c_str());
    }
    int overflow = 0;
    nb::object index = nb::steal(PyNumber_Index(value.ptr()));
    if (!index.is_valid()) throw nb::python_error();
    const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow > 0 || v > INT_MAX) {
        throw nb::value_error((std::string(what) + " index is too large").c_str());
    }
    if (overflow < 0 || v < 0) {
        throw nb::value_error(
            (std::string(what) + " index must be non-negative, got " + nb::str(value).c_str())
                .c_str());
    }
    return int(v);
}

std::vector<int> to_index_list(nb::handle value, const char* what) {
    if (PyIndex_Check(value.ptr()) && !PyFloat_Check(value.ptr())) return {to_index(value, what)};
    if (PyUnicode_Check(value.ptr()) || !PySequence_Check(value.ptr())) {
        nb::object as_array = nb::steal(PyObject_GetIter(value.ptr()));
        if (!as_array.is_valid()) {
            PyErr_Clear();
            throw nb::type_error((std::string(what) +
                                  " must be an integer or a sequence of integers, got " +
                                  type_name_of(value))
                                     .c_str());
        }
    }
    std::vector<int> out;
    for (nb::handle item : value) out.push_back(to_index(item, what));
    return out;
}

double to_angle(nb::handle value, const char* what) {
    if (PyFloat_CheckExact(value.ptr())) {
        const double v = PyFloat_AS_DOUBLE(value.ptr());
        if (std::isfinite(v)) return v;
    }
    if (PyComplex_Check(value.ptr()) || PyUnicode_Check(value.ptr())) {
        throw nb::type_error(
            (std::string(what) + " must be a real number, got " + type_name_of(value)).c_str());
    }
    const double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        throw nb::type_error(
            (std::string(what) + " must be a real number, got " + type_name_of(value)).c_str());
    }
    if (!std::isfinite(v)) {
        throw nb::value_error((std::string(what) + " must be finite, got " + std::to_string(v))
                                  .c_str());
    }
    return v;
}

void append_object(Circuit& target, nb::handle item) {
    if (nb::isinstance<Gate>(item)) {
        target.append(nb::cast<const Gate&>(item));
    } else if (nb::isinstance<Circuit>(item)) {
        target.append(nb::cast<const Circuit&>(item));
    } else if (nb::isinstance<Program>(item)) {
        target.append(nb::cast<const Program&>(item).circuit);
    } else {
        throw nb::type_error(("cannot append " + type_name_of(item) +
                              ": expected a QGate, QCircuit or QProg")
                                 .c_str());
    }
}

void register_exceptions() {
    static bool done = false;
    if (done) return;
    done = true;
    nb::register_exception_translator([](const std::exception_ptr& p, void*) {
        try {
            std::rethrow_exception(p);
        } catch (const ValueError& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const IndexError& e) {
            PyErr_SetString(PyExc_IndexError, e.what());
        } catch (const MemoryError& e) {
            PyErr_SetString(PyExc_MemoryError, e.what());
        }
    });
}

}  // namespace kestrix::py
