"""Quantum PCA on two standardised, positively correlated features beside scikit-learn's
PCA. This is the data the fixed circuit suits: its weight vector is the diagonal (1, 1)/√2,
which is the principal axis only for such data (docs/modules/zorvik.md shows a case where
it is not)."""
import numpy as np
from sklearn.decomposition import PCA
from sklearn.preprocessing import StandardScaler

from norvalis.Zorvik import zorvik

from .section import Row, figure, save

NAME = "zorvik"


def run(ctx):
    ctx.progress("quantum PCA of 80 samples, 2 standardised features")
    rng = np.random.default_rng(11)
    data = StandardScaler().fit_transform(
        rng.multivariate_normal([170.0, 65.0], [[49.0, 30.0], [30.0, 36.0]], size=80))
    v = zorvik(data, 1)[:, 0]
    reference = PCA(1).fit_transform(data)[:, 0]
    reference *= np.sign(reference @ v)
    # Shot noise turns the weight vector by at most about 0.02 rad (five standard
    # deviations at 8192 shots), which bounds each row's error by 0.02 times its length.
    error = np.abs(v - reference) / np.linalg.norm(data, axis=1)
    with ctx.plotting():
        _plot(ctx.plot_path("zorvik_axes.png"), data, v, reference)
    return [Row("quantum PCA (zorvik)", "80 x 2 standardised, correlation +0.7 -> 1 component",
                f"max |v - PC1| / |x| = {error.max():.4f}", "scikit-learn PCA, tolerance 0.02",
                bool(error.max() <= 0.02))]


def _plot(path, data, v, reference):
    centred = data - data.mean(axis=0)
    # The circuit's weight vector, recovered from its projections.
    w = np.linalg.lstsq(centred, v, rcond=None)[0]
    pc1 = np.linalg.lstsq(centred, reference, rcond=None)[0]
    fig, (left, right) = figure(2, width=4.2, height=3.9,
                                title="Quantum PCA (zorvik) beside scikit-learn")
    left.scatter(centred[:, 0], centred[:, 1], s=10, color="gray")
    reach = np.abs(centred).max()
    for axis, style, label in [(pc1, "C0-", "PC1 (scikit-learn)"), (w, "C3--", "zorvik axis")]:
        axis = axis / np.linalg.norm(axis)
        left.plot([-reach * axis[0], reach * axis[0]], [-reach * axis[1], reach * axis[1]],
                  style, label=label)
    left.set_aspect("equal")
    left.set_title("80 standardised samples")
    left.set_xlabel("feature 1")
    left.set_ylabel("feature 2")
    left.legend(loc="upper left", fontsize="small")
    right.scatter(reference, v, s=10, color="C0")
    line = [reference.min(), reference.max()]
    right.plot(line, line, "C3--", label="equal")
    right.set_title("projections onto one component")
    right.set_xlabel("scikit-learn PCA")
    right.set_ylabel("zorvik")
    right.legend(loc="upper left", fontsize="small")
    save(fig, path)
