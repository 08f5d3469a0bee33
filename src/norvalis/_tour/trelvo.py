"""Variational SVD of a seeded random 4 x 4 matrix against numpy.linalg.svd, timed over
its whole SLSQP training."""
import time

import numpy as np

from norvalis.Trelvo import SVD

from .section import Row

NAME = "trelvo"


def _values(v):
    return ", ".join(f"{x:.4f}" for x in v)


def run(ctx):
    ctx.progress("training a depth-8 ansatz on a 4 x 4 matrix (SLSQP, about 900 loss calls)")
    matrix = np.random.default_rng(5).normal(size=(4, 4))
    start = time.perf_counter()
    svd = SVD(matrix, depth=8)
    par = svd.Trelvo_min()
    seconds = time.perf_counter() - start
    quantum = np.sort(np.diag(svd.return_diag(par)))[::-1]
    reference = np.linalg.svd(matrix, compute_uv=False)
    # SLSQP stops at a loss near 1e-10: off-diagonal weight of order 1e-5 of the norm.
    tolerance = 1e-5 * np.linalg.norm(matrix)
    return [Row("variational SVD (Trelvo)", "singular values, random normal 4 x 4, depth 8",
                _values(quantum), f"NumPy {_values(reference)}",
                bool(np.abs(quantum - reference).max() <= tolerance), seconds)]
