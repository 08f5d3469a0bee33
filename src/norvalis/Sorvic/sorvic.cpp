// norvalis.Sorvic.sorvic: the variational eigensolver's public front end. It passes its
// arguments unchanged to the native module _sorvic beside it, looked up at call time.
#include "norvalis/frame/frame.h"

namespace {
using namespace norvalis::frame;

nb::object sorvic_solver(const Call& call) {
    auto [matrix, para] = call.args<2>();
    return call.global("_sorvic_solver")(matrix, para);
}

nb::object hardware_efficient_circuit(const Call& call) {
    auto [qubit_num, para_list] = call.args<2>();
    return call.global("_HardwareEfficientCircuit")(qubit_num, para_list);
}

}  // namespace

NORVALIS_MODULE(sorvic, m) {
    m.import_from("_sorvic", {"_sorvic_solver", "_HardwareEfficientCircuit"}, 1);

    m.def("sorvic_solver", sorvic_solver, {arg("matrix"), arg("para")}, R"DOC(
The smallest eigenvalue of the real symmetric `matrix` (a two-dimensional array
or nested list), found by a variational eigensolver started from the angles
`para`; returns _sorvic_solver(matrix, para), a float.

Example: the matrix [[10, -7], [-7, 8]] from [0, 1.713, 1.571] gives
9 - sqrt(50) = 1.92893...
)DOC");

    m.def("hardware_efficient_circuit", hardware_efficient_circuit,
          {arg("qubit_num"), arg("para_list")}, R"DOC(
The hardware-efficient ansatz on `qubit_num` qubits with the angles
`para_list`; returns _HardwareEfficientCircuit(qubit_num, para_list), a
QCircuit. On two qubits with 8 angles: RZ, RX, RZ on qubit 0 and on qubit 1,
then an RY on qubit 1 controlled by qubit 0 and an RY on qubit 0 controlled by
qubit 1.
)DOC");
}
