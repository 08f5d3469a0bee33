"""kestrix against the other state-vector simulators installed as `bench` extras.

Every row runs in this one process, on this machine, with the same thread count
(OMP_NUM_THREADS, default: all cores). Times are the best of a few runs of the
simulation alone (circuits are built beforehand), except the tiny-circuit row, which
times the whole path from Python: machine, program, 40 gates, 1024 shots, counts.

Run: make bench   (or .venv/bin/python bench/run.py [--quick])
"""

import argparse
import os
import sys
import time

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
parser.add_argument("--threads", type=int, default=os.cpu_count())
parser.add_argument("--quick", action="store_true", help="skip the 24-qubit rows")
parser.add_argument("--wide", action="store_true", help="add the 28-qubit rows (minutes)")
args = parser.parse_args()
# Before any simulator loads its OpenMP runtime.
os.environ["OMP_NUM_THREADS"] = str(args.threads)

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import circuits  # noqa: E402
import ours  # noqa: E402
import peers  # noqa: E402
from results import recorded  # noqa: E402
from timing import best_time, fmt_time, per_call  # noqa: E402


def fastest(run, repeats):
    """Best wall time of `repeats` calls of run(), or of every run in a list of them."""
    return min(best_time(one, repeats) for one in (run if isinstance(run, list) else [run]))


def rate(run, seconds=1.0):
    """Calls per second of run(i), over about `seconds`."""
    return 1 / per_call(run, seconds, batch=10)


def main():
    found, missing = peers.available()
    names = [p["name"] for p in found]
    print(f"threads: {args.threads}; peers: {', '.join(names) or 'none'}")
    for package in missing:
        print(f"note: {package} is not installed for this Python; its column is skipped")
    header = (f"{'workload':<22}{'prec':>7}{'kestrix':>12}{'passes':>8}{'GB/s':>7}"
              + "".join(f"{n:>13}" for n in names))
    print("\n" + header + f"{'vs fastest peer':>18}   goal")
    print("-" * (len(header) + 30))

    # On a virtual machine the first touch of memory the process never had costs about a
    # second per GiB (the host backs each page); touched and freed once here, it no longer
    # falls on whichever simulator allocates a large state first.
    warm = np.ones(2**26, dtype=np.complex128)
    del warm

    widths = [16, 20] if args.quick else [16, 20, 24] + ([28] if args.wide else [])
    for family, make in (("QFT", circuits.qft), ("layered RX/RZ/CNOT", circuits.layered)):
        for n in widths:
            gates = make(n)
            # A 24-qubit run varies by a fifth from one call to the next on a shared machine:
            # every simulator gets its best of two.
            repeats = 3 if n < 24 else 2 if n < 28 else 1
            theirs = [fastest(p["wide"](n, gates), repeats) for p in found]
            passes = ours.passes(n, gates)
            # qsim computes in single precision: kestrix's single rows are the like for like.
            for precision, goal in (("double", "goal >= 1x, aim >= 1.2x"),
                                    ("single", "goal >= 1.5x")):
                mine = fastest(ours.wide(n, gates, precision), repeats)
                # Each pass reads and writes the state once.
                width = 16 if precision == "double" else 8
                traffic = 2 * width * 2**n * passes / mine / 1e9
                row = (f"{family[:15] + f' {n}q':<22}{precision:>7}{fmt_time(mine):>12}"
                       f"{passes:>8}{traffic:>7.1f}")
                row += "".join(f"{fmt_time(t):>13}" for t in theirs)
                if theirs:
                    row += f"{min(theirs) / mine:16.2f}x"
                print(row + "   " + goal)

    tiny_ours = rate(lambda i: ours.tiny(0.001 * i))
    tiny_peers = [rate(lambda i, p=p: p["tiny"](circuits.tiny(0.001 * i)), 2.0) for p in found]
    row = f"{'tiny 2q, 1024 shots':<22}{'double':>7}{tiny_ours:>10.0f}/s{'':>15}"
    row += "".join(f"{r:>11.0f}/s" for r in tiny_peers)
    aer = [r for p, r in zip(found, tiny_peers) if p["name"] == "Qiskit Aer"]
    if aer:
        row += f"{tiny_ours / aer[0]:13.0f}x Aer"
    print(row + "   goal >= 100000/s, >= 50x Aer")

    counting, sample = 14, 10
    start = time.perf_counter()
    program = ours.phase_estimation(counting)
    build = time.perf_counter() - start
    machine = ours.CPUQVM(seed=1)
    folded = best_time(lambda: machine.run(program, 1024), 2)
    one_by_one = ours.phase_estimation(counting, powered=sample, separate=True)
    per_copy = best_time(lambda: machine.run(one_by_one, 1024), 1) / (2**sample - 1)
    copies = 2**counting - 1
    print(f"{f'QPE {counting}+4q, {copies} copies':<22}{fmt_time(folded):>12}"
          f"{'':>{22 + 13 * len(found)}}{per_copy * copies / folded:16.0f}x"
          f"   goal < 1 s, >= 20x copy by copy ({fmt_time(per_copy * copies).strip()},"
          f" from {2**sample - 1} copies); building it in Python took {fmt_time(build).strip()}")

    programs = ours.batch_programs()
    machine = ours.CPUQVM(seed=1)
    one = best_time(lambda: [machine.run(p, 1024) for p in programs], 2)
    batch = best_time(lambda: machine.run_batch(programs, 1024), 2)
    print(f"{'batch 10000 x 4q':<22}{len(programs) / batch:>10.0f}/s   one by one"
          f" {len(programs) / one:.0f}/s = {one / batch:.2f}x on {args.threads} threads"
          f"   goal >= 1.8x on 2")

    n = 24 if not args.quick else 20
    state_bytes = 16 * 2**n
    src = np.ones(2**n, dtype=np.complex128)
    dst = np.empty_like(src)
    numpy_bw = 2 * state_bytes / best_time(lambda: np.copyto(dst, src), 5)
    machine = ours.CPUQVM()
    t_empty = best_time(lambda: machine.run(ours.program(n, []), 1), 3)
    for k in (2, 3):
        fused = ours.program(n, circuits.blocks(n, k))
        t_fused = best_time(lambda: machine.run(fused, 1), 3)
        ours_bw = 2 * state_bytes * (n // k) / max(t_fused - t_empty, 1e-9)
        print(f"{f'fused {k}q blocks {n}q':<22}{ours_bw / 1e9:>9.1f} GB/s   numpy copy"
              f" {numpy_bw / 1e9:.1f} GB/s = {ours_bw / numpy_bw:.0%}   goal >= 70%")

if __name__ == "__main__":
    with recorded(__file__, args.threads):
        main()
