"""What users of the SDK see of its objects: appending, value semantics, inspection,
drawing and reprs."""
import numpy as np

from kestrix.core import (
    BARRIER,
    CNOT,
    CPUQVM,
    CR,
    RX,
    RY,
    SWAP,
    H,
    QCircuit,
    QGate,
    QProg,
    X,
    Z,
    draw_qprog,
    measure,
)
from kestrix.quantum_info import StateVector, unitary


def test_append_returns_the_left_operand_and_chains():
    c = QCircuit()
    assert (c << H(0)) is c
    c << X(1)  # a discarded result still appends
    assert [g.name for g in c] == ["H", "X"]
    p = QProg(2)
    assert (p << c << measure(0, 0)) is p
    assert len(p) == 3
    assert c.insert(Z(0)) is c and len(c) == 3


def test_appended_circuits_keep_value_semantics():
    inner = QCircuit() << H(0)
    outer = QCircuit() << inner
    inner << X(0)
    assert len(outer) == 1 and len(inner) == 2
    outer << outer  # appending a circuit to itself doubles it once
    assert len(outer) == 2


def test_iteration_expands_blocks_with_controls_and_dagger():
    block = QCircuit() << RY(0, 0.3) << CNOT(0, 1)
    c = QCircuit() << H(2) << block.control([2]).dagger()
    gates = list(c)
    assert [(g.name, g.qubits, g.controls, g.is_dagger) for g in gates] == [
        ("H", [2], [], False), ("CNOT", [0, 1], [2], True), ("RY", [0], [2], True)]
    assert gates[2].params == [0.3]
    assert isinstance(gates[0], QGate)


def test_control_with_empty_list_leaves_the_gate_uncontrolled():
    assert np.allclose(unitary(X(0).control([]), 1), [[0, 1], [1, 0]])


def test_program_registers_and_width():
    p = QProg(3)
    assert p.qubits() == [0, 1, 2] and p.cbits() == [0, 1, 2]
    p << H(5)
    assert p.num_qubits == 6
    assert QProg().qubits() == []


def test_state_vector_evolve_returns_a_new_state():
    s = StateVector(2)
    t = s.evolve(QCircuit() << X(1))
    assert np.allclose(s.ndarray(), [1, 0, 0, 0])
    assert np.allclose(t.ndarray(), [0, 0, 1, 0])
    assert t.ndarray().dtype == np.complex128


def test_drawing_has_one_row_per_qubit_and_prints_nothing(capsys):
    p = QProg(3) << H(0) << CNOT(0, 2) << CR(1, 2, 0.5) << SWAP(0, 1) << BARRIER([0, 1, 2])
    p << measure(2, 0)
    text = draw_qprog(p)
    assert capsys.readouterr().out == ""
    rows = text.splitlines()
    assert len(rows) == 3 and [r.split(":")[0] for r in rows] == ["q_0", "q_1", "q_2"]
    assert "H" in rows[0] and "●" in rows[0] and "X" in rows[2] and "CR(0.5)" in rows[2]
    assert "M→c0" in rows[2]
    assert str(p) == text
    assert len({len(r) for r in rows}) == 1  # rows line up


def test_reprs_rebuild_the_object_or_say_they_are_a_summary():
    assert repr(RY(1, 0.25)) == "RY(1, 0.25)"
    assert repr(CNOT(0, 1).control([2]).dagger()) == "CNOT(0, 1).control([2]).dagger()"
    assert repr(QCircuit() << H(0) << X(3)) == "QCircuit() << H(0) << X(3)"
    assert repr(QProg(2) << H(0)) == "QProg(2) << H(0)"
    big = QCircuit()
    for _ in range(21):
        big << H(0)
    assert repr(big) == "<QCircuit: 21 gates on 1 qubit>"
    assert repr(QProg(3) << big) == "<QProg: 3 qubits, 21 gates>"
    assert repr(StateVector(1)) == "StateVector([(1+0j), 0j])"
    assert repr(StateVector(4)) == "<StateVector: 4 qubits>"
    assert repr(CPUQVM().run(QProg(1), 1)) == "<QResult: 1 qubit, 1 shot>"


def test_equal_gates_hash_alike():
    assert len({H(0), H(0), CNOT(0, 1), CNOT(1, 0)}) == 3
    assert RX(0, 0.0) == RX(0, -0.0) and hash(RX(0, 0.0)) == hash(RX(0, -0.0))
    assert {X(1).control([0]): 1}[X(1).control([0])] == 1
    assert H(0) != H(0).dagger() and H(0) != H(1)
