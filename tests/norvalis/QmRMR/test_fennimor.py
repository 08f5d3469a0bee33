"""Quantum feature selection: the weight-preserving ansatz, its outcome distribution and
loss against an independent dense simulation and brute force, selection of the best
outcome, and training under the fixed seed re-derived step by step."""
import copy
import itertools
import math
import pickle

import numpy as np
import pytest
from isolated import child_lines
from reference import (
    apply_to_state,
    blas_approx,
    controlled,
    gate_matrix,
    gate_on_state,
    zero_state,
)

import norvalis.plugin as plugin
from kestrix.core import CNOT, CPUQVM, RY, X
from norvalis.QmRMR import Feature_Selection, JorrantOptimizer, fennimor


def ansatz_gates(n, select_num, para):
    """The ansatz as its description reads: (name, qubits, params, controls) per gate."""
    gates = [("X", [i], [], []) for i in range(select_num)]
    pairs = [(t, t + 1) for t in range(0, n - 1, 2)] + [(t, t + 1) for t in range(1, n - 1, 2)]
    p = -1
    for _ in range(int(n * 0.5)):
        for a, b in pairs:
            p += 1
            gates += [("CNOT", [b, a], [], []), ("RY", [b], [para[p]], [a]),
                      ("CNOT", [b, a], [], [])]
    return gates


def block_matrix(theta):
    """One rotation block on qubits a = 0, b = 1 of the dense model."""
    cnot = gate_matrix("CNOT", [1, 0], [], 2)
    return cnot @ controlled(gate_matrix("RY", [1], [theta], 2), [0], 2) @ cnot


def reference_distribution(n, select_num, para):
    """{bit string (character j = qubit j): probability} from the dense model."""
    psi = zero_state(n)
    gates = ansatz_gates(n, select_num, para)
    for name, qubits, params, controls in gates[:select_num]:
        psi = gate_on_state(psi, name, qubits, params, controls, False, n)
    for cnot, rotation, _ in zip(*[iter(gates[select_num:])] * 3):
        psi = apply_to_state(psi, block_matrix(rotation[2][0]), cnot[1][::-1], [], n)
    probs = np.abs(psi) ** 2
    return {format(i, f"0{n}b")[::-1]: p for i, p in enumerate(probs) if p > 1e-13}


def bits(key):
    return np.array([int(c) for c in key])


def reference_loss(quadratic, linear, dist):
    return sum(p * (bits(s) @ quadratic @ bits(s) + linear @ bits(s)) for s, p in dist.items())


def problem(n, seed=0):
    rng = np.random.default_rng(seed)
    quadratic = rng.normal(size=(n, n))
    return quadratic + quadratic.T, rng.normal(size=n)


class DocumentedCircuit(Feature_Selection):
    """Overrides Circuit, so the loss takes its documented path through the simulator."""

    def Circuit(self, qbs, para):
        return super().Circuit(qbs, para)


class TestModule:
    def test_binds_its_dependencies_in_order_then_its_own_names(self):
        names = [n for n in vars(fennimor) if not n.startswith("__")]
        assert names == ["plt", "np", "CPUQVM", "QCircuit", "QProg", "CNOT", "X", "RY",
                         *plugin.__all__, "plot_bar", "plot_loss", "control",
                         "JorrantOptimizer", "Feature_Selection"]
        assert fennimor.plt is __import__("matplotlib.pyplot").pyplot

    @pytest.mark.parametrize("function, signature", [
        (fennimor.control, "(qubits1, qubits2, theta)"), (fennimor.plot_bar, "(dic)"),
        (fennimor.plot_loss, "(los)"), (Feature_Selection.Circuit, "(self, qbs, para)"),
        (Feature_Selection.__init__, "(self, quadratic, linear, select_num)"),
        (Feature_Selection.get_theory, "(self, para)"),
        (Feature_Selection.cal_loss, "(self, para)"),
        (Feature_Selection.select_key, "(self, dit)"),
        (Feature_Selection.get_his_res, "(self, ini_para)"),
        (JorrantOptimizer.optimize, "(self, initial_params)"),
        (JorrantOptimizer.__init__, "(self, objective_function, a=0.1, c=0.1, alpha=0.602, "
                                    "beta=0.101, max_iters=1000)"),
    ])
    def test_docstrings_begin_with_the_signature(self, function, signature):
        assert function.__doc__.startswith(function.__name__ + signature + "\n")

    @pytest.mark.parametrize("controls", [3, [3], [3, 4]])
    def test_control_is_a_controlled_ry(self, controls):
        assert fennimor.control(controls, 1, 0.25) == RY(1, 0.25).control(controls)

    def test_control_checks_the_target_before_the_angle_as_ry_does(self):
        with pytest.raises(ValueError) as sdk:
            RY(-1, np.nan).control(0)
        with pytest.raises(ValueError) as ours:
            fennimor.control(0, -1, np.nan)
        assert str(ours.value) == str(sdk.value)


