"""Quantum k-means: swap-test distances against the closed form, the angle map, the seeded
batch path against step-by-step calls, the convergence rule and the bounded redraws."""
import importlib
import inspect
import pickle
from decimal import Decimal

import numpy as np
import pytest
from isolated import child_lines, survivor_counts
from sklearn.cluster import KMeans
from sklearn.metrics import adjusted_rand_score

from kestrix.core import draw_qprog, measure
from norvalis.QKmeans import Vandemir

vandemir = importlib.import_module("norvalis.QKmeans.Vandemir")
SHOTS = 1024
NOTICE = "CALCULATE ERROR!RECALCULATE!"


def angle(v):
    return ((v + 1) * np.pi) / 2


def closed_form(theta0, phi0, theta, phi):
    """(1 - |<a|b>|^2) / 2 for a = U3(theta0, phi0, 0)|0>, b = U3(theta, phi, 0)|0>."""
    a = np.array([np.cos(theta0 / 2), np.exp(1j * phi0) * np.sin(theta0 / 2)])
    b = np.array([np.cos(theta / 2), np.exp(1j * phi) * np.sin(theta / 2)])
    return (1 - abs(np.vdot(a, b)) ** 2) / 2


def tolerance(p):
    # Five binomial standard deviations of a 1024-shot frequency, at least one shot.
    return max(5 * np.sqrt(p * (1 - p) / SHOTS), 1 / SHOTS)


def blobs(seed, centres, spread=0.1, size=60):
    rng = np.random.default_rng(seed)
    labels = np.repeat(np.arange(len(centres)), size)
    return np.array(centres)[labels] + rng.normal(0, spread, (len(labels), 2)), labels


class TestLoading:
    def test_binds_its_dependencies_in_order_then_its_own_names(self):
        names = [n for n in vars(vandemir) if not n.startswith("__")]
        assert names == ["np", "deepcopy", "pi", "CPUQVM", "QCircuit", "QProg", "SWAP", "U3",
                         "H", "measure", "draw_qprog", "_VandemirCircuit",
                         "_point_centroid_distances", "Vandemir"]
        assert vandemir.draw_qprog is draw_qprog and vandemir.pi == np.pi

    @pytest.mark.parametrize("function, line", [
        (vandemir._VandemirCircuit, "_VandemirCircuit(theta0, phi0, theta, phi)"),
        (vandemir._point_centroid_distances, "_point_centroid_distances(point, centroids, k)"),
        (Vandemir.__init__, "__init__(self, k=2, tol=0.01)"),
        (Vandemir.fit, "fit(self, data, max_iter=None, callback=None, verbose=False)"),
    ])
    def test_docstring_begins_with_the_signature(self, function, line):
        assert function.__doc__.splitlines()[0] == line
        assert str(inspect.signature(function)) == line[line.index("("):]

    def test_instances_are_plain_and_pickle(self):
        model = pickle.loads(pickle.dumps(Vandemir(3, tol=0.5)))
        assert vars(model) == {"K": 3, "tol": 0.5}


class TestSwapTest:
    def test_frequencies_match_the_closed_form(self):
        np.random.seed(11)
        angles = np.random.default_rng(4).uniform(0, np.pi, (40, 4)) * [1, 2, 1, 2]
        for theta0, phi0, theta, phi in angles:
            probs = vandemir._VandemirCircuit(theta0, phi0, theta, phi)
            p = closed_form(theta0, phi0, theta, phi)
            assert sum(probs.values()) == pytest.approx(1)
            assert abs(probs.get("1", 0) - p) <= tolerance(p)

    def test_equal_states_never_read_one_and_orthogonal_ones_half_the_time(self):
        assert vandemir._VandemirCircuit(1.1, 2.3, 1.1, 2.3) == {"0": 1.0}
        probs = vandemir._VandemirCircuit(np.pi / 2, 0, np.pi / 2, np.pi)
        assert set(probs) == {"0", "1"} and abs(probs["1"] - 0.5) <= tolerance(0.5)

    def test_seeded_from_numpy(self):
        np.random.seed(2)
        first = vandemir._VandemirCircuit(1, 2, 0.5, 0.1)
        np.random.seed(2)
        assert vandemir._VandemirCircuit(1, 2, 0.5, 0.1) == first

    @pytest.mark.parametrize("bad, error", [(float("nan"), ValueError), ("1", TypeError)])
    def test_bad_angles_are_refused(self, bad, error):
        with pytest.raises(error):
            vandemir._VandemirCircuit(0, 0, bad, 0)

    def test_a_replaced_draw_qprog_gets_each_program_and_may_change_it(self, monkeypatch):
        seen = []

        def draw(prog):
            seen.append([(g.name, g.qubits, g.controls) for g in prog])
            prog << measure(0, 2)  # classical bit 2 now holds qubit 0, which is |1>

        monkeypatch.setattr(vandemir, "draw_qprog", draw)
        assert vandemir._VandemirCircuit(np.pi, 0, np.pi, 0) == {"1": 1.0}
        assert seen == [[("H", [2], []), ("U3", [0], []), ("U3", [1], []),
                         ("SWAP", [0, 1], [2]), ("H", [2], []), ("MEASURE", [2], [])]]


