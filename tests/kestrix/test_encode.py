"""Amplitude encoding: exact round trips, global phase included, on any qubit list."""
import numpy as np
import pytest

from kestrix.core import Encode, H, QCircuit
from kestrix.quantum_info import StateVector


def encoded_state(qubits, v, width):
    e = Encode()
    e.amplitude_encode(qubits, v)
    return StateVector(width).evolve(e.get_circuit()).ndarray()


def reorder(v, qubits, width):
    """The full state that has component index bit k on qubits[k] (others zero)."""
    out = np.zeros(2 ** width, dtype=complex)
    for i, amp in enumerate(v):
        out[sum(((i >> k) & 1) << q for k, q in enumerate(qubits))] = amp
    return out


@pytest.mark.parametrize("kind", ["real", "complex", "sparse", "negative"])
@pytest.mark.parametrize("seed", range(6))
def test_round_trip_on_shuffled_qubits(kind, seed):
    rng = np.random.default_rng(seed)
    k = int(rng.integers(1, 5))
    width = k + int(rng.integers(0, 2))
    qubits = [int(q) for q in rng.permutation(width)[:k]]
    v = rng.normal(size=2 ** k)
    if kind == "complex":
        v = v + 1j * rng.normal(size=2 ** k)
    if kind == "sparse":
        v[rng.random(2 ** k) < 0.6] = 0
        v[0] = v[0] or 1.0
    if kind == "negative":
        v = -np.abs(v)
    v = v / np.linalg.norm(v)
    state = encoded_state(qubits, v, width)
    assert np.max(np.abs(state - reorder(v, qubits, width))) < 1e-10


def test_real_parts_are_exact_for_a_matrix_encoding():
    m = np.array([[3.0, -1.0], [0.5, 2.0]])
    v = m.flatten() / np.linalg.norm(m)
    state = encoded_state([1, 0], v, 2)
    expected = reorder(v, [1, 0], 2).real.reshape(2, 2)
    assert np.allclose(state.real.reshape(2, 2), expected, atol=1e-12)


def test_circuit_can_be_controlled_and_inverted():
    v = np.array([0.5, -0.5j, 0.5, 0.5])
    e = Encode()
    e.amplitude_encode([0, 1], v)
    prep = e.get_circuit()
    back = StateVector(2).evolve(QCircuit() << prep << prep.dagger()).ndarray()
    assert np.allclose(back, [1, 0, 0, 0], atol=1e-12)
    controlled = StateVector(3).evolve(QCircuit() << H(2) << prep.control([2])).ndarray()
    expected = np.concatenate([[1, 0, 0, 0], v]) / np.sqrt(2)
    assert np.allclose(controlled, expected, atol=1e-12)


def test_list_input_and_calls_accumulate():
    e = Encode()
    e.amplitude_encode([0], [0.0, 1.0])
    e.amplitude_encode([1], [1 / np.sqrt(2), 1 / np.sqrt(2)])
    state = StateVector(2).evolve(e.get_circuit()).ndarray()
    assert np.allclose(state, [0, 1 / np.sqrt(2), 0, 1 / np.sqrt(2)], atol=1e-12)
