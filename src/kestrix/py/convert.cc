#include "kestrix/py/convert.h"

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <climits>
#include <cmath>
#include <string>

#include "kestrix/lib/ir/program.h"

namespace kestrix::py {

namespace {

[[noreturn]] void type_error(const char* what, const char* expected, nb::handle value) {
    throw nb::type_error(
        (std::string(what) + " must be " + expected + ", got " + type_name_of(value)).c_str());
}

bool is_bool(nb::handle value) {
    if (PyBool_Check(value.ptr())) return true;
    // numpy.bool_ is not an int subclass but still means a truth value.
    const char* name = Py_TYPE(value.ptr())->tp_name;
    return std::string_view(name) == "numpy.bool" || std::string_view(name) == "numpy.bool_";
}

// The value as a C long long with Python's int semantics; `overflow` is the sign of an
// out-of-range value.
long long as_long_long(nb::handle value, int& overflow) {
    nb::object index = nb::steal(PyNumber_Index(value.ptr()));
    if (!index.is_valid()) throw nb::python_error();
    const long long v = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

}  // namespace

// Anything with __index__ that is neither a bool, a float nor a container (NumPy arrays
// have __index__ too, for their one-element case).
bool is_integer_scalar(nb::handle value) {
    if (PyLong_Check(value.ptr())) return !PyBool_Check(value.ptr());
    return PyIndex_Check(value.ptr()) && !PyFloat_Check(value.ptr()) &&
           !PySequence_Check(value.ptr()) && !is_bool(value);
}

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
    if (!is_integer_scalar(value)) type_error(what, "an integer", value);
    int overflow = 0;
    const long long v = as_long_long(value, overflow);
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
    if (is_integer_scalar(value)) return {to_index(value, what)};
    if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) || is_bool(value))
        type_error(what, "an integer or a sequence of integers", value);
    nb::object iterator = nb::steal(PyObject_GetIter(value.ptr()));
    if (!iterator.is_valid()) {
        PyErr_Clear();
        type_error(what, "an integer or a sequence of integers", value);
    }
    std::vector<int> out;
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        nb::object item = nb::steal(raw);  // owned: the iteration may run user code
        out.push_back(to_index(item, what));
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return out;
}

uint64_t to_count(nb::handle value, const char* what) {
    if (!is_integer_scalar(value)) type_error(what, "an int", value);
    int overflow = 0;
    const long long v = as_long_long(value, overflow);
    if (overflow > 0) throw nb::value_error((std::string(what) + " is too large").c_str());
    if (overflow < 0 || v <= 0) {
        throw nb::value_error(
            (std::string(what) + " must be positive, got " + nb::str(value).c_str()).c_str());
    }
    return uint64_t(v);
}

uint64_t to_count_or_zero(nb::handle value, const char* what) {
    if (!is_integer_scalar(value)) type_error(what, "an int", value);
    int overflow = 0;
    const long long v = as_long_long(value, overflow);
    if (overflow > 0) throw nb::value_error((std::string(what) + " is too large").c_str());
    if (overflow < 0 || v < 0) {
        throw nb::value_error(
            (std::string(what) + " must be non-negative, got " + nb::str(value).c_str()).c_str());
    }
    return uint64_t(v);
}

std::optional<uint64_t> to_seed(nb::handle value) {
    if (value.is_none()) return std::nullopt;
    if (is_bool(value) || PyFloat_Check(value.ptr()) || !PyIndex_Check(value.ptr()))
        throw nb::type_error("seed must be an int or None");
    nb::object index = nb::steal(PyNumber_Index(value.ptr()));
    const unsigned long long v = index.is_valid() ? PyLong_AsUnsignedLongLong(index.ptr()) : 0;
    if (PyErr_Occurred()) {
        PyErr_Clear();
        throw nb::value_error("seed must be an integer from 0 to 2**64 - 1");
    }
    return uint64_t(v);
}

Precision to_precision(nb::handle value) {
    if (!PyUnicode_Check(value.ptr()))
        throw nb::type_error(("precision must be a str, got " + type_name_of(value)).c_str());
    const std::string name = nb::cast<std::string>(value);
    if (name == "double") return Precision::Double;
    if (name == "single") return Precision::Single;
    throw nb::value_error(("precision must be 'double' or 'single', got '" + name + "'").c_str());
}

const char* precision_name(Precision precision) {
    return precision == Precision::Single ? "single" : "double";
}