class TestDistances:
    @pytest.mark.parametrize("point, centre, expected", [
        ([0.3, -0.2], [0.3, -0.2], 0),
        ([-1.0, -1.0], [1.0, -1.0], 0),      # polar angle 0: |0> whatever the azimuth
        ([-1.0, 1.0], [1.0, 1.0], 0),        # polar angle pi: |1> up to a phase
        ([-1.0, 0.0], [1.0, 0.0], 0.5),      # azimuths 0 and pi on the equator: orthogonal
        ([0.0, -1.0], [0.0, 1.0], 0.5),      # |0> against |1>
    ])
    def test_angle_map_corner_cases(self, point, centre, expected):
        (distance,) = vandemir._point_centroid_distances(point, np.array([centre]), 1)
        if expected == 0:
            assert distance == 0 and type(distance) is int
        else:
            assert abs(distance - expected) <= tolerance(expected)

    def test_angles_passed_to_the_circuit(self, monkeypatch):
        calls = []
        monkeypatch.setattr(vandemir, "_VandemirCircuit",
                            lambda *a: calls.append(a) or ({"1": 0.25} if len(calls) == 1
                                                           else {"0": 1.0}))
        centres = np.array([[1.0, -1.0, 9.0], [-0.4, 0.8, 9.0], [0.0, 0.0, 0.0]])
        assert vandemir._point_centroid_distances([0.3, -0.7, 5.0], centres, 2) == [0.25, 0]
        assert calls == [(angle(-0.7), angle(0.3), 0.0, np.pi),
                         (angle(-0.7), angle(0.3), angle(0.8), angle(-0.4))]

    def test_angles_are_computed_in_the_coordinates_own_type(self, monkeypatch):
        point, centres = np.array([0.3, -0.7], dtype=np.float32), np.array([[0.1, 0.2]])
        assert angle(point[1]) != angle(float(point[1]))  # float32 arithmetic rounds apart
        drawn, calls = [], []
        monkeypatch.setattr(vandemir, "draw_qprog",
                            lambda prog: drawn.append([g.params for g in prog if g.name == "U3"]))
        vandemir._point_centroid_distances(point, centres, 1)
        assert drawn == [[[angle(point[1]), angle(point[0]), 0], [angle(0.2), angle(0.1), 0]]]
        monkeypatch.setattr(vandemir, "_VandemirCircuit", lambda *a: calls.append(a) or {})
        vandemir._point_centroid_distances(point, centres, 1)
        assert calls == [(angle(point[1]), angle(point[0]), angle(0.2), angle(0.1))]
        assert [type(a) for a in calls[0]] == [np.float32, np.float32, np.float64, np.float64]

    def test_coordinates_are_read_before_they_are_mapped(self):
        with pytest.raises(TypeError, match="unsupported operand"):
            vandemir._point_centroid_distances([Decimal("0.1"), 0.2], np.zeros((1, 2)), 1)
        with pytest.raises(IndexError):  # the centre's missing second coordinate comes first
            vandemir._point_centroid_distances(["a", 0.2], np.zeros((1, 1)), 1)

    def test_features_beyond_the_second_do_not_enter(self):
        centres = np.array([[0.2, 0.4, -3.0], [-0.6, 0.1, 7.0]])
        np.random.seed(5)
        first = vandemir._point_centroid_distances([0.1, -0.3, 5.0], centres, 2)
        np.random.seed(5)
        assert vandemir._point_centroid_distances([0.1, -0.3, -5.0], centres, 2) == first

    def test_one_column_fails_on_the_second_coordinate(self):
        with pytest.raises(IndexError):
            vandemir._point_centroid_distances([0.5], np.array([[0.5, 0.5]]), 1)
        np.random.seed(0)
        with pytest.raises(IndexError):
            Vandemir(2).fit(np.linspace(-1, 1, 10).reshape(-1, 1))


