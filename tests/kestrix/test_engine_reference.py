"""The engine against the independent dense-matrix model, on many random circuits that
use every gate, multi-qubit controls, daggers of controlled circuits, nesting and
repeated blocks."""
import numpy as np
import pytest
import reference as ref
from engine_circuits import KINDS, random_circuit

from kestrix.core import (
    BARRIER,
    CNOT,
    CPUQVM,
    RX,
    RY,
    RZ,
    U2,
    H,
    QCircuit,
    QProg,
)
from kestrix.quantum_info import StateVector, unitary


@pytest.mark.parametrize("seed", range(60))
def test_random_circuits_match_the_dense_model(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 6))
    circuit, ops = random_circuit(rng, n, int(rng.integers(1, 40)))
    matrix = ref.circuit_unitary(ops, n)
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


# A thousand random circuits per run, in chunks: every gate kind and UNITARY, controls,
# daggers, nested and repeated blocks, long diagonal runs. Most are narrow (state, shot
# probabilities and full matrix against the model); one in eight is 10 to 16 qubits wide,
# where the engine fuses (every dense width and wide diagonals), threads and cache-blocks.
@pytest.mark.parametrize("chunk", range(20))
def test_a_thousand_random_circuits_match_the_dense_model(chunk):
    for seed in range(1000 + 50 * chunk, 1000 + 50 * (chunk + 1)):
        rng = np.random.default_rng(seed)
        wide = seed % 8 == 0
        n = int(rng.integers(10, 17)) if wide else int(rng.integers(1, 7))
        circuit, ops = random_circuit(rng, n, int(rng.integers(5, 60 if wide else 30)),
                                      every_kind=True)
        expected = ref.circuit_state(ops, n)
        state = StateVector(n).evolve(circuit).ndarray()
        assert np.max(np.abs(state - expected)) < 1e-10, seed
        probs = CPUQVM().run(QProg(n) << circuit, shots=1).get_prob_list(list(range(n)))
        assert np.max(np.abs(np.array(probs) - np.abs(expected) ** 2)) < 1e-10, seed
        if not wide:
            matrix = ref.circuit_unitary(ops, n)
            assert np.max(np.abs(unitary(circuit, n) - matrix)) < 1e-10, seed


def test_every_gate_kind_controlled_and_daggered_matches_the_dense_model():
    n = 5
    angles = (0.3, -1.1, 2.5)
    gates = [("H", [0], []), ("X", [1], []), ("Y", [2], []), ("Z", [3], []), ("I", [0], []),
             ("RX", [1], [angles[0]]), ("RY", [2], [angles[1]]), ("RZ", [3], [angles[2]]),
             ("U1", [0], [angles[0]]), ("U2", [1], list(angles[:2])), ("U3", [2], list(angles)),
             ("CNOT", [0, 1], []), ("CZ", [1, 2], []), ("CR", [2, 3], [angles[1]]),
             ("SWAP", [0, 3], []), ("TOFFOLI", [0, 1, 2], [])]
    ctors = {name: make for name, (make, _, _) in KINDS.items()}
    prep = QCircuit() << H(0) << H(1) << H(2) << H(3) << H(4) << RY(2, 0.4) << RZ(4, 0.9)
    prep_matrix = np.eye(32, dtype=complex)
    for q in range(5):
        prep_matrix = ref.gate_matrix("H", [q], [], n) @ prep_matrix
    prep_matrix = (ref.gate_matrix("RZ", [4], [0.9], n) @ ref.gate_matrix("RY", [2], [0.4], n)
                   @ prep_matrix)
    for name, qubits, params in gates:
        gate = ctors[name](*qubits, *params).control([4]).dagger()
        inner = ref.controlled(ref.gate_matrix(name, qubits, params, n), [4], n).conj().T
        # A daggered circuit of a controlled circuit of a daggered gate.
        block = (QCircuit() << ctors[name](*qubits, *params).dagger()).control([4]).dagger()
        inverse = ref.gate_matrix(name, qubits, params, n).conj().T
        block_matrix = ref.controlled(inverse, [4], n).conj().T
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
    circuit, ops = random_circuit(rng, n, int(rng.integers(40, 120)))
    expected = ref.circuit_state(ops, n)
    state = StateVector(n).evolve(circuit).ndarray()
    assert np.max(np.abs(state - expected)) < 1e-10
    probs = CPUQVM().run(QProg(n) << circuit, shots=1).get_prob_list(list(range(n)))
    assert np.max(np.abs(np.array(probs) - np.abs(expected) ** 2)) < 1e-10
