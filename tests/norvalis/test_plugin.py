"""norvalis.plugin: gate layers, the Fourier transform, measurements and result parsers."""
import numpy as np
import pytest
from hostile import ClearingFloat, clearing_dict, clearing_list

from kestrix.core import CNOT, CPUQVM, RY, H, QCircuit, QProg, X, Z
from kestrix.quantum_info import unitary
from norvalis.plugin import (
    QFT,
    apply_QGate,
    hadamard_circuit,
    measure_all,
    parse_quantum_result_dict,
    parse_quantum_result_list,
)


def gates(circuit):
    return [(g.name, g.qubits, g.controls) for g in circuit]


def test_star_import_gives_the_six_helpers():
    namespace = {}
    exec("from norvalis.plugin import *", namespace)
    assert sorted(k for k in namespace if k != "__builtins__") == sorted(
        ["hadamard_circuit", "apply_QGate", "QFT", "measure_all",
         "parse_quantum_result_dict", "parse_quantum_result_list"])


def test_gate_layers():
    assert gates(hadamard_circuit([2, 0, 1])) == [("H", [2], []), ("H", [0], []), ("H", [1], [])]
    assert gates(apply_QGate([0, 1], X)) == [("X", [0], []), ("X", [1], [])]
    assert gates(apply_QGate([3], Z).control([0, 1])) == [("Z", [3], [0, 1])]
    assert gates(apply_QGate(4, H)) == [("H", [4], [])]
    assert gates(apply_QGate([0], lambda q: QCircuit() << X(q) << Z(q))) == [
        ("X", [0], []), ("Z", [0], [])]


@pytest.mark.parametrize("n", [1, 2, 3, 4])
def test_qft_is_the_discrete_fourier_transform(n):
    size = 2 ** n
    dft = np.exp(2j * np.pi * np.outer(np.arange(size), np.arange(size)) / size) / np.sqrt(size)
    circuit = QFT(list(range(n)))
    np.testing.assert_allclose(unitary(circuit, n), dft, atol=1e-12)
    np.testing.assert_allclose(unitary(circuit.dagger(), n), dft.conj().T, atol=1e-12)


def test_qft_on_a_permuted_qubit_list_puts_the_first_qubit_lowest():
    qubits = [2, 0, 1]
    size = 8
    perm = np.zeros((size, size))
    for i in range(size):  # bit k of the list index lives on qubits[k]
        j = sum(((i >> k) & 1) << q for k, q in enumerate(qubits))
        perm[j, i] = 1
    dft = np.exp(2j * np.pi * np.outer(np.arange(size), np.arange(size)) / size) / np.sqrt(size)
    np.testing.assert_allclose(unitary(QFT(qubits), 3), perm @ dft @ perm.T, atol=1e-12)


def test_measure_all_in_a_program():
    prog = QProg(3)
    prog << X(0) << X(2) << measure_all([0, 1, 2], [0, 1, 2])
    assert CPUQVM(seed=1).run(prog, shots=10).get_counts() == {"101": 10}
    with pytest.raises(ValueError, match="2 qubits but 1 classical bits"):
        measure_all([0, 1], [0])


def _skewed_state():
    prog = QProg(3)
    prog << RY(0, 0.7) << RY(1, 2.1) << CNOT(1, 2)
    result = CPUQVM().run(prog, shots=1)
    return result.get_prob_dict([0, 1, 2]), result.get_prob_list([0, 1, 2])


class TestParseDict:
    def test_keys_read_first_qubit_first(self):
        probs, _ = _skewed_state()
        parsed = parse_quantum_result_dict(probs, [0, 1, 2])
        assert parsed == pytest.approx({k[::-1]: v for k, v in probs.items()})
        assert list(parsed) == [k[::-1] for k in probs]

    def test_select_max_keeps_the_largest_and_renormalises(self):
        res = {"00": 0.1, "01": 0.4, "10": 0.2, "11": 0.3}
        expected = {"10": 4 / 7, "11": 3 / 7}
        assert parse_quantum_result_dict(res, [0, 1], 2) == pytest.approx(expected)
        assert parse_quantum_result_dict(res, [0, 1], select_max=10) == pytest.approx(
            {"00": 0.1, "10": 0.4, "01": 0.2, "11": 0.3})

    def test_frequencies_are_scaled_to_sum_to_one(self):
        assert parse_quantum_result_dict({"0": 2.0, "1": 6.0}, [5]) == {"0": 0.25, "1": 0.75}

    @pytest.mark.parametrize("res, error", [
        ({"011": 1.0}, ValueError), ({"00": 0.0}, ValueError), ([0.5, 0.5], TypeError)])
    def test_bad_input(self, res, error):
        with pytest.raises(error):
            parse_quantum_result_dict(res, [0, 1])


@pytest.mark.parametrize("parse, res", [
    (lambda res: parse_quantum_result_dict(res, [0, 1]),
     lambda: clearing_dict({"00": 0.5, "11": 0.5})),
    (lambda res: parse_quantum_result_list(res, [0]),
     lambda: clearing_list(ClearingFloat, [0.25, 0.75])),
])
def test_a_result_emptied_while_read_is_refused(parse, res):
    with pytest.raises(RuntimeError, match="res changed size while it was read"):
        parse(res())


class TestParseList:
    def test_same_order_as_get_prob_list(self):
        _, probs = _skewed_state()
        assert parse_quantum_result_list(probs, [0, 1, 2]) == pytest.approx(probs)

    def test_select_max_zeroes_the_rest(self):
        res = [0.1, 0.3, 0.3, 0.3]
        assert parse_quantum_result_list(res, [0, 1], 2) == pytest.approx([0, 0.5, 0.5, 0])
        assert parse_quantum_result_list(np.array(res), [0, 1]) == pytest.approx(res)

    @pytest.mark.parametrize("res", [[0.5, 0.5, 0.0], [0.0] * 4, [float("nan")] * 4])
    def test_bad_input(self, res):
        with pytest.raises(ValueError):
            parse_quantum_result_list(res, [0, 1])

    def test_twenty_qubits(self):
        n = 20
        probs = np.random.default_rng(5).random(2 ** n)
        parsed = parse_quantum_result_list(probs, list(range(n)), select_max=3)
        top = np.argsort(probs)[-3:]
        assert np.flatnonzero(parsed).tolist() == sorted(top.tolist())
        assert sum(parsed) == pytest.approx(1.0)