class TestFit:
    def test_well_separated_blobs_cluster_like_scikit_learn(self):
        data, _ = blobs(1, [[-0.5, -0.5], [0.5, -0.3], [0.0, 0.5]])
        reference = KMeans(3, n_init=10, random_state=0).fit_predict(data)
        scores = []
        for seed in range(3):
            np.random.seed(seed)
            scores.append(adjusted_rand_score(reference, Vandemir(3).fit(data)[1]))
        assert max(scores) >= 0.9

    @pytest.mark.parametrize("height, separated", [(0.0, True), (0.95, False)])
    def test_the_first_feature_separates_on_the_equator_not_near_the_poles(self, height,
                                                                            separated):
        # The encoding's limit: near polar angle pi the azimuth hardly moves the state.
        data, labels = blobs(0, [[-0.5, height], [0.5, height]], spread=0.05, size=100)
        scores = []
        for seed in range(3):
            np.random.seed(seed)
            scores.append(adjusted_rand_score(labels, Vandemir(2).fit(data)[1]))
        assert min(scores) >= 0.9 if separated else max(scores) < 0.5

    def test_centres_are_the_means_of_their_clusters(self):
        data, _ = blobs(2, [[-0.5, 0.0], [0.5, 0.2]])
        data = np.column_stack([data, np.arange(len(data))])  # a third feature, meaned too
        np.random.seed(4)
        centres, clusters = Vandemir(2).fit(data)
        assert centres.shape == (2, 3) and set(clusters) == {0, 1}
        for i in range(2):
            np.testing.assert_array_equal(centres[i], data[clusters == i].mean(axis=0))

    def test_seeded_fits_repeat_and_equal_the_step_by_step_path(self, monkeypatch):
        data, _ = blobs(3, [[-0.4, -0.4], [0.4, 0.4]], spread=0.3, size=20)
        np.random.seed(8)
        centres, clusters = Vandemir(2).fit(data)
        drawn = []
        # Replacing each step forces the one-by-one path; the seeds must come out alike.
        for name, wrap in [("draw_qprog", lambda f: lambda p: drawn.append(f(p))),
                           ("_VandemirCircuit", lambda f: lambda *a: f(*a)),
                           ("_point_centroid_distances", lambda f: lambda *a: f(*a))]:
            monkeypatch.setattr(vandemir, name, wrap(getattr(vandemir, name)))
            np.random.seed(8)
            again = Vandemir(2).fit(data)
            np.testing.assert_array_equal(again[0], centres)
            np.testing.assert_array_equal(again[1], clusters)
        assert drawn and len(drawn) % (2 * len(data)) == 0 and "M→c2" in drawn[0]

    def test_thousands_of_swap_tests_equal_the_step_by_step_path(self, monkeypatch):
        # Over 4,096 tests per iteration: the fit runs them a block at a time.
        data, _ = blobs(6, [[-0.4, -0.3], [0.4, 0.3]], spread=0.3, size=1100)
        np.random.seed(9)
        centres, clusters = Vandemir(2).fit(data)
        step = vandemir._point_centroid_distances
        monkeypatch.setattr(vandemir, "_point_centroid_distances", lambda *a: step(*a))
        np.random.seed(9)
        again = Vandemir(2).fit(data)
        np.testing.assert_array_equal(again[0], centres)
        np.testing.assert_array_equal(again[1], clusters)

    def test_batches_equal_one_run_per_test_with_seeds_drawn_between_drawings(self,
                                                                              monkeypatch):
        # A drawing that itself draws from NumPy: every swap test's seed must come right
        # after its drawing, as one run per test takes it, across the 4,096-test blocks.
        data, _ = blobs(7, [[-0.4, -0.3], [0.4, 0.3]], spread=0.3, size=1030)
        monkeypatch.setattr(vandemir, "draw_qprog", lambda prog: np.random.random())
        np.random.seed(12)
        centres, clusters = Vandemir(2, tol=0.05).fit(data)
        circuit = vandemir._VandemirCircuit
        monkeypatch.setattr(vandemir, "_VandemirCircuit", lambda *a: circuit(*a))
        np.random.seed(12)
        again = Vandemir(2, tol=0.05).fit(data)
        np.testing.assert_array_equal(again[0], centres)
        np.testing.assert_array_equal(again[1], clusters)

    def test_tol_of_one_returns_the_initial_centres_and_none(self):
        data, _ = blobs(4, [[0.0, 0.0]], size=10)
        np.random.seed(6)
        expected = np.random.randn(3, 2) * data.std(axis=0) + data.mean(axis=0)
        np.random.seed(6)
        centres, clusters = Vandemir(3, tol=1).fit(data)
        np.testing.assert_array_equal(centres, expected)
        assert clusters is None

    @pytest.mark.parametrize("tol", [-1, -1e-9])
    def test_a_negative_tolerance_is_refused_rather_than_never_met(self, tol):
        with pytest.raises(ValueError, match=f"^tol must not be negative, got {tol}$"):
            Vandemir(2, tol).fit(np.eye(3))
        with pytest.raises(AttributeError):  # refused as the loop starts: the data come first
            Vandemir(2, tol).fit([[0.1, 0.2]])

    def test_a_nan_tolerance_is_refused_rather_than_returning_the_random_start(self):
        with pytest.raises(ValueError, match="^tol must be a number, got nan$"):
            Vandemir(2, float("nan")).fit(np.eye(3))
        with pytest.raises(ValueError, match="tol must be a number"):
            Vandemir(2, np.float32("nan")).fit(np.eye(3))

    def test_one_cluster_takes_the_mean(self):
        data, _ = blobs(5, [[0.2, -0.1]], size=30)
        np.random.seed(1)
        centres, clusters = Vandemir(1).fit(data)
        np.testing.assert_array_equal(centres, [data.mean(axis=0)])
        assert clusters.tolist() == [0] * 30


