// kestrix.qasm: OpenQASM 2 and 3 text in and out (the work is libkestrix's, qasm.h).
#include "kestrix/lib/io/qasm.h"

#include <nanobind/stl/string.h>

#include "kestrix/py/convert.h"
#include "kestrix/py/errors.h"
#include "kestrix/py/run.h"
#include "kestrix/py/signature.h"

namespace nb = nanobind;

NB_MODULE(qasm, m) {
    m.doc() = "kestrix qasm: programs as OpenQASM 2 or 3 text, and back.";
    nb::module_::import_("kestrix.core");
    kestrix::py::register_exceptions();

    m.def(
        "dumps",
        [](nb::handle prog, nb::handle version) {
            kestrix::Program p;
            if (nb::isinstance<kestrix::Program>(prog)) {
                p = kestrix::py::instance<kestrix::Program>(prog);
            } else {
                kestrix::py::append_object(p.circuit, prog);
            }
            if (!kestrix::py::is_integer_scalar(version))
                throw nb::type_error(
                    ("version must be 2 or 3, got " + kestrix::py::type_name_of(version)).c_str());
            const long v = nb::cast<long>(nb::int_(version));
            if (v != 2 && v != 3)
                throw nb::value_error(("version must be 2 or 3, got " + std::to_string(v)).c_str());
            return kestrix::py::interruptible([&](const kestrix::InterruptCheck& check) {
                return kestrix::to_qasm(p, int(v), check);
            });
        },
        nb::arg("prog"), nb::arg("version") = 3,
        nb::sig("def dumps(prog: kestrix.core.QProg | kestrix.core.QCircuit | kestrix.core.QGate, "
                "version: int = 3) -> str"),
        R"DOC(The program as OpenQASM text.

Version 3 writes every circuit of named gates exactly: stdgates.inc gates with
ctrl @ and inv @ modifiers. A UNITARY gate, given only by its matrix, has no exact
OpenQASM form: it is refused with a ValueError naming it. Version 2 writes qelib1.inc
gates, and refuses a circuit that needs anything else with a ValueError naming the
first gate that does not fit. Angles
are written in the fewest digits that read back exactly (pi/2 where they are).

Args:
    prog: a QProg (its width is the register's size), QCircuit or QGate.
    version: 3 (default) or 2.

Returns:
    str: the OpenQASM program; one register q, and c for measurements.

Example:
    >>> print(dumps(QProg(2) << H(0) << CNOT(0, 1).control([2]).dagger() << measure(0, 0)))
    OPENQASM 3.0;
    include "stdgates.inc";
    qubit[3] q;
    bit[1] c;
    h q[0];
    ctrl @ inv @ cx q[2], q[0], q[1];
    c[0] = measure q[0];
    <BLANKLINE>
    >>> print(dumps(QProg(1) << RZ(0, 3.141592653589793 / 2), version=2))
    OPENQASM 2.0;
    include "qelib1.inc";
    qreg q[1];
    rz(pi/2) q[0];
    <BLANKLINE>
)DOC");

    m.def(
        "loads",
        [](nb::handle text) {
            if (!PyUnicode_Check(text.ptr()))
                throw nb::type_error(("loads takes the OpenQASM text as a str, got " +
                                      kestrix::py::type_name_of(text))
                                         .c_str());
            const std::string source = nb::cast<std::string>(text);
            return kestrix::py::interruptible([&](const kestrix::InterruptCheck& check) {
                return kestrix::from_qasm(source, check);
            });
        },
        nb::arg("text"), nb::sig("def loads(text: str) -> kestrix.core.QProg"),
        R"DOC(A program from OpenQASM 2 or 3 text, as other tools write it.

Registers are joined in declaration order (the first declared qubit is qubit 0).
qelib1.inc and stdgates.inc gates, gate definitions, the ctrl, negctrl, inv and pow
modifiers, register broadcasting, measure and barrier are read; a phase on the whole
state (gphase) is dropped, under a control it is a phase gate. What a state-vector
circuit cannot hold (reset, classical control, loops) is a ValueError naming its line.

Args:
    text: the OpenQASM program.

Returns:
    QProg: its gates over all declared qubits, measurements into the declared bits.

Example:
    >>> prog = loads('''
    ... OPENQASM 2.0;
    ... include "qelib1.inc";
    ... qreg a[1];
    ... qreg b[1];
    ... creg c[2];
    ... h a[0];
    ... cx a[0], b[0];
    ... measure a -> c[0];
    ... ''')
    >>> prog
    QProg(2) << H(0) << CNOT(0, 1) << measure(0, 0)
)DOC");

    kestrix::py::add_signatures(m);
}
