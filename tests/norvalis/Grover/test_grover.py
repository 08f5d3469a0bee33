"""Grover operators, marking oracles, iteration analysis and the Grover search circuit."""
import itertools

import numpy as np
import pytest

from kestrix.core import CPUQVM, TOFFOLI, H, QCircuit, QProg, X, Z, measure
from kestrix.quantum_info import unitary
from norvalis.Grover import (
    Grover,
    amp_operator,
    halcyte,
    iter_analysis,
    iter_num,
    mark_data_reflection,
)


def gates(circuit):
    return [(g.name, g.qubits, g.controls) for g in circuit]


def probabilities(circuit, qubits):
    prog = QProg(len(qubits))
    prog << circuit
    return CPUQVM().run(prog, shots=1).get_prob_dict(qubits)


def toffoli_marker(qubits):
    return QCircuit() << TOFFOLI(0, 1, 2) << Z(2) << TOFFOLI(0, 1, 2)


class TestAmpOperator:
    def test_worked_example_gate_order(self):
        ops = gates(amp_operator([0, 1], [0, 1, 2], [0, 1], None, toffoli_marker))
        assert ops[:3] == [("TOFFOLI", [0, 1, 2], []), ("Z", [2], []), ("TOFFOLI", [0, 1, 2], [])]
        # The inverse preparation: one H on each input qubit (they commute).
        assert sorted(ops[3:5]) == [("H", [0], []), ("H", [1], [])]
        assert ops[5:] == [("X", [0], []), ("X", [1], []), ("Z", [1], [0]), ("X", [0], []),
                           ("X", [1], []), ("H", [0], []), ("H", [1], [])]

    def test_is_the_textbook_grover_operator(self):
        n = 3
        marked = 5
        qubits = list(range(n))
        op = unitary(amp_operator(qubits, qubits, flip_operator=lambda q: mark_data_reflection(
            q, format(marked, "03b"))), n)
        s = np.full(2 ** n, 2 ** (-n / 2))
        oracle = np.eye(2 ** n)
        oracle[marked, marked] = -1
        # F, then H, then the phase flip of |0>, then H: (2|s><s| - 1) O up to a global sign.
        np.testing.assert_allclose(op, -(2 * np.outer(s, s) - np.eye(2 ** n)) @ oracle, atol=1e-12)

    def test_integer_input_is_one_qubit(self):
        assert gates(amp_operator(3)) == [("Z", [3], []), ("H", [3], []), ("X", [3], []),
                                         ("Z", [3], []), ("X", [3], []), ("H", [3], [])]

    def test_callables_are_used_and_may_return_gates(self):
        calls = []

        def prepare(qubits):
            calls.append("prepare")
            return H(qubits[0])

        # The default flip qubits are the last input qubit alone.
        op = amp_operator([0, 1], in_operator=prepare, flip_operator=lambda q: X(q[0]),
                          zero_flip=lambda q: Z(q[1]))
        assert calls == ["prepare", "prepare"]
        assert [(n, q) for n, q, _ in gates(op)] == [("X", [1]), ("H", [0]), ("Z", [1]), ("H", [0])]
        assert [g.is_dagger for g in op] == [False, True, False, False]


class TestMarkDataReflection:
    def test_two_marked_strings_in_a_grover_search(self):
        flip = mark_data_reflection([0, 1, 2], ["101", "001"])
        probs = probabilities(Grover(flip_operator=lambda q: flip).cir([0, 1, 2]), [0, 1, 2])
        assert probs == pytest.approx({"101": 0.5, "001": 0.5})

    def test_layers_on_a_single_qubit(self):
        assert gates(mark_data_reflection([4], "0")) == [("X", [4], []), ("Z", [4], []),
                                                         ("X", [4], [])]
        assert gates(mark_data_reflection([4], "1")) == [("BARRIER", [4], []), ("Z", [4], []),
                                                         ("BARRIER", [4], [])]

    def test_reads_the_last_characters_rightmost_on_the_first_qubit(self):
        first_layer = gates(mark_data_reflection([0, 1], "x10"))[:2]
        assert first_layer == [("X", [0], []), ("BARRIER", [1], [])]

    def test_each_string_is_one_phase_flip(self):
        twice = unitary(mark_data_reflection([0, 1], ["10", "10"]), 2)
        np.testing.assert_allclose(twice, np.eye(4), atol=1e-12)
        once = np.diag(unitary(mark_data_reflection([0, 1], ["10", "11"]), 2))
        np.testing.assert_allclose(once, [1, 1, -1, -1], atol=1e-12)

    def test_failures(self):
        with pytest.raises(IndexError):
            mark_data_reflection([0, 1, 2], "01")
        with pytest.raises(TypeError, match="not iterable"):
            mark_data_reflection([0, 1])


class TestIterationAnalysis:
    def test_worked_examples(self):
        assert iter_num(3, 2) == 1 and type(iter_num(3, 2)) is int
        prob, theta = iter_analysis(3, 2)
        assert prob == pytest.approx(1.0) and theta == pytest.approx(np.pi / 3)
        assert iter_analysis(3, 2, 2)[0] == pytest.approx(0.25)

    @pytest.mark.parametrize("q_num, sol_num, best",
                             [(2, 1, 1), (4, 1, 3), (10, 1, 25), (10, 3, 14)])
    def test_iteration_counts(self, q_num, sol_num, best):
        assert iter_num(q_num, sol_num) == best

    def test_degenerate_counts(self):
        with pytest.raises(ZeroDivisionError):
            iter_num(3, 0)
        assert iter_analysis(3, 0) == (0.0, 0.0)
        with np.errstate(invalid="ignore"):
            assert np.isnan(iter_analysis(2, 5)[0])

    def test_widths_beyond_any_analysis_are_refused_before_computing_two_to_them(self):
        # 2 ** (2 ** 64) would never finish; a million qubits is already far past a float.
        for call in (lambda: iter_num(2**64, 1), lambda: iter_analysis(2**64, 2, -1),
                     lambda: iter_num(10**6 + 1, 1)):
            with pytest.raises(ValueError, match="q_num must be at most 1000000"):
                call()
        with pytest.raises(OverflowError):
            iter_num(10**6, 1)
        assert iter_analysis(2000, 1) == (0.0, 0.0)


