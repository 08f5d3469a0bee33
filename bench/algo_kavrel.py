"""Times the HHL linear-system solver (norvalis.Kavrel.Kavrel_solve_linear_equations)
against the goal of milliseconds for an 8 x 8 system at precision_cnt=2, and measures its
error against numpy.linalg.solve per precision_cnt on random Hermitian systems (the
table on docs/modules/kavrel.md). Run: .venv/bin/python bench/algo_kavrel.py"""
import time

import numpy as np
from results import recorded

from norvalis.Kavrel import Kavrel_solve_linear_equations
from norvalis.Kavrel._Kavrel import KavrelAlg

GOAL_MS = 50.0
TRIALS = 20


def random_hermitian(rng, size, condition=10.0):
    """Eigenvalue magnitudes uniform in [1, condition], random signs, random eigenvectors."""
    q, _ = np.linalg.qr(rng.normal(size=(size, size)) + 1j * rng.normal(size=(size, size)))
    eigenvalues = rng.uniform(1, condition, size) * rng.choice([-1, 1], size)
    return q @ np.diag(eigenvalues) @ q.conj().T


def solve(a, b, precision):
    return np.array(Kavrel_solve_linear_equations(list(a.ravel()), list(b), precision))


def timing(size, precision, hermitian=True, repeats=7):
    rng = np.random.default_rng(5)
    a = random_hermitian(rng, size)
    if not hermitian:
        a = a + np.triu(rng.normal(size=(size, size)), 1)
    b = rng.normal(size=size)
    solve(a, b, precision)  # the first call also builds the register's inversion stage
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        solve(a, b, precision)
        times.append(time.perf_counter() - start)
    width = KavrelAlg(list(a.ravel()), list(b), precision).num_qubits
    return np.median(times) * 1000, width


def accuracy(size, precision, rng):
    errors = []
    for _ in range(TRIALS):
        a, b = random_hermitian(rng, size), rng.normal(size=size)
        x, exact = solve(a, b, precision), np.linalg.solve(a, b)
        errors.append(np.linalg.norm(x - exact) / np.linalg.norm(exact))
    return np.median(errors), np.max(errors)


def main():
    print(f"{'system':34s} {'qubits':>6s} {'median solve':>13s}")
    for size, precision, hermitian in [(2, 1, True), (4, 2, True), (8, 2, True), (4, 2, False)]:
        ms, width = timing(size, precision, hermitian)
        kind = "Hermitian" if hermitian else "non-Hermitian"
        headline = (size, precision, hermitian) == (8, 2, True)
        goal = f"   (goal < {GOAL_MS:.0f} ms)" if headline else ""
        print(f"{size} x {size} {kind:13s} precision_cnt={precision}  {width:6d} "
              f"{ms:10.1f} ms{goal}")
    print(f"\nrelative error |x - solve| / |solve| over {TRIALS} random Hermitian systems, "
          "eigenvalue magnitudes in [1, 10] (condition number up to 10), random signs")
    print(f"{'size':>6s} {'precision_cnt':>14s} {'median':>10s} {'largest':>10s}")
    rng = np.random.default_rng(2024)
    for size in (2, 4, 8):
        for precision in (0, 1, 2):
            median, largest = accuracy(size, precision, rng)
            print(f"{size:3d}x{size:<2d} {precision:14d} {median:10.1e} {largest:10.1e}")


if __name__ == "__main__":
    with recorded(__file__):
        main()
