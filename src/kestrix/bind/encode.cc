// Encode: amplitude encoding of a vector into a preparation circuit.
#include "kestrix/lib/ir/encode.h"

#include <nanobind/stl/string.h>

#include <complex>
#include <vector>

#include "core.h"
#include "kestrix/lib/io/codec.h"
#include "kestrix/lib/ir/circuit_tools.h"
#include "kestrix/py/compare.h"
#include "kestrix/py/convert.h"
#include "kestrix/py/pickling.h"
#include "kestrix/py/run.h"

namespace kestrix::py {

namespace {

struct Encoder {
    Circuit circuit;
};

std::string encode_encoder(const Encoder& e) {
    return std::string("E").append(encode_circuit(e.circuit));
}

Encoder decode_encoder(std::string_view bytes) { return Encoder{decode_circuit(bytes.substr(1))}; }

}  // namespace

void bind_encode(nb::module_& m) {
    nb::class_<Encoder> encoder(m, "Encode", R"DOC(Builds state-preparation circuits.

Example:
    >>> e = Encode()
    >>> e.amplitude_encode([0], [0.6, 0.8])
    >>> CPUQVM().run(e.get_circuit()).get_prob_list()  # doctest: +ELLIPSIS
    [0.36..., 0.64...]
)DOC");
    encoder.def(nb::init<>(), "An encoder with an empty circuit.")
        .def(
            "amplitude_encode",
            [](Encoder& e, nb::handle qubits, nb::handle data) {
                e.circuit.append(amplitude_encode(to_index_list(qubits, "qubit"),
                                                  to_complex_vector(data, "amplitude_encode")));
            },
            nb::arg("qubits"), nb::arg("data"),
            nb::sig("def amplitude_encode(self, qubits: collections.abc.Sequence[int], data: "
                    "numpy.typing.ArrayLike) -> None"),
            R"DOC(Appends a circuit that prepares `data` from the all-zero state.

The prepared state equals `data` exactly, global phase included.

Args:
    qubits: distinct qubit indices; component index bit k goes to qubits[k].
    data: a unit vector (real or complex, norm 1 within 1e-8) of length
        2**len(qubits).

Returns:
    None; get_circuit() gives the circuit built so far.

Example:
    >>> e = Encode()
    >>> e.amplitude_encode([0, 1], [0, 0, 0, 1])
    >>> [round(p, 12) for p in CPUQVM().run(e.get_circuit()).get_prob_list()]
    [0.0, 0.0, 0.0, 1.0]
)DOC")
        .def(
            "get_circuit", [](const Encoder& e) { return e.circuit; },
            R"DOC(The preparation circuit built so far.

Returns:
    QCircuit: a copy; successive amplitude_encode calls append to the encoder's own.

Example:
    >>> len(Encode().get_circuit())
    0
)DOC")
        .def("__repr__", [](const Encoder& e) {
            return "<Encode: " + std::to_string(e.circuit.gate_count()) + " gates>";
        });
    make_picklable(encoder, "kestrix.core", 'E', encode_encoder, decode_encoder, false);
    make_comparable(encoder, [](const Encoder& a, const Encoder& b) {
        return interruptible(
            [&](const InterruptCheck& check) { return same_gates(a.circuit, b.circuit, check); });
    });
}

}  // namespace kestrix::py
