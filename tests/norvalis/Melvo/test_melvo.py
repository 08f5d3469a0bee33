"""Canonical amplitude estimation (Melvo) against exact probabilities and the textbook
Grover operator, with the module's load-time bindings, messages and their order."""
import importlib
import inspect

import numpy as np
import pytest

import norvalis.plugin as plugin
from kestrix.core import CNOT, CPUQVM, RY, QCircuit
from kestrix.quantum_info import unitary
from norvalis.Grover import halcyte
from norvalis.Melvo import IMelvo, Melvo

melvo_module = importlib.import_module("norvalis.Melvo.Melvo")


def bernoulli(p):
    """RY(q, 2 asin(sqrt(p))) on the first qubit: it reads 1 with probability p."""
    return lambda q: QCircuit() << RY(q[0], 2 * np.arcsin(np.sqrt(p)))


def product_state(*probabilities):
    """Independent qubits, qubit j reading 1 with probability probabilities[j]."""
    def prepare(q):
        c = QCircuit()
        for qubit, p in zip(q, probabilities):
            c << RY(qubit, 2 * np.arcsin(np.sqrt(p)))
        return c
    return prepare


def nearest_grid_point(a, n_anc):
    """Phase estimation peaks at the counting outcome nearest 2**n_anc asin(sqrt(a)) / pi."""
    y = round(2 ** n_anc * np.arcsin(np.sqrt(a)) / np.pi)
    return np.sin(np.pi * y / 2 ** n_anc) ** 2


class TestLoading:
    def test_binds_its_dependencies_in_order_then_its_classes(self):
        names = [n for n in vars(melvo_module) if not n.startswith("__")]
        assert names == ["CPUQVM", "QCircuit", "QProg", "X", "H", "Z", "RX", "np", "pi",
                         "Grover", "amp_operator", "Union", "List", *plugin.__all__, "Melvo",
                         "IMelvo"]
        assert melvo_module.amp_operator is halcyte.amp_operator
        assert melvo_module.Grover is halcyte.Grover
        assert melvo_module.pi == np.pi

    @pytest.mark.parametrize("method", [Melvo.__init__, Melvo._Q_cir, Melvo.run, IMelvo.__init__,
                                        IMelvo._measure, IMelvo._findnextk,
                                        IMelvo._chernoff_confint, IMelvo.run])
    def test_docstrings_begin_with_the_signature(self, method):
        first = method.__doc__.splitlines()[0]
        assert first == f"{method.__name__}{inspect.signature(method)}"


class TestConstructor:
    @pytest.mark.parametrize("epsilon, n_anc", [(1e-3, 10), (0.5, 1), (0.99, 1), (2 ** -14, 14)])
    def test_counting_qubits_from_epsilon(self, epsilon, n_anc):
        assert Melvo(bernoulli(0.3), 1, epsilon=epsilon).n_anc == n_anc

    def test_state(self):
        prepare = bernoulli(0.3)
        m = Melvo(prepare, 2)
        assert (m.operator, m.qnumber, m.epsilon, m.res_index, m.target_state) == (
            prepare, 2, 1e-3, [-1], "1")
        assert (m.machine_type, m.max_anc_qubits) == ("CPU", 14)
        assert isinstance(m.machine, CPUQVM) and type(m.epsilon) is float
        assert Melvo(prepare, 3, [0, 2], 0.25, "01").res_index == [0, 2]

    @pytest.mark.parametrize("kwargs, error, message", [
        (dict(qnumber=1.0), TypeError,
         "Argument 'qnumber' has incorrect type (expected int, got float)"),
        (dict(qnumber=True), TypeError,
         "Argument 'qnumber' has incorrect type (expected int, got bool)"),
        (dict(epsilon="0.1"), TypeError, "must be real number, not str"),
        (dict(target_state=1), TypeError,
         "Argument 'target_state' has incorrect type (expected str, got int)"),
        (dict(epsilon=2 ** -14 * 0.99), ValueError, "Require lower epsilon"),
        (dict(res_index=[0, 1]), ValueError, "the length of res_index and target_state not equal"),
        # In the order of the checks: type checks in parameter order, then epsilon.
        (dict(qnumber=1.0, epsilon="x", target_state=1), TypeError, "Argument 'qnumber'"),
        (dict(epsilon="x", target_state=1), TypeError, "must be real number"),
        (dict(epsilon=1e-9, res_index=[0, 1]), ValueError, "Require lower epsilon"),
        (dict(epsilon=3, res_index=[0, 1]), ValueError, "epsilon must be above 0 and below 1"),
    ])
    def test_errors_and_their_order(self, kwargs, error, message):
        with pytest.raises(error) as info:
            Melvo(bernoulli(0.3), **{"qnumber": 2, **kwargs})
        assert message in str(info.value)

    @pytest.mark.parametrize("epsilon", [1, 3, 0, -0.5, float("nan"), float("inf")])
    def test_epsilon_leaving_no_counting_qubit_is_refused(self, epsilon):
        with pytest.raises(ValueError, match="epsilon must be above 0 and below 1"):
            Melvo(bernoulli(0.3), 1, epsilon=epsilon)


