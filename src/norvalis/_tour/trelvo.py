"""Variational SVD of a seeded random 4 x 4 matrix against numpy.linalg.svd, timed over
its whole SLSQP training."""
import time

import numpy as np

from norvalis.Trelvo import SVD

from .section import Row, figure, save

NAME = "trelvo"


def _values(v):
    return ", ".join(f"{x:.4f}" for x in v)


class _RecordedSVD(SVD):
    """The SVD keeping every loss SLSQP evaluates, for the training curve."""

    def __init__(self, matrix_in, depth):
        super().__init__(matrix_in, depth)
        self.losses = []

    def loss(self, ls, return_type=True):
        value = super().loss(ls, return_type)
        if return_type:
            self.losses.append(value)
        return value


def _plot(path, losses, quantum, reference):
    fig, (left, right) = figure(
        2, title="Variational SVD of a random normal 4 × 4 matrix, depth 8")
    left.semilogy(np.arange(1, len(losses) + 1), losses, color="C0")
    left.set_title("SLSQP training")
    left.set_xlabel("loss evaluation")
    left.set_ylabel("loss: weight off the diagonal")
    positions = np.arange(len(reference))
    right.bar(positions - 0.2, quantum, 0.4, label="variational SVD")
    right.bar(positions + 0.2, reference, 0.4, label="numpy.linalg.svd")
    right.set_xticks(positions, [f"σ{i + 1}" for i in positions])
    right.set_title("singular values")
    right.set_ylabel("value")
    right.legend(loc="upper right", fontsize="small")
    save(fig, path)


def run(ctx):
    ctx.progress("training a depth-8 ansatz on a 4 x 4 matrix (SLSQP, about 900 loss calls)")
    matrix = np.random.default_rng(5).normal(size=(4, 4))
    start = time.perf_counter()
    svd = _RecordedSVD(matrix, depth=8)
    par = svd.Trelvo_min()
    seconds = time.perf_counter() - start
    quantum = np.sort(np.diag(svd.return_diag(par)))[::-1]
    reference = np.linalg.svd(matrix, compute_uv=False)
    # SLSQP stops at a loss near 1e-10: off-diagonal weight of order 1e-5 of the norm.
    tolerance = 1e-5 * np.linalg.norm(matrix)
    with ctx.plotting():
        _plot(ctx.plot_path("trelvo_training.png"), svd.losses, quantum, reference)
    return [Row("variational SVD (Trelvo)", "singular values, random normal 4 x 4, depth 8",
                _values(quantum), f"NumPy {_values(reference)}",
                bool(np.abs(quantum - reference).max() <= tolerance), seconds)]
