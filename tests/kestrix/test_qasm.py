"""OpenQASM out and in: version 3 holds every circuit exactly, version 2 what fits
qelib1.inc; round trips keep the unitary; other tools' output reads, checked against
Qiskit's parsers and exporters where Qiskit installs."""
import numpy as np
import pytest
from hostile import HOSTILE_QASM, QASM_HEADER, definition_chain, doubling_definitions
from interrupting import ctrl_c_after
from isolated import child_lines

import kestrix.core as core
from kestrix.core import CNOT, CR, RX, SX, U2, U3, H, QCircuit, QProg, S, T, X, measure
from kestrix.qasm import dumps, loads
from kestrix.quantum_info import unitary

# Qiskit's own OpenQASM 3 reader calls a Qiskit API that Qiskit itself has deprecated.
pytestmark = pytest.mark.filterwarnings("ignore:.*annotated.*:DeprecationWarning")

ONE = ["H", "X", "Y", "Z", "I", "S", "T", "SX"]
ANGLED = {"RX": 1, "RY": 1, "RZ": 1, "U1": 1, "U2": 2, "U3": 3}
TWO = ["CNOT", "CZ", "SWAP"]


def random_circuit(rng, n, gates=40, extra_controls=2):
    """Every gate kind, some under extra controls, some inverted."""
    c = QCircuit()
    for _ in range(gates):
        name = str(rng.choice(ONE + list(ANGLED) + TWO + ["CR", "TOFFOLI"]))
        arity = 3 if name == "TOFFOLI" else 2 if name in TWO + ["CR"] else 1
        qubits = [int(q) for q in rng.permutation(n)]
        angles = [float(a) for a in rng.uniform(-7, 7, ANGLED.get(name, int(name == "CR")))]
        gate = getattr(core, name)(*qubits[:arity], *angles)
        controls = int(rng.integers(0, extra_controls + 1)) if rng.random() < 0.3 else 0
        if controls and arity + controls <= n:
            gate = gate.control(qubits[arity:arity + controls])
        c << (gate.dagger() if rng.random() < 0.3 else gate)
    return c


def qasm2_fits(rng, n, gates=40):
    """Gates that qelib1.inc holds exactly, with the controls and inverses it can write."""
    c = QCircuit()
    options = [lambda q, a: H(q[0]), lambda q, a: S(q[0]).dagger(), lambda q, a: T(q[0]),
               lambda q, a: RX(q[0], a[0]).dagger(), lambda q, a: U2(q[0], a[0], a[1]).dagger(),
               lambda q, a: U3(q[0], *a).control([q[1]]).dagger(),
               lambda q, a: CR(q[0], q[1], a[0]),
               lambda q, a: X(q[0]).control(q[1:3]), lambda q, a: core.SWAP(q[0], q[1]),
               lambda q, a: core.SWAP(q[0], q[1]).control(q[2]),
               lambda q, a: core.RZ(q[0], a[0]).control(q[1]), lambda q, a: CNOT(q[0], q[1]),
               lambda q, a: S(q[0]).control(q[1]), lambda q, a: core.Y(q[0]).control(q[1])]
    for _ in range(gates):
        q = [int(x) for x in rng.permutation(n)]
        c << options[int(rng.integers(len(options)))](q, [float(a) for a in rng.uniform(-7, 7, 3)])
    return c


@pytest.mark.parametrize("seed", range(8))
def test_version_3_round_trips_any_circuit(seed):
    rng = np.random.default_rng(seed)
    n = 4 + seed % 2
    circuit = random_circuit(rng, n)
    back = loads(dumps(circuit))
    assert back.num_qubits == n
    assert np.max(np.abs(unitary(back, n) - unitary(circuit, n))) < 1e-12


