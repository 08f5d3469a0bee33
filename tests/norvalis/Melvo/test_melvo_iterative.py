"""Iterative amplitude estimation (IMelvo): its worked values, its steps, its seeded runs
against exact probabilities, and the mends of the measured qubit and of the period slip."""
import numpy as np
import pytest

from kestrix.core import CPUQVM, RY, QCircuit, QProg
from norvalis.Melvo import IMelvo


def bernoulli(p):
    """RY(q, 2 asin(sqrt(p))) on the first qubit: it reads 1 with probability p."""
    return lambda q: QCircuit() << RY(q[0], 2 * np.arcsin(np.sqrt(p)))


def two_qubits(p0, p1):
    return lambda q: QCircuit() << RY(q[0], 2 * np.arcsin(np.sqrt(p0))) \
        << RY(q[1], 2 * np.arcsin(np.sqrt(p1)))


def seeded_runs(prepare, qnumber, a, seeds=range(100), epsilon=1e-3):
    """(errors, covered): |estimate - a| and whether [a_l, a_u] holds a, per seed."""
    errors, covered = [], []
    for seed in seeds:
        np.random.seed(seed)
        estimator = IMelvo(prepare, qnumber, epsilon=epsilon)
        errors.append(abs(estimator.run() - a))
        covered.append(estimator.a_l <= a <= estimator.a_u)
    return np.array(errors), np.array(covered)


class TestWorkedValues:
    def test_constructor_state(self):
        prepare = bernoulli(0.3)
        e = IMelvo(prepare, 3)
        assert e.N_max == pytest.approx(618.48, abs=0.005) and type(e.N_max) is np.float64
        assert (e.epsilon, e.alpha, e.method, e.ratio) == (1e-3, 0.05, "cher", 2.0)
        assert (e.qnumber, e.res_index, e.machine_type, e.n_sum) == (3, -1, "CPU", 0)
        assert (e.qlist, e.clist, e.operatorA, e.a_l, e.a_u, e.draw) == (
            [0, 1, 2], [0, 1, 2], prepare, 0, 0, False)
        assert isinstance(e.machine, CPUQVM)

    def test_rounds_first_power_and_shots_passed_to_the_steps(self):
        e = IMelvo(bernoulli(0.3), 1)
        steps, intervals = [], []
        findnextk, confint = e._findnextk, e._chernoff_confint
        e._findnextk = lambda *args: steps.append(args) or findnextk(*args)
        e._chernoff_confint = lambda *args: intervals.append(args) or confint(*args)
        np.random.seed(1)
        e.run()
        assert steps[0] == (0, 0, 0.25, True) and findnextk(0, 0, 0.25, True) == (0, True)
        assert {rounds for _, _, rounds in intervals} == {9}
        # The shot count passed is the run's running total, capped at int(N_max).
        assert [shots for _, shots, _ in intervals][-1] == min(e.n_sum, int(e.N_max))

    def test_stops_after_twenty_iterations(self):
        e = IMelvo(bernoulli(0.3), 1)
        e._chernoff_confint = lambda value, shots, max_rounds: (0.0, 1.0)
        batches = []
        measure = e._measure
        e._measure = lambda k, n_round: batches.append(k) or measure(k, n_round)
        np.random.seed(2)
        e.run()
        assert len(batches) == 20