class TestRedraws:
    def script(self, monkeypatch, assignments):
        """Replaces the distances so that fit sees the given cluster assignment at each
        iteration; returns the centres each iteration was given."""
        seen = []

        def distances(point, centres, k):
            if not seen or seen[-1][1] == len(data):
                seen.append([np.array(centres), 0])
            row = seen[-1][1]
            seen[-1][1] += 1
            return [0.0 if j == assignments[len(seen) - 1][row] else 1.0 for j in range(k)]

        data = np.array([[-0.5, 0.0], [-0.4, 0.1], [0.5, 0.0], [0.4, -0.1]])
        monkeypatch.setattr(vandemir, "_point_centroid_distances", distances)
        return data, seen

    def test_an_empty_cluster_redraws_the_centres_once(self, monkeypatch, capsys):
        data, seen = self.script(monkeypatch, [[0, 0, 0, 0], [0, 0, 1, 1], [0, 0, 1, 1]])
        np.random.seed(3)
        first = np.random.randn(2, 2) * data.std(axis=0) + data.mean(axis=0)
        second = np.random.randn(2, 2) * data.std(axis=0) + data.mean(axis=0)
        np.random.seed(3)
        centres, clusters = Vandemir(2).fit(data)
        assert capsys.readouterr().out == NOTICE + "\n"
        np.testing.assert_array_equal(seen[0][0], first)
        np.testing.assert_array_equal(seen[1][0], second)
        assert clusters.tolist() == [0, 0, 1, 1]

    def test_only_redraws_in_a_row_count(self, monkeypatch, capsys):
        empty, split = [0, 0, 0, 0], [0, 0, 1, 1]
        self.script(monkeypatch, [empty] * 99 + [split] + [empty] * 99 + [split] * 2)
        np.random.seed(0)
        Vandemir(2).fit(np.array([[-0.5, 0.0], [-0.4, 0.1], [0.5, 0.0], [0.4, -0.1]]))
        assert capsys.readouterr().out == (NOTICE + "\n") * 198

    @pytest.mark.parametrize("data, k, message", [
        (np.full((5, 3), 0.25), 2, "cannot fill 2 clusters from these data: 5 samples, 1 distinct"),
        (np.array([[0.1, 0.2], [0.3, -0.4]]), 3,
         "cannot fill 3 clusters from these data: 2 samples, 2 distinct"),
    ])
    def test_data_that_cannot_fill_k_clusters_stop_after_100_redraws(self, data, k, message,
                                                                     capsys):
        np.random.seed(0)
        with pytest.raises(ValueError) as info:
            Vandemir(k).fit(data)
        assert str(info.value) == message
        assert capsys.readouterr().out == (NOTICE + "\n") * 100


