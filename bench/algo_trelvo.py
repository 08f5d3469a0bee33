"""Variational SVD: one whole training of a 4 x 4 matrix at depth 8 (SLSQP over 32 angles)
and the time of one loss evaluation (encoding, both ansätze and one exact evolution, built
and run in C++).

SLSQP's own linear algebra goes through the BLAS library, which may start threads even for
this 32-variable problem; on a busy machine that costs more than all the loss calls. The
training is timed with the BLAS threads as they are and limited to one.

Run: .venv/bin/python bench/algo_trelvo.py   (make bench runs it too)
"""
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


def main():
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


if __name__ == "__main__":
    with recorded(__file__):
        main()
