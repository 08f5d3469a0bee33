"""The UNITARY gate (a gate given by its matrix) against the independent dense model in
reference.py: alone, controlled, inverted, nested in circuits, repeated, on wide states;
its attributes, drawing and refusals."""
import numpy as np
import pytest
import reference as ref
from scipy.stats import unitary_group

from kestrix.core import CNOT, CPUQVM, RY, RZ, UNITARY, H, QCircuit, QProg, X
from kestrix.quantum_info import StateVector, unitary


def random_unitary(k, rng):
    return unitary_group.rvs(2 ** k, random_state=rng)


def random_piece(rng, n):
    """A UNITARY or named gate, maybe controlled and inverted, with its dense matrix."""
    if rng.random() < 0.5:
        k = int(rng.integers(1, min(n, 4) + 1))
        qubits = [int(q) for q in rng.permutation(n)[:k]]
        u = random_unitary(k, rng)
        gate, matrix = UNITARY(qubits, u), ref.embed(u, qubits, n)
    else:
        qubits = [int(q) for q in rng.permutation(n)[:2]]
        angle = float(rng.uniform(-3, 3))
        gate = QCircuit() << RY(qubits[0], angle) << CNOT(*qubits)
        matrix = ref.gate_matrix("CNOT", qubits, [], n) @ ref.gate_matrix("RY", qubits[:1],
                                                                          [angle], n)
    used = {q for g in (gate if isinstance(gate, QCircuit) else [gate]) for q in g.qubits}
    free = [q for q in range(n) if q not in used]
    if free and rng.random() < 0.5:
        controls = [int(q) for q in rng.permutation(free)[:int(rng.integers(1, len(free) + 1))]]
        gate, matrix = gate.control(controls), ref.controlled(matrix, controls, n)
    if rng.random() < 0.5:
        gate, matrix = gate.dagger(), matrix.conj().T
    return gate, matrix


@pytest.mark.parametrize("seed", range(25))
def test_random_circuits_match_the_dense_model(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(2, 6))
    circuit, matrix = QCircuit(), np.eye(2 ** n, dtype=complex)
    for _ in range(int(rng.integers(1, 12))):
        gate, gate_matrix = random_piece(rng, n)
        circuit << gate
        matrix = gate_matrix @ matrix
    if rng.random() < 0.5:  # the whole circuit nested once more, inverted
        circuit, matrix = QCircuit() << circuit.dagger(), matrix.conj().T
    expected = matrix[:, 0]
    assert np.max(np.abs(StateVector(n).evolve(circuit).ndarray() - expected)) < 1e-10
    assert np.max(np.abs(unitary(circuit, n) - matrix)) < 1e-10
    prog = QProg(n)
    prog << circuit
    probs = CPUQVM().run(prog, shots=1).get_prob_list(list(range(n)))
    assert np.max(np.abs(np.array(probs) - np.abs(expected) ** 2)) < 1e-10


@pytest.mark.parametrize("k", [1, 2, 3, 6])
def test_wide_states_are_fused_and_threaded_the_same(k):
    rng = np.random.default_rng(k)
    n = 15
    psi = ref.zero_state(n)
    circuit = QCircuit()
    for q in range(n):
        circuit << H(q) << RZ(q, 0.1 * q)
        psi = ref.gate_on_state(psi, "H", [q], [], [], False, n)
        psi = ref.gate_on_state(psi, "RZ", [q], [0.1 * q], [], False, n)
    for _ in range(3):
        order = [int(q) for q in rng.permutation(n)]
        qubits, controls = order[:k], order[k:k + 2]
        u = random_unitary(k, rng)
        circuit << UNITARY(qubits, u).control(controls).dagger() << RY(order[-1], 0.7)
        psi = ref.apply_to_state(psi, u.conj().T, qubits, controls, n)
        psi = ref.gate_on_state(psi, "RY", [order[-1]], [0.7], [], False, n)
    assert np.max(np.abs(StateVector(n).evolve(circuit).ndarray() - psi)) < 1e-10


