// kestrix.quantum_info.gradient: values and gradients of expectation values.
#include "gradients.h"

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <string>

#include "kestrix/lib/run/gradient.h"
#include "kestrix/py/convert.h"
#include "kestrix/py/run.h"
#include "observables.h"

namespace kestrix::py {

namespace {

GradientMethod method_of(nb::handle method) {
    if (PyUnicode_Check(method.ptr())) {
        const std::string name = nb::cast<std::string>(method);
        if (name == "adjoint") return GradientMethod::Adjoint;
        if (name == "parameter-shift") return GradientMethod::ParameterShift;
    }
    throw nb::value_error(("gradient: method must be 'adjoint' or 'parameter-shift', got " +
                           nb::cast<std::string>(nb::repr(method)))
                              .c_str());
}

nb::object gradient(nb::handle observable, nb::handle target, nb::handle values,
                    nb::handle method_arg, nb::handle shots, nb::handle seed) {
    PauliSum holder;
    const PauliSum& h = as_observable(observable, holder);
    const GradientMethod method = method_of(method_arg);
    if (!nb::isinstance<Gate>(target) && !nb::isinstance<Circuit>(target) &&
        !nb::isinstance<Program>(target)) {
        throw nb::type_error(
            ("gradient: expected a QCircuit, QProg or QGate, got " + type_name_of(target)).c_str());
    }
    const Circuit c = to_circuit(target);
    int n = std::max(h.num_qubits, c.width());
    if (nb::isinstance<Program>(target)) n = std::max(n, instance<Program>(target).width());
    std::vector<double> storage;
    const ParameterRows rows = parameter_rows(c, values, storage);
    const bool one_row = nb::cast<int>(nb::module_::import_("numpy").attr("ndim")(values)) == 1;
    std::optional<uint64_t> count;
    std::vector<uint64_t> seeds;
    if (!shots.is_none()) {
        if (method == GradientMethod::Adjoint)
            throw nb::value_error(
                "gradient: the adjoint method is exact; shots are for "
                "method='parameter-shift'");
        count = to_count(shots, "shots");
        Rng draw(to_seed(seed).value_or(seed_from_numpy()));
        for (size_t i = 0; i < rows.rows(); ++i) seeds.push_back(draw());
    }
    const std::vector<ValueAndGradient> results =
        interruptible_work(kReleaseGilWork, [&](const InterruptCheck& check) {
            return gradients(h, c, n, rows, method, count, seeds, check);
        });
    const size_t p = rows.parameters.size();
    std::vector<double> energies, grads;
    for (const ValueAndGradient& r : results) {
        energies.push_back(r.value);
        grads.insert(grads.end(), r.gradient.begin(), r.gradient.end());
    }
    if (one_row) return nb::make_tuple(energies.at(0), to_numpy(grads.data(), {p}));
    return nb::make_tuple(to_numpy(energies.data(), {energies.size()}),
                          to_numpy(grads.data(), {energies.size(), p}));
}

}  // namespace

void bind_gradients(nb::module_& m) {
    m.def(
        "gradient", &gradient, nb::arg("observable"), nb::arg("circuit"), nb::arg("values"),
        nb::arg("method") = "adjoint", nb::kw_only(), nb::arg("shots") = nb::none(),
        nb::arg("seed") = nb::none(),
        nb::sig("def gradient(observable: PauliSum | str, circuit: QCircuit | QProg | QGate, "
                "values: numpy.typing.ArrayLike, method: str = 'adjoint', *, shots: int | None "
                "= None, seed: int | None = None) -> tuple[float, "
                "numpy.typing.NDArray[numpy.float64]] | tuple[numpy.typing.NDArray[numpy.float64], "
                "numpy.typing.NDArray[numpy.float64]]"),
        R"DOC(The expectation value <psi|H|psi> and its gradient over a circuit's parameters.

psi is the all-zero state after the circuit with its parameters set to `values`
(columns in the order of `circuit.parameters`).

Args:
    observable: a PauliSum, or one Pauli label.
    circuit: a QCircuit, QProg or QGate with parameters and without measurements.
    values: one row of values (shape (p,)), or many (shape (rows, p)), spread over the
        threads.
    method: "adjoint", exact, about three passes over the state per parameterised
        gate; or "parameter-shift", two runs per angle (four for a rotation under
        controls), exact without shots.
    shots: parameter-shift only: estimate every expectation value from this many
        measurements of each term.
    seed: the sampling seed; None draws one from NumPy's global generator.

Returns:
    (value, gradient): a float and an array of shape (p,) for one row; arrays of shapes
    (rows,) and (rows, p) for many.

Example:
    >>> from kestrix.core import QCircuit, RY, Parameter
    >>> theta = Parameter("theta")
    >>> value, grad = gradient("Z", QCircuit() << RY(0, theta), [0.5])
    >>> round(value, 6), grad.round(6)
    (0.877583, array([-0.479426]))
)DOC");
}

}  // namespace kestrix::py
