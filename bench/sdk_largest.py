"""The largest states this machine holds, and a clear error past them.

Each case runs in a child interpreter: H on every qubit, a CNOT chain, every qubit
measured, 1,000 shots. It prints the time, the child's peak resident memory and the
counts' total, or the MemoryError it raised before allocating anything. A case whose
state does not fit in the memory now available (other work holds the rest) is skipped
with a note instead of pressing the machine.

Run: make bench   (or .venv/bin/python bench/sdk_largest.py)
"""
import math
import subprocess
import sys
import textwrap

from results import recorded

CHILD = """
import resource, sys, time
from kestrix.core import CNOT, CPUQVM, H, QProg, measure
n, options = int(sys.argv[1]), eval(sys.argv[2])
prog = QProg(n)
for q in range(n):
    prog << H(q)
for q in range(n - 1):
    prog << CNOT(q, q + 1)
prog << measure(list(range(n)), list(range(n)))
start = time.perf_counter()
try:
    counts = CPUQVM(seed=1, **options).run(prog, 1000).get_counts()
except MemoryError as e:
    print(f"refused: {e}")
else:
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**20
    print(f"{time.perf_counter() - start:.1f} s, peak {peak:.1f} GiB, "
          f"{sum(counts.values())} shots in {len(counts)} outcomes")
"""


def available_memory():
    """MemAvailable from /proc/meminfo, in bytes (infinity where it cannot be read)."""
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return math.inf


def case(n, label, options, amplitude_bytes, expect_refusal=False):
    state = amplitude_bytes * 2**n
    if not expect_refusal and state * 1.05 > available_memory():
        print(f"{n} qubits, {label}: skipped ({state / 2**30:.0f} GiB state, "
              f"{available_memory() / 2**30:.1f} GiB available now)")
        return
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(CHILD), str(n), repr(options)],
                         capture_output=True, text=True, timeout=1800)
    text = (out.stdout.strip().splitlines() or [out.stderr.strip()[-300:]])[-1]
    print(f"{n} qubits, {label}: {text}")


def main():
    print(f"memory available now: {available_memory() / 2**30:.1f} GiB")
    case(30, "double", {}, 16)
    case(31, "double", {}, 16, expect_refusal=True)
    case(31, "single", {"precision": "single"}, 8)
    case(32, "single", {"precision": "single"}, 8, expect_refusal=True)


if __name__ == "__main__":
    with recorded(__file__):
        main()
