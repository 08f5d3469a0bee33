// norvalis.Sorvic.sorvic: the variational eigensolver's public front end. It passes its
// arguments unchanged to the native module _sorvic beside it, looked up at call time.
#include <array>
#include <utility>

#include "norvalis/frame/frame.h"

namespace {
using namespace norvalis::frame;

nb::object sorvic_solver(const Call& call) {
    auto [matrix, para, restarts, tol, seed] = call.args<5>();
    // Options left at their defaults are not passed on, so a replaced _sorvic_solver is
    // called exactly as before they existed.
    const std::vector<Param>& params = call.function().params;
    nb::dict options;
    const std::array<std::pair<const char*, nb::handle>, 3> given{
        {{"restarts", restarts}, {"tol", tol}, {"seed", seed}}};
    for (size_t k = 0; k < given.size(); ++k) {
        if (!given[k].second.is(params[k + 2].default_value))
            options[given[k].first] = given[k].second;
    }
    return call.global("_sorvic_solver")(matrix, para, **options);
}

nb::object hardware_efficient_circuit(const Call& call) {
    auto [qubit_num, para_list] = call.args<2>();
    return call.global("_HardwareEfficientCircuit")(qubit_num, para_list);
}

}  // namespace

NORVALIS_MODULE(sorvic, m) {
    m.import_from("_sorvic", {"_sorvic_solver", "_HardwareEfficientCircuit"}, 1);

    m.def("sorvic_solver", sorvic_solver,
          {arg("matrix").typed("numpy.typing.ArrayLike | kestrix.quantum_info.PauliSum"),
           arg("para").typed("numpy.typing.ArrayLike"), arg("restarts", 0).typed("int"),
           arg("tol", 1e-10).typed("float"), arg("seed", nb::none()).typed("int | None"),
           returns("float")},
          R"DOC(
The smallest eigenvalue of the real symmetric `matrix` (a two-dimensional array
or nested list, or a kestrix PauliSum with a real matrix), found by a
variational eigensolver started from the angles `para`; returns
_sorvic_solver(matrix, para), a float. `restarts` further random starts (drawn
from `seed`, else NumPy's global generator) and the gradient tolerance `tol`
are passed on as keywords when they differ from their defaults.

Example: the matrix [[10, -7], [-7, 8]] from [0, 1.713, 1.571] gives
9 - sqrt(50) = 1.92893...
)DOC");

    m.def("hardware_efficient_circuit", hardware_efficient_circuit,
          {arg("qubit_num").typed("int"), arg("para_list").typed("numpy.typing.ArrayLike"),
           returns("kestrix.core.QCircuit")},
          R"DOC(
The hardware-efficient ansatz on `qubit_num` qubits with the angles
`para_list`; returns _HardwareEfficientCircuit(qubit_num, para_list), a
QCircuit. On two qubits with 8 angles: RZ, RX, RZ on qubit 0 and on qubit 1,
then an RY on qubit 1 controlled by qubit 0 and an RY on qubit 0 controlled by
qubit 1.
)DOC");
}
