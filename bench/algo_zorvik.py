"""Quantum PCA: the time of one zorvik(X, 1) call (scatter matrix, eigenvalues, the
identity run, the five stages built in C++ and one 5-qubit program of 8192 shots).

Run: .venv/bin/python bench/algo_zorvik.py   (make bench runs it too)
"""
import numpy as np
from results import recorded
from timing import per_call

from norvalis.Zorvik import zorvik

GOAL_MS = 1.0


def call_time(data, seconds=1.0):
    zorvik(data, 1)  # the first call also loads what the module needs
    return per_call(lambda i: zorvik(data, 1), seconds)


def main():
    rng = np.random.default_rng(0)
    print("quantum PCA (zorvik), one call with k = 1")
    for n in (6, 1000):
        data = rng.multivariate_normal([0, 0], [[1, 0.7], [0.7, 1]], size=n)
        t = call_time(data)
        print(f"  {n:>5} x 2 samples: {t * 1e3:7.3f} ms per call   (goal: about {GOAL_MS:.0f} ms)")


if __name__ == "__main__":
    with recorded(__file__):
        main()