class TestGroverSearch:
    @pytest.mark.parametrize("n, marked", [
        (3, ["110"]), (4, ["0000", "1011"]), (5, ["10101"]), (6, ["000111", "111000", "101010"]),
        (7, ["1100110"]), (8, ["01010101", "11110000"])])
    def test_success_probability_matches_the_analysis(self, n, marked):
        qubits = list(range(n))
        k = iter_num(n, len(marked))
        probs = probabilities(Grover(mark_data=marked).cir(qubits, iternum=k), qubits)
        expected, _ = iter_analysis(n, len(marked), k)
        assert sum(probs.get(m, 0.0) for m in marked) == pytest.approx(expected, abs=1e-9)
        for m in marked:
            assert probs[m] == pytest.approx(expected / len(marked), abs=1e-9)

    def test_measured_success_rate(self):
        n, marked, shots = 6, ["010011"], 2000
        prog = QProg(n)
        prog << Grover(mark_data=marked).cir(list(range(n)), iternum=iter_num(n, 1))
        prog << measure(list(range(n)), list(range(n)))
        np.random.seed(11)
        counts = CPUQVM().run(prog, shots=shots).get_counts()
        p, _ = iter_analysis(n, 1, iter_num(n, 1))
        # Five binomial standard deviations.
        assert abs(counts.get(marked[0], 0) / shots - p) < 5 * np.sqrt(p * (1 - p) / shots)

    def test_worked_example_with_a_flip_qubit(self):
        cir = Grover(flip_operator=toffoli_marker).cir([0, 1], [0, 1, 2], [0, 1], 1)
        assert probabilities(cir, [0, 1, 2]) == pytest.approx({"011": 1.0})

    def test_result_is_a_kestrix_circuit_users_can_extend_and_run(self):
        cir = Grover(mark_data="11").cir([0, 1])
        assert isinstance(cir, QCircuit)
        mine = QCircuit() << X(2)
        mine << cir
        prog = QProg(3)
        prog << mine << measure([0, 1, 2], [0, 1, 2])
        assert CPUQVM(seed=3).run(prog, shots=50).get_counts() == {"111": 50}

    def test_iternum_zero_gives_the_initial_state(self):
        initial = gates(Grover(mark_data="11").cir([0, 1], iternum=0))
        assert initial == [("H", [0], []), ("H", [1], [])]
        assert len(Grover(mark_data="11").cir([0, 1], iternum=-2)) == 2
        # The Grover operator is never appended, so it is never read either.
        unusable = Grover(amplify_operator=lambda q: 42)
        for iternum in (0, -2 ** 70):
            assert len(unusable.cir([0, 1], iternum=iternum)) == 2
        with pytest.raises(TypeError, match="cannot append int"):
            unusable.cir([0, 1], iternum=1)

    def test_amplify_operator_replaces_amp_operator(self, monkeypatch):
        def refuse(*args):
            raise AssertionError("amp_operator must not be called")

        monkeypatch.setattr(halcyte, "amp_operator", refuse)
        received = []
        g = Grover(amplify_operator=lambda q: received.append(q) or QCircuit() << Z(q[-1]))
        cir = g.cir([2, 0], [3], [0, 5], iternum=2)
        assert received == [[0, 2, 3, 5]]
        assert [n for n, *_ in gates(cir)] == ["H", "H", "Z", "Z"]

    def test_qubit_sequences_must_concatenate(self):
        with pytest.raises(TypeError):
            Grover(amplify_operator=lambda q: QCircuit()).cir([0, 1], (2,))

    def test_marked_flip_needs_a_list(self):
        with pytest.raises(TypeError, match="Argument 'qubits'"):
            Grover(mark_data="1").cir((0,))

    def test_search_finds_every_single_marked_string(self):
        n = 3
        for bits in itertools.product("01", repeat=n):
            target = "".join(bits)
            circuit = Grover(mark_data=target).cir(list(range(n)), iternum=2)
            probs = probabilities(circuit, list(range(n)))
            assert max(probs, key=probs.get) == target


class TestMarkWidths:
    @pytest.mark.parametrize("marks, error, bits", [
        (["101"], ValueError, 3), ("101", ValueError, 3), (("11", "0"), IndexError, 1)])
    def test_a_mark_of_another_width_than_the_register_is_refused(self, marks, error, bits):
        with pytest.raises(error) as info:
            Grover(mark_data=marks).cir([0, 1])
        mark = [m for m in ([marks] if isinstance(marks, str) else marks) if len(m) == bits][0]
        assert str(info.value) == (f"mark_data {mark!r} has {bits} bits but the register has 2 "
                                   "qubits: each mark needs one bit per qubit")

    def test_the_reflection_itself_still_reads_the_last_characters(self):
        assert len(mark_data_reflection([0, 1], ["101"])) == 5
        generated = Grover(mark_data=(m for m in ["01"])).cir([0, 1])
        assert len(generated) > 2    # an iterator is read once, by the reflection
