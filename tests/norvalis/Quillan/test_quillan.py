"""Quantum support-vector regression against exact fidelities computed in NumPy and
scikit-learn's SVR on the exact Gram matrix; the feature adjustment, the kernel matrix,
the zero-probability mend and the plot."""
import matplotlib
import numpy as np
import pytest
from sklearn.decomposition import PCA
from sklearn.preprocessing import StandardScaler
from sklearn.svm import SVR

import norvalis.plugin as plugin
from kestrix.core import CPUQVM, QCircuit, QProg, X
from norvalis.Quillan import Quillan
from norvalis.Quillan.Quillan import Quantum_SVR

matplotlib.use("Agg")


def rotation(axis, t):
    c, s = np.cos(t / 2), np.sin(t / 2)
    return np.array([[c, -s], [s, c]]) if axis == "Y" else np.array([[c, -1j * s], [-1j * s, c]])


def encoded_state(c):
    """H on both qubits, RY(c0) on qubit 0 and RY(c1) on qubit 1, CZ, then RX(c1) on qubit
    0 and RX(c0) on qubit 1. Index bit k is qubit k, so qubit 0 is the right kron factor."""
    h = np.array([[1, 1], [1, -1]]) / np.sqrt(2)
    state = np.kron(h, h)[:, 0]
    state = np.kron(rotation("Y", c[1]), rotation("Y", c[0])) @ state
    state = np.diag([1, 1, 1, -1]) @ state
    return np.kron(rotation("X", c[0]), rotation("X", c[1])) @ state


def exact_gram(xs, ys):
    return np.array([[abs(np.vdot(encoded_state(y), encoded_state(x))) ** 2 for y in ys]
                     for x in xs])


@pytest.fixture
def data():
    rng = np.random.default_rng(8)
    x = rng.uniform(-1, 1, size=(14, 3))
    return x, np.sin(2 * x[:, 0]) + x[:, 1] * x[:, 2]


def test_load_order():
    names = [n for n in vars(Quillan) if not n.startswith("__")]
    assert names == ["CPUQVM", "QCircuit", "QProg", "RX", "RY", "CZ", "H", "np",
                     "train_test_split", "StandardScaler", "SVR", "mean_squared_error", "r2_score",
                     "plt", "PCA", *plugin.__all__, "Quantum_SVR"]


class TestFeatures:
    def test_one_feature_gains_a_zero_column(self):
        x = np.array([[1.0], [2.0], [4.0]])
        svr = Quantum_SVR(x, [1, 2, 3])
        np.testing.assert_allclose(svr.x, np.hstack([StandardScaler().fit_transform(x),
                                                     np.zeros((3, 1))]))

    @pytest.mark.parametrize("width", [2, 3])
    def test_two_or_more_features_go_through_pca(self, data, width):
        x, y = data
        svr = Quantum_SVR(x[:, :width], y)
        scaled = StandardScaler().fit_transform(x[:, :width])
        np.testing.assert_allclose(svr.x, PCA(n_components=2).fit_transform(scaled))
        assert not np.allclose(np.abs(svr.x), np.abs(scaled[:, :2]))
        assert svr.y is y

    def test_scikit_learn_errors_propagate(self):
        with pytest.raises(ValueError, match="2D array"):
            Quantum_SVR(np.array([1.0, 2.0]), [1, 2])


