"""The estimators beside the specified ones: the iterative estimator's Chernoff and
Clopper-Pearson intervals hold the truth at their level, and the canonical estimator's
maximum-likelihood fit reaches past its grid, on seeded runs against exact amplitudes."""
import numpy as np
import pytest

from kestrix.core import RY, QCircuit
from norvalis.Melvo import IMelvo, Melvo


def bernoulli(p):
    return lambda q: QCircuit() << RY(q[0], 2 * np.arcsin(np.sqrt(p)))


def product(p0, p1):
    return lambda q: QCircuit() << RY(q[0], 2 * np.arcsin(np.sqrt(p0))) \
        << RY(q[1], 2 * np.arcsin(np.sqrt(p1)))


class TestIterativeIntervals:
    @pytest.mark.parametrize("method", ["chernoff", "beta"])
    @pytest.mark.parametrize("p", [0.02, 0.3, 0.9])
    def test_intervals_hold_the_truth_and_estimates_land_within_epsilon(self, method, p):
        covered = within = 0
        for seed in range(40):
            np.random.seed(seed)
            estimator = IMelvo(bernoulli(p), 1, epsilon=1e-3, confint_method=method)
            estimate = estimator.run()
            covered += estimator.a_l <= p <= estimator.a_u
            within += abs(estimate - p) <= 1e-3
            assert estimator.a_u - estimator.a_l <= 2e-3
        # At a 95 % level the specified schedule covers about 40 %.
        assert covered >= 38 and within >= 38

    def test_reports_queries_shots_and_level(self):
        np.random.seed(3)
        estimator = IMelvo(product(0.6, 0.5), 2, res_index=0, confint_method="beta",
                           alpha=0.1, shots=50)
        batches = []
        measure = estimator._measure
        estimator._measure = lambda k, n: batches.append((k, n)) or measure(k, n)
        estimate = estimator.run()
        assert estimator.a_l <= estimate <= estimator.a_u
        assert abs(estimate - 0.6) <= 1e-3
        assert estimator.num_oracle_queries == sum(k * n for k, n in batches)
        assert estimator.n_sum == sum(n for _, n in batches)
        assert {n for _, n in batches} == {50}
        assert estimator.confidence_level == pytest.approx(0.9)

    def test_chernoff_takes_fewer_shots_at_large_powers(self):
        np.random.seed(0)
        estimator = IMelvo(bernoulli(0.3), 1, epsilon=1e-4, confint_method="chernoff")
        batches = []
        measure = estimator._measure
        estimator._measure = lambda k, n: batches.append((k, n)) or measure(k, n)
        estimator.run()
        assert batches[0][1] == 100 and batches[-1][1] < 100
        assert all(k_next >= k for (k, _), (k_next, _) in zip(batches, batches[1:]))

    @pytest.mark.parametrize("kwargs, error", [
        ({"confint_method": "clopper"}, ValueError),
        ({"confint_method": 1}, ValueError),
        ({"alpha": 0}, ValueError),
        ({"alpha": 1.0}, ValueError),
        ({"alpha": "0.05"}, TypeError),
        ({"shots": 0}, ValueError),
        ({"shots": 2.5}, TypeError),
    ])
    def test_bad_options_are_refused(self, kwargs, error):
        with pytest.raises(error):
            IMelvo(bernoulli(0.3), 1, **kwargs)

    def test_counts_that_cannot_be_are_refused(self):
        estimator = IMelvo(bernoulli(0.3), 1, confint_method="chernoff")
        estimator._measure = lambda k, n: n + 1
        with pytest.raises(ValueError, match="ones out of"):
            estimator.run()


class TestMaximumLikelihood:
    @pytest.mark.parametrize("p", [0.001, 0.3, 0.3243, 0.5, 0.93])
    def test_exact_distribution_gives_the_amplitude_off_the_grid(self, p):
        estimator = Melvo(bernoulli(p), 1, epsilon=2 ** -6)
        a, (low, high) = estimator.run_mle()
        assert abs(a - p) < 1e-8 and low == a == high
        assert type(a) is np.float64
        # The grid estimate from the same program is far coarser.
        assert abs(estimator.run() - p) > 100 * abs(a - p) or abs(estimator.run() - p) < 1e-12

    def test_pattern_of_several_qubits(self):
        a, _ = Melvo(product(0.7, 0.4), 2, res_index=[0, 1], epsilon=2 ** -5,
                     target_state="10").run_mle()
        # "10" is written highest selected qubit first: qubit 1 reads 1, qubit 0 reads 0.
        assert a == pytest.approx(0.3 * 0.4, abs=1e-8)

    def test_sampled_intervals_hold_the_truth(self):
        p, covered, errors = 0.3243, 0, []
        estimator = Melvo(bernoulli(p), 1, epsilon=2 ** -6)
        for seed in range(60):
            np.random.seed(seed)
            a, (low, high) = estimator.run_mle(shots=1024)
            assert low <= a <= high
            covered += low <= p <= high
            errors.append(abs(a - p))
        assert covered >= 54
        # Far inside the grid's spacing at 6 counting qubits.
        assert np.median(errors) < 1e-3

    @pytest.mark.parametrize("kwargs, error", [
        ({"shots": 0}, ValueError), ({"shots": 10.0}, TypeError), ({"shots": True}, TypeError),
        ({"alpha": 2}, ValueError), ({"alpha": None}, TypeError),
    ])
    def test_bad_options_are_refused(self, kwargs, error):
        with pytest.raises(error):
            Melvo(bernoulli(0.3), 1, epsilon=0.1).run_mle(**kwargs)
