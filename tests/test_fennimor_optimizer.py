"""The feature-selection module's perturbation optimiser and its two plots (Agg)."""
import matplotlib
import matplotlib.pyplot as plt
import numpy as np
import pytest

from norvalis.QmRMR import JorrantOptimizer, plot_bar, plot_loss


class Recorder:
    """An objective that records every point it is called with."""

    def __init__(self, function):
        self.function, self.points = function, []

    def __call__(self, params):
        self.points.append(np.array(params, copy=True))
        return self.function(params)


class TestJorrantOptimizer:
    def test_defaults(self):
        opt = JorrantOptimizer(len)
        assert (opt.objective_function, opt.a, opt.c, opt.alpha, opt.beta, opt.max_iters) == (
            len, 0.1, 0.1, 0.602, 0.101, 1000)

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

        start = np.array([0.3, 0.1, -0.4])
        objective = Recorder(f)
        np.random.seed(9)
        params, history = JorrantOptimizer(objective, a=0.2, c=0.05, max_iters=40).optimize(start)
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
        assert len(objective.points) == 1 + 3 * 40
        np.testing.assert_array_equal(np.array(objective.points), np.array(points))
        np.testing.assert_array_equal(params, expected)
        assert history == [f(p) for p in points[::3]]
        # One draw per iteration and nothing else: the generator is where this loop left it.
        assert after == np.random.random()

    def test_optimize_can_run_again_from_a_fresh_start(self):
        opt = JorrantOptimizer(lambda p: float(p @ p), max_iters=5)
        np.random.seed(1)
        first = opt.optimize(np.ones(2))
        np.random.seed(1)
        again = opt.optimize(np.ones(2))
        assert np.array_equal(first[0], again[0]) and first[1] == again[1]

    def test_objective_errors_propagate(self):
        def failing(p):
            raise RuntimeError("objective failed")

        with pytest.raises(RuntimeError, match="objective failed"):
            JorrantOptimizer(failing).optimize(np.zeros(2))

    def test_non_integer_iterations(self):
        with pytest.raises(TypeError, match="'float' object cannot be interpreted as an integer"):
            JorrantOptimizer(lambda p: 0.0, max_iters=2.0).optimize(np.zeros(2))


@pytest.fixture
def shown(monkeypatch):
    """What each plt.show call would have displayed: the current axes' artists."""
    assert matplotlib.get_backend().lower() == "agg"
    figures = []

    def show(*args, **kwargs):
        ax = plt.gca()
        figures.append({"bars": [(p.get_x() + p.get_width() / 2, p.get_height(),
                                  matplotlib.colors.to_hex(p.get_facecolor()))
                                 for p in ax.patches],
                        "lines": [(list(line.get_xdata()), list(line.get_ydata()))
                                  for line in ax.lines],
                        "labels": [t.get_text() for t in ax.get_xticklabels()]})

    monkeypatch.setattr(plt, "show", show)
    return figures


class TestPlots:
    def test_bar_colours_the_first_maximum_red(self, shown):
        plot_bar({"a": 0.2, "b": 0.5, "c": 0.5, "d": 0.1})
        (figure,) = shown
        assert [(h, c) for _, h, c in figure["bars"]] == [
            (0.2, "#0000ff"), (0.5, "#ff0000"), (0.5, "#0000ff"), (0.1, "#0000ff")]
        assert figure["labels"] == ["a", "b", "c", "d"]
        assert not plt.gca().patches  # cleared after showing

    def test_loss_is_plotted_from_one(self, shown):
        plot_loss([3.0, 2.5, 2.25])
        (figure,) = shown
        assert figure["lines"] == [([1, 2, 3], [3.0, 2.5, 2.25])] and figure["bars"] == []
        assert not plt.gca().lines

    def test_empty_bar_chart_is_a_value_error(self, shown):
        with pytest.raises(ValueError):
            plot_bar({})
        assert shown == []