class TestCircuit:
    @pytest.mark.parametrize("n, used", [(2, 1), (5, 8), (6, 15)])
    def test_gate_sequence_and_parameter_count(self, n, used):
        select_num = n // 2
        para = list(np.linspace(0.1, 1.0, used)) + [7.0] * 3  # the extra angles are ignored
        circuit = Feature_Selection(None, [0] * n, select_num).Circuit(list(range(n)), para)
        constructors = {"X": X, "CNOT": CNOT, "RY": RY}
        expected = [constructors[name](*qubits, *params).control(controls)
                    for name, qubits, params, controls in ansatz_gates(n, select_num, para)]
        assert list(circuit) == expected
        assert len(expected) == select_num + 3 * used

    @pytest.mark.parametrize("n, used", [(2, 1), (6, 15)])
    def test_too_few_angles_is_an_index_error(self, n, used):
        fs = Feature_Selection(np.eye(n), np.ones(n), 1)
        for call in (fs.Circuit, lambda qbs, para: fs.get_theory(para)):
            with pytest.raises(IndexError):
                call(list(range(n)), [0.5] * (used - 1))

    @pytest.mark.parametrize("select_num", [-1, -(2**70)])
    def test_a_negative_selection_is_refused_not_taken_as_none(self, select_num):
        fs = Feature_Selection(np.eye(3), np.ones(3), select_num)
        for call in (lambda: fs.Circuit([0, 1, 2], [0.1] * 2), lambda: fs.cal_loss([0.1] * 2)):
            with pytest.raises(ValueError, match="select_num must not be negative"):
                call()