def test_a_repeated_controlled_block_runs_as_often_as_it_is_repeated():
    rng = np.random.default_rng(9)
    n, copies = 11, 64
    u = random_unitary(3, rng)
    block = QCircuit() << UNITARY([1, 2, 3], u)
    circuit = QCircuit() << H(0) << X(1)
    for _ in range(copies):
        circuit << block.control([0])
    power = np.linalg.matrix_power(ref.embed(u, [1, 2, 3], n), copies)
    start = ref.gate_matrix("X", [1], [], n) @ ref.gate_matrix("H", [0], [], n)
    expected = (ref.controlled(power, [0], n) @ start)[:, 0]
    assert np.max(np.abs(StateVector(n).evolve(circuit).ndarray() - expected)) < 1e-10


def test_attributes_equality_repr_and_drawing():
    u = random_unitary(2, np.random.default_rng(1))
    gate = UNITARY([2, 0], u).control([1]).dagger()
    assert (gate.name, gate.qubits, gate.controls, gate.params, gate.is_dagger) == (
        "UNITARY", [2, 0], [1], [], True)
    np.testing.assert_array_equal(gate.matrix, u)  # as given: the dagger flag is separate
    gate.matrix[0, 0] = 99  # a copy: the gate is unchanged
    np.testing.assert_array_equal(gate.matrix, u)
    assert H(0).matrix is None
    assert repr(gate) == "UNITARY([2, 0], <4x4 matrix>).control([1]).dagger()"
    assert UNITARY([2, 0], u.copy()) == UNITARY([2, 0], u)
    assert UNITARY([2, 0], u) != UNITARY([2, 0], u @ np.diag([1, 1, 1, -1]))
    assert UNITARY([2, 0], u) != UNITARY([0, 2], u)
    # Operand j reads U[j], so the order of the qubits shows.
    assert str(QCircuit() << gate << UNITARY(3, np.eye(2))).splitlines() == [
        "q_0: ─U[1]†─",
        "q_1: ───●───",
        "q_2: ─U[0]†─",
        "q_3: ───U───",
    ]


def test_single_qubit_accepts_an_integer_and_nested_lists():
    state = StateVector(1).evolve(UNITARY(0, [[0, 1], [1, 0]])).ndarray()
    np.testing.assert_allclose(state, [0, 1], atol=1e-15)


@pytest.mark.parametrize("qubits, matrix, error, message", [
    ([0, 1], np.eye(2), ValueError, "UNITARY on 2 qubit(s) needs a 4x4 matrix, got 4 entries"),
    ([0], np.ones((2, 2)), ValueError, "UNITARY: the matrix is not unitary"),
    ([0], [1, 0], ValueError, "UNITARY: the matrix must be two-dimensional, got shape (2,)"),
    ([0], np.ones((2, 3)), ValueError, "UNITARY: the matrix must be square, got shape (2, 3)"),
    ([0], [[np.nan, 0], [0, 1]], ValueError, "UNITARY: the matrix must be finite"),
    ([0, 0], np.eye(4), ValueError, "UNITARY: qubit 0 is used more than once"),
    ([], np.eye(1), ValueError, "UNITARY acts on 1 to 6 qubits, got 0"),
    (list(range(7)), np.eye(128), ValueError, "UNITARY acts on 1 to 6 qubits, got 7"),
    ([-1], np.eye(2), ValueError, "qubit index must be non-negative"),
    ([0], "ab", ValueError, ""),  # NumPy names the problem
    ([0.5], np.eye(2), TypeError, "qubit must be an integer"),
])
def test_bad_arguments(qubits, matrix, error, message):
    with pytest.raises(error) as info:
        UNITARY(qubits, matrix)
    assert message in str(info.value)


def test_the_qubits_are_checked_before_the_matrix():
    with pytest.raises(TypeError, match="qubit must be an integer, got float"):
        UNITARY([0.5], "not a matrix")


def test_control_on_a_target_is_refused():
    with pytest.raises(ValueError, match="control qubit 1 is also a target of UNITARY"):
        UNITARY([0, 1], np.eye(4)).control([1])
