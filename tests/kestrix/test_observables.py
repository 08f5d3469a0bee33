"""Pauli observables and expval against dense matrices built here from the textbook 2x2
Paulis: exact on states and circuits, sampled within the stated shot tolerance."""
import functools

import numpy as np
import pytest

from kestrix.core import CNOT, RX, RY, H, QCircuit, QProg, measure
from kestrix.quantum_info import PauliSum, StateVector, expval

PAULI = {"I": np.eye(2), "X": np.array([[0, 1], [1, 0]]), "Y": np.array([[0, -1j], [1j, 0]]),
         "Z": np.diag([1, -1])}


def dense(terms):
    """Sum of coefficient * kron of the letters, leftmost letter on the highest qubit."""
    return sum(c * functools.reduce(np.kron, [PAULI[p] for p in label]) for label, c in terms)


def random_state(rng, n):
    c = QCircuit()
    for layer in range(3):
        for q in range(n):
            c << RY(q, float(rng.uniform(0, 6))) << RX(q, float(rng.uniform(0, 6)))
        for q in range(n - 1):
            c << CNOT(q, q + 1)
    return StateVector(n).evolve(c), c


def random_terms(rng, n, count):
    return [("".join(rng.choice(list("IXYZ"), n)), float(rng.normal())) for _ in range(count)]


class TestPauliSum:
    @pytest.mark.parametrize("terms, expected", [
        ("XZ", [("XZ", 1.0)]),
        ({"ZZ": 1, "XI": -0.5}, [("ZZ", 1.0), ("XI", -0.5)]),
        ([("YY", 2 + 0j), ("II", np.float32(0.5))], [("YY", 2.0), ("II", 0.5)]),
        ([], []),
    ])
    def test_forms_of_terms(self, terms, expected):
        assert PauliSum(terms).terms == expected

    def test_sparse_terms_and_width(self):
        h = PauliSum.from_sparse([("XZ", [3, 0], 0.5), ("Y", np.array([1]), -1)], num_qubits=5)
        assert h.num_qubits == 5 and h.terms == [("IXIIZ", 0.5), ("IIIYI", -1.0)]
        assert PauliSum("Z", num_qubits=3).terms == [("IIZ", 1.0)]

    @pytest.mark.parametrize("make, error, message", [
        (lambda: PauliSum("XQ"), ValueError, "letters I, X, Y and Z, got 'Q'"),
        (lambda: PauliSum([("X", 1j)]), ValueError, "coefficient of 'X' must be real"),
        (lambda: PauliSum([("X", float("nan"))]), ValueError, "finite"),
        (lambda: PauliSum([("X", "1")]), TypeError, "must be a number, got str"),
        (lambda: PauliSum([("XX", 1), ("X", 1)]), ValueError, "same length, got 'XX' and 'X'"),
        (lambda: PauliSum([("X",)]), TypeError, "each term must be"),
        (lambda: PauliSum(5), TypeError, "terms must be"),
        (lambda: PauliSum("ZZ", num_qubits=1), ValueError, "num_qubits is 1"),
        (lambda: PauliSum.from_sparse([("XX", [1, 1], 1)]), ValueError, "more than once"),
        (lambda: PauliSum.from_sparse([("XY", [1], 1)]), ValueError, "one qubit per letter"),
        (lambda: PauliSum("X" * 65), ValueError, "at most 64"),
    ])
    def test_bad_terms(self, make, error, message):
        with pytest.raises(error, match=message):
            make()

    def test_matrix_is_the_kronecker_sum(self):
        rng = np.random.default_rng(1)
        terms = random_terms(rng, 3, 6)
        assert np.allclose(PauliSum(terms).to_matrix(), dense(terms), atol=1e-15)

    def test_arithmetic(self):
        a, b = PauliSum({"ZZ": 1.0}), PauliSum({"XX": 0.5})
        assert (a + b).terms == [("ZZ", 1.0), ("XX", 0.5)]
        assert (a - 2 * b).terms == [("ZZ", 1.0), ("XX", -1.0)]
        assert (-a * 3).terms == [("ZZ", -3.0)] and len(a + b) == 2
        assert (PauliSum("Z") + PauliSum("XI")).terms == [("IZ", 1.0), ("XI", 1.0)]
        with pytest.raises(TypeError):
            a * 1j
        with pytest.raises(TypeError):
            a + 1


