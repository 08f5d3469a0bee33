"""The engine against the independent dense-matrix model, on many random circuits that
use every gate, multi-qubit controls, daggers of controlled circuits and nesting."""
import numpy as np
import pytest

from kestrix.core import (CNOT, CPUQVM, CR, CZ, SWAP, TOFFOLI, U1, U2, U3, H, I, QCircuit,
                          QProg, RX, RY, RZ, X, Y, Z, BARRIER)
from kestrix.quantum_info import StateVector, unitary

import reference as ref

ONE_QUBIT = {"H": H, "X": X, "Y": Y, "Z": Z, "I": I}
ROTATIONS = {"RX": (RX, 1), "RY": (RY, 1), "RZ": (RZ, 1), "U1": (U1, 1), "U2": (U2, 2),
             "U3": (U3, 3)}
TWO_QUBIT = {"CNOT": CNOT, "CZ": CZ, "SWAP": SWAP}


def random_gate(rng, n):
    """A kestrix gate and its reference matrix, possibly controlled and daggered."""
    def arity(kind):
        return 3 if kind == "TOFFOLI" else 2 if kind in TWO_QUBIT or kind == "CR" else 1

    kinds = list(ONE_QUBIT) + list(ROTATIONS) + list(TWO_QUBIT) + ["CR", "TOFFOLI"]
    kind = str(rng.choice([k for k in kinds if arity(k) <= n]))
    qubits = [int(q) for q in rng.permutation(n)[:arity(kind)]]
    params = []
    if kind in ONE_QUBIT:
        gate = ONE_QUBIT[kind](*qubits)
    elif kind in ROTATIONS:
        ctor, count = ROTATIONS[kind]
        params = [float(x) for x in rng.uniform(-2 * np.pi, 2 * np.pi, count)]
        gate = ctor(*qubits, *params)
    elif kind == "CR":
        params = [float(rng.uniform(-np.pi, np.pi))]
        gate = CR(*qubits, *params)
    elif kind == "TOFFOLI":
        gate = TOFFOLI(*qubits)
    else:
        gate = TWO_QUBIT[kind](*qubits)
    matrix = ref.gate_matrix(kind, qubits, params, n)
    free = [q for q in range(n) if q not in qubits]
    if free and rng.random() < 0.3:
        controls = [int(q) for q in rng.permutation(free)[: rng.integers(1, len(free) + 1)]]
        gate = gate.control(controls)
        matrix = ref.controlled(matrix, controls, n)
    if rng.random() < 0.3:
        gate = gate.dagger()
        matrix = matrix.conj().T
    return gate, matrix


def random_circuit(rng, n, size, depth=0):
    """A circuit of gates and nested (controlled / daggered) sub-circuits with its matrix."""
    circuit, matrix = QCircuit(), np.eye(2 ** n, dtype=complex)
    for _ in range(size):
        if depth < 2 and rng.random() < 0.15:
            sub, sub_matrix = random_circuit(rng, n, int(rng.integers(1, 6)), depth + 1)
            used = {q for g in sub for q in g.qubits + g.controls}
            free = [q for q in range(n) if q not in used]
            if free and rng.random() < 0.5:
                controls = [int(q) for q in rng.permutation(free)[: rng.integers(1, len(free) + 1)]]
                sub, sub_matrix = sub.control(controls), ref.controlled(sub_matrix, controls, n)
            if rng.random() < 0.5:
                sub, sub_matrix = sub.dagger(), sub_matrix.conj().T
            circuit << sub
            matrix = sub_matrix @ matrix
        else:
            gate, gate_matrix = random_gate(rng, n)
            circuit << gate
            matrix = gate_matrix @ matrix
    return circuit, matrix


@pytest.mark.parametrize("seed", range(60))
def test_random_circuits_match_the_dense_model(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 6))
    circuit, matrix = random_circuit(rng, n, int(rng.integers(1, 40)))
    expected = matrix @ ref.zero_state(n)

    state = StateVector(n).evolve(circuit).ndarray()
    assert np.max(np.abs(state - expected)) < 1e-10

    prog = QProg(n)
    prog << circuit
    machine = CPUQVM()
    machine.run(prog, shots=1)
    probs = machine.result().get_prob_list(list(range(n)))
    assert np.max(np.abs(np.array(probs) - np.abs(expected) ** 2)) < 1e-10

    assert np.max(np.abs(unitary(circuit, n) - matrix)) < 1e-10


