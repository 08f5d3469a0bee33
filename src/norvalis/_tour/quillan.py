"""Quantum support-vector regression of a small smooth function, beside the same SVR on
the exact fidelities computed in NumPy and a classical RBF SVR."""
import numpy as np
from sklearn.metrics import r2_score
from sklearn.svm import SVR

from norvalis.Quillan import Quantum_SVR

from .section import Row, figure, save

NAME = "quillan"


def _rotation(axis, t):
    c, s = np.cos(t / 2), np.sin(t / 2)
    return np.array([[c, -s], [s, c]]) if axis == "Y" else np.array([[c, -1j * s], [-1j * s, c]])


def exact_gram(xs, ys):
    """Fidelities of the encoding H H, RY(c0) x RY(c1), CZ, RX(c1) x RX(c0) (qubit 0 first,
    so it is the right-hand Kronecker factor)."""
    h = np.array([[1, 1], [1, -1]]) / np.sqrt(2)

    def state(c):
        s = np.kron(_rotation("Y", c[1]), _rotation("Y", c[0])) @ np.kron(h, h)[:, 0]
        return np.kron(_rotation("X", c[0]), _rotation("X", c[1])) @ (s * [1, 1, 1, -1])

    sx, sy = np.array([state(x) for x in xs]), np.array([state(y) for y in ys])
    return np.abs(sx @ sy.conj().T) ** 2


def run(ctx):
    ctx.progress("quantum SVR of sin(x0) + x1/2")
    x = np.random.default_rng(0).uniform(-1, 1, size=(40, 2))
    y = np.sin(x[:, 0]) + x[:, 1] / 2
    model = Quantum_SVR(x, y)
    predicted, _ = model.get_res()
    gram = exact_gram(model.x, model.x)
    exact = SVR(kernel="precomputed", gamma=0.1).fit(gram, y).predict(gram)
    rbf = SVR().fit(model.x, y).predict(model.x)
    with ctx.plotting():
        _plot(ctx.plot_path("quillan_fit.png"), model, x, y, r2_score(y, predicted))
    # SVR stops at tol=1e-3: kernels equal to rounding may end that far apart.
    return [Row("Quantum SVR", "y = sin(x0) + x1/2, 40 points in [-1, 1]^2",
                f"R^2 {r2_score(y, predicted):.3f} (training points)",
                f"exact fidelities {r2_score(y, exact):.3f}; RBF SVR {r2_score(y, rbf):.3f}",
                bool(np.max(np.abs(predicted - exact)) < 5e-3))]


def _plot(path, model, x, y, r2, steps=24):
    """The target and the fitted surface over the input square. Quantum_SVR keeps its
    standardised, rotated features in model.x: the affine map onto them, recovered by least
    squares, carries a grid into the same coordinates."""
    affine = np.linalg.lstsq(np.column_stack([x, np.ones(len(x))]), model.x, rcond=None)[0]
    axis = np.linspace(-1, 1, steps)
    gx, gy = np.meshgrid(axis, axis)
    grid = np.column_stack([gx.ravel(), gy.ravel(), np.ones(gx.size)]) @ affine
    svr = SVR(kernel="precomputed", gamma=0.1).fit(model.k_kernel(model.x, model.x), y)
    fitted = svr.predict(model.k_kernel(grid, model.x)).reshape(gx.shape)
    target = np.sin(gx) + gy / 2
    levels = np.linspace(min(target.min(), fitted.min()), max(target.max(), fitted.max()), 15)
    fig, axes = figure(2, width=4.2, height=3.8, right=1.25)
    for ax, surface, title in [(axes[0], target, "target sin(x0) + x1/2"),
                               (axes[1], fitted, f"quantum SVR, R² {r2:.3f}")]:
        filled = ax.contourf(gx, gy, surface, levels=levels, cmap="viridis")
        ax.scatter(x[:, 0], x[:, 1], color="w", edgecolors="k", s=14, linewidths=0.6,
                   label="training points")
        ax.set_title(title)
        ax.set_xlabel("x0")
    axes[0].set_ylabel("x1")
    axes[0].legend(loc="lower right", fontsize="small")
    box, inches = axes[1].get_position(), fig.get_figwidth()
    bar = fig.add_axes([1 - 1.05 / inches, box.y0, 0.15 / inches, box.height])
    fig.colorbar(filled, cax=bar, label="y")
    save(fig, path)
