"""Single precision against double: accuracy and speed on the engine's wide workloads.

For QFT (on a random product state, once and ten times over) and the layered RX/RZ/CNOT
circuit (depth 20 and 200) at each width, both precisions run the same gates from
|0...0>. Printed per row: fidelity |<double|single>|^2 (the single state normalised), the
largest amplitude error, the norm drift of the single-precision state, and both times
with their ratio.

Run: .venv/bin/python bench/sdk_precision.py [--widths 20 24] [--deep-widths 20 22]
"""

import argparse
import math
import os
import random
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import circuits  # noqa: E402
from ours import _GATES  # noqa: E402
from results import recorded  # noqa: E402
from timing import best_time, fmt_time  # noqa: E402

from kestrix.core import RY, RZ, QCircuit  # noqa: E402
from kestrix.quantum_info import StateVector  # noqa: E402

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
parser.add_argument("--widths", type=int, nargs="+", default=[20, 22, 24])
parser.add_argument("--deep-widths", type=int, nargs="+", default=[20, 22],
                    help="widths of the depth-200 and ten-QFT rows")
args = parser.parse_args()


def circuit_of(gates, prefix=None):
    c = QCircuit() if prefix is None else prefix
    for g in gates:
        c << _GATES[g[0]](*g[1:])
    return c


def product_state(n, seed=2):
    """A random product state: QFT of |0...0> alone would be a plain superposition."""
    rng = random.Random(seed)
    c = QCircuit()
    for q in range(n):
        c << RY(q, rng.uniform(0, math.pi)) << RZ(q, rng.uniform(0, 2 * math.pi))
    return c


def workloads(n, deep):
    yield f"QFT {n}q", circuit_of(circuits.qft(n), product_state(n))
    if deep:
        yield f"QFT x10 {n}q", circuit_of(circuits.qft(n) * 10, product_state(n))
    yield f"layered d20 {n}q", circuit_of(circuits.layered(n, 20))
    if deep:
        yield f"layered d200 {n}q", circuit_of(circuits.layered(n, 200))


def main():
    print(f"{'workload':<20}{'fidelity':>14}{'max |error|':>13}{'norm drift':>12}"
          f"{'double':>11}{'single':>11}{'speed-up':>10}")
    for n in args.widths:
        for name, c in workloads(n, n in args.deep_widths):
            states = {}
            times = {}
            for precision in ("double", "single"):
                zero = StateVector(n, precision=precision)
                states[precision] = np.asarray(zero.evolve(c))
                times[precision] = best_time(lambda z=zero: z.evolve(c), 1 if n >= 24 else 2)
            d, s = states["double"], states["single"].astype(np.complex128)
            # The fidelity of the normalised single state: its norm drift is a column of its own.
            fidelity = abs(np.vdot(d, s)) ** 2 / np.vdot(s, s).real
            error = np.abs(d - s).max()
            drift = abs(np.linalg.norm(s) - 1)
            print(f"{name:<20}{1 - fidelity:>14.1e}{error:>13.2e}{drift:>12.2e}"
                  f"{fmt_time(times['double']):>11}{fmt_time(times['single']):>11}"
                  f"{times['double'] / times['single']:>9.2f}x")
            del states, d, s
    print("fidelity column: 1 - |<double|single>|^2 / <single|single>")


if __name__ == "__main__":
    with recorded(__file__, os.cpu_count()):
        main()