def test_every_gate_kind_controlled_and_daggered_matches_the_dense_model():
    n = 5
    angles = (0.3, -1.1, 2.5)
    gates = [("H", [0], []), ("X", [1], []), ("Y", [2], []), ("Z", [3], []), ("I", [0], []),
             ("RX", [1], [angles[0]]), ("RY", [2], [angles[1]]), ("RZ", [3], [angles[2]]),
             ("U1", [0], [angles[0]]), ("U2", [1], list(angles[:2])), ("U3", [2], list(angles)),
             ("CNOT", [0, 1], []), ("CZ", [1, 2], []), ("CR", [2, 3], [angles[1]]),
             ("SWAP", [0, 3], []), ("TOFFOLI", [0, 1, 2], [])]
    ctors = {**ONE_QUBIT, **{k: v for k, (v, _) in ROTATIONS.items()}, **TWO_QUBIT,
             "CR": CR, "TOFFOLI": TOFFOLI}
    prep = QCircuit() << H(0) << H(1) << H(2) << H(3) << H(4) << RY(2, 0.4) << RZ(4, 0.9)
    prep_matrix = np.eye(32, dtype=complex)
    for q in range(5):
        prep_matrix = ref.gate_matrix("H", [q], [], n) @ prep_matrix
    prep_matrix = ref.gate_matrix("RZ", [4], [0.9], n) @ ref.gate_matrix("RY", [2], [0.4], n) @ prep_matrix
    for name, qubits, params in gates:
        gate = ctors[name](*qubits, *params).control([4]).dagger()
        inner = ref.controlled(ref.gate_matrix(name, qubits, params, n), [4], n).conj().T
        # A daggered circuit of a controlled circuit of a daggered gate.
        block = (QCircuit() << ctors[name](*qubits, *params).dagger()).control([4]).dagger()
        block_matrix = ref.controlled(ref.gate_matrix(name, qubits, params, n).conj().T, [4], n).conj().T
        circuit = QCircuit() << prep << gate << gate << block
        expected = block_matrix @ inner @ inner @ prep_matrix @ ref.zero_state(n)
        state = StateVector(n).evolve(circuit).ndarray()
        assert np.max(np.abs(state - expected)) < 1e-10, name


def test_rx_two_pi_is_minus_identity_and_shows_under_control():
    circuit = QCircuit() << H(0) << RX(1, 2 * np.pi).control([0])
    state = StateVector(2).evolve(circuit).ndarray()
    assert np.allclose(state, [1 / np.sqrt(2), -1 / np.sqrt(2), 0, 0], atol=1e-12)


def test_u2_zero_pi_acts_as_a_hadamard():
    assert np.allclose(unitary(QCircuit() << U2(0, 0, np.pi)), ref.single_qubit("H"), atol=1e-12)


def test_barrier_has_no_effect():
    a = QCircuit() << H(0) << BARRIER([0, 1]) << CNOT(0, 1)
    b = QCircuit() << H(0) << CNOT(0, 1)
    assert np.allclose(unitary(a, 2), unitary(b, 2))


def test_wide_program_agrees_with_a_product_of_single_qubit_states():
    # 18 qubits: beyond what the dense model handles, but a product state has a closed form.
    n = 18
    angles = np.linspace(0.1, 3.0, n)
    prog = QProg(n)
    for q, a in enumerate(angles):
        prog << RY(q, float(a))
    probs = CPUQVM().run(prog, shots=1).get_prob_list([0, 7, 17])
    p1 = np.sin(angles[[0, 7, 17]] / 2) ** 2
    expected = [np.prod([p1[k] if (i >> k) & 1 else 1 - p1[k] for k in range(3)]) for i in range(8)]
    assert np.max(np.abs(np.array(probs) - expected)) < 1e-10


@pytest.mark.parametrize("seed", range(8))
def test_wide_random_circuits_match_the_model_gate_by_gate(seed):
    # From 10 qubits the engine fuses gates and folds diagonals; from 14 it runs threaded.
    rng = np.random.default_rng(100 + seed)
    n = int(rng.choice([10, 12, 14, 15]))
    circuit = QCircuit()
    for _ in range(int(rng.integers(40, 120))):
        gate, _ = random_gate(rng, min(n, 5)) if rng.random() < 0.5 else random_gate_wide(rng, n)
        circuit << gate
    expected = ref.zero_state(n)
    for g in circuit:
        expected = ref.gate_on_state(expected, g.name, g.qubits, g.params, g.controls,
                                     g.is_dagger, n)
    state = StateVector(n).evolve(circuit).ndarray()
    assert np.max(np.abs(state - expected)) < 1e-10
    probs = CPUQVM().run(QProg(n) << circuit, shots=1).get_prob_list(list(range(n)))
    assert np.max(np.abs(np.array(probs) - np.abs(expected) ** 2)) < 1e-10


def random_gate_wide(rng, n):
    """A gate anywhere on n qubits, possibly under several controls and daggered."""
    ctor, count = ROTATIONS[str(rng.choice(list(ROTATIONS)))]
    if rng.random() < 0.3:
        a, b = (int(q) for q in rng.permutation(n)[:2])
        gate = (CNOT if rng.random() < 0.5 else CZ)(a, b)
    else:
        q = int(rng.integers(n))
        gate = ctor(q, *(float(x) for x in rng.uniform(-np.pi, np.pi, count)))
    used = set(gate.qubits)
    if rng.random() < 0.3:
        free = [q for q in range(n) if q not in used]
        gate = gate.control([int(q) for q in rng.permutation(free)[: rng.integers(1, 4)]])
    if rng.random() < 0.3:
        gate = gate.dagger()
    return gate, None
