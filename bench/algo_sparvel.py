"""Sparse state encoding (norvalis.Sparvel.QSpare_Code) of 2**14 probabilities: encoding
and simulation in both modes with the default cut (28 coefficients) against a goal of
well under a second, larger cuts beside it, and the native Walsh-Hadamard transform
against SymPy's symbolic fwht, which it replaces.

Run: .venv/bin/python bench/algo_sparvel.py   (OMP_NUM_THREADS sets the engine's threads)
"""
import os

import numpy as np
from results import recorded
from sympy import fwht
from timing import best_time

from norvalis.Sparvel import QSpare_Code

N = 14
GOAL_SECONDS = 0.5


def main():
    rng = np.random.default_rng(0)
    probs = rng.random(2 ** N) ** 3
    probs /= probs.sum()
    print(f"2**{N} probabilities; engine threads: {os.environ.get('OMP_NUM_THREADS', 'all')}")
    for cut in [None, 64, 256]:
        for mode in ["walsh", "fourier"]:
            seconds = best_time(lambda: QSpare_Code(probs, cut, mode).Quantum_Res())
            code = QSpare_Code(probs, cut, mode)
            distance = np.abs(np.array(code.Quantum_Res()) - probs).sum()
            goal = f"   (goal < {GOAL_SECONDS * 1e3:.0f} ms)" if cut is None else ""
            print(f"  {mode:8s} cut {code.cut:4d}: {seconds * 1e3:8.1f} ms, "
                  f"L1 distance to the input {distance:.3f}{goal}")

    amp = QSpare_Code(probs).amp
    native = best_time(lambda: QSpare_Code(probs).Transform(amp))
    symbolic = best_time(lambda: fwht(amp), 1)
    print(f"Walsh-Hadamard transform of 2**{N} values: native {native * 1e3:.2f} ms, "
          f"SymPy fwht {symbolic * 1e3:.0f} ms ({symbolic / native:.0f}x)")


if __name__ == "__main__":
    with recorded(__file__):
        main()
