"""One state split over MPI ranks on this machine: QFT and the layered circuit at 24 and 26
qubits (BENCH_MPI_QUBITS="24 26 28" for more) on 1, 2 and 4 ranks launched by mpirun on
the loopback interface, the cores shared out among the ranks, the best of
BENCH_MPI_REPEATS runs (2). For each: the run's time
(slowest rank), the index-bit swaps, the bytes every rank sent together, and the share
of the time spent in exchanges (packing included). The plain engine in one process is
the first row of each workload. docs/mpi.md turns these figures into a time model for
2^k machines.

Run: make bench   (or .venv/bin/python bench/sdk_mpi.py)
"""
import json
import os
import shutil
import subprocess
import sys

from results import recorded

HERE = os.path.dirname(os.path.abspath(__file__))
MPI_ENV = {"OMPI_ALLOW_RUN_AS_ROOT": "1", "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM": "1",
           "OMPI_MCA_btl": "self,tcp", "OMPI_MCA_btl_tcp_if_include": "lo",
           "OMPI_MCA_oob_tcp_if_include": "lo", "OMPI_MCA_mpi_yield_when_idle": "1"}
REPEATS = int(os.environ.get("BENCH_MPI_REPEATS", "2"))


def worker(name, n):
    """Under mpirun: times the workload on every rank, prints rank 0's summary as JSON."""
    import time

    from circuits import layered, qft
    from mpi4py import MPI
    from ours import program

    from kestrix.core import CPUQVM

    comm = MPI.COMM_WORLD
    prog = program(n, (qft if name == "QFT" else layered)(n))
    machine = CPUQVM(comm=comm) if comm.size > 1 else CPUQVM()
    best = None
    for _ in range(REPEATS):
        comm.Barrier()
        start = time.perf_counter()
        result = machine.run(prog, 1)
        comm.Barrier()
        elapsed = time.perf_counter() - start
        if best is None or elapsed < best[0]:
            best = (elapsed, result)
    elapsed, result = best
    exchanges = getattr(result, "exchanges", 0)
    sent = comm.allreduce(getattr(result, "bytes_sent", 0))
    in_exchange = comm.allreduce(getattr(result, "exchange_seconds", 0.0), op=MPI.MAX)
    if comm.rank == 0:
        print(json.dumps({"seconds": elapsed, "exchanges": exchanges, "bytes": sent,
                          "exchange_seconds": in_exchange}))


def launch(name, n, ranks):
    cores = len(os.sched_getaffinity(0))
    env = dict(os.environ, **MPI_ENV, KESTRIX_NUM_THREADS=str(max(1, cores // ranks)),
               PYTHONPATH=os.pathsep.join([HERE, os.environ.get("PYTHONPATH", "")]))
    command = [shutil.which("mpirun"), "--oversubscribe", "-np", str(ranks), sys.executable,
               os.path.abspath(__file__), "--worker", name, str(n)]
    done = subprocess.run(command, env=env, capture_output=True, text=True, timeout=1800)
    if done.returncode != 0:
        return None, done.stderr.strip().splitlines()[-1:] or ["failed"]
    return json.loads(done.stdout.strip().splitlines()[-1]), None


def main():
    try:
        import mpi4py  # noqa: F401

        import kestrix._mpi  # noqa: F401
    except ImportError:
        print("mpi4py or kestrix._mpi is missing: nothing to time")
        return
    if shutil.which("mpirun") is None:
        print("mpirun is not installed: nothing to time")
        return
    sizes = [int(x) for x in os.environ.get("BENCH_MPI_QUBITS", "24 26").split()]
    print(f"{'workload':<16} {'ranks':>5} {'time':>9} {'swaps':>6} {'moved':>10} "
          f"{'in exchanges':>13}")
    for name in ("QFT", "layered"):
        for n in sizes:
            for ranks in (1, 2, 4):
                figures, error = launch(name, n, ranks)
                label = f"{name} {n}q"
                if figures is None:
                    print(f"{label:<16} {ranks:>5}   failed: {error[0]}")
                    continue
                share = figures["exchange_seconds"] / figures["seconds"]
                print(f"{label:<16} {ranks:>5} {figures['seconds']:>8.2f}s "
                      f"{figures['exchanges']:>6} {figures['bytes'] / 2**30:>6.2f} GiB "
                      f"{share:>12.0%}")


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--worker":
        worker(sys.argv[2], int(sys.argv[3]))
    else:
        with recorded(__file__):
            main()
