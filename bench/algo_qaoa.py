"""Times the QAOA building blocks: building Dicke states up to D(64, 32) (goal: a few
milliseconds) with their gate count and depth beside k*log2(n/k), simulating the wide ones
the state vector holds, building the 64-qubit complete XY mixer (goal: milliseconds), and
the minimiser's own cost per iteration beside a plain NumPy loop of the same steps, and
how often the minimiser reaches the minimum of 2-D Rosenbrock from (-1.2, 1) within 20,000
calls of the objective, over 20 seeds, with and without its switches, first- and
second-order (goal: 80 %).
Run: .venv/bin/python bench/algo_qaoa.py (the reach table alone: add `reach`)"""
import math
import sys
import time
import warnings

import numpy as np
from results import recorded
from timing import best_time

from kestrix.quantum_info import StateVector
from norvalis.QAOA import complete_xy_mixer, jorrant_minimize, prepare_dicke_state

BUILD_GOAL_MS = 5.0


def depth(circuit):
    """Layers when every gate starts as soon as its qubits (targets and controls) are free;
    barriers cost nothing."""
    free = {}
    for g in circuit:
        if g.name == "BARRIER":
            continue
        qubits = list(g.qubits) + list(g.controls)
        layer = max((free.get(q, 0) for q in qubits), default=0) + 1
        for q in qubits:
            free[q] = layer
    return max(free.values(), default=0)


def dicke_rows():
    print("Dicke states D(n, k): build time, size and depth (controlled rotations as one gate)")
    print(f"{'state':10s} {'build':>9s} {'gates':>7s} {'depth':>6s} {'k log2(n/k)':>12s} "
          f"{'ratio':>6s} {'depth, basic gates':>19s}")
    for n, k in [(16, 8), (32, 4), (32, 16), (64, 1), (64, 4), (64, 8), (64, 16), (64, 32)]:
        qubits = list(range(n))
        seconds = best_time(lambda: prepare_dicke_state(qubits, k), 20)
        circuit = prepare_dicke_state(qubits, k)
        scale = k * math.log2(n / k)
        flat_depth = depth(prepare_dicke_state(qubits, k, compress=False))
        print(f"D({n}, {k}){'':{9 - len(f'D({n}, {k})')}s} {seconds * 1000:7.2f} ms "
              f"{len(circuit):7d} {depth(circuit):6d} {scale:12.1f} "
              f"{depth(circuit) / scale:6.1f} {flat_depth:19d}")
    print(f"(goal: D(64, 32) in under {BUILD_GOAL_MS:.0f} ms)\n")


def simulate_rows():
    print("Simulating a Dicke state (build + exact state vector)")
    for n in (20,):
        k = n // 2
        seconds = best_time(lambda: StateVector(n).evolve(prepare_dicke_state(list(range(n)),
                                                                                k)).ndarray())
        state = StateVector(n).evolve(prepare_dicke_state(list(range(n)), k)).ndarray()
        error = np.abs(np.abs(state[np.abs(state) > 1e-9]) ** 2 - 1 / math.comb(n, k)).max()
        print(f"D({n}, {k}): {seconds * 1000:8.1f} ms, largest probability error {error:.1e}")
    print()


def mixer_row():
    qubits = list(range(64))
    seconds = best_time(lambda: complete_xy_mixer(qubits, 0.3), 20)
    circuit = complete_xy_mixer(qubits, 0.3)
    print(f"complete XY mixer on 64 qubits: {seconds * 1000:.2f} ms, {len(circuit) // 8} blocks, "
          f"{len(circuit)} gates (goal: under {BUILD_GOAL_MS:.0f} ms)\n")


def plain_loop(func, x0, maxiter):
    x = np.asarray(x0, dtype=float)
    for k in range(1, maxiter + 1):
        ak, ck = 1.0 / (k + 10) ** 0.602, 1.0 / k ** 0.101
        delta = np.random.choice([-1, 1], size=len(x))
        xp, xm = x + ck * delta, x - ck * delta
        x = x - ak * (func(xp) - func(xm)) / (xp - xm)
    return x


