"""The feature-selection module's perturbation optimiser and its two plots (Agg)."""
import matplotlib
import matplotlib.pyplot as plt
import numpy as np
import pytest

from norvalis.QmRMR import JorrantOptimizer, plot_bar, plot_loss


class TestJorrantOptimizer:
    def test_zero_iterations_return_the_very_object(self):
        start = np.array([1.0, 2.0])
        params, history = JorrantOptimizer(lambda p: np.float64(p.sum()), max_iters=0).optimize(
            start)
        assert params is start and history == [3.0] and type(history[0]) is float

    def test_constant_objective_leaves_the_parameters(self):
        start = np.array([0.5, -1.0, 2.0])
        params, history = JorrantOptimizer(lambda p: np.float64(4.0), max_iters=25).optimize(start)
        assert np.array_equal(params, start) and params is not start
        assert history == [4.0] * 26 and all(type(h) is float for h in history)

    def test_every_step_as_written(self):
        def f(p):
            return float(np.sum((p - [1.0, -2.0, 0.5]) ** 2) + np.sin(3 * p[0]))

        start, called = np.array([0.3, 0.1, -0.4]), []
        np.random.seed(9)
        params, history = JorrantOptimizer(lambda p: called.append(p.copy()) or f(p), a=0.2,
                                           c=0.05, max_iters=40).optimize(start)
        after = np.random.random()
        assert np.array_equal(start, [0.3, 0.1, -0.4])

        np.random.seed(9)
        expected, points = start, [start]
        for k in range(1, 41):
            ak, ck = 0.2 / (k + 1) ** 0.602, 0.05 / (k + 1) ** 0.101
            delta = np.random.choice([-1, 1], size=3)
            plus, minus = expected + ck * delta, expected - ck * delta
            grad = (f(plus) - f(minus)) / (2 * ck * delta)
            expected = expected - ak * grad
            points += [plus, minus, expected]
        # Called 1 + 3 * max_iters times: start, then plus, minus and updated point.
        np.testing.assert_array_equal(np.array(called), np.array(points))
        np.testing.assert_array_equal(params, expected)
        assert history == [f(p) for p in points[::3]]
        # One draw per iteration and nothing else: the generator is where this loop left it.
        assert after == np.random.random()

    def test_failures(self):
        with pytest.raises(ZeroDivisionError):
            JorrantOptimizer(lambda p: 1 / 0).optimize(np.zeros(2))
        with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer"):
            JorrantOptimizer(lambda p: 0.0, max_iters=2.0).optimize(np.zeros(2))


@pytest.fixture
def shown(monkeypatch):
    """What each plt.show call displays: (bars as (height, colour), lines as (x, y))."""
    assert matplotlib.get_backend().lower() == "agg"
    figures = []

    def show(*args, **kwargs):
        ax = plt.gca()
        figures.append(([(p.get_height(), matplotlib.colors.to_hex(p.get_facecolor()))
                         for p in ax.patches],
                        [(list(line.get_xdata()), list(line.get_ydata())) for line in ax.lines]))

    monkeypatch.setattr(plt, "show", show)  # looked up at call time by the plots
    return figures


class TestPlots:
    def test_bar_colours_the_first_maximum_red(self, shown):
        plot_bar({"a": 0.2, "b": 0.5, "c": 0.5, "d": 0.1})
        blue, red = "#0000ff", "#ff0000"
        assert shown == [([(0.2, blue), (0.5, red), (0.5, blue), (0.1, blue)], [])]
        assert not plt.gca().patches  # cleared after showing

    def test_loss_is_plotted_from_one(self, shown):
        plot_loss([3.0, 2.5, 2.25])
        assert shown == [([], [([1, 2, 3], [3.0, 2.5, 2.25])])]
        assert not plt.gca().lines
