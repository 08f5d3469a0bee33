"""The quantum kernel: an SVC on iris with the sampled kernel, beside the same SVC on the
exact fidelities and an RBF SVC; then the throughput of a 100-sample kernel matrix and
its distance from the exact fidelities."""
import time

import numpy as np
from sklearn.datasets import load_iris
from sklearn.model_selection import train_test_split
from sklearn.preprocessing import MinMaxScaler
from sklearn.svm import SVC

from norvalis.QSVM import QuantumKernel_lumet

from .section import Row, figure, save

NAME = "qsvm"
SHOTS = 1024


def exact_kernel(xs, ys):
    """Exact fidelities of the two-qubit feature map (H layer, phases 2 x_k, pair phase
    2 (pi - x0)(pi - x1) on states whose bits differ; applied twice)."""
    bits = (np.arange(4)[:, None] >> np.arange(2)) & 1
    h = np.kron([[1, 1], [1, -1]], [[1, 1], [1, -1]]) / 2

    def state(x):
        pair = 2 * (np.pi - x[0]) * (np.pi - x[1])
        phases = np.exp(1j * (bits @ (2 * x) + pair * (bits[:, 0] ^ bits[:, 1])))
        return phases * (h @ (phases * h[:, 0]))

    sx, sy = np.array([state(x) for x in xs]), np.array([state(y) for y in ys])
    return np.abs(sx @ sy.conj().T) ** 2


def _accuracy(train, test, y_train, y_test):
    return float(np.mean(SVC(kernel="precomputed").fit(train, y_train).predict(test) == y_test))


def _classification_row():
    iris = load_iris()
    # Versicolor against virginica on the petal features: the two classes that overlap.
    x = MinMaxScaler((0, 1)).fit_transform(iris.data[50:, 2:])
    x_train, x_test, y_train, y_test = train_test_split(x, iris.target[50:], test_size=0.5,
                                                        random_state=0, stratify=iris.target[50:])
    qk = QuantumKernel_lumet(n_qbits=2)
    train, test = qk.evaluate(x_train), qk.evaluate(x_test, x_train)
    svc = SVC(kernel="precomputed").fit(train, y_train)
    sampled = float(np.mean(svc.predict(test) == y_test))
    exact = _accuracy(exact_kernel(x_train, x_train), exact_kernel(x_test, x_train), y_train,
                      y_test)
    rbf = float(np.mean(SVC(kernel="rbf").fit(x_train, y_train).predict(x_test) == y_test))
    # Shot noise may move a test point lying on the margin: allow two of 50.
    row = Row("Quantum kernel SVC", "iris versicolor/virginica, petal features in [0, 1], "
              "50 train / 50 test", f"accuracy {sampled:.2f}",
              f"exact fidelities {exact:.2f}; RBF kernel {rbf:.2f}",
              abs(sampled - exact) <= 2 / len(y_test))
    return qk, svc, (x_train, x_test, y_train, y_test), row


def _throughput_row():
    m = 100
    x = np.random.default_rng(1).uniform(0, 2 * np.pi, size=(m, 2))
    start = time.perf_counter()
    sampled = QuantumKernel_lumet(n_qbits=2).evaluate(x)
    seconds = time.perf_counter() - start
    exact = exact_kernel(x, x)
    upper = np.triu_indices(m, k=1)
    rms = np.sqrt(np.mean((sampled[upper] - exact[upper]) ** 2))
    noise = np.sqrt(np.mean(exact[upper] * (1 - exact[upper])) / SHOTS)
    circuits = m * (m - 1) // 2
    row = Row("Quantum kernel matrix", f"{m} samples: {circuits} circuits x {SHOTS} shots",
              f"{circuits / seconds:,.0f} circuits/s, rms {rms:.4f} from exact",
              f"exact fidelities; shot noise {noise:.4f}", rms <= 1.5 * noise, seconds)
    return (sampled[upper], exact[upper]), row


def _plot_surface(ax, qk, svc, split, steps=24):
    x_train, x_test, y_train, y_test = split
    axis = np.linspace(-0.05, 1.05, steps)
    gx, gy = np.meshgrid(axis, axis)
    grid = np.column_stack([gx.ravel(), gy.ravel()])
    decision = svc.decision_function(qk.evaluate(grid, x_train)).reshape(gx.shape)
    ax.contourf(gx, gy, decision, levels=20, cmap="coolwarm", alpha=0.6)
    ax.contour(gx, gy, decision, levels=[0], colors="k", linewidths=1)
    for x, y, marker, label in [(x_train, y_train, "o", "train"), (x_test, y_test, "^", "test")]:
        ax.scatter(x[:, 0], x[:, 1], c=y, cmap="coolwarm", marker=marker, s=18,
                   edgecolors="k", linewidths=0.5, label=label)
    ax.set_title("SVC on the sampled quantum kernel")
    ax.set_xlabel("petal length (scaled)")
    ax.set_ylabel("petal width (scaled)")
    ax.legend(loc="upper left", fontsize="small")


def _plot_entries(ax, sampled, exact):
    ax.scatter(exact, sampled, s=2, alpha=0.3, color="C0")
    ax.plot([0, 1], [0, 1], "C3--", label="equal")
    ax.set_title(f"{len(sampled)} kernel entries, {SHOTS} shots each")
    ax.set_xlabel("exact fidelity")
    ax.set_ylabel("sampled")
    ax.legend(loc="upper left", fontsize="small")


def run(ctx):
    ctx.progress("quantum-kernel SVC on iris")
    qk, svc, split, classification = _classification_row()
    ctx.progress("100-sample kernel matrix")
    entries, throughput = _throughput_row()
    with ctx.plotting():
        fig, (left, right) = figure(
            2, height=4, title="Quantum kernel: iris versicolor (blue) against virginica (red)")
        _plot_surface(left, qk, svc, split)
        _plot_entries(right, *entries)
        save(fig, ctx.plot_path("qsvm_decision.png"))
    return [classification, throughput]
