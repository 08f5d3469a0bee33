"""Cases of CPUQVM(comm=...) run by tests/kestrix/test_mpi.py under one mpirun: every rank
runs them all, checking the split state against the single-process engine; rank 0 prints
one JSON line, case name -> each rank's outcome ("ok" or the error)."""
import json
import sys

import numpy as np
from engine_circuits import random_circuit
from mpi4py import MPI

import kestrix._mpi as km
import kestrix.quantum_info as qi
from kestrix.core import CNOT, CPUQVM, CZ, RX, RZ, TOFFOLI, H, QProg, X, measure

comm = MPI.COMM_WORLD
rank, size = comm.rank, comm.size
outcomes = {}
TOL = 1e-12


def case(f):
    try:
        f()
        outcomes[f.__name__] = "ok"
    except Exception as e:  # every failure is reported, by name, to the test
        outcomes[f.__name__] = f"{type(e).__name__}: {e}"
    return f


def expect_raise(kind, f, *args, **kwargs):
    try:
        f(*args, **kwargs)
    except kind as e:
        return str(e)
    raise AssertionError(f"expected {kind.__name__}")


def check_state(prog, n, what):
    """The gathered state, probabilities over a few qubits and an observable, against one
    process."""
    split = CPUQVM(comm=comm).run(prog)
    whole = split.get_state()
    one = qi.StateVector(n).evolve(prog)
    qubits = [int(q) for q in np.random.default_rng(n).permutation(n)[:3]]
    probs = split.get_prob_list(qubits)
    label = "".join(np.random.default_rng(n + 1).choice(list("IXYZ"), n))
    value = split.expval(label)
    assert abs(value - qi.expval(label, one)) < TOL, (what, "expval", label)
    assert np.max(np.abs(np.array(probs) - CPUQVM().run(prog).get_prob_list(qubits))) < TOL, what
    if rank == 0:
        assert np.max(np.abs(np.asarray(whole) - np.asarray(one))) < TOL, what
    else:
        assert whole is None
    return split


@case
def random_circuits_of_every_kind():
    rng = np.random.default_rng(7)
    for trial in range(12):
        n = int(rng.integers(6, 10))
        circuit, _ = random_circuit(rng, n, 40, every_kind=True)
        check_state(QProg(n) << circuit, n, f"trial {trial}")


@case
def controls_and_diagonals_on_global_qubits():
    n = 7
    top, next_ = n - 1, n - 2
    prog = QProg(n)
    for q in range(n):
        prog << H(q)
    prog << CNOT(top, 0) << TOFFOLI(top, next_, 1) << CZ(top, next_) << RZ(top, 0.7)
    prog << RX(2, 0.4).control([top, next_]) << X(3).control([top]).dagger()
    split = check_state(prog, n, "global controls")
    # Everything after the first layer of H is diagonal or controlled from the top qubits:
    # the two H on the top qubits cost a swap in and a swap back each.
    assert split.exchanges == 2 * min(2, size.bit_length() - 1), split.exchanges


@case
def counts_match_one_process():
    rng = np.random.default_rng(11)
    n = 8
    circuit, _ = random_circuit(rng, n, 30)
    for qubits, shots in [(list(range(n)), 10), (list(range(n)), 5000), ([7, 0, 6], 300),
                          ([3, 7, 1, 2, 0, 4, 6, 5], 20)]:
        prog = QProg(n) << circuit << measure(qubits, list(range(len(qubits))))
        split = CPUQVM(seed=5, comm=comm).run(prog, shots=shots)
        one = CPUQVM(seed=5).run(prog, shots=shots)
        assert split.get_counts() == one.get_counts(), (qubits, shots)
        assert split.get_prob_dict() == one.get_prob_dict()
    kept = CPUQVM(seed=6, comm=comm).run(prog, shots=50, memory=True).get_memory()
    assert kept == CPUQVM(seed=6).run(prog, shots=50, memory=True).get_memory()


@case
def mid_circuit_measurements():
    n = 7
    prog = QProg(n)
    for q in range(n):
        prog << H(q) << RX(q, 0.3 * q)
    prog << measure(n - 1, 0) << measure(1, 1)  # a global qubit, then a local one
    prog << CNOT(n - 1, 2) << H(n - 1) << H(1) << CZ(1, n - 2) << measure([n - 1, 2], [2, 3])
    split = CPUQVM(seed=9, comm=comm).run(prog, shots=200, memory=True)
    one = CPUQVM(seed=9).run(prog, shots=200, memory=True)
    assert split.get_counts() == one.get_counts()
    assert split.get_memory() == one.get_memory()
    qubits = [0, n - 2, 3]
    assert np.max(np.abs(np.array(split.get_prob_list(qubits)) - one.get_prob_list(qubits))) < TOL
    assert "mid-circuit" in expect_raise(ValueError, split.get_state)


@case
def small_buffers_and_exchange_figures():
    n = 9
    prog = QProg(n)
    for q in range(n):
        prog << H(q)
        for c in range(q + 1, n):
            prog << RX(c, 0.1 * q).control([q])
    whole = km.run(comm, prog, 1, buffer_share=1 / 64).get_state()
    split = km.run(comm, prog, 1)
    if rank == 0:
        one = qi.StateVector(n).evolve(prog)
        assert np.max(np.abs(np.asarray(whole) - np.asarray(one))) < TOL
    half_slice = 2 ** (n - (size.bit_length() - 1) - 1) * 16
    assert split.exchanges > 0 and split.bytes_sent == split.exchanges * half_slice
    assert split.exchange_seconds >= 0


@case
def bad_sizes_raise_on_every_rank():
    # Too many ranks for the width.
    assert "too many" in expect_raise(ValueError, CPUQVM(comm=comm).run, QProg(1) << H(0))
    if size == 4:  # three ranks: not a power of two; the fourth runs alone
        sub = comm.Split(0 if rank < 3 else 1, rank)
        if rank < 3:
            assert "power of two" in expect_raise(ValueError, CPUQVM(comm=sub).run, QProg(4))
        else:
            assert CPUQVM(comm=sub).run(QProg(4) << X(0)).get_prob_list([0]) == [0.0, 1.0]
        sub.Free()


@case
def out_of_memory_raises_on_every_rank():
    assert "processes" in expect_raise(MemoryError, CPUQVM(comm=comm).run, QProg(45) << H(0))


@case
def one_failing_rank_fails_them_all():
    shots = 0 if rank == 1 else 10
    expect_raise((ValueError, RuntimeError), CPUQVM(comm=comm).run, QProg(4) << H(0), shots)
    # Different programs on different ranks are refused rather than mixed.
    prog = QProg(4) << H(rank % 4)
    assert "different" in expect_raise(ValueError, CPUQVM(comm=comm).run, prog)


everything = comm.gather(outcomes, root=0)
if rank == 0:
    merged = {name: [o[name] for o in everything] for name in outcomes}
    print(json.dumps(merged))
sys.stdout.flush()