class TestExpval:
    @pytest.mark.parametrize("n", [1, 2, 4, 6])
    def test_exact_value_matches_the_dense_matrix(self, n):
        rng = np.random.default_rng(n)
        state, circuit = random_state(rng, n)
        terms = random_terms(rng, n, 8)
        psi = state.ndarray()
        expected = float(np.real(psi.conj() @ dense(terms) @ psi))
        assert expval(PauliSum(terms), state) == pytest.approx(expected, abs=1e-12)
        assert expval(PauliSum(terms), circuit) == pytest.approx(expected, abs=1e-12)

    def test_wide_states_take_the_parallel_path(self):
        rng = np.random.default_rng(5)
        state, _ = random_state(rng, 15)
        psi = state.ndarray()
        for label in ("Z" * 15, "XY" + "I" * 12 + "Z", "Y" * 15):
            h = PauliSum([(label, 1.0)])
            # <psi| P |psi> without a 2^15 x 2^15 matrix: apply P letter by letter.
            phi = psi.reshape([2] * 15)
            for axis, letter in enumerate(label):
                phi = np.moveaxis(np.tensordot(PAULI[letter], phi, axes=([1], [axis])), 0, axis)
            expected = float(np.real(np.vdot(psi, phi.reshape(-1))))
            assert expval(h, state) == pytest.approx(expected, abs=1e-10)

    def test_sampled_value_is_within_its_shot_tolerance(self):
        rng = np.random.default_rng(9)
        state, _ = random_state(rng, 4)
        terms = random_terms(rng, 4, 10)
        h = PauliSum(terms)
        exact = expval(h, state)
        shots = 20000
        # Terms are measured independently, each estimate with variance <= c^2 / shots:
        # five standard deviations of the sum.
        tolerance = 5 * np.sqrt(sum(c * c for _, c in terms) / shots)
        assert abs(expval(h, state, shots=shots, seed=3) - exact) < tolerance

    def test_sampling_is_seeded(self):
        state, _ = random_state(np.random.default_rng(2), 3)
        h = PauliSum({"XYZ": 1.0, "ZZI": 0.5})
        assert expval(h, state, shots=100, seed=4) == expval(h, state, shots=100, seed=4)
        np.random.seed(11)
        first = expval(h, state, shots=100)
        np.random.seed(11)
        assert expval(h, state, shots=100) == first

    def test_identity_terms_count_exactly_and_certain_terms_have_no_noise(self):
        bell = QCircuit() << H(0) << CNOT(0, 1)
        assert expval(PauliSum({"II": 2.5, "ZZ": 1, "XX": 1}), bell, shots=7, seed=0) == 4.5
        assert expval("YY", bell, shots=50, seed=1) == -1.0

    def test_targets_and_widths(self):
        assert expval("ZI", QProg(2)) == 1.0  # the observable's width is evolved
        assert expval("Z", H(0).dagger()) == pytest.approx(0, abs=1e-15)
        with pytest.raises(IndexError, match="observable acts on 3 qubits"):
            expval("ZZZ", StateVector(2))
        with pytest.raises(ValueError, match="measurements"):
            expval("Z", QProg(1) << measure(0, 0))
        with pytest.raises(TypeError, match="StateVector, QCircuit, QProg or QGate"):
            expval("Z", [1, 0])
        with pytest.raises(TypeError, match="PauliSum or a Pauli label"):
            expval(np.eye(2), StateVector(1))
        with pytest.raises(ValueError, match="shots must be positive"):
            expval("Z", StateVector(1), shots=0)
