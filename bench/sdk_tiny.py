"""Where a tiny circuit's time goes: the tiny-circuit row of run.py split into its parts.

Building the 40 gates in Python (and what one gate and one append cost), running the
program with 1024 shots, and reading the counts, each timed over many circuits.

Run: make bench   (or .venv/bin/python bench/sdk_tiny.py [--circuits 20000])
"""

import argparse

from results import recorded
from timing import best_time

from kestrix.core import CNOT, CPUQVM, RY, RZ, H, QProg, measure

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
parser.add_argument("--circuits", type=int, default=20_000)
args = parser.parse_args()
N = args.circuits


def build(theta):
    """The program of ours.tiny, written out as a user writes it."""
    p = QProg(2)
    for k in range(10):
        p << H(0) << RY(1, theta) << CNOT(0, 1) << RZ(0, theta * k)
    p << measure(0, 0) << measure(1, 1)
    return p


def per_item(make, count):
    """Microseconds per call of make(i) over `count` calls (nothing kept between calls),
    net of an empty Python loop of the same length."""

    def loop(body):
        for i in range(count):
            body(i)

    empty = best_time(lambda: loop(lambda i: None), 5)
    return (best_time(lambda: loop(make), 5) - empty) / count * 1e6


def main():
    program, machine = build(0.3), CPUQVM()
    machine.run(program, 1024)
    gate = H(0)
    gates = [gate] * 42
    parts = {
        "build (42 gates, 42 appends)": per_item(lambda i: build(0.001 * i), N),
        "run, 1024 shots": per_item(lambda i: machine.run(program, 1024), N),
        "counts": per_item(lambda i: machine.result().get_counts(), N),
    }
    total = sum(parts.values())
    print(f"tiny circuit, {total:.2f} us in all ({1e6 / total:,.0f} per second):")
    for name, us in parts.items():
        print(f"  {name:<30}{us:6.2f} us")

    def appends(i):
        p = QProg(2)
        for g in gates:
            p << g

    pieces = {
        "one gate without an angle": per_item(lambda i: H(0), N),
        "one gate with an angle": per_item(lambda i: RY(1, 0.3), N),
        "one append": per_item(appends, N // 42) / 42,
    }
    for name, us in pieces.items():
        print(f"  {name:<30}{us * 1e3:6.0f} ns")


if __name__ == "__main__":
    with recorded(__file__):
        main()
