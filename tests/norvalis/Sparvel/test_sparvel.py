"""Sparse state encoding: the prepared distribution against a classical truncation written
here, the native Walsh-Hadamard transform against SymPy's, and every check in its order."""
import importlib
import inspect
import math
import pickle

import numpy as np
import pytest
import scipy.fft
import scipy.linalg
from isolated import survivor_counts
from sympy import fwht

from kestrix.quantum_info import StateVector
from norvalis.Sparvel import QSpare_Code

sparvel = importlib.import_module("norvalis.Sparvel.Sparvel")


def distribution(size, seed):
    p = np.random.default_rng(seed).random(size) ** 3  # uneven, so a few terms dominate
    return p / p.sum()


def truncated(probs, cut, mode):
    """The classical answer: the cut largest coefficients of the amplitudes, renormalised,
    taken back and squared."""
    n = math.ceil(math.log2(len(probs)))
    amp = np.sqrt(np.append(probs, np.zeros(2 ** n - len(probs))))
    if mode == "walsh":
        hadamard = scipy.linalg.hadamard(2 ** n) / np.sqrt(2 ** n)
        coefficients = hadamard @ amp
    else:
        coefficients = scipy.fft.fft(amp)
    kept = np.zeros_like(coefficients)
    top = np.argsort(np.abs(coefficients))[-cut:]
    kept[top] = coefficients[top]
    kept /= np.linalg.norm(kept)
    back = hadamard @ kept if mode == "walsh" else np.fft.ifft(kept) * np.sqrt(2 ** n)
    return np.abs(back) ** 2


class TestLoading:
    def test_binds_its_dependencies_in_order_then_its_class(self):
        import norvalis.plugin as plugin

        names = [n for n in vars(sparvel) if not n.startswith("__")]
        assert names == ["plt", "np", "CPUQVM", "QCircuit", "QProg", "Encode", "H", "fft", "fwht",
                         *plugin.__all__, "QSpare_Code"]
        assert sparvel.fft is scipy.fft.fft and sparvel.fwht is fwht

    @pytest.mark.parametrize("function, line", [
        (QSpare_Code.__init__, "__init__(self, prob_list=None, cut_length=None, mode='walsh')"),
        (QSpare_Code.select_top_n_complex_numbers, "select_top_n_complex_numbers(self, arr, n)"),
        (QSpare_Code.Transform, "Transform(self, amp)"),
        (QSpare_Code.quantum_cir, "quantum_cir(self, qubits)"),
        (QSpare_Code.Quantum_Res, "Quantum_Res(self)"),
    ])
    def test_docstring_begins_with_the_signature(self, function, line):
        assert function.__doc__.splitlines()[0] == line
        assert str(inspect.signature(function)) == line[line.index("("):]