@pytest.mark.parametrize("seed", range(4))
def test_version_2_round_trips_what_fits(seed):
    rng = np.random.default_rng(seed)
    circuit = qasm2_fits(rng, 4)
    text = dumps(circuit, version=2)
    assert text.startswith('OPENQASM 2.0;\ninclude "qelib1.inc";\n')
    assert np.max(np.abs(unitary(loads(text), 4) - unitary(circuit, 4))) < 1e-12


def test_round_trips_keep_gates_registers_and_measurements():
    prog = (QProg(5) << H(0) << RX(1, 0.1).control([0, 2]).dagger() << T(3).dagger()
            << measure([0, 1], [3, 0]))
    assert loads(dumps(prog)) == prog
    assert loads(dumps(QProg(0))) == QProg(0)
    assert loads(dumps(H(2))) == QProg(3) << H(2)


@pytest.mark.parametrize("prog, where", [
    (QCircuit() << H(0) << SX(1), "the gate at index 1, SX(1)"),
    (QCircuit() << CNOT(0, 1) << core.CZ(0, 1).control([2]),
     "the gate at index 1, CZ(0, 1).control([2])"),
    (QCircuit() << core.I(0).control([1]), "the gate at index 0, I(0).control([1])"),
])
def test_version_2_names_the_first_gate_it_cannot_write(prog, where):
    with pytest.raises(ValueError) as error:
        dumps(prog, version=2)
    assert str(error.value).startswith("OpenQASM 2 cannot write " + where + ": ")


@pytest.mark.parametrize("call, error, message", [
    (lambda: dumps(core.UNITARY([0], [[0, 1], [1, 0]])), ValueError,
     r"OpenQASM 3 cannot write UNITARY\(\[0\], <2x2 matrix>\): it has no exact OpenQASM form"),
    (lambda: dumps(QProg(1), version=4), ValueError, "version must be 2 or 3, got 4"),
    (lambda: dumps(QProg(1), version="3"), TypeError, "version must be 2 or 3"),
    (lambda: dumps("h q[0];"), TypeError, "cannot append str"),
    (lambda: loads(b"OPENQASM 3;"), TypeError, "as a str, got bytes"),
    (lambda: loads("OPENQASM 3;\nqubit q;\nmeasure q;"), ValueError, "line 3"),
    (lambda: loads("OPENQASM 2.0;\nqreg q[1];\nh q[0];"), ValueError,
     'gate \'h\' is not defined \\(include "qelib1.inc"'),
])
def test_bad_input_is_a_clear_error(call, error, message):
    with pytest.raises(error, match=message):
        call()


@pytest.mark.parametrize("name", HOSTILE_QASM)
def test_hostile_nesting_is_a_value_error_with_a_line(name):
    code = f'''
        from hostile import HOSTILE_QASM
        from kestrix.qasm import loads
        try:
            loads(HOSTILE_QASM[{name!r}])
            print("read")
        except ValueError as e:
            print(str(e).split(":")[0])
    '''
    (outcome,) = child_lines(code)
    if name in ("signs", "inv"):  # runs of signs and of inverses are read in a loop
        assert outcome == "read"
    else:
        assert outcome.startswith("OpenQASM line "), outcome


def test_long_sums_and_sign_runs_read_as_numbers():
    terms = " + ".join(["0.001"] * 30000)
    (gate,) = loads(QASM_HEADER + f"rx({terms}) q[0];\nrz(" + "-" * 3 + "0.5) q[1];")[:1]
    assert gate.params[0] == pytest.approx(30.0)
    assert loads(QASM_HEADER + "rz(--0.5) q[1];")[0].params == [0.5]
    assert loads(QASM_HEADER + "rz(2^-1^2 * 3 - 4 / 2) q[1];")[0].params == [pytest.approx(-0.5)]