class TestGroverOperator:
    @staticmethod
    def preparation(q):
        return QCircuit() << RY(q[0], 0.7) << CNOT(q[0], q[1]) << RY(q[1], 1.9) << RY(q[2], 2.4) \
            << CNOT(q[2], q[0])

    @pytest.mark.parametrize("res_index, target_state", [(-1, "1"), (0, "0"), ([0, 2], "01"),
                                                         ([2, 0], "01"), ([0, 1, 2], "110")])
    def test_is_minus_b_s0_b_dagger_s_chi(self, res_index, target_state):
        n = 3
        q = Melvo(self.preparation, n, res_index, 0.1, target_state)._Q_cir(list(range(n)))
        selected = sorted(p % n for p in np.atleast_1d(res_index))
        flips = QCircuit()
        for i, bit in enumerate(target_state):
            if bit == "0":
                flips << melvo_module.X(selected[-i - 1])
        b = unitary(flips, n) @ unitary(self.preparation(list(range(n))), n)
        index = np.arange(2 ** n)
        chi = np.all([(index >> s) & 1 for s in selected], axis=0)
        s_chi = np.diag(np.where(chi, -1.0, 1.0))
        s_0 = np.diag(np.where(index == 0, -1.0, 1.0))
        np.testing.assert_allclose(unitary(q, n), -b @ s_0 @ b.conj().T @ s_chi, atol=1e-12)

    def test_acts_on_the_given_work_qubits(self):
        q = Melvo(self.preparation, 3)._Q_cir([4, 5, 6])
        assert {g.qubits[0] for g in q} | {c for g in q for c in g.controls} <= {4, 5, 6}


class TestRun:
    @pytest.mark.parametrize("p", [0.02, 0.1, 0.27, 0.5, 0.64, 0.9, 0.97])
    @pytest.mark.parametrize("epsilon", [1e-3, 2 ** -6])
    def test_lands_on_the_nearest_grid_point(self, p, epsilon):
        m = Melvo(bernoulli(p), 1, epsilon=epsilon)
        assert m.run() == pytest.approx(nearest_grid_point(p, m.n_anc), abs=1e-12)

    @pytest.mark.parametrize("p", [0.0, 1.0])
    def test_certain_outcomes_are_exact(self, p):
        estimate = Melvo(bernoulli(p), 1).run()
        assert type(estimate) is np.float64 and estimate == p

    def test_joint_probability_of_a_pattern(self):
        # Qubit 2 reads 0 and qubit 0 reads 1: 0.7 * (1 - 0.4), whatever qubit 1 does.
        prepare = product_state(0.7, 0.5, 0.4)
        expected = nearest_grid_point(0.7 * 0.6, 10)
        assert Melvo(prepare, 3, [0, 2], 1e-3, "01").run() == pytest.approx(expected, abs=1e-12)
        assert Melvo(prepare, 3, [2, 0], 1e-3, "01").run() == pytest.approx(expected, abs=1e-12)
        assert Melvo(prepare, 3, [-3, -1], 1e-3, "01").run() == pytest.approx(expected, abs=1e-12)

    def test_sine_squared_integral(self):
        from norvalis._tour.melvo import SINE_SQUARED_EXACT, sine_squared
        assert SINE_SQUARED_EXACT == pytest.approx(0.272083, abs=5e-7)
        estimate = Melvo(sine_squared, 4, epsilon=2 ** -10).run()
        assert estimate == pytest.approx(nearest_grid_point(SINE_SQUARED_EXACT, 10), abs=1e-12)

    def test_reads_exact_probabilities_and_draws_nothing(self):
        m = Melvo(bernoulli(0.3), 1, epsilon=2 ** -8)
        np.random.seed(5)
        state = np.random.get_state()[1].copy()
        first = m.run()
        assert np.array_equal(np.random.get_state()[1], state)
        assert m.run() == first

    def test_builds_q_once_through_the_replaceable_method(self):
        calls = []

        class Counted(Melvo):
            def _Q_cir(self, q_operator):
                calls.append(list(q_operator))
                return super()._Q_cir(q_operator)

        prepared = []
        prepare = bernoulli(0.3)
        m = Counted(lambda q: prepared.append(q) or prepare(q), 1, epsilon=2 ** -6)
        assert m.run() == pytest.approx(nearest_grid_point(0.3, 6), abs=1e-12)
        assert calls == [[0]] and len(prepared) == 3
        # An identity in place of Q: every counting qubit reads 0.
        m._Q_cir = lambda q_operator: QCircuit()
        assert m.run() == 0.0

    @pytest.mark.parametrize("res_index, target_state, error, message", [
        (3, "1", IndexError, "res_index entry 3 is outside the 3 work qubits"),
        ([0, -3], "11", ValueError, "res_index selects work qubit 0 more than once"),
        ([], "", ValueError, "res_index must select at least one work qubit"),
        (["0"], "1", TypeError, "res_index entries must be integers, got str"),
    ])
    def test_bad_positions_fail_at_run(self, res_index, target_state, error, message):
        m = Melvo(product_state(0.1, 0.2, 0.3), 3, res_index, 0.1, target_state)
        with pytest.raises(error, match=message):
            m.run()

    def test_counting_register_set_by_hand_is_checked(self):
        m = Melvo(bernoulli(0.3), 1)
        m.n_anc = 0
        with pytest.raises(ValueError, match="at least one counting qubit"):
            m.run()
        m.n_anc, m.max_anc_qubits = 30, 40
        with pytest.raises(MemoryError, match="at most 2\\*\\*22 - 1 copies"):
            m.run()

    def test_operator_errors_propagate(self):
        def broken(q):
            raise RuntimeError("no preparation")

        with pytest.raises(RuntimeError, match="no preparation"):
            Melvo(broken, 1).run()
        with pytest.raises(TypeError, match="cannot append"):
            Melvo(lambda q: 42, 1).run()
