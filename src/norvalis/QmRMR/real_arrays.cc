#include "norvalis/QmRMR/real_arrays.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace norvalis::qmrmr {

namespace {

constexpr double kLargestExactInteger = 0x1p40;

struct NumPy {
    nb::object ndarray, asarray;
};

// Imported on first use and kept for the life of the process (never released, so that
// interpreter shutdown does not touch it).
const NumPy& numpy() {
    static const NumPy* np = [] {
        nb::object module = nb::module_::import_("numpy");
        return new NumPy{module.attr("ndarray"), module.attr("asarray")};
    }();
    return *np;
}

bool is_exact_ndarray(nb::handle value) {
    return Py_IS_TYPE(value.ptr(), reinterpret_cast<PyTypeObject*>(numpy().ndarray.ptr()));
}

// A strided view of an object's buffer, released with it; empty when the object has none.
struct Buffer {
    Py_buffer view{};
    bool held = false;
    explicit Buffer(nb::handle value) {
        held = PyObject_GetBuffer(value.ptr(), &view, PyBUF_RECORDS_RO) == 0;
        if (!held) PyErr_Clear();
    }
    ~Buffer() {
        if (held) PyBuffer_Release(&view);
    }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
};

// The element format letter with its native-order prefix removed; 0 for any other.
char native_format(const Py_buffer& view) {
    const char* f = view.format ? view.format : "B";
    if (*f == '@' || *f == '=' || (*f == '<' && std::endian::native == std::endian::little)) ++f;
    return f[0] && !f[1] ? f[0] : 0;
}

template <class T>
double load(const char* at) {
    T v;
    std::memcpy(&v, at, sizeof v);
    return double(v);
}

template <class Signed, class Unsigned>
double load_integer(bool is_signed, const char* at) {
    return is_signed ? load<Signed>(at) : load<Unsigned>(at);
}

std::optional<double> real_entry(char format, Py_ssize_t size, const char* at) {
    double v;
    if (format == 'd' && size == 8) {
        v = load<double>(at);
    } else if (format == 'f' && size == 4) {
        v = load<float>(at);
    } else if (format && std::strchr("bhilqBHILQ?", format)) {
        const bool is_signed = std::strchr("bhilq", format) != nullptr;
        switch (size) {
            case 1: v = load_integer<int8_t, uint8_t>(is_signed, at); break;
            case 2: v = load_integer<int16_t, uint16_t>(is_signed, at); break;
            case 4: v = load_integer<int32_t, uint32_t>(is_signed, at); break;
            case 8: v = load_integer<int64_t, uint64_t>(is_signed, at); break;
            default: return std::nullopt;
        }
        if (std::fabs(v) > kLargestExactInteger) return std::nullopt;
    } else {
        return std::nullopt;
    }
    if (!std::isfinite(v)) return std::nullopt;
    return v;
}

}  // namespace

std::optional<std::vector<double>> plain_real_array(nb::handle value,
                                                    std::span<const Py_ssize_t> shape) {
    nb::object array;
    if (is_exact_ndarray(value)) {
        array = nb::borrow(value);
    } else if (PyList_CheckExact(value.ptr()) || PyTuple_CheckExact(value.ptr())) {
        PyObject* converted = PyObject_CallOneArg(numpy().asarray.ptr(), value.ptr());
        if (!converted) {
            // A ragged or mixed list: NumPy raises this again where the caller uses it.
            if (!PyErr_ExceptionMatches(PyExc_ValueError) &&
                !PyErr_ExceptionMatches(PyExc_TypeError))
                throw nb::python_error();
            PyErr_Clear();
            return std::nullopt;
        }
        array = nb::steal(converted);
    } else {
        return std::nullopt;
    }
    const Buffer buffer(array);
    const Py_buffer& view = buffer.view;
    if (!buffer.held || view.ndim != int(shape.size()) || view.ndim < 1 || view.ndim > 2)
        return std::nullopt;
    if (!std::equal(shape.begin(), shape.end(), view.shape)) return std::nullopt;
    const char format = native_format(view);
    const Py_ssize_t rows = shape[0], cols = view.ndim == 2 ? shape[1] : 1;
    const Py_ssize_t col_stride = view.ndim == 2 ? view.strides[1] : 0;
    std::vector<double> out;
    out.reserve(size_t(rows * cols));
    for (Py_ssize_t i = 0; i < rows; ++i) {
        for (Py_ssize_t j = 0; j < cols; ++j) {
            const char* at =
                static_cast<const char*>(view.buf) + i * view.strides[0] + j * col_stride;
            const std::optional<double> v = real_entry(format, view.itemsize, at);
            if (!v) return std::nullopt;
            out.push_back(*v);
        }
    }
    return out;
}

std::optional<std::vector<double>> finite_float64_prefix(nb::handle value, size_t count) {
    if (!is_exact_ndarray(value)) return std::nullopt;
    const Buffer buffer(value);
    const Py_buffer& view = buffer.view;
    if (!buffer.held || view.ndim != 1 || native_format(view) != 'd' || view.itemsize != 8 ||
        size_t(view.shape[0]) < count)
        return std::nullopt;
    std::vector<double> out(count);
    for (size_t p = 0; p < count; ++p) {
        out[p] = load<double>(static_cast<const char*>(view.buf) + Py_ssize_t(p) * view.strides[0]);
        if (!std::isfinite(out[p])) return std::nullopt;
    }
    return out;
}

}  // namespace norvalis::qmrmr
