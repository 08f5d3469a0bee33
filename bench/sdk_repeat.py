"""Amplitude estimation as its operator grows: Melvo on a chain-entangled RY operator of 4
to 10 work qubits at epsilon = 2^-12, and 8 at 2^-14. Phase estimation repeats the Grover
operator 2^i times under counting qubit i; the engine folds each run of copies into one
matrix power (by repeated squaring, keeping the squares from one counting qubit to the
next) up to 10 qubits, runs blocks wider than 6 with the wide dense kernel, and joins the
powers under successive counting qubits into one sweep where that pays.

Run: make bench   (or .venv/bin/python bench/sdk_repeat.py [--widths 4 5 ... 10])
"""
import argparse

import numpy as np
from results import recorded
from timing import best_time

from kestrix.core import CNOT, RY, QCircuit
from norvalis.Melvo import Melvo

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
parser.add_argument("--widths", type=int, nargs="*", default=[4, 5, 6, 7, 8, 9, 10])
args = parser.parse_args()


def chain(qubits):
    c = QCircuit()
    for k, q in enumerate(qubits):
        c << RY(q, 0.3 + 0.1 * k)
    for a, b in zip(qubits, qubits[1:]):
        c << CNOT(a, b)
    return c


def main():
    cases = [(w, 12) for w in args.widths] + [(8, 14)]
    for width, bits in cases:
        estimator = Melvo(chain, width, epsilon=2.0**-bits)
        np.random.seed(0)
        seconds = best_time(estimator.run, 1)
        goal = "   (goal about 1 s)" if (width, bits) == (8, 14) else ""
        print(f"Melvo, {width} work qubits, epsilon 2^-{bits}: {seconds:7.2f} s{goal}")


if __name__ == "__main__":
    with recorded(__file__):
        main()
