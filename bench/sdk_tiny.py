"""Where a tiny circuit's time goes: the tiny-circuit row of run.py split into its parts.

Building the 40 gates in Python (and what one gate and one append cost), running the
program with 1024 shots, and reading the counts, each timed over many circuits.

Run: make bench   (or .venv/bin/python bench/sdk_tiny.py [--circuits 20000])
"""

import argparse

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


def per_item(loop, count):
    """Microseconds per item of loop(), net of an empty Python loop of the same length."""
    empty = best_time(lambda: [None for _ in range(count)], 5)
    return (best_time(loop, 5) - empty) / count * 1e6


def main():
    program, machine = build(0.3), CPUQVM()
    machine.run(program, 1024)
    gate = H(0)
    gates = [gate] * 42
    parts = {
        "build (42 gates, 42 appends)": per_item(lambda: [build(0.001 * i) for i in range(N)], N),
        "run, 1024 shots": per_item(lambda: [machine.run(program, 1024) for _ in range(N)], N),
        "counts": per_item(lambda: [machine.result().get_counts() for _ in range(N)], N),
    }
    total = sum(parts.values())
    print(f"tiny circuit, {total:.2f} us in all ({1e6 / total:,.0f} per second):")
    for name, us in parts.items():
        print(f"  {name:<30}{us:6.2f} us")

    def appends():
        p = QProg(2)
        for g in gates:
            p << g

    pieces = {
        "one gate without an angle": per_item(lambda: [H(0) for _ in range(N)], N),
        "one gate with an angle": per_item(lambda: [RY(1, 0.3) for _ in range(N)], N),
        "one append": per_item(lambda: [appends() for _ in range(N // 42)], N // 42 * 42),
    }
    for name, us in pieces.items():
        print(f"  {name:<30}{us * 1e3:6.0f} ns")


if __name__ == "__main__":
    main()
