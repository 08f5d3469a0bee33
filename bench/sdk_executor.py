"""Batches on an executor against the same batches in this process: the overlap circuits
of a 300-sample kernel matrix (44,850 circuits of 1024 shots) run in process on every
thread, on a Dask LocalCluster of 2 single-threaded workers on the loopback interface, and
on a process pool of 2; with the bytes shipped per circuit and where the time goes (the
caller's encoding and decoding, the workers' share).

Run: make bench   (or .venv/bin/python bench/sdk_executor.py [--samples 300])
"""
import argparse
import concurrent.futures
import multiprocessing
import os

import numpy as np
from results import recorded
from timing import best_time

import kestrix.parallel
from kestrix.core import CPUQVM, QProg, _run_shipped_chunk, measure
from norvalis.QSVM import QuantumKernel_lumet
from norvalis.QSVM.ostrakin import _build_circuit

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
parser.add_argument("--samples", type=int, default=300)
args = parser.parse_args()


def kernel_programs(samples):
    """The 2-qubit overlap circuit of every pair of distinct samples, measured."""
    X = np.random.default_rng(0).random((samples, 2))
    out = []
    for i in range(samples):
        for j in range(i + 1, samples):
            p = QProg(2) << _build_circuit([0, 1], 2, X[i], X[j])
            out.append(p << measure([0, 1], [0, 1]))
    return out


class Recording:
    """Runs each chunk here at once and keeps its bytes both ways: what shipping costs
    without any transfer."""

    class Done:
        def __init__(self, value):
            self.value = value

        def done(self):
            return True

        def result(self, timeout=None):
            return self.value

        def cancel(self):
            pass

    def __init__(self, answers=None):
        self.payloads, self.answers = [], answers

    def submit(self, fn, payload):
        self.payloads.append(payload)
        k = len(self.payloads) - 1
        return self.Done(self.answers[k] if self.answers is not None else fn(payload))


def main():
    programs = kernel_programs(args.samples)
    n = len(programs)
    machine = CPUQVM(seed=1)
    here = best_time(lambda: machine.run_batch(programs, 1024), 3)
    rec = Recording()
    machine.run_batch(programs, 1024, executor=rec)
    answers = [_run_shipped_chunk(p) for p in rec.payloads]
    caller = best_time(lambda: machine.run_batch(programs, 1024, executor=Recording(answers)), 3)
    worker = best_time(lambda: [_run_shipped_chunk(p) for p in rec.payloads], 3)
    sent = sum(len(p) for p in rec.payloads) / n
    back = sum(len(a) for a in answers) / n
    print(f"{n} circuits of 1024 shots in {len(rec.payloads)} chunks; "
          f"{sent:.0f} bytes out and {back:.0f} back per circuit")
    print(f"{'in process, every thread':34} {here * 1e3:8.1f} ms  {n / here:9.0f} circuits/s")
    print(f"{'caller: encode and decode':34} {caller * 1e3:8.1f} ms  {n / caller:9.0f} circuits/s")
    print(f"{'workers: decode, run, encode':34} {worker * 1e3:8.1f} ms  "
          "(one process, every thread)")
    threads = len(os.sched_getaffinity(0))
    per_core = n / (worker * threads)
    print(f"model: N machines of k cores run min(N * k * {per_core:.0f}, {n / caller:.0f}) "
          "circuits/s: each core's share of the work, until the caller's encoding and "
          "decoding are the bound")

    from distributed import Client, LocalCluster

    spawn = multiprocessing.get_context("spawn")
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None, env={"KESTRIX_NUM_THREADS": "1"}) as cluster, \
            Client(cluster) as client, \
            concurrent.futures.ProcessPoolExecutor(2, mp_context=spawn) as pool:
        for name, ex in (("Dask LocalCluster, 2 x 1 thread", client), ("process pool of 2", pool)):
            machine.run_batch(programs[:2000], 1024, executor=ex)  # workers warm
            t = best_time(lambda: machine.run_batch(programs, 1024, executor=ex), 3)
            print(f"{name:34} {t * 1e3:8.1f} ms  {n / t:9.0f} circuits/s = "
                  f"{here / t:.0%} of in process   (goal 85%)")

        X = np.random.default_rng(1).random((args.samples, 2))
        kernel = QuantumKernel_lumet(n_qbits=2)
        alone = best_time(lambda: kernel.evaluate(X), 3)
        with kestrix.parallel.executor(client):
            shipped = best_time(lambda: kernel.evaluate(X), 3)
        print(f"QuantumKernel_lumet.evaluate, {args.samples} samples: {alone * 1e3:.1f} ms in "
              f"process, {shipped * 1e3:.1f} ms under kestrix.parallel.executor(client) = "
              f"{alone / shipped:.0%}")


if __name__ == "__main__":
    os.environ.setdefault("MPLBACKEND", "Agg")
    with recorded(__file__):
        main()
