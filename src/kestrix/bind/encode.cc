// Encode: amplitude encoding of a vector into a preparation circuit.
#include "kestrix/lib/encode.h"

#include <nanobind/stl/string.h>

#include <complex>
#include <vector>

#include "convert.h"
#include "core.h"

namespace kestrix::py {

namespace {

struct Encoder {
    Circuit circuit;
};

// Any array-like of numbers, read through NumPy as a flat complex vector.
std::vector<cplx> to_complex_vector(nb::handle data) {
    static nb::object* asarray = new nb::object(nb::module_::import_("numpy").attr("asarray"));
    static nb::object* complex128 =
        new nb::object(nb::module_::import_("numpy").attr("complex128"));
    nb::object array = (*asarray)(data, nb::arg("dtype") = *complex128);
    if (nb::cast<int>(array.attr("ndim")) != 1) {
        throw nb::value_error("amplitude_encode: the vector must be one-dimensional");
    }
    nb::object contiguous = nb::module_::import_("numpy").attr("ascontiguousarray")(array);
    Py_buffer view;
    if (PyObject_GetBuffer(contiguous.ptr(), &view, PyBUF_C_CONTIGUOUS) != 0)
        throw nb::python_error();
    const cplx* begin = static_cast<const cplx*>(view.buf);
    std::vector<cplx> v(begin, begin + view.len / sizeof(cplx));
    PyBuffer_Release(&view);
    return v;
}

}  // namespace

void bind_encode(nb::module_& m) {
    nb::class_<Encoder>(m, "Encode", "Builds state-preparation circuits.")
        .def(nb::init<>())
        .def(
            "amplitude_encode",
            [](Encoder& e, nb::handle qubits, nb::handle data) {
                e.circuit.append(
                    amplitude_encode(to_index_list(qubits, "qubit"), to_complex_vector(data)));
            },
            nb::arg("qubits"), nb::arg("data"),
            "Appends a circuit that prepares the unit vector `data` (real or complex, length "
            "2**len(qubits); component index bit k on qubits[k]) from the all-zero state, "
            "global phase included.")
        .def(
            "get_circuit", [](const Encoder& e) { return e.circuit; },
            "The preparation circuit built so far.")
        .def("__repr__", [](const Encoder& e) {
            return "Encode(" + std::to_string(e.circuit.gate_count()) + " gates)";
        });
}

}  // namespace kestrix::py