class TestSteps:
    @pytest.mark.parametrize("args, expected", [
        ((0, 0.07, 0.09, True), (5, False)),
        ((0, 0.01, 0.02, False), (5, True)),
        ((3, 0.0, 0.25, False), (3, False)),   # nothing at least twice K = 14: unchanged
        ((1, 0.2, 0.1, True), (1, True)),      # a reversed interval finds no larger power
    ])
    def test_findnextk(self, args, expected):
        assert IMelvo(bernoulli(0.3), 1)._findnextk(*args) == expected

    def test_findnextk_returns_its_arguments_when_no_power_fits(self):
        up = np.True_
        result = IMelvo(bernoulli(0.3), 1)._findnextk(3, 0.0, 0.25, up)
        assert result == (3, True) and result[1] is up

    def test_findnextk_failures(self):
        e = IMelvo(bernoulli(0.3), 1)
        with pytest.raises(ZeroDivisionError, match="^float division$"):
            e._findnextk(0, 0.1, 0.1, True)
        e.ratio = 1
        with pytest.raises(ValueError, match="^ratio must be larger than 1$"):
            e._findnextk(0, 0.0, 0.25, True)
        with pytest.raises(ValueError, match="^ratio must be larger than 1$"):
            e.run()

    def test_chernoff_confint(self):
        e = IMelvo(bernoulli(0.3), 1)
        half = np.sqrt(np.log(2 * 9 / 0.05) / (2 * 100))
        assert e._chernoff_confint(0.5, 100, 9) == pytest.approx((0.5 - half, 0.5 + half))
        assert e._chernoff_confint(0.01, 100, 9) == (0, pytest.approx(0.01 + half))
        assert e._chernoff_confint(0.99, 100, 9) == (pytest.approx(0.99 - half), 1)

    @pytest.mark.parametrize("call, name, got", [
        (lambda e: e._measure(1.0, 10), "k", "float"),
        (lambda e: e._measure(1, np.int64(10)), "n_round", "numpy.int64"),
        (lambda e: e._findnextk(True, 0.0, 0.25, True), "k_i", "bool"),
        (lambda e: e._chernoff_confint(0.5, 10.0, 9), "shots", "float"),
        (lambda e: e._chernoff_confint(0.5, 10, None), "max_rounds", "NoneType"),
        (lambda e: IMelvo(bernoulli(0.3), 1.0, epsilon="x"), "qnumber", "float"),
        (lambda e: IMelvo(bernoulli(0.3), 1, res_index=-1.0, epsilon="x"), "res_index", "float"),
    ])
    def test_exact_int_arguments(self, call, name, got):
        with pytest.raises(TypeError) as info:
            call(IMelvo(bernoulli(0.3), 1))
        assert str(info.value) == f"Argument '{name}' has incorrect type (expected int, got {got})"

    @pytest.mark.parametrize("k", [0, 1, 2, 5])
    def test_measure_counts_ones_after_k_grover_operators(self, k):
        p = 0.1
        theta = np.arcsin(np.sqrt(p))
        expected = np.sin((2 * k + 1) * theta) ** 2
        np.random.seed(k)
        ones = IMelvo(bernoulli(p), 1)._measure(k, 4000)
        # Five binomial standard deviations.
        assert abs(ones / 4000 - expected) <= 5 * np.sqrt(expected * (1 - expected) / 4000) + 1e-9

    def test_measure_certain_outcomes(self):
        assert IMelvo(bernoulli(0.0), 1)._measure(3, 50) == 0
        assert IMelvo(bernoulli(1.0), 1)._measure(0, 50) == 50

    def test_measure_refuses_a_power_beyond_one_program(self):
        with pytest.raises(MemoryError, match="at most 2\\*\\*22 Grover operators"):
            IMelvo(bernoulli(0.3), 1)._measure(2 ** 22 + 1, 10)