@pytest.mark.parametrize("text, message", [
    (doubling_definitions(25), "line 29: the program expands to more than 2\\*\\*21 gates"),
    (definition_chain(150), "line 104: gate 'g100' nests definitions more than 100 levels"),
    (QASM_HEADER + "rx(" + "(" * 150 + "1" + ")" * 150 + ") q[0];",
     "line 4: nested more than 100 levels deep"),
    (QASM_HEADER + "pow(1000) @ pow(1000) @ pow(1000) @ x q[0];", "more than 2\\*\\*21 gates"),
])
def test_nesting_and_expansion_limits_name_the_line(text, message):
    with pytest.raises(ValueError, match=message):
        loads(text)


def test_ctrl_c_stops_reading_a_large_expansion():
    text = doubling_definitions(21)  # 2**20 gates: just within the cap, and slow to expand
    with ctrl_c_after(0.2), pytest.raises(KeyboardInterrupt):
        for _ in range(20):
            loads(text)


def test_garbage_text_is_a_value_error():
    rng = np.random.default_rng(7)
    text = dumps(random_circuit(rng, 4, 10) << measure(0, 0))
    for _ in range(300):
        cut = rng.integers(0, len(text), 2)
        noise = "".join(rng.choice(list("q[]();@-0x\n"), 3))
        with_noise = text[:cut.min()] + noise + text[cut.max():]
        try:
            loads(with_noise)
        except ValueError:
            pass


qiskit = pytest.importorskip("qiskit", reason="Qiskit is an optional test peer")


def qiskit_matrix(qc):
    from qiskit.quantum_info import Operator
    return Operator(qc).data


@pytest.mark.parametrize("seed", range(4))
def test_qiskit_reads_our_output_as_the_same_unitary(seed):
    rng = np.random.default_rng(seed)
    fits = qasm2_fits(rng, 4)
    assert np.max(np.abs(qiskit_matrix(qiskit.qasm2.loads(dumps(fits, version=2)))
                         - unitary(fits, 4))) < 1e-12
    pytest.importorskip("qiskit_qasm3_import", reason="Qiskit's OpenQASM 3 reader is optional")
    anything = random_circuit(rng, 4)
    assert np.max(np.abs(qiskit_matrix(qiskit.qasm3.loads(dumps(anything)))
                         - unitary(anything, 4))) < 1e-12


def qiskit_circuit(rng, n):
    """A Qiskit circuit over the gates its exporters write, with random angles."""
    from qiskit.circuit.library import RC3XGate
    qc = qiskit.QuantumCircuit(n)
    a = [float(x) for x in rng.uniform(-3, 3, 4)]
    qc.h(0), qc.sx(1), qc.sxdg(2), qc.s(0), qc.tdg(1), qc.rzz(a[0], 0, 1), qc.rxx(a[1], 1, 2)
    qc.cu(a[0], a[1], a[2], a[3], 1, 2), qc.crx(a[0], 2, 0), qc.cry(a[1], 0, 1)
    qc.swap(0, 2), qc.rccx(0, 1, 2), qc.ccx(0, 1, 2), qc.cswap(0, 1, 2), qc.p(a[2], 1)
    qc.cp(a[3], 0, 1), qc.u(a[0], a[1], a[2], 2), qc.ch(1, 0), qc.cy(2, 1), qc.csx(0, 1)
    qc.mcx([0, 1, 2], 3), qc.append(RC3XGate(), [0, 1, 2, 3]), qc.cz(3, 0), qc.id(1), qc.barrier()
    return qc


def test_we_read_qiskits_output_as_the_same_unitary():
    qc = qiskit_circuit(np.random.default_rng(3), 4)
    expected = qiskit_matrix(qc)
    assert np.max(np.abs(unitary(loads(qiskit.qasm2.dumps(qc)), 4) - expected)) < 1e-12
    # Qiskit's OpenQASM 3 exporter defines sxdg as s; h; s, a global phase away from the
    # gate (its own reader sees the same): equal up to that phase.
    ours = unitary(loads(qiskit.qasm3.dumps(qc)), 4)
    phase = ours[0, 0] / expected[0, 0]
    assert abs(abs(phase) - 1) < 1e-12 and np.max(np.abs(ours - phase * expected)) < 1e-12
