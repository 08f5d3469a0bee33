"""Quantum PCA: the time of one zorvik(X, 1) call (scatter matrix, eigenvalues, the
identity run, the five stages built in C++ and one 5-qubit program of 8192 shots).

Run: .venv/bin/python bench/algo_zorvik.py   (make bench runs it too)
"""
import time

import numpy as np

from norvalis.Zorvik import zorvik

GOAL_MS = 1.0


def per_call(data, seconds=1.0):
    zorvik(data, 1)
    calls, start = 0, time.perf_counter()
    while time.perf_counter() - start < seconds:
        zorvik(data, 1)
        calls += 1
    return (time.perf_counter() - start) / calls


def main():
    rng = np.random.default_rng(0)
    print("quantum PCA (zorvik), one call with k = 1")
    for n in (6, 1000):
        data = rng.multivariate_normal([0, 0], [[1, 0.7], [0.7, 1]], size=n)
        t = per_call(data)
        print(f"  {n:>5} x 2 samples: {t * 1e3:7.3f} ms per call   (goal: about {GOAL_MS:.0f} ms)")


if __name__ == "__main__":
    main()