class TestRun:
    @pytest.mark.parametrize("p", [0.02, 0.27, 0.5, 0.81])
    def test_most_seeded_runs_land_within_epsilon(self, p):
        errors, _ = seeded_runs(bernoulli(p), 1, p)
        # Measured: 85 to 96 of 100 runs within epsilon, the rest within 0.03
        # (docs/modules/melvo.md).
        assert (errors <= 1e-3).sum() >= 75 and errors.max() < 0.05

    def test_interval_is_narrower_than_its_nominal_level(self):
        # Every interval counts all the run's shots: it holds the truth in about half of the
        # runs, not in 95 % (docs/modules/melvo.md).
        _, covered = seeded_runs(bernoulli(0.27), 1, 0.27)
        assert 25 <= covered.sum() <= 75

    @pytest.mark.parametrize("p, seed", [(0.3, 9), (0.3, 36), (0.6, 32)])
    def test_upper_bound_on_a_period_boundary_keeps_its_period(self, p, seed):
        # These runs repeat a power while theta_u sits on a period start; counted from its
        # own period, theta_u slipped a period per iteration and the estimate was off by
        # 0.11 to 0.28.
        errors, _ = seeded_runs(bernoulli(p), 1, p, seeds=[seed])
        assert errors[0] < 1e-3

    @pytest.mark.parametrize("p", [0.0, 1.0])
    def test_certain_outcomes(self, p):
        np.random.seed(4)
        assert abs(IMelvo(bernoulli(p), 1).run() - p) < 1e-5

    def test_noise_free_counts_reach_epsilon(self):
        # Expected counts in place of sampled ones: the schedule alone narrows to epsilon.
        p = 0.37
        theta = np.arcsin(np.sqrt(p))

        class Exact(IMelvo):
            def _measure(self, k, n_round):
                return round(n_round * np.sin((2 * k + 1) * theta) ** 2)

        e = Exact(bernoulli(p), 1, epsilon=1e-4)
        assert abs(e.run() - p) <= 1e-4 and e.a_l <= p <= e.a_u

    def test_estimates_the_qubit_at_res_index(self):
        prepare = two_qubits(0.2, 0.7)
        np.random.seed(3)
        assert abs(IMelvo(prepare, 2, res_index=0).run() - 0.2) < 0.01
        np.random.seed(3)
        assert abs(IMelvo(prepare, 2, res_index=1).run() - 0.7) < 0.01
        # The Grover operator marks the measured qubit: qubit 0 turns by 3 theta_0.
        np.random.seed(3)
        ones = IMelvo(prepare, 2, res_index=0)._measure(1, 4000)
        assert abs(ones / 4000 - np.sin(3 * np.arcsin(np.sqrt(0.2))) ** 2) < 0.035

    def test_sine_squared_integral(self):
        from norvalis._tour.melvo import SINE_SQUARED_EXACT, sine_squared
        errors, _ = seeded_runs(sine_squared, 4, SINE_SQUARED_EXACT, seeds=range(20))
        assert np.median(errors) <= 1e-3 and errors.max() < 0.05

    def test_one_seed_per_batch_makes_runs_repeatable(self):
        batches = []
        e = IMelvo(bernoulli(0.3), 1)
        measure = e._measure
        e._measure = lambda k, n_round: batches.append(k) or measure(k, n_round)
        np.random.seed(6)
        first = e.run()
        after_run = np.random.random()
        np.random.seed(6)
        for _ in batches:
            np.random.random()
        assert np.random.random() == after_run
        np.random.seed(6)
        assert IMelvo(bernoulli(0.3), 1).run() == first and type(first) is np.float64

    def test_shot_total_accumulates_across_runs(self):
        e = IMelvo(bernoulli(0.3), 1)
        np.random.seed(8)
        e.run()
        first = e.n_sum
        np.random.seed(9)
        second = e.run()
        # A fresh estimator that starts from the same total runs the same second run.
        fresh = IMelvo(bernoulli(0.3), 1)
        fresh.n_sum = first
        np.random.seed(9)
        assert fresh.run() == second and e.n_sum == fresh.n_sum > first > 0

    def test_draw_prints_the_first_program_once(self, capsys):
        prepare = bernoulli(0.3)
        e = IMelvo(prepare, 1)
        e.draw = True
        np.random.seed(9)
        e.run()
        expected = QProg()
        expected << prepare([0])
        assert capsys.readouterr().out == str(expected) + "\n"
        assert e.draw is False


class TestRefusals:
    @pytest.mark.parametrize("epsilon", [0, -1e-3, np.pi / 4, 0.78, 1, 3, float("nan"),
                                         float("inf")])
    def test_epsilon_leaving_no_iteration(self, epsilon):
        with pytest.raises(ValueError, match="epsilon must be above 0 and below about 0.77"):
            IMelvo(bernoulli(0.3), 1, epsilon=epsilon)

    def test_epsilon_changed_after_construction_is_checked_by_run(self):
        e = IMelvo(bernoulli(0.3), 1)
        e.epsilon = 1.0
        with pytest.raises(ValueError, match="epsilon must be above 0"):
            e.run()

    def test_largest_usable_epsilon_runs(self):
        np.random.seed(10)
        assert abs(IMelvo(bernoulli(0.3), 1, epsilon=0.7).run() - 0.3) <= 0.7

    def test_work_register_must_fit_in_memory(self):
        with pytest.raises(MemoryError, match="a state of 200 qubits"):
            IMelvo(bernoulli(0.3), 200)

    def test_operator_errors_propagate(self):
        def broken(q):
            raise RuntimeError("no preparation")

        with pytest.raises(RuntimeError, match="no preparation"):
            IMelvo(broken, 1).run()
