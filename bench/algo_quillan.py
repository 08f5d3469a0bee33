"""Quantum support-vector regression (norvalis.Quillan): the cost of its kernel.

Every kernel entry is an exact two-qubit fidelity reached through self.dist, so a fit on
m samples costs m^2 entries and a prediction on k points k*m more. Times the entries per
second of k_kernel and a whole get_res() (fit and predict on the training points), best of
three, beside scikit-learn's RBF SVR on the same data for scale. No peer: the fidelities
are exact, so any simulator would give the same predictions. Then the feature map's reach on
an oscillating target, y = x cos(5x): test R^2 of QSVR (as given and after
EncodingRangeScaler) beside scikit-learn's RBF SVR.

Run: make bench   (or .venv/bin/python bench/algo_quillan.py [--samples 60] [--oscillating])
"""
import argparse

import numpy as np
from results import recorded
from sklearn.pipeline import make_pipeline
from sklearn.svm import SVR
from timing import best_time

from norvalis.Quillan import Quantum_SVR
from norvalis.sklearn import QSVR, EncodingRangeScaler


def oscillating(seeds=10, samples=100):
    """Mean test R^2 over `seeds` draws of 2 * samples points uniform in [-1, 1] (the first
    half trains, the second tests) of y = x cos(5x), for QSVR as given, QSVR after
    EncodingRangeScaler("QKMeans"), QSVR with C=100 (its training R^2 too) and scikit-learn's
    SVR() with the RBF kernel."""
    scores = []
    for seed in range(seeds):
        x = np.random.default_rng(seed).uniform(-1, 1, size=(2 * samples, 1))
        y = x[:, 0] * np.cos(5 * x[:, 0])
        train, test = slice(0, samples), slice(samples, None)
        wide = QSVR(C=100.0).fit(x[train], y[train])
        scores.append([
            QSVR().fit(x[train], y[train]).score(x[test], y[test]),
            make_pipeline(EncodingRangeScaler("QKMeans"), QSVR()).fit(x[train], y[train])
            .score(x[test], y[test]),
            wide.score(x[test], y[test]), wide.score(x[train], y[train]),
            SVR().fit(x[train], y[train]).score(x[test], y[test])])
    mean = np.mean(scores, axis=0)
    print(f"y = x cos(5x) on [-1, 1], {samples} training and {samples} test points, mean of "
          f"{seeds} draws: test R^2")
    print(f"  QSVR()                             {mean[0]:.3f}")
    print(f'  EncodingRangeScaler, then QSVR()   {mean[1]:.3f}')
    print(f"  QSVR(C=100)                        {mean[2]:.3f}   (training R^2 {mean[3]:.3f})")
    print(f"  scikit-learn SVR(), RBF kernel     {mean[4]:.3f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=60)
    parser.add_argument("--oscillating", action="store_true", help="only the R^2 table")
    args = parser.parse_args()
    if args.oscillating:
        oscillating()
        return
    m = args.samples
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
    oscillating()


if __name__ == "__main__":
    with recorded(__file__):
        main()
