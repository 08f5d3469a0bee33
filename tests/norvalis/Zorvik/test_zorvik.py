"""Quantum PCA: the circuit stages (gate lists, inverses, the flag) and the zorvik driver
against NumPy and scikit-learn."""
import math
import subprocess
import sys

import numpy as np
import pytest
from sklearn.decomposition import PCA
from sklearn.preprocessing import StandardScaler

import kestrix.core
import norvalis.plugin
from kestrix.core import CPUQVM, QCircuit
from kestrix.quantum_info import unitary
from norvalis.Zorvik import Zorvik, zorvik

PI = np.pi
Q5, Q8 = list(range(5)), list(range(8))
EXAMPLE = np.array([[2, 1], [3, 4], [5, 5], [6, 8], [8, 7], [9, 10]])


def gates(circuit):
    return [(g.name, g.qubits, g.controls, g.params) for g in circuit]


def correlated(n, rho, seed):
    rng = np.random.default_rng(seed)
    return rng.multivariate_normal([1.0, -2.0], [[1.0, rho], [rho, 1.0]], size=n)


class TestStages:
    # (n, eigenvalues, threshold, width): each branch of the phase stage, four features
    # (eigenvalues and threshold never read) and a size with no controlled evolution.
    CASES = [(2, [1.0, 3.0], 0.5, 5), (2, [1.0, 3.0], 2.0, 5), (2, [2.0, 2.0], 2.0, 5),
             (2, [1.0, 3.0], 3.0, 5), (4, None, None, 8), (3, [], None, 5)]

    @pytest.mark.parametrize("n, m, tao, width", CASES)
    def test_each_stage_followed_by_its_reverse_is_the_identity(self, n, m, tao, width):
        q = list(range(width))
        for forward, reverse in [
                (Zorvik._phase_estimation_cir(q, m, tao, n),
                 Zorvik._phase_estimation_reverse_cir(q, m, tao, n)),
                (Zorvik._transition_cir(q, n), Zorvik._transition_reverse_cir(q, n))]:
            both = QCircuit() << forward << reverse
            np.testing.assert_allclose(unitary(both, width), np.eye(2 ** width), atol=1e-12)
            assert not np.allclose(unitary(forward, width), np.eye(2 ** width))

    def test_flag_stage_truth_table(self):
        u = unitary(Zorvik._cnot_cir(Q5[:3]), 3)
        for q0 in (0, 1):
            for q1 in (0, 1):
                for q2 in (0, 1):
                    flag = q0 ^ (q1 | q2)
                    column = u[:, q0 + 2 * q1 + 4 * q2]
                    assert abs(column[flag + 2 * q1 + 4 * q2]) == pytest.approx(1, abs=1e-12)

    def test_phase_stage_when_the_threshold_is_below_both_eigenvalues(self):
        assert gates(Zorvik._phase_estimation_cir(Q5, np.array([1.0, 3.0]), 0.0)) == [
            ("H", [1], [], []), ("H", [2], [], []), ("U3", [3], [2], [-PI / 2, -PI / 2, PI / 2]),
            ("U1", [2], [], [5 * PI / 4]), ("CNOT", [1, 3], [], []), ("U1", [1], [], [PI]),
            ("SWAP", [1, 2], [], []), ("H", [2], [], []), ("CR", [1, 2], [], [-PI / 2]),
            ("H", [1], [], [])]
        assert gates(Zorvik._phase_estimation_reverse_cir(Q5, [1.0, 3.0], 0.0)) == [
            ("H", [1], [], []), ("U1", [2], [1], [PI / 2]), ("H", [2], [], []),
            ("SWAP", [1, 2], [], []), ("U1", [1], [], [-PI]), ("CNOT", [1, 3], [], []),
            ("U1", [2], [], [-5 * PI / 4]), ("U3", [3], [2], [-PI / 2, PI / 2, -PI / 2]),
            ("H", [1], [], []), ("H", [2], [], [])]

    @pytest.mark.parametrize("m, tao, forward_block, reverse_block", [
        ([1.0, 3.0], 1.0, [("U1", [2], [], [3 * PI / 4]), ("CNOT", [1, 3], [], [])],
         [("CNOT", [1, 3], [], []), ("U1", [2], [], [-3 * PI / 4])]),
        ([3.0, 1.0], 2.5, [("U1", [2], [], [3 * PI / 4]), ("CNOT", [1, 3], [], [])],
         [("CNOT", [1, 3], [], []), ("U1", [2], [], [-3 * PI / 4])]),
        ([1.0, 3.0], 3.0, [], []),
        ([2.0, 2.0], 2.0, [], []),
        ([1.0, 3.0], 7.0, [], []),
    ])
    def test_threshold_picks_the_block(self, m, tao, forward_block, reverse_block):
        forward = gates(Zorvik._phase_estimation_cir(Q5, m, tao))
        reverse = gates(Zorvik._phase_estimation_reverse_cir(Q5, m, tao, 2))
        assert forward[3:-4] == forward_block
        assert reverse[4:-3] == reverse_block
        assert forward[2][0] == "U3" and reverse[-3][0] == "U3"

    def test_four_feature_block_and_its_reverse(self):
        block = [("X", [3], [], []), ("CR", [3, 4], [], [PI / 4]), ("CNOT", [2, 3], [], []),
                 ("CR", [3, 4], [], [-PI / 4]), ("CNOT", [2, 3], [], []),
                 ("CR", [2, 4], [], [PI / 4]), ("X", [3], [], []), ("Y", [4], [3], []),
                 ("CNOT", [3, 4], [], []), ("CNOT", [2, 3], [], []), ("CNOT", [3, 4], [], []),
                 ("Y", [4], [3], []), ("CNOT", [2, 3], [], []), ("Y", [4], [2], []),
                 ("CNOT", [2, 4], [], []), ("CR", [3, 4], [], [PI / 4]),
                 ("CNOT", [2, 3], [], []), ("CR", [3, 4], [], [-PI / 4]),
                 ("CNOT", [2, 3], [], []), ("CR", [2, 4], [], [PI / 4]), ("Y", [3], [1], []),
                 ("CNOT", [1, 3], [], []), ("CNOT", [4, 1], [], []), ("CNOT", [1, 3], [], []),
                 ("Y", [3], [1], []), ("CNOT", [4, 1], [], []), ("Y", [3], [4], []),
                 ("CNOT", [4, 3], [], [])]
        forward = gates(Zorvik._phase_estimation_cir(Q8, "never read", object(), 4))
        assert forward[:2] == [("H", [1], [], []), ("H", [2], [], [])]
        assert forward[2:30] == block and len(forward) == 34
        negated = [(n, q, c, [-p for p in params]) if n == "CR" else (n, q, c, params)
                   for n, q, c, params in reversed(block)]
        reverse = gates(Zorvik._phase_estimation_reverse_cir(Q8, None, None, 4))
        assert reverse[4:32] == negated and len(reverse) == 34

    def test_transition_gates(self):
        assert gates(Zorvik._transition_cir(Q5)) == [("X", [2], [], []), ("CNOT", [2, 1], [], [])]
        assert gates(Zorvik._transition_cir(Q8, 4)) == [
            ("X", [2], [], []), ("TOFFOLI", [1, 2, 7], [], []), ("X", [2], [], []),
            ("CNOT", [7, 1], [], [])]
        assert gates(Zorvik._transition_reverse_cir(Q8, 3)) == [("X", [2], [], [])]

    def test_other_sizes_keep_only_the_register_and_the_transform(self):
        assert [g[0] for g in gates(Zorvik._phase_estimation_cir(Q5, [], None, 3))] == [
            "H", "H", "SWAP", "H", "CR", "H"]
        assert [g[0] for g in gates(Zorvik._phase_estimation_reverse_cir(Q5, [], None, 1))] == [
            "H", "U1", "H", "SWAP", "H", "H"]

    @pytest.mark.parametrize("call, error", [
        (lambda: Zorvik._phase_estimation_cir([0, 1, 2], [1, 3], 2), IndexError),
        (lambda: Zorvik._transition_cir(Q5, 4), IndexError),
        (lambda: Zorvik._cnot_cir([0, 1]), IndexError),
        (lambda: Zorvik._phase_estimation_cir(Q5, [], 2), ValueError),
        (lambda: Zorvik._phase_estimation_reverse_cir(Q5, [1, 3], "a"), TypeError),
        (lambda: Zorvik._phase_estimation_cir([0, 1, 1, 3], [1, 3], 2), ValueError),
    ])
    def test_bad_stage_input(self, call, error):
        with pytest.raises(error):
            call()

    def test_measure_program_ignores_its_program_argument(self):
        prog = Zorvik._measure_cir("not used", [0, 2, 1], [1, 0, 2])
        assert type(prog).__name__ == "QProg"
        assert [(g.name, g.qubits, g.cbit) for g in prog] == [
            ("MEASURE", [0], 1), ("MEASURE", [2], 0), ("MEASURE", [1], 2)]
        with pytest.raises(ValueError, match="3 qubits but 2 classical bits"):
            Zorvik._measure_cir(None, [0, 1, 2], [0, 1])

    def test_load_time_bindings(self):
        assert (Zorvik.np, Zorvik.math, Zorvik.sys) == (np, math, sys)
        for name in ["CPUQVM", "QCircuit", "QProg", "TOFFOLI", "SWAP", "CNOT", "U1", "U3", "CR",
                     "I", "H", "X", "Y", "measure"]:
            assert getattr(Zorvik, name) is getattr(kestrix.core, name)
        assert Zorvik.QFT is norvalis.plugin.QFT

    def test_machine_and_identity_run(self):
        qm = Zorvik._QMachine(5, 99)
        assert isinstance(qm.machine, CPUQVM) and qm.q_list == Q5
        result = Zorvik._init_cir(qm, np.ones(4) / 2)
        assert result.shots == 1000
        assert qm.machine.result().get_prob_dict([0]) == {"0": 1.0}