class TestConstruction:
    def test_attributes_renormalise_and_pad(self):
        code = QSpare_Code([0.2, 0.3, 0.5004])
        assert code.qubits_num == 2 and code.cut == 4 and code.mode == "walsh"
        np.testing.assert_allclose(code.prob, np.array([0.2, 0.3, 0.5004, 0]) / 1.0004,
                                   rtol=1e-15)
        np.testing.assert_array_equal(code.amp, code.prob ** 0.5)
        assert pickle.loads(pickle.dumps(code)).cut == 4

    @pytest.mark.parametrize("prob_list", [[0.5, 0.5], np.array([0.25] * 4), np.float64([0.5, 0.5]),
                                           type("Floats", (list,), {})([0.5, 0.5])])
    def test_accepted_inputs(self, prob_list):
        assert QSpare_Code(prob_list).qubits_num == len(prob_list).bit_length() - 1

    @pytest.mark.parametrize("prob_list, error, message", [
        (None, ValueError, "prob list should be supported"),
        ((0.5, 0.5), ValueError, "prob_list should be np.ndarray or list"),
        ([], ValueError, "at least one number in the prob_list "),
        (np.array([]), ValueError, "at least one number in the prob_list "),
        ([1, 0], ValueError, "elements of prob_list should be float type"),
        (np.array([0.5, 0.5], dtype=np.float32), ValueError,
         "elements of prob_list should be float type"),
        (np.array([[0.5, 0.5]]), ValueError, "elements of prob_list should be float type"),
        ([-0.5, "1.5"], ValueError, "elements of prob_list should be float type"),
        ([0.6, -0.1, 0.5], ValueError, "prob must > 0"),
        ([-0.5, 1.0], ValueError, "prob must > 0"),           # before the sum test
        ([0.5, -np.inf], ValueError, "prob must > 0"),
        ([0.5, np.nan], ValueError, "probabilities must be finite numbers, got nan at index 1"),
        (np.array([0.5, np.inf]), ValueError,
         "probabilities must be finite numbers, got inf at index 1"),
        ([0.5, 0.4], Warning, "sum of prob list should be 1"),
        ([0.5], Warning, "sum of prob list should be 1"),
        ([1.0], ValueError, "prob_list needs at least 2 probabilities (one qubit), got 1"),
    ])
    def test_checks_in_order(self, prob_list, error, message):
        with pytest.raises(error) as info:
            QSpare_Code(prob_list)
        assert type(info.value) is error and str(info.value) == message

    def test_the_register_fits_the_list_as_copied(self):
        box = []

        class Growing(float):
            # Compared by min(), it appends a zero to its own list.
            def __lt__(self, other):
                if len(box) < 3:
                    box.append(0.0)
                return float(self) < float(other)

        box[:] = [Growing(0.5), Growing(0.5)]
        code = QSpare_Code(box)
        assert len(box) == 3 and code.qubits_num == 2 and len(code.prob) == 4
        np.testing.assert_allclose(code.Quantum_Res(), [0.5, 0.5, 0, 0], atol=1e-12)

    @pytest.mark.parametrize("cut", [0, -3, 2.0, True, np.int64(2)])
    def test_a_bad_cut_is_refused_when_a_circuit_is_built(self, cut):
        code = QSpare_Code([0.25] * 4, cut)
        assert code.cut is cut
        for build in (lambda: code.quantum_cir([0, 1]), code.Quantum_Res):
            with pytest.raises(ValueError, match="^n must > 0 and with class int$"):
                build()

    def test_a_bad_mode_is_refused_when_a_circuit_is_built_before_the_cut(self):
        code = QSpare_Code([0.25] * 4, 0, mode="hadamard")
        for build in (lambda: code.Transform(code.amp), lambda: code.quantum_cir([0, 1]),
                      code.Quantum_Res):
            with pytest.raises(ValueError, match="^mode only support walsh or fourier$"):
                build()


class TestTransforms:
    @pytest.mark.parametrize("size", [2, 5, 64])
    def test_walsh_equals_sympy_fwht_in_float64(self, size):
        code = QSpare_Code(list(distribution(size, size)))
        amp = np.random.default_rng(1).normal(size=size)
        symbolic = np.array(fwht(list(amp)), dtype=float) / np.sqrt(2 ** code.qubits_num)
        native = code.Transform(amp)
        assert native.dtype == np.float64
        np.testing.assert_allclose(native, symbolic, rtol=0, atol=1e-12)

    def test_fourier_is_scipy_fft(self):
        code = QSpare_Code(list(distribution(8, 0)), mode="fourier")
        np.testing.assert_array_equal(code.Transform(code.amp), scipy.fft.fft(code.amp))

    def test_top_n_keeps_ties_as_argsort_breaks_them(self):
        code = QSpare_Code([0.5, 0.5])
        arr = np.array([1.0, -1.0, 1.0, 0.5])
        np.testing.assert_array_equal(code.select_top_n_complex_numbers(arr, 2), [0, -1, 1, 0])
        np.testing.assert_array_equal(code.select_top_n_complex_numbers(arr, 9), arr)
        kept = code.select_top_n_complex_numbers(np.array([3j, 1, -4, 2 + 2j]), 2)
        assert kept.dtype == complex and kept.tolist() == [3j, 0, -4, 0]


