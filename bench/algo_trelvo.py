"""Variational SVD: one whole training of a 4 x 4 matrix at depth 8 (SLSQP over 32 angles)
and the time of one loss evaluation (encoding, both ansätze and one exact evolution, built
and run in C++).

SLSQP's own linear algebra goes through the BLAS library, which may start threads even for
this 32-variable problem; on a busy machine that costs more than all the loss calls. The
training is timed with the BLAS threads as they are and limited to one.

Then its reach: how often training finds numpy.linalg.svd's singular values against size,
depth, SLSQP's iteration cap and restarts (the table on docs/modules/trelvo.md), and the
same over 20 seeds for 8 x 8, the largest size in reach (the second table there).

Run: .venv/bin/python bench/algo_trelvo.py   (make bench runs it too; --reach: only the
reach table)
"""
import argparse
import time

import numpy as np
from results import recorded
from threadpoolctl import threadpool_limits
from timing import per_call

from norvalis.Trelvo import SVD

LOSS_GOAL_US = 100.0


class Counted(SVD):
    """Counts the loss evaluations of a training."""

    calls = 0

    def loss(self, ls, return_type=True):
        Counted.calls += 1
        return super().loss(ls, return_type)


def training_time(matrix, seed, repeats=3):
    best = float("inf")
    for _ in range(repeats):
        np.random.seed(seed)
        svd = SVD(matrix, 8)
        start = time.perf_counter()
        par = svd.Trelvo_min()
        best = min(best, time.perf_counter() - start)
    return best, svd, par


# (size, depth, maxiter, restarts) of the reach table; maxiter None is SciPy's default.
REACH_CELLS = [(2, 2, None, 0), (4, 2, None, 0), (4, 4, None, 0), (4, 8, None, 0),
               (8, 8, None, 0), (8, 10, None, 0), (8, 8, 1000, 0), (8, 9, 1000, 0),
               (8, 10, 1000, 0), (8, 10, 1000, 2), (16, 10, None, 0)]


# 8 x 8 over 20 seeds: near and at the depth limit, with more iterations and restarts.
EIGHT_CELLS = [(8, 9, 1000, 0), (8, 10, 1000, 0), (8, 10, 3000, 0), (8, 10, 1000, 2),
               (8, 10, 1000, 4)]


def reach(seeds=10, cells=REACH_CELLS):
    """Share of `seeds` random normal square matrices (default_rng(s), then np.random.seed(s)
    for the starting angles and any restart) whose sorted singular values all come within
    1e-4 of numpy.linalg.svd's, relative to the largest; the median final loss and the
    median time of one Trelvo_min call, with SLSQP's BLAS on one thread."""
    print(f"reach: {seeds} random normal matrices per row, one Trelvo_min call each; error "
          "relative to the largest singular value")
    print(f"{'matrix':9s} {'depth':>5s} {'maxiter':>7s} {'restarts':>8s} {'within 1e-4':>12s} "
          f"{'largest error':>14s} {'median loss':>12s} {'median call':>12s}")
    for size, depth, maxiter, restarts in cells:
        errors, losses, times = [], [], []
        for seed in range(seeds):
            a = np.random.default_rng(seed).normal(size=(size, size))
            np.random.seed(seed)
            svd = SVD(a, depth)
            with threadpool_limits(1, user_api="blas"):
                start = time.perf_counter()
                par = svd.Trelvo_min(restarts=restarts, maxiter=maxiter)
                times.append(time.perf_counter() - start)
            found = np.sort(np.diag(svd.return_diag(par)))[::-1][:size]
            exact = np.linalg.svd(a, compute_uv=False)
            errors.append(np.abs(found - exact).max() / exact[0])
            losses.append(svd.loss(par))
        errors = np.array(errors)
        cap = "default" if maxiter is None else str(maxiter)
        print(f"{size:2d} x {size:<4d} {depth:5d} {cap:>7s} {restarts:8d} "
              f"{np.mean(errors < 1e-4):11.0%} {errors.max():14.1e} {np.median(losses):12.1e} "
              f"{np.median(times) * 1000:9.0f} ms")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reach", action="store_true", help="only the reach table")
    if parser.parse_args().reach:
        reach()
        reach(20, EIGHT_CELLS)
        return
    matrix = np.random.default_rng(1).normal(size=(4, 4))
    np.random.seed(1)
    counted = Counted(matrix, 8)
    counted.Trelvo_min()

    threaded, svd, par = training_time(matrix, 1)
    with threadpool_limits(1, user_api="blas"):
        single, _, _ = training_time(matrix, 1)
    per_loss = per_call(lambda i: svd.loss(par), batch=100)
    error = np.abs(np.sort(np.diag(svd.return_diag(par)))[::-1]
                   - np.linalg.svd(matrix, compute_uv=False)).max()
    print("variational SVD (Trelvo), 4 x 4 matrix, depth 8, 32 angles")
    print(f"  loss evaluations per training: {Counted.calls}")
    print(f"  one loss call:                 {per_loss * 1e6:7.1f} us   (goal: well under "
          f"{LOSS_GOAL_US:.0f} us)")
    print(f"  whole training:                {threaded * 1e3:7.1f} ms with BLAS threads as set, "
          f"{single * 1e3:.1f} ms with one")
    print(f"  of which loss calls:           {Counted.calls * per_loss * 1e3:7.1f} ms")
    print(f"  largest singular-value error:  {error:.1e}")
    reach()
    reach(20, EIGHT_CELLS)


if __name__ == "__main__":
    with recorded(__file__):
        main()
