"""StateVector.sample_counts and probabilities_dict: the key convention of QResult, seeding,
qubit selection and bad input."""
import numpy as np
import pytest

from kestrix.core import CPUQVM, RY, H, QCircuit, QProg, X, measure
from kestrix.quantum_info import StateVector

PREP = QCircuit() << H(0) << RY(1, 0.7) << X(2)


def test_counts_match_a_measured_run_with_the_same_seed():
    # One sampler serves both: a state read whole and a program measuring every qubit
    # draw the same shots from the same seed, keys included.
    state = StateVector(3).evolve(PREP)
    prog = QProg(3) << PREP << measure([0, 1, 2], [0, 1, 2])
    for seed in (1, 99):
        assert state.sample_counts(777, seed=seed) == CPUQVM(seed=seed).run(prog, 777).get_counts()


def test_seeding_and_totals():
    state = StateVector(4).evolve(QCircuit() << H(0) << H(1) << H(2) << H(3))
    first = state.sample_counts(np.int64(500), seed=3)
    assert first == state.sample_counts(500, seed=3)
    assert first != state.sample_counts(500, seed=4)
    assert sum(first.values()) == 500 and list(first) == sorted(first)
    np.random.seed(11)
    unseeded = state.sample_counts(500)
    np.random.seed(11)
    assert state.sample_counts(500) == unseeded
    assert state.sample_counts(0) == {}


def test_qubit_selection_orders_keys_as_results_do():
    state = StateVector(3).evolve(X(1))
    assert state.sample_counts(10, seed=0, qubits=[1]) == {"1": 10}
    assert state.sample_counts(10, seed=0, qubits=[1, 0]) == {"01": 10}
    assert state.sample_counts(10, seed=0, qubits=np.array([0, 2, 1])) == {"100": 10}
    assert state.probabilities_dict([2, 1]) == {"10": 1.0}


def test_frequencies_follow_the_probabilities():
    state = StateVector(2).evolve(QCircuit() << RY(0, 1.2))
    p1 = np.sin(0.6) ** 2
    shots = 20000
    counts = state.sample_counts(shots, seed=5, qubits=0)
    assert abs(counts["1"] / shots - p1) < 5 * np.sqrt(p1 * (1 - p1) / shots)


def test_probabilities_dict_agrees_with_results_and_rounds():
    state = StateVector(3).evolve(PREP)
    exact = CPUQVM().run(QProg(3) << PREP).get_prob_dict()
    assert state.probabilities_dict() == pytest.approx(exact, abs=1e-15)
    assert list(state.probabilities_dict()) == list(exact)
    rounded = StateVector(2).evolve(RY(0, 0.001)).probabilities_dict(decimals=3)
    assert rounded == {"00": 1.0}  # the tiny '01' entry rounds to zero and goes
    assert StateVector(1).probabilities_dict(decimals=np.int32(2)) == {"0": 1.0}


@pytest.mark.parametrize(
    "call, error, words",
    [
        (lambda s: s.sample_counts(-1), ValueError, "shots must be non-negative"),
        (lambda s: s.sample_counts(2.0), TypeError, "shots must be an int"),
        (lambda s: s.sample_counts(True), TypeError, "shots must be an int"),
        (lambda s: s.sample_counts(2**70), ValueError, "shots is too large"),
        (lambda s: s.sample_counts(5, seed=-1), ValueError, "seed"),
        (lambda s: s.sample_counts(5, qubits=[2]), IndexError, "qubit 2 is outside the state"),
        (lambda s: s.sample_counts(5, qubits=[0, 0]), ValueError, "sample_counts"),
        (lambda s: s.sample_counts(5, qubits="01"), TypeError, "qubit"),
        (lambda s: s.probabilities_dict([5]), IndexError, "qubit 5 is outside the state"),
        (lambda s: s.probabilities_dict([1, 1]), ValueError, "probabilities_dict"),
        (lambda s: s.probabilities_dict(decimals=-1), ValueError, "decimals"),
        (lambda s: s.probabilities_dict(decimals=1.5), TypeError, "decimals"),
    ],
)
def test_bad_input_is_refused_in_words(call, error, words):
    with pytest.raises(error, match=words):
        call(StateVector(2))