class TestKernel:
    def test_circuit_gate_order(self):
        gates = [(g.name, g.qubits, g.params) for g in Quantum_SVR.cir_real([0, 1, 2], [1, 2, 3])]
        assert gates == [("H", [0], []), ("H", [1], []), ("H", [2], []), ("RY", [0], [1.0]),
                         ("RY", [1], [2.0]), ("RY", [2], [3.0]), ("CZ", [0, 1], []),
                         ("RX", [0], [3.0]), ("RX", [1], [2.0]), ("RX", [2], [1.0])]
        with pytest.raises(IndexError):
            Quantum_SVR.cir_real([0], [1.0])

    def test_dist_is_the_exact_fidelity_through_the_sdk_route(self, data):
        svr = Quantum_SVR(*data)
        state = np.random.get_state()[1].copy()
        for v, w in zip(svr.x[:5], svr.x[5:10]):
            assert svr.dist(v, w) == pytest.approx(exact_gram([v], [w])[0, 0], abs=1e-12)
            assert svr.dist(v, v) == pytest.approx(1.0, abs=1e-12)
            prog = QProg(2)
            prog << svr.cir_real([0, 1], v) << svr.cir_real([0, 1], w).dagger()
            probs = CPUQVM().run(prog, 1000).get_prob_dict([0, 1])
            assert svr.dist(v, w) == plugin.parse_quantum_result_dict(probs, [0, 1])["00"]
        assert np.array_equal(np.random.get_state()[1], state)   # exact: nothing is drawn

    def test_orthogonal_states_give_zero(self):
        class Flipped(Quantum_SVR):
            @staticmethod
            def cir_real(qb, cs):
                return QCircuit() << X(qb[0]) if cs[0] > 0 else QCircuit()

        assert Flipped([[0.0], [1.0]], [0, 1]).dist([1.0, 0.0], [-1.0, 0.0]) == 0.0

    @pytest.mark.parametrize("call, error", [
        (lambda m: m.cir_real([0, 0], [1.0, 2.0]), ValueError),      # CZ on one qubit
        (lambda m: m.dist([np.nan, 1.0], [1.0, 2.0]), ValueError),
        (lambda m: m.dist([1.0], [1.0, 2.0]), IndexError),
        (lambda m: m.k_kernel(5, [[1.0, 2.0]]), TypeError),
    ])
    def test_bad_input_is_a_clear_error(self, data, call, error):
        with pytest.raises(error):
            call(Quantum_SVR(*data))

    def test_k_kernel_computes_every_entry_through_dist(self, data):
        calls = []

        class Counting(Quantum_SVR):
            def dist(self, x, y):
                calls.append(1)
                return super().dist(x, y)

        svr = Counting(*data)
        k = svr.k_kernel(svr.x[:4], svr.x[:4])
        assert len(calls) == 16 and k.shape == (4, 4) and k.dtype == np.float64
        np.testing.assert_allclose(k, exact_gram(svr.x[:4], svr.x[:4]), atol=1e-12)
        np.testing.assert_allclose(np.diag(k), 1.0, atol=1e-12)
        assert svr.k_kernel(svr.x[:3], list(svr.x[:5])).shape == (3, 5)


    def test_k_kernel_batches_equal_dist_entry_by_entry(self):
        # 4,200 entries: past the 4,096 programs the batch path holds at once.
        rng = np.random.default_rng(3)
        svr = Quantum_SVR(rng.uniform(-1, 1, size=(70, 2)), np.zeros(70))
        y = list(rng.uniform(-2, 2, size=(60, 2)))
        k = svr.k_kernel(svr.x, y)
        assert k.shape == (70, 60) and k.dtype == np.float64
        assert np.array_equal(k, [[svr.dist(a, b) for b in y] for a in svr.x])
        assert svr.k_kernel([], y).shape == (0, 60) and svr.k_kernel(svr.x, []).shape == (70, 0)

    def test_k_kernel_obeys_a_replaced_encoding(self, data):
        svr = Quantum_SVR(*data)
        svr.cir_real = lambda qb, cs: QCircuit() << X(qb[0]) if cs[0] > 0 else QCircuit()
        assert svr.k_kernel([[1.0, 0.0], [-1.0, 0.0]], [[-1.0, 0.0]]).tolist() == [[0.0], [1.0]]

    @pytest.mark.parametrize("rows, error", [
        ([[1.0, 2.0], [np.nan, 1.0]], ValueError),
        ([[1.0, 2.0], [1.0]], IndexError),
        ([[1.0, 2.0], "ab"], TypeError),
    ])
    def test_k_kernel_fails_on_a_bad_row_as_dist_does(self, data, rows, error):
        svr = Quantum_SVR(*data)
        with pytest.raises(error):
            svr.dist(rows[1], rows[0])
        for x, y in [(rows, [[0.5, 0.5]]), ([[0.5, 0.5]], rows)]:
            with pytest.raises(error):
                svr.k_kernel(x, y)


def test_get_res_matches_svr_on_the_exact_gram_matrix(data):
    svr = Quantum_SVR(*data)
    predicted, y = svr.get_res()
    gram = exact_gram(svr.x, svr.x)
    reference = SVR(kernel="precomputed", gamma=0.1).fit(gram, data[1]).predict(gram)
    # SVR stops at tol=1e-3, so Gram matrices equal to 1e-15 may end that far apart.
    np.testing.assert_allclose(predicted, reference, atol=5e-3)
    assert y is data[1]


def test_show_res_draws_the_figure(data, monkeypatch):
    import matplotlib.pyplot as plt

    shown, grids = [], []

    class Recording(SVR):
        def predict(self, x):
            grids.append(x)
            return super().predict(x)

    monkeypatch.setattr(plt, "show", lambda: shown.append(plt.gcf()))
    monkeypatch.setattr(Quillan, "SVR", Recording)      # looked up at call time
    svr = Quantum_SVR(*data)
    svr.show_res()
    (fig,) = shown
    ax = fig.axes[0]
    assert tuple(fig.get_size_inches()) == (10, 7) and ax.name == "3d"
    assert ax.get_title() == "SVR with 2-Dimensional Input"
    assert (ax.get_xlabel(), ax.get_ylabel(), ax.get_zlabel()) == ("X[:, 0]", "X[:, 1]", "y")
    scatter, surface = ax.collections
    assert matplotlib.colors.to_hex(scatter.get_facecolor()[0]) == "#ff8c00"
    shaded = surface.get_facecolor()[:, :3]                    # navy, darkened by shading
    assert np.all(shaded[:, :2] == 0) and np.all(shaded[:, 2] <= 128 / 255 + 1e-9)
    assert surface.get_alpha() == 0.5 and surface.get_label() == "SVR prediction"
    # Both axes run from the smallest feature 0 to the largest feature 1, 30 points each.
    (grid,) = grids
    axis = np.linspace(svr.x[:, 0].min(), svr.x[:, 1].max(), 30)
    np.testing.assert_array_equal(grid, np.c_[np.tile(axis, 30), np.repeat(axis, 30)])
    plt.close(fig)


class TestNewSamples:
    @pytest.mark.parametrize("width", [1, 2, 3])
    def test_transform_repeats_the_training_adjustment(self, width):
        x = np.random.default_rng(width).normal(size=(25, width))
        model = Quantum_SVR(x, x[:, 0])
        assert (model.projection is None) == (width == 1)
        np.testing.assert_allclose(model.transform(x), model.x, atol=1e-12)
        scaled = (x[:3] - x.mean(axis=0)) / x.std(axis=0)
        expected = scaled if width == 1 else scaled @ model.projection.components_.T
        np.testing.assert_allclose(model.transform(x[:3])[:, :min(width, 2)],
                                   expected[:, :2], atol=1e-12)
