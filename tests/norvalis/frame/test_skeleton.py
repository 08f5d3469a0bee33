"""The skeleton module that new modules are copied from: it must keep working, since its
patterns (bindings, checks, a class with a closure, seeded runs) are copied as they are."""
import numpy as np
import pytest

from kestrix.quantum_info import StateVector
from norvalis import _skeleton as skeleton


@pytest.mark.parametrize("flip, amplitudes", [(False, [1, 0, 0, 1]), (True, [0, 1, 1, 0])])
def test_bell_circuit_prepares_the_bell_state(flip, amplitudes):
    state = StateVector(2).evolve(skeleton.bell_circuit([0, 1], flip)).ndarray()
    assert np.allclose(state, np.array(amplitudes) / np.sqrt(2), atol=1e-12)


@pytest.mark.parametrize("qubits, error, message", [
    ((0, 1), TypeError, "Argument 'qubits' has incorrect type (expected list, got tuple)"),
    ([0], ValueError, "bell_circuit needs 2 qubits, got 1"),
    ([0, 0], ValueError, "CNOT: qubit 0 is used more than once"),
])
def test_bell_circuit_refuses_bad_qubits(qubits, error, message):
    with pytest.raises(error) as info:
        skeleton.bell_circuit(qubits)
    assert message in str(info.value)


def test_sampling_is_seeded_from_numpy_and_reads_the_shots_attribute():
    sampler = skeleton.BellSampler(shots=400)
    np.random.seed(3)
    first = sampler.sample()
    np.random.seed(3)
    assert sampler.sample() == first
    assert set(first) == {"00", "11"} and sum(first.values()) == 400
    sampler.shots = 10
    assert sum(sampler.sample(flip=True).values()) == 10


def test_a_replaced_module_function_is_obeyed(monkeypatch):
    monkeypatch.setattr(skeleton, "bell_circuit", lambda qubits, flip: skeleton.H(0))
    assert set(skeleton.BellSampler(50).sample()) <= {"00", "01"}


def test_the_closure_keeps_its_threshold_and_reads_like_python():
    keep = skeleton.BellSampler().threshold_filter(45)
    assert keep.__qualname__ == "BellSampler.threshold_filter.<locals>.keep"
    assert keep({"00": 44, "11": 45}) == {"11": 45}


class TestOriginalBellCircuit:
    """sample builds the circuit in C++ only while bell_circuit is the module's own."""

    def test_a_wrapped_original_is_called_and_gives_the_same_counts(self, monkeypatch):
        original, calls = skeleton.bell_circuit, []

        def wrapped(qubits, flip):
            calls.append((list(qubits), flip))
            return original(qubits, flip)

        np.random.seed(11)
        direct = skeleton.BellSampler(300).sample(flip=True)
        monkeypatch.setattr(skeleton, "bell_circuit", wrapped)
        np.random.seed(11)
        assert skeleton.BellSampler(300).sample(flip=True) == direct
        assert calls == [([0, 1], True)]

    def test_rebinding_the_original_restores_the_fast_path(self, monkeypatch):
        original = skeleton.bell_circuit
        monkeypatch.setattr(skeleton, "bell_circuit", lambda qubits, flip: skeleton.H(0))
        assert set(skeleton.BellSampler(50).sample()) <= {"00", "01"}
        monkeypatch.setattr(skeleton, "bell_circuit", original)
        assert set(skeleton.BellSampler(50).sample()) == {"00", "11"}

    def test_the_name_is_still_looked_up_when_the_fast_path_would_do(self, monkeypatch):
        monkeypatch.delattr(skeleton, "bell_circuit")
        with pytest.raises(NameError, match="name 'bell_circuit' is not defined"):
            skeleton.BellSampler(10).sample()
