"""Quantum feature selection on 13 features (72 rotation blocks, 6 selected): one loss
evaluation and a whole training run (601 evaluations), against their goals.

The loss is evaluated exactly from the circuit's single-particle form; for comparison,
the same loss through the documented steps (a subclass whose Circuit the module does
not know, so the 13-qubit circuit is built and run on the state-vector simulator).

Run: make bench   (or .venv/bin/python bench/algo_fennimor.py)
"""
import numpy as np
from results import recorded
from timing import best_time

from norvalis.QmRMR import Feature_Selection

N, SELECT = 13, 6


class ThroughTheSimulator(Feature_Selection):
    def Circuit(self, qbs, para):
        return super().Circuit(qbs, para)


def main():
    rng = np.random.default_rng(0)
    quadratic = rng.normal(size=(N, N))
    quadratic = quadratic + quadratic.T
    linear = rng.normal(size=N)
    para = rng.uniform(-np.pi, np.pi, N // 2 * N)

    fast = Feature_Selection(quadratic, linear, SELECT)
    simulated = ThroughTheSimulator(quadratic, linear, SELECT)
    gap = abs(fast.cal_loss(para) - simulated.cal_loss(para))

    loss = best_time(lambda: fast.cal_loss(para), 5, 2000)
    through = best_time(lambda: simulated.cal_loss(para), 3, 20)
    training = best_time(lambda: Feature_Selection(quadratic, linear, SELECT).get_his_res(para))

    print(f"feature selection, {N} features, {SELECT} selected, {N // 2 * (N - 1)} blocks")
    print(f"  {'one loss evaluation':34s} {loss * 1e6:9.1f} us   goal: well under 100 us")
    print(f"  {'one loss via the simulator':34s} {through * 1e6:9.1f} us   "
          f"({through / loss:.0f}x slower; difference {gap:.1e})")
    print(f"  {'get_his_res (601 evaluations)':34s} {training * 1e3:9.1f} ms   "
          "goal: well under 1 s")


if __name__ == "__main__":
    with recorded(__file__):
        main()