class TestDistributionAndLoss:
    @pytest.mark.parametrize("select_num", range(6))
    def test_weight_is_preserved_and_matches_the_dense_model(self, select_num):
        n = 5
        para = np.random.default_rng(select_num).uniform(-np.pi, np.pi, int(n / 2) * n)
        dist = Feature_Selection(*problem(n), select_num).get_theory(para)
        assert all(key.count("1") == select_num for key in dist)
        assert math.fsum(dist.values()) == pytest.approx(1, abs=1e-14)
        ref = reference_distribution(n, select_num, para)
        assert dist.keys() == ref.keys()
        assert all(abs(dist[s] - ref[s]) < 1e-12 for s in ref)

    @pytest.mark.parametrize("n, select_num", [(1, 1), (2, 1), (4, 2), (6, 3), (7, 0), (7, 7)])
    def test_zero_angles_give_the_first_string_and_its_exact_loss(self, n, select_num):
        quadratic = np.arange(n * n, dtype=float).reshape(n, n) - 5
        linear = np.arange(n, dtype=float) * 3 - 4
        key = "1" * select_num + "0" * (n - select_num)
        x = bits(key)
        for cls in (Feature_Selection, DocumentedCircuit):
            fs = cls(quadratic, linear, select_num)
            assert fs.get_theory(np.zeros(int(n / 2) * n)) == {key: 1.0}
            scale = x @ np.abs(quadratic) @ x + np.abs(linear) @ x
            loss = fs.cal_loss(np.zeros(int(n / 2) * n))
            assert loss == blas_approx(x @ quadratic @ x + linear @ x, scale)
            assert fs.l1 == [blas_approx(-(linear @ x), scale)]
            assert fs.l2 == [blas_approx(x @ quadratic @ x, scale)]

    @pytest.mark.parametrize("n", [2, 3, 5, 6])
    @pytest.mark.parametrize("cls", [Feature_Selection, DocumentedCircuit])
    def test_loss_is_the_expectation_over_the_dense_model(self, n, cls):
        quadratic, linear = problem(n, seed=n)
        rng = np.random.default_rng(n)
        for select_num in range(n + 1):
            para = rng.uniform(-np.pi, np.pi, int(n / 2) * n)
            fs = cls(quadratic, linear, select_num)
            dist = reference_distribution(n, select_num, para)
            assert fs.cal_loss(para) == pytest.approx(reference_loss(quadratic, linear, dist),
                                                      abs=1e-12)
            assert fs.l1[-1] == pytest.approx(-sum(p * linear @ bits(s) for s, p in dist.items()),
                                              abs=1e-12)

    @pytest.mark.parametrize("n", [3, 6, 9])
    def test_none_or_all_selected_give_the_same_loss_at_every_angle(self, n):
        # One outcome only: every path must give a constant loss (a flat objective for the
        # optimiser) and record its zero linear term as 0.0.
        quadratic, linear = problem(n, seed=n)
        rng = np.random.default_rng(n)
        for select_num in (0, n):
            x = np.full(n, select_num // n)
            for cls in (Feature_Selection, DocumentedCircuit):
                fs = cls(quadratic, linear, select_num)
                losses = {fs.cal_loss(rng.uniform(-3, 3, int(n / 2) * n)) for _ in range(20)}
                assert len(losses) == 1
                assert losses.pop() == pytest.approx(x @ quadratic @ x + linear @ x, abs=1e-12)
                if select_num == 0:
                    assert all(math.copysign(1, v) == 1 for v in fs.l1)

    @pytest.mark.parametrize("coefficients", [
        lambda q, u: (q.tolist(), u.tolist()),
        lambda q, u: (np.asfortranarray(q), tuple(u)),
        lambda q, u: (np.ascontiguousarray(q[::-1, ::-1])[::-1, ::-1], u[::2].repeat(2)[:5]),
        lambda q, u: (np.kron(q, [[1, 0], [0, 0]])[::2, ::2], u.astype(np.float32)),
        lambda q, u: (np.round(q * 4).astype(np.int64), np.round(u * 4).astype(np.int32)),
        lambda q, u: (q > 0, u > 0),
        lambda q, u: (q.astype(object), u),
        lambda q, u: (q + 0j, u),
        lambda q, u: (np.full((5, 5), 2 ** 60), u),
    ], ids=["lists", "fortran-tuple", "negative-strides", "float32", "integers", "bools",
            "object", "complex", "huge-integers"])
    def test_coefficients_of_every_kind_agree_with_numpy(self, coefficients):
        n = 5
        quadratic, linear = coefficients(*problem(n))
        para = np.random.default_rng(1).uniform(-3, 3, 10)
        dist = reference_distribution(n, 2, para)
        expected = reference_loss(np.asarray(quadratic), np.asarray(linear), dist)
        for cls in (Feature_Selection, DocumentedCircuit):
            loss = cls(quadratic, linear, 2).cal_loss(para)
            assert loss == pytest.approx(expected, rel=1e-12, abs=1e-12)

    def test_replaced_names_are_obeyed(self, monkeypatch):
        n, calls = 4, []
        quadratic, linear = problem(n)
        para = np.full(8, 0.7)
        expected = Feature_Selection(quadratic, linear, 2).cal_loss(para)

        def counting(name):
            original = getattr(fennimor, name)
            return lambda *args, **kwargs: calls.append(name) or original(*args, **kwargs)

        for name in ("CPUQVM", "QProg", "parse_quantum_result_dict"):
            monkeypatch.setattr(fennimor, name, counting(name))
        assert Feature_Selection(quadratic, linear, 2).cal_loss(para) == pytest.approx(expected)
        assert calls == ["CPUQVM", "QProg", "parse_quantum_result_dict"]

        fs = Feature_Selection(quadratic, linear, 2)
        fs.Circuit = lambda qbs, para: X(qbs[0])  # one feature selected, whatever the angles
        assert fs.cal_loss(para) == quadratic[0, 0] + linear[0]

    def test_a_numpy_integer_count_takes_the_exact_path(self, monkeypatch):
        runs = []
        run = CPUQVM.run
        monkeypatch.setattr(CPUQVM, "run", lambda *args, **kwargs: runs.append(1) or run(
            *args, **kwargs))
        quadratic, linear = problem(5)
        para = np.full(10, 0.8)
        expected = Feature_Selection(quadratic, linear, 2).cal_loss(para)
        for count in (np.int64(2), np.uint8(2)):
            assert Feature_Selection(quadratic, linear, count).cal_loss(para) == expected
        assert runs == []   # no simulator run: the exact path
        DocumentedCircuit(quadratic, linear, np.int64(2)).cal_loss(para)
        assert runs == [1]

    def test_the_loss_draws_nothing_from_numpy(self):
        fs = Feature_Selection(*problem(4), 2)
        np.random.seed(5)
        fs.cal_loss(np.full(8, 0.4))
        DocumentedCircuit(*problem(4), 2).cal_loss(np.full(8, 0.4))
        fs.get_theory(np.full(8, 0.4))
        assert np.random.random() == np.random.RandomState(5).random()

    @pytest.mark.parametrize("cls", [Feature_Selection, DocumentedCircuit])
    @pytest.mark.parametrize("select_num, para, error, message", [
        (5, np.zeros(6), IndexError, "list index out of range"),
        (2, [0.1] * 5, IndexError, "list index out of range"),
        (2, np.zeros(5), IndexError, "index 5 is out of bounds"),
        (2, [0.1, np.nan] + [0.1] * 4, ValueError, "angle must be finite"),
        (2, np.array([0.1, np.inf] + [0.1] * 4), ValueError, "angle must be finite"),
        (2, ["a"] * 6, TypeError, "angle"),
        (2.0, np.zeros(6), TypeError, "'float' object cannot be interpreted as an integer"),
    ])
    def test_bad_input_fails_alike_on_both_paths(self, cls, select_num, para, error, message):
        fs = cls(*problem(4), select_num)
        with pytest.raises(error, match=message):
            fs.cal_loss(para)
        assert fs.l1 == fs.l2 == []

    def test_mismatched_coefficients_fail_in_numpy(self):
        fs = Feature_Selection(np.eye(3), np.ones(4), 2)  # qb_num 4 but Q is 3 x 3
        with pytest.raises(ValueError, match="matmul"):
            fs.cal_loss(np.full(8, 0.3))


class TestSelectKey:
    def test_keeps_admissible_outcomes_in_order_rounded(self):
        fs = Feature_Selection(None, [0] * 4, 2)
        best, top = fs.select_key({"1000": 0.9, "0011": 0.12345, "1100": 0.4, "0110": 0.12345,
                                   "1110": 0.5, "1010": 0.2})
        assert best == "1100"
        assert list(top.items()) == [("1100", 0.4), ("1010", 0.2), ("0011", 0.123),
                                     ("0110", 0.123)]

    def test_top_ten_of_twelve(self):
        weight_two = [k for k in ("".join(b) for b in itertools.product("01", repeat=6))
                      if k.count("1") == 2][:12]
        dit = {k: 0.01 * ((5 * i) % 12 + 1) for i, k in enumerate(weight_two)}
        dit["111000"] = 0.9
        best, top = Feature_Selection(None, [0] * 6, 2).select_key(dit)
        ranked = sorted(weight_two, key=dit.get, reverse=True)
        assert list(top) == ranked[:10] and best == ranked[0]
        assert list(top.values()) == [0.12, 0.11, 0.1, 0.09, 0.08, 0.07, 0.06, 0.05, 0.04, 0.03]

    @pytest.mark.parametrize("select_num", [3, -1, "2"])
    def test_no_admissible_outcome_is_a_value_error(self, select_num):
        with pytest.raises(ValueError) as info:
            Feature_Selection(None, [0, 0], select_num).select_key({"10": 0.5, "01": 0.5})
        assert str(info.value) == f"no outcome selects exactly {select_num} features"


def spsa_history(loss, ini, iters=200):
    """The optimiser re-derived: NumPy's generator seeded with 1234, one +-1 draw a step."""
    np.random.seed(1234)
    params, history = ini, [loss(ini)]
    for k in range(1, iters + 1):
        ak, ck = 0.1 / (k + 1) ** 0.602, 0.1 / (k + 1) ** 0.101
        delta = np.random.choice([-1, 1], size=len(ini))
        grad = (loss(params + ck * delta) - loss(params - ck * delta)) / (2 * ck * delta)
        params = params - ak * grad
        history.append(loss(params))
    return params, history


class TestTraining:
    def test_history_count_and_choice_re_derived(self):
        n, select_num = 5, 2
        quadratic, linear = problem(n, seed=3)
        ini = np.random.default_rng(3).uniform(-1, 1, int(n / 2) * n)
        fs = Feature_Selection(quadratic, linear, select_num)
        his, choice, top = fs.get_his_res(ini)
        assert len(his) == 201 and len(fs.l1) == len(fs.l2) == 601
        assert all(type(h) is float for h in his)

        def loss(p):
            return reference_loss(quadratic, linear, reference_distribution(n, select_num, p))

        final, expected = spsa_history(loss, ini)
        np.testing.assert_allclose(his, expected, rtol=0, atol=1e-10)
        dist = reference_distribution(n, select_num, final)
        assert choice == list(bits(max(dist, key=dist.get)))
        assert top == {k: round(dist[k], 3) for k in
                       sorted(dist, key=dist.get, reverse=True)[:10]}

        # No loss is below the best subset's value: each is an average over subsets.
        admissible = [x @ quadratic @ x + linear @ x
                      for x in map(np.array, itertools.product((0, 1), repeat=n))
                      if x.sum() == select_num]
        assert min(admissible) - 1e-12 <= min(his) and max(his) <= max(admissible) + 1e-12

    def test_reseeds_and_repeats(self):
        fs = Feature_Selection(*problem(4, seed=2), 2)
        ini = np.full(8, 0.9)
        first = fs.get_his_res(ini)
        after = np.random.random()
        np.random.seed(1234)
        for _ in range(200):
            np.random.choice([-1, 1], size=8)
        assert after == np.random.random()
        assert fs.get_his_res(ini) == first
        assert np.array_equal(ini, np.full(8, 0.9))

    def test_zero_start_never_moves(self):
        n, select_num = 6, 3
        quadratic, linear = problem(n, seed=4)
        his, choice, top = Feature_Selection(quadratic, linear, select_num).get_his_res(
            np.zeros(int(n / 2) * n))
        x = np.array([1, 1, 1, 0, 0, 0])
        scale = x @ np.abs(quadratic) @ x + np.abs(linear) @ x
        assert his == [blas_approx(x @ quadratic @ x + linear @ x, scale)] * 201
        assert choice == list(x) and top == {"111000": 1.0}


HOSTILE = r"""
import numpy as np
from hostile import attempt_all
from norvalis.QmRMR import Feature_Selection, JorrantOptimizer, fennimor

class Shrinking(list):
    def __getitem__(self, i):
        self.clear()
        return 0.1

class NoFloat:
    def __float__(self):
        raise RuntimeError("no float")

class Items(dict):
    def items(self):
        return [("11", 1.0), None]

def fresh(**attributes):
    fs = Feature_Selection(np.eye(4), [1.0] * 4, 2)
    fs.__dict__.update(attributes)
    return fs

calls = [
    lambda: fresh().cal_loss(Shrinking([0.1] * 8)),
    lambda: fresh().cal_loss([NoFloat()] * 8),
    lambda: fresh(qb_num=10 ** 30).cal_loss(np.full(8, 0.3)),
    lambda: fresh(quadratic=np.array([[NoFloat()] * 4] * 4)).cal_loss(np.full(8, 0.3)),
    lambda: fresh(quadratic=np.eye(4)[:, :, None]).cal_loss(np.full(8, 0.3)),
    lambda: fresh(get_theory=lambda p: Items()).get_his_res(np.full(8, 0.3)),
    lambda: fresh(select_key=lambda d: 5).get_his_res(np.full(8, 0.3)),
    lambda: fresh().select_key({1: 0.5}),
    lambda: fennimor.plot_bar({"a": "x", "b": 1}),
]
fennimor.parse_quantum_result_dict = lambda *args, **kwargs: Items()
calls.append(lambda: fresh().cal_loss(np.full(8, 0.3)))
attempt_all(calls)
print("survived")
"""


def test_hostile_input_never_crashes_the_interpreter():
    assert child_lines(HOSTILE) == ["survived"]


def test_instances_pickle_and_copy():
    fs = Feature_Selection(*problem(4), 2)
    loss = fs.cal_loss(np.full(8, 0.3))
    for clone in (pickle.loads(pickle.dumps(fs)), copy.deepcopy(fs)):
        assert type(clone) is Feature_Selection and clone.l1 == fs.l1
        assert clone.cal_loss(np.full(8, 0.3)) == loss and clone.l1 == [fs.l1[0]] * 2