double to_angle(nb::handle value, const char* what) {
    if (PyFloat_CheckExact(value.ptr())) {
        const double v = PyFloat_AS_DOUBLE(value.ptr());
        if (std::isfinite(v)) return v;
    }
    if (PyComplex_Check(value.ptr()) || PyUnicode_Check(value.ptr()))
        type_error(what, "a real number", value);
    const double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        type_error(what, "a real number", value);
    }
    if (!std::isfinite(v)) {
        throw nb::value_error(
            (std::string(what) + " must be finite, got " + std::to_string(v)).c_str());
    }
    return v;
}

void not_initialised(nb::handle value) {
    throw nb::type_error((type_name_of(value) + " object is not initialised: its __init__ "
                                                "was never called")
                             .c_str());
}

std::vector<std::complex<double>> to_complex_vector(nb::handle data, const char* what) {
    static nb::object* numpy = new nb::object(nb::module_::import_("numpy"));
    nb::object array = numpy->attr("asarray")(data, nb::arg("dtype") = numpy->attr("complex128"));
    if (nb::cast<int>(array.attr("ndim")) != 1) {
        throw nb::value_error((std::string(what) + ": the vector must be one-dimensional").c_str());
    }
    array = numpy->attr("ascontiguousarray")(array);
    Py_buffer view;
    if (PyObject_GetBuffer(array.ptr(), &view, PyBUF_C_CONTIGUOUS) != 0) throw nb::python_error();
    const auto* begin = static_cast<const std::complex<double>*>(view.buf);
    std::vector<std::complex<double>> v(begin, begin + view.len / sizeof(std::complex<double>));
    PyBuffer_Release(&view);
    return v;
}

void append_object(Circuit& target, nb::handle item) {
    if (nb::isinstance<Gate>(item)) {
        target.append(instance<Gate>(item));
    } else if (nb::isinstance<Circuit>(item)) {
        target.append(instance<Circuit>(item));
    } else if (nb::isinstance<Program>(item)) {
        target.append(instance<Program>(item).circuit);
    } else {
        throw nb::type_error(
            ("cannot append " + type_name_of(item) + ": expected a QGate, QCircuit or QProg")
                .c_str());
    }
}

Circuit to_circuit(nb::handle item) {
    if (nb::isinstance<Circuit>(item)) return instance<Circuit>(item);
    Circuit c;
    append_object(c, item);
    return c;
}

}  // namespace kestrix::py

namespace kestrix::py {

namespace {

// The array NumPy makes of `value` as float64, C-contiguous; TypeError naming `what` when
// it holds something other than real numbers.
nb::object real_array(nb::handle value, const char* what) {
    using namespace nb::literals;
    if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()))
        type_error(what, "real numbers", value);
    nb::module_ np = nb::module_::import_("numpy");
    nb::object array;
    try {
        array = np.attr("asarray")(value);
        if (nb::cast<std::string>(array.attr("dtype").attr("kind")) == "c")
            type_error(what, "real numbers", value);
        array = np.attr("ascontiguousarray")(array, "dtype"_a = np.attr("float64"));
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError)) throw;
        type_error(what, "real numbers", value);
    }
    if (PyObject_IsTrue(np.attr("isfinite")(array).attr("all")().ptr()) != 1)
        throw nb::value_error((std::string(what) + ": values must be finite").c_str());
    return array;
}

std::vector<double> flat_values(nb::handle array) {
    const auto data = nb::cast<nb::ndarray<const double, nb::c_contig, nb::device::cpu>>(array);
    return std::vector<double>(data.data(), data.data() + data.size());
}

}  // namespace

std::vector<double> to_real_list(nb::handle value, const char* what) {
    nb::object array = real_array(value, what);
    if (nb::cast<int>(array.attr("ndim")) != 1)
        throw nb::value_error((std::string(what) + ": expected a 1-D sequence of numbers").c_str());
    return flat_values(array);
}

std::vector<double> to_real_rows(nb::handle value, size_t columns, const char* what) {
    nb::object array = real_array(value, what);
    const int ndim = nb::cast<int>(array.attr("ndim"));
    const nb::tuple shape = nb::cast<nb::tuple>(array.attr("shape"));
    const size_t last = ndim >= 1 ? nb::cast<size_t>(shape[ndim - 1]) : 0;
    if ((ndim != 1 && ndim != 2) || last != columns) {
        throw nb::value_error((std::string(what) + ": expected an array of shape (rows, " +
                               std::to_string(columns) + "), one column per parameter, got shape " +
                               nb::cast<std::string>(nb::str(shape)))
                                  .c_str());
    }
    return flat_values(array);
}

}  // namespace kestrix::py