class TestPreparedDistribution:
    @pytest.mark.parametrize("mode", ["walsh", "fourier"])
    @pytest.mark.parametrize("size, cut", [(2, None), (3, None), (16, 16), (13, 40)])
    def test_keeping_every_coefficient_reproduces_the_input(self, mode, size, cut):
        probs = distribution(size, size)
        result = QSpare_Code(list(probs), cut, mode).Quantum_Res()
        assert isinstance(result, list) and len(result) == 2 ** math.ceil(math.log2(size))
        np.testing.assert_allclose(result[:size], probs, rtol=0, atol=1e-10)
        np.testing.assert_allclose(result[size:], 0, atol=1e-10)

    @pytest.mark.parametrize("size, cut, seed", [(16, 3, 0), (32, 7, 1), (12, 5, 2)])
    @pytest.mark.parametrize("mode", ["walsh", "fourier"])
    def test_fewer_coefficients_give_the_classical_truncation(self, mode, size, cut, seed):
        probs = distribution(size, seed)
        code = QSpare_Code(list(probs), cut, mode)
        np.testing.assert_allclose(code.Quantum_Res(), truncated(probs, cut, mode), atol=1e-10)

    def test_tied_coefficients_are_kept_as_argsort_orders_the_float64_ones(self):
        # Six Walsh coefficients tie for the third place; which one is kept depends on the
        # processor's sort, so the expectation is built from that same argsort.
        code = QSpare_Code([0.1] * 10, 3)
        coefficients = code.Transform(code.amp)
        top = np.argsort(np.abs(coefficients))[-3:]
        assert np.isclose(abs(coefficients[top[0]]), np.sort(np.abs(coefficients))[-4])
        kept = np.zeros(16)
        kept[top] = coefficients[top] / np.linalg.norm(coefficients[top])
        back = scipy.linalg.hadamard(16) @ kept / 4
        np.testing.assert_allclose(code.Quantum_Res(), back ** 2, atol=1e-12)

    def test_worked_example(self):
        a, b, c, d = np.sqrt([0.4, 0.3, 0.2, 0.1])
        code = QSpare_Code([0.4, 0.3, 0.2, 0.1], cut_length=2)
        coefficients = [(a + b + c + d) / 2, (a - b + c - d) / 2, (a + b - c - d) / 2,
                        (a - b - c + d) / 2]
        np.testing.assert_allclose(code.Transform(code.amp), coefficients, atol=1e-15)
        # The first and third survive; H on both qubits takes them back.
        s, t = coefficients[0], coefficients[2]
        low, high = (s + t) ** 2 / 4 / (s * s + t * t), (s - t) ** 2 / 4 / (s * s + t * t)
        np.testing.assert_allclose(code.Quantum_Res(), [low, low, high, high], atol=1e-12)

    @pytest.mark.parametrize("mode", ["walsh", "fourier"])
    def test_1024_probabilities_with_the_default_cut(self, mode, capsys):
        probs = distribution(1024, 7)
        code = QSpare_Code(probs, mode=mode)
        assert code.cut == 20
        np.testing.assert_allclose(code.Quantum_Res(), truncated(probs, 20, mode), atol=1e-10)
        assert capsys.readouterr().out == ""

    def test_the_circuit_prepares_the_state_on_given_qubits(self):
        probs = distribution(8, 3)
        circuit = QSpare_Code(list(probs), mode="fourier", cut_length=8).quantum_cir([1, 2, 3])
        state = StateVector(4).evolve(circuit).ndarray()
        np.testing.assert_allclose(np.abs(state[::2]) ** 2, probs, atol=1e-10)


HOSTILE_CHILD = """
import numpy as np
from norvalis.Sparvel import QSpare_Code

box = []

class Sneaky(float):
    # A probability that empties its list when compared or converted.
    def __lt__(self, other):
        box.clear()
        return False
    def __float__(self):
        box.clear()
        return 0.5

box[:] = [Sneaky(0.5), Sneaky(0.5)]
HOSTILE = [None, -1, 0, 2 ** 70, 1.5, float("nan"), "ab", [], [0.5], object(), True,
           np.array([[0.5, 0.5]]), np.array([0.5, 0.5])[::-1], np.array([0.5, 0.5], object),
           box, [0.5, Sneaky(0.5)], np.ma.array([0.5, 0.5]), lambda: None]
calls = failures = 0
for value in HOSTILE:
    for call in (lambda: QSpare_Code(value).Quantum_Res(),
                 lambda: QSpare_Code([0.5, 0.5], value).Quantum_Res(),
                 lambda: QSpare_Code([0.5, 0.5], mode=value).Quantum_Res(),
                 lambda: QSpare_Code([0.5, 0.5]).Transform(value),
                 lambda: QSpare_Code([0.5, 0.5]).select_top_n_complex_numbers(value, 1),
                 lambda: QSpare_Code([0.5, 0.5]).quantum_cir(value)):
        calls += 1
        try:
            call()
        except Exception:
            failures += 1
    code = QSpare_Code([0.25] * 4)
    for name in ("prob", "amp", "qubits_num", "cut", "mode"):
        setattr(code, name, value)
        calls += 1
        try:
            code.Quantum_Res()
        except Exception:
            failures += 1
        code = QSpare_Code([0.25] * 4)
print("survived", calls, failures)
"""


def test_hostile_arguments_never_crash_the_interpreter():
    calls, failures = survivor_counts(HOSTILE_CHILD)
    assert 0 < failures < calls