def minimiser_row():
    def objective(x):
        return float(x @ x)

    x0 = np.ones(8)
    ours = best_time(lambda: jorrant_minimize(objective, x0, maxiter=2000), 5)
    plain = best_time(lambda: plain_loop(objective, x0, 2000), 5)
    print(f"jorrant_minimize, 2000 iterations of an 8-variable quadratic: {ours * 1000:.1f} ms "
          f"({ours / 2000 * 1e6:.1f} us per iteration); a plain NumPy loop of the same steps: "
          f"{plain * 1000:.1f} ms")


def rosenbrock(x):
    return 100.0 * (x[1] - x[0] ** 2) ** 2 + (1.0 - x[0]) ** 2


REACH_BUDGET, REACH_SEEDS = 20_000, 20
TUNED = {"a": 0.01, "c": 0.01, "alpha": 0.3}
# Second-order steps are Newton steps scaled by ak: a gain of several units, and
# perturbations small against the scale on which Rosenbrock's Hessian changes.
NEWTON = {"second_order": True, "a": 5.0, "c": 1e-3}
REACH_SETTINGS = [
    ("defaults", {}),
    ("calibrate", {"calibrate": True}),
    ("blocking", {"blocking": True}),
    ("return_best", {"return_best": True}),
    ("calibrate + blocking", {"calibrate": True, "blocking": True}),
    ("all three", {"calibrate": True, "blocking": True, "return_best": True}),
    ("a=0.01 c=0.01 alpha=0.3", TUNED),
    ("  + calibrate", {**TUNED, "calibrate": True}),
    ("  + blocking", {**TUNED, "blocking": True}),
    ("  + return_best", {**TUNED, "return_best": True}),
    ("  + blocking + return_best", {**TUNED, "blocking": True, "return_best": True}),
    ("second_order", {"second_order": True}),
    ("  + blocking", {"second_order": True, "blocking": True}),
    ("second_order c=0.1", {"second_order": True, "c": 0.1}),
    ("  + blocking", {"second_order": True, "c": 0.1, "blocking": True}),
    ("second_order a=5 c=1e-3", NEWTON),
    ("  + calibrate", {**NEWTON, "calibrate": True}),
    ("  + blocking", {**NEWTON, "blocking": True}),
    ("  + return_best", {**NEWTON, "return_best": True}),
    ("  + blocking + return_best", {**NEWTON, "blocking": True, "return_best": True}),
    ("  + calibrate + blocking", {**NEWTON, "calibrate": True, "blocking": True}),
]


def iterations_within(budget, options):
    """The most iterations whose calls, the switches' own included, fit the budget."""
    start = 50 * options.get("calibrate", False) + 25 * options.get("blocking", False)
    per_iteration = 2 + options.get("blocking", False) + 2 * options.get("second_order", False)
    return (budget - start) // per_iteration


def reach_rows():
    print(f"2-D Rosenbrock from (-1.2, 1), {REACH_BUDGET} calls of the objective, seeds "
          f"0-{REACH_SEEDS - 1}: share with |x - (1, 1)| < 1e-3, share with f(x) < 1e-3, "
          "median |x - (1, 1)|")
    for name, options in REACH_SETTINGS:
        maxiter = iterations_within(REACH_BUDGET, options)
        distances, values, times = [], [], []
        for seed in range(REACH_SEEDS):
            np.random.seed(seed)
            with warnings.catch_warnings(), np.errstate(all="ignore"):
                warnings.simplefilter("ignore", RuntimeWarning)
                start = time.perf_counter()
                found = jorrant_minimize(rosenbrock, [-1.2, 1.0], maxiter=maxiter, **options)
                times.append(time.perf_counter() - start)
            x = found[0] if options.get("return_best") else found
            distances.append(float(np.linalg.norm(x - 1.0)))
            values.append(float(rosenbrock(x)))
        distances, values = np.array(distances), np.array(values)
        print(f"{name:28s} {maxiter:6d} iterations  {np.mean(distances < 1e-3):5.0%} "
              f"{np.mean(values < 1e-3):5.0%}  median {np.median(distances):.3g}  "
              f"largest {np.max(distances):.3g}  median run {np.median(times):.2f} s")
    print("(goal: 80 % within 1e-3)\n")


def main():
    if sys.argv[1:] == ["reach"]:
        reach_rows()
        return
    dicke_rows()
    simulate_rows()
    mixer_row()
    minimiser_row()
    reach_rows()


if __name__ == "__main__":
    with recorded(__file__):
        main()
