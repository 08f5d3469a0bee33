"""Quantum support-vector regression (norvalis.Quillan): the cost of its kernel.

Every kernel entry is an exact two-qubit fidelity reached through self.dist, so a fit on
m samples costs m^2 entries and a prediction on k points k*m more. Times the entries per
second of k_kernel and a whole get_res() (fit and predict on the training points), best of
three, beside scikit-learn's RBF SVR on the same data for scale. No peer: the fidelities
are exact, so any simulator would give the same predictions.

Run: make bench   (or .venv/bin/python bench/algo_quillan.py [--samples 60])
"""
import argparse

import numpy as np
from results import recorded
from sklearn.svm import SVR
from timing import best_time

from norvalis.Quillan import Quantum_SVR


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=60)
    m = parser.parse_args().samples
    rng = np.random.default_rng(2)
    x = rng.uniform(-1, 1, size=(m, 3))
    y = np.sin(2 * x[:, 0]) + x[:, 1] * x[:, 2]
    svr = Quantum_SVR(x, y)

    kernel_time = best_time(lambda: svr.k_kernel(svr.x, svr.x))
    fit_time = best_time(svr.get_res)
    rbf_time = best_time(lambda: SVR(gamma=0.1).fit(svr.x, y).predict(svr.x))
    print(f"quantum SVR, {m} samples")
    print(f"  k_kernel {m}x{m}  {kernel_time * 1e3:8.1f} ms ({m * m / kernel_time:,.0f} "
          "entries/s)   goal > 100,000/s")
    print(f"  get_res         {fit_time * 1e3:8.1f} ms ({2 * m * m} entries); "
          f"RBF SVR {rbf_time * 1e3:.1f} ms")


if __name__ == "__main__":
    with recorded(__file__):
        main()