class FakeMachine:
    """Stands in for _QMachine: records the measured run, returns a chosen dictionary."""

    runs = []

    def __init__(self, probabilities):
        self.q_list = Q5
        self.machine = self
        self._probabilities = probabilities

    def run(self, prog, shots):
        FakeMachine.runs.append((prog, shots))

    def result(self):
        return self

    def get_prob_dict(self, qubits):
        return self._probabilities


def fake(monkeypatch, probabilities):
    FakeMachine.runs = []
    monkeypatch.setattr(Zorvik, "_QMachine", lambda q, c: FakeMachine(probabilities))


def weights(data, k=1):
    """The weight vector zorvik used, read back from its projection."""
    norm_x = data - data.mean(axis=0)
    return np.linalg.lstsq(norm_x, zorvik(data, k), rcond=None)[0].ravel()


class TestDriver:
    def test_preprocessing_centres_and_forms_the_scatter_matrix(self):
        norm_x, scatter = Zorvik._preprocessing(EXAMPLE)
        centred = EXAMPLE - EXAMPLE.mean(axis=0)
        np.testing.assert_allclose(norm_x, centred, atol=1e-12)
        np.testing.assert_allclose(scatter, centred.T @ centred, atol=1e-12)
        with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 2, got 1\)"):
            Zorvik._preprocessing(np.arange(4.0))

    def test_documented_example_reduces_to_one_column_on_a_unit_weight_vector(self):
        np.random.seed(0)
        v = zorvik(EXAMPLE, 1)
        assert v.shape == (6, 1) and v.dtype == np.float64
        np.random.seed(0)
        w = weights(EXAMPLE.astype(float))
        assert np.linalg.norm(w) == pytest.approx(1, abs=1e-12)

    def test_weights_come_from_shot_frequencies(self):
        data = correlated(40, 0.6, 1)
        np.random.seed(5)
        first = zorvik(data, 1)
        np.random.seed(5)
        assert np.array_equal(zorvik(data, 1), first)
        np.random.seed(6)
        assert not np.array_equal(zorvik(data, 1), first)

    def test_equal_eigenvalues_give_the_diagonal_exactly(self):
        data = np.array([[1.0, 0.0], [-1.0, 0.0], [0.0, 1.0], [0.0, -1.0]])
        expected = np.dot(data, np.array([[1.0], [1.0]]) / np.sqrt(2))
        assert np.array_equal(zorvik(data, 1), expected)

    @pytest.mark.parametrize("seed", [0, 1, 2])
    def test_agrees_with_pca_when_the_principal_axis_is_the_diagonal(self, seed):
        data = StandardScaler().fit_transform(correlated(60, 0.7, seed))
        np.random.seed(seed)
        v = zorvik(data, 1)[:, 0]
        reference = PCA(1).fit_transform(data)[:, 0]
        reference *= np.sign(reference @ v)
        # Each flagged frequency is 1/4 +- sqrt(3/16/8192); five standard deviations of the
        # weight vector's angle come to 0.02 rad, which bounds each row's error.
        assert np.all(np.abs(v - reference) <= 0.02 * np.linalg.norm(data, axis=1) + 1e-12)

    def test_is_the_second_component_for_negatively_correlated_features(self):
        data = StandardScaler().fit_transform(correlated(60, -0.7, 3))
        v = zorvik(data, 1)[:, 0]
        first, second = PCA(2).fit_transform(data).T
        assert abs(np.corrcoef(v, first)[0, 1]) < 0.05
        assert abs(np.corrcoef(v, second)[0, 1]) > 0.999

    def test_first_and_last_flagged_frequencies_rounded_to_four_decimals(self, monkeypatch):
        fake(monkeypatch, {"00000": 0.3, "00001": 0.12344, "00011": 0.5, "00100": 0.1,
                           "10101": 0.07656})
        data = EXAMPLE.astype(float)
        v = zorvik(data, 1)
        w = np.array([0.1234, 0.0766]) / (0.1234 + 0.5 + 0.0766)
        w = w ** 0.25 / np.linalg.norm(w ** 0.25)
        np.testing.assert_allclose(v[:, 0], (data - data.mean(axis=0)) @ w, atol=1e-12)
        # The identity run of 1000 shots, then the measured run of 8192.
        [(identity, first_shots), (prog, shots)] = FakeMachine.runs
        assert [g.name for g in identity] == ["I"] and (first_shots, shots) == (1000, 8192)
        assert [(g.qubits[0], g.cbit) for g in prog if g.name == "MEASURE"] == [
            (q, q) for q in Q5]

    def test_a_frequency_that_rounds_to_zero_contributes_nothing(self, monkeypatch):
        fake(monkeypatch, {"00001": 0.6, "00011": 0.4, "11111": 0.00004})
        data = EXAMPLE.astype(float)
        np.testing.assert_allclose(zorvik(data, 1)[:, 0], data[:, 0] - data[:, 0].mean(),
                                   atol=1e-12)

    def test_no_flagged_outcome(self, monkeypatch):
        fake(monkeypatch, {"00000": 1.0})
        with pytest.raises(IndexError, match="flag qubit"):
            zorvik(EXAMPLE, 1)

    def test_two_components_are_the_data_in_the_principal_axis_basis(self):
        data = correlated(30, 0.4, 4) * [3.0, 1.0]
        both = zorvik(data, 2)
        reference = PCA(2).fit_transform(data)
        assert both.shape == (30, 2)
        for j in range(2):
            reference[:, j] *= np.sign(reference[:, j] @ both[:, j])
        np.testing.assert_allclose(both, reference, atol=1e-9)

    def test_other_k_prints_and_exits_before_any_simulator(self, monkeypatch, capsys):
        def refuse(*args):
            raise AssertionError("no simulator may be created")

        monkeypatch.setattr(Zorvik, "_QMachine", refuse)
        monkeypatch.setattr(Zorvik, "CPUQVM", refuse)
        with pytest.raises(SystemExit) as info:
            zorvik(EXAMPLE, 3)
        assert info.value.code == 1
        assert capsys.readouterr().out == "The K Error!\n"

    def test_a_script_refused_k_ends_with_a_failing_status(self):
        script = "import numpy as np; from norvalis.Zorvik import zorvik; " \
                 "zorvik(np.random.rand(10, 2), 3)"
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                              timeout=60)
        assert (done.returncode, done.stdout) == (1, "The K Error!\n")

    def test_four_features_are_refused_before_any_simulator(self, monkeypatch):
        monkeypatch.setattr(Zorvik, "_QMachine", lambda *a: pytest.fail("simulator created"))
        with pytest.raises(ValueError, match="^zorvik supports two features; got 4$"):
            zorvik(np.random.default_rng(0).normal(size=(10, 4)), 1)

    @pytest.mark.parametrize("data", [np.ones((5, 3)), np.ones((5, 1)), np.arange(6)])
    def test_other_shapes_fail_in_numpy(self, data):
        with pytest.raises(ValueError):
            zorvik(data, 1)