def test_a_draw_qprog_replaced_in_the_sdk_before_loading_is_called():
    child = """
import importlib
import kestrix.core
drawn = []
kestrix.core.draw_qprog = lambda prog: drawn.append(len(prog))
vandemir = importlib.import_module("norvalis.QKmeans.Vandemir")
vandemir._point_centroid_distances([0.1, 0.2], [[0.3, 0.4], [0.5, 0.6]], 2)
print(drawn)
"""
    assert child_lines(child) == ["[6, 6]"]


HOSTILE_CHILD = """
import numpy as np
import importlib
vandemir = importlib.import_module("norvalis.QKmeans.Vandemir")

class Index:
    # A number that empties the list it is read from.
    def __init__(self, box):
        self.box = box
    def __float__(self):
        self.box.clear()
        return 0.5
    __index__ = lambda self: 1

shrinking = [0.0, 0.0]
shrinking[:] = [Index(shrinking), Index(shrinking)]
HOSTILE = [None, -1, 0, 2 ** 70, 1.5, float("nan"), float("inf"), "ab", [], [0.1], object(),
           True, np.array([[1.0, 2.0]]), np.zeros((0, 2)), np.zeros((3, 0)), shrinking,
           np.array([["a", "b"]]), np.array([[shrinking, 1.0]], dtype=object)]
calls = failures = 0
for value in HOSTILE:
    for call in (lambda: vandemir._VandemirCircuit(value, 0, value, 0),
                 lambda: vandemir._point_centroid_distances(value, np.zeros((2, 2)), 2),
                 lambda: vandemir._point_centroid_distances([0, 0], value, 1),
                 lambda: vandemir._point_centroid_distances([0, 0], np.zeros((2, 2)), value),
                 lambda: vandemir.Vandemir(2).fit(value),
                 lambda: vandemir.Vandemir(value).fit(np.eye(3)),
                 lambda: vandemir.Vandemir(2, 0.5 if value in (0, True) else value).fit(
                     np.eye(3))):
        calls += 1
        try:
            np.random.seed(0)
            call()
        except Exception:
            failures += 1
print("survived", calls, failures)
"""


def test_hostile_arguments_never_crash_the_interpreter():
    calls, failures = survivor_counts(HOSTILE_CHILD)
    assert 0 < failures < calls


