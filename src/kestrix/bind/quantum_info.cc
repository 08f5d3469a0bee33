// kestrix.quantum_info: exact state vectors and circuit matrices.
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <memory>
#include <string>

#include "convert.h"
#include "errors.h"
#include "kestrix/lib/errors.h"
#include "kestrix/lib/statevector.h"
#include "run.h"

namespace nb = nanobind;
using kestrix::Circuit;
using kestrix::cplx;
using kestrix::StateVector;

namespace {

// Circuit matrices are dense 2^n x 2^n: beyond this width they are of no practical use.
constexpr int kMaxMatrixQubits = 14;

using ComplexArray = nb::ndarray<nb::numpy, cplx>;

ComplexArray to_numpy(const cplx* data, size_t rows, size_t cols, bool matrix) {
    cplx* copy = new cplx[rows * cols];
    std::copy(data, data + rows * cols, copy);
    nb::capsule owner(copy, [](void* p) noexcept { delete[] static_cast<cplx*>(p); });
    if (matrix) return ComplexArray(copy, {rows, cols}, owner);
    return ComplexArray(copy, {rows}, owner);
}

const Circuit& checked_circuit(nb::handle circuit, Circuit& holder, int width) {
    kestrix::py::append_object(holder, circuit);
    if (holder.width() > width) {
        throw nb::index_error(("the circuit acts on qubit " + std::to_string(holder.width() - 1) +
                               " but the state has " + std::to_string(width) + " qubits")
                                  .c_str());
    }
    return holder;
}

}  // namespace

NB_MODULE(quantum_info, m) {
    m.doc() = "kestrix quantum_info: exact state vectors and circuit matrices.";
    nb::module_::import_("kestrix.core");
    kestrix::py::register_exceptions();

    nb::class_<StateVector>(m, "StateVector",
                            "An exact n-qubit state, the all-zero state at first.")
        .def(
            "__init__",
            [](StateVector* s, nb::handle n) {
                new (s) StateVector(kestrix::py::to_index(n, "number of qubits"));
            },
            nb::arg("num_qubits"))
        .def(
            "evolve",
            [](const StateVector& s, nb::handle circuit) {
                Circuit holder;
                const Circuit& c = checked_circuit(circuit, holder, s.num_qubits());
                auto out = std::make_unique<StateVector>(s);
                kestrix::py::apply(*out, c);
                return out.release();
            },
            nb::arg("circuit"), nb::rv_policy::take_ownership,
            "A new state: this one after the circuit (a QCircuit, QProg or gate).")
        .def(
            "ndarray", [](const StateVector& s) { return to_numpy(s.data(), s.size(), 1, false); },
            "The amplitudes as a complex NumPy array, index bit k = qubit k.")
        .def_prop_ro("num_qubits", &StateVector::num_qubits)
        .def("__len__", &StateVector::size)
        .def("__repr__", [](const StateVector& s) {
            return "StateVector(" + std::to_string(s.num_qubits()) + " qubits)";
        });

    m.def(
        "unitary",
        [](nb::handle circuit, nb::handle num_qubits) {
            Circuit holder;
            kestrix::py::append_object(holder, circuit);
            const int n = num_qubits.is_none() ? holder.width()
                                               : kestrix::py::to_index(num_qubits, "num_qubits");
            if (n > kMaxMatrixQubits) {
                throw nb::value_error(("unitary: at most " + std::to_string(kMaxMatrixQubits) +
                                       " qubits, got " + std::to_string(n))
                                          .c_str());
            }
            checked_circuit(circuit, holder = Circuit(), n);
            const size_t dim = size_t{1} << n;
            const std::vector<cplx> u = kestrix::py::matrix_of(holder, n);
            return to_numpy(u.data(), dim, dim, true);
        },
        nb::arg("circuit"), nb::arg("num_qubits") = nb::none(),
        "The full matrix of a circuit (index bit k = qubit k), for small widths.");
}