class TestControlledFit:
    def test_nan_and_infinite_data_are_refused_before_any_draw(self):
        data = np.zeros((6, 3))
        data[4, 2] = np.nan
        np.random.seed(0)
        with pytest.raises(ValueError) as info:
            Vandemir().fit(data)
        assert str(info.value) == ("data must be finite: nan at row 4, column 2 (drop or fill "
                                   "the missing values first)")
        assert np.random.random() == np.random.RandomState(0).random()
        with pytest.raises(ValueError, match="^data must be finite: -inf at row 0, column 1"):
            Vandemir()._fit_controlled(np.array([[0.5, -np.inf]]))

    def test_with_no_control_it_is_fit(self):
        data, _ = blobs(2, [(-0.5, 0.1), (0.5, -0.2)], size=15)
        np.random.seed(9)
        centres, clusters = Vandemir(k=2).fit(data)
        np.random.seed(9)
        same, labels, iterations, converged = Vandemir(k=2)._fit_controlled(data)
        np.testing.assert_array_equal(same, centres)
        np.testing.assert_array_equal(labels, clusters)
        assert iterations >= 1 and converged

    def test_a_random_state_stands_in_for_the_global_generator(self):
        data, _ = blobs(3, [(-0.5, 0.1), (0.5, -0.2)], size=15)
        np.random.seed(4)
        centres, _ = Vandemir(k=2).fit(data)
        np.random.seed(0)
        same = Vandemir(k=2)._fit_controlled(data, np.random.RandomState(4))[0]
        np.testing.assert_array_equal(same, centres)
        assert np.random.random() == np.random.RandomState(0).random()

    def test_cap_and_callback(self):
        data, _ = blobs(4, [(-0.5, 0.1), (0.5, -0.2)], size=15)
        calls = []
        out = Vandemir(k=2, tol=0)._fit_controlled(
            data, np.random.RandomState(0), 3, lambda i, c, s: calls.append((i, s is not None)))
        assert out[2:] == (3, False) and [c[0] for c in calls] == [1, 2, 3]
        stop = Vandemir(k=2, tol=0)._fit_controlled(data, np.random.RandomState(0), None,
                                                    lambda i, c, s: i == 2)
        assert stop[2:] == (2, False)

    def test_fit_takes_the_cap_callback_and_progress_itself(self, capsys):
        data, _ = blobs(4, [(-0.5, 0.1), (0.5, -0.2)], size=15)
        calls = []
        np.random.seed(6)
        centres, clusters = Vandemir(k=2, tol=0).fit(
            data, 2, lambda i, c, s: calls.append((i, c.copy())), verbose=True)
        np.random.seed(6)
        same, labels, iterations, _ = Vandemir(k=2, tol=0)._fit_controlled(data, None, 2)
        np.testing.assert_array_equal(same, centres)
        np.testing.assert_array_equal(labels, clusters)
        assert [c[0] for c in calls] == [1, 2] == list(range(1, iterations + 1))
        np.testing.assert_array_equal(calls[-1][1], centres)
        assert "Vandemir.fit iterations" in capsys.readouterr().err
        np.random.seed(6)
        Vandemir(k=2, tol=0).fit(data, callback=lambda i, c, s: calls.append(i) or True)
        assert calls[2:] == [1]

    @pytest.mark.parametrize("options, error, message", [
        (dict(max_iter=0), ValueError, "max_iter must be at least 1, got 0"),
        (dict(max_iter=1.5), TypeError, "integer"),
        (dict(callback=5), TypeError, "callback must be callable or None, got int"),
    ])
    def test_fit_refuses_bad_controls_before_any_draw(self, options, error, message):
        np.random.seed(0)
        with pytest.raises(error, match=message):
            Vandemir().fit(np.zeros((4, 2)), **options)
        assert np.random.random() == np.random.RandomState(0).random()

    def test_redraws_warn_instead_of_printing(self, capsys):
        from norvalis import NorvalisWarning
        data = np.array([[0.5, 0.5], [-0.5, -0.5]])
        with pytest.warns(NorvalisWarning, match="left a cluster empty"):
            with pytest.raises(ValueError, match="cannot fill 3 clusters"):
                Vandemir(k=3)._fit_controlled(data, np.random.RandomState(0))
        assert NOTICE not in capsys.readouterr().out

    @pytest.mark.parametrize("args, error, message", [
        ((np.zeros((4, 2)), 3), TypeError, "random_state must be None or a numpy.random"),
        ((np.zeros((4, 2)), None, 0), ValueError, "max_iter must be at least 1, got 0"),
        ((np.zeros((4, 2)), None, None, 5), TypeError, "callback must be callable or None"),
    ])
    def test_bad_controls(self, args, error, message):
        with pytest.raises(error, match=message):
            Vandemir()._fit_controlled(*args)

    def test_distances_are_one_fit_step(self):
        data = np.array([[0.5, 0.5], [-0.5, -0.5], [0.4, 0.6]])
        distances = Vandemir._distances(data, data[:2], np.random.RandomState(0))
        assert distances.shape == (3, 2)
        assert np.argmin(distances, axis=1).tolist() == [0, 1, 0]
        np.random.seed(2)
        global_draw = Vandemir._distances(data, data[:2])
        np.testing.assert_array_equal(Vandemir._distances(data, data[:2],
                                                          np.random.RandomState(2)), global_draw)
