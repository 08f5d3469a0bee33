"""Batches, threads and processes: CPUQVM.run_batch and prob_batch give exactly what one
run per program gives, draw the same seeds, stop on Ctrl-C; the engine's threads sleep
when idle and a forked child can use the engine after its parent did."""
import multiprocessing
import os
import time

import numpy as np
import pytest
from engine_circuits import random_circuit
from interrupting import ctrl_c_after
from isolated import child_lines

from kestrix.core import CNOT, CPUQVM, RX, H, QCircuit, QProg, measure


def mixed_programs(rng, count):
    """Terminal measurements, mid-circuit ones, none; mostly narrow, a few threaded."""
    programs = []
    for k in range(count):
        n = 15 if k % 9 == 8 else int(rng.integers(2, 7))
        p = QProg(n) << random_circuit(rng, n, 30)[0]
        if k % 3 == 1:
            p << measure(list(range(n)), list(range(n)))
        elif k % 3 == 2:
            p << measure(0, 0) << H(0) << measure([0, 1], [1, 2])
        programs.append(p)
    return programs


def test_run_batch_matches_one_run_each_under_numpy_seed():
    programs = mixed_programs(np.random.default_rng(1), 60)
    machine = CPUQVM()
    np.random.seed(7)
    one = [machine.run(p, 300) for p in programs]
    after_one = np.random.random()
    np.random.seed(7)
    batch = machine.run_batch(programs, 300)
    assert np.random.random() == after_one  # the same number of seeds was drawn
    assert len(batch) == len(programs)
    for a, b in zip(one, batch):
        assert a.get_counts() == b.get_counts()
        assert a.get_prob_list() == b.get_prob_list()


def test_run_batch_with_a_machine_seed_and_mixed_kinds_of_program():
    programs = [QProg(2) << H(0) << CNOT(0, 1) << measure([0, 1], [0, 1]),
                QCircuit() << RX(1, 0.4), H(0)]
    machine = CPUQVM(seed=5)
    batch = machine.run_batch(programs, np.int64(1000))
    assert [r.get_counts() for r in batch] == [machine.run(p, 1000).get_counts() for p in programs]
    assert batch[1].get_prob_list([1]) == pytest.approx([np.cos(0.2) ** 2, np.sin(0.2) ** 2])
    assert machine.run_batch([], 10) == []


@pytest.mark.parametrize("empty", ["[]", "()", "iter([])", "range(0)", "np.array([], int)"])
def test_prob_batch_over_no_qubits_gives_rows_of_one(empty):
    # The marginal over no qubits is [1.0], as get_prob_list([]) gives; the rows once took
    # the whole distribution and wrote past their one entry.
    code = f'''
        import numpy as np
        from kestrix.core import CPUQVM, H, QProg
        for _ in range(3):
            prog = QProg(3) << H(0) << H(2)
            rows = CPUQVM().prob_batch([prog] * 20, {empty})
            one = CPUQVM().run(prog).get_prob_list({empty})
            assert rows.shape == (20, 1) and rows.tolist() == [one] * 20, rows
            assert abs(one[0] - 1) < 1e-12
        print("ok")
    '''
    assert child_lines(code) == ["ok"]


def test_prob_batch_rows_are_the_exact_probabilities():
    rng = np.random.default_rng(2)
    programs = [QProg(5) << random_circuit(rng, 5, 40)[0] for _ in range(40)]
    programs.append(QProg(15) << random_circuit(rng, 15, 60)[0])
    machine = CPUQVM()
    rows = machine.prob_batch(programs, [3, 0])
    assert rows.shape == (41, 4) and rows.dtype == np.float64
    for p, row in zip(programs, rows):
        assert row.tolist() == machine.run(p, 1).get_prob_list([3, 0])
    full = machine.prob_batch(programs[:5])
    assert full.shape == (5, 32)
    assert full[2].tolist() == machine.run(programs[2], 1).get_prob_list()


@pytest.mark.parametrize("call, error, message", [
    (lambda m: m.run_batch([H(0)], 0), ValueError, "shots"),
    (lambda m: m.run_batch([H(0)], 2.0), TypeError, "shots"),
    (lambda m: m.run_batch([H(0), 5], 10), TypeError, "cannot append int"),
    (lambda m: m.run_batch(7, 10), TypeError, "iterable"),
    (lambda m: m.run_batch([QProg(70)], 10), MemoryError, "70 qubits"),
    (lambda m: m.prob_batch([QProg(2) << measure(0, 0)]), ValueError, "measures"),
    (lambda m: m.prob_batch([QProg(2), QProg(3)]), ValueError, "different widths"),
    (lambda m: m.prob_batch([QProg(2)], [2]), IndexError, "qubit 2"),
])
def test_bad_batches_are_clear_errors(call, error, message):
    with pytest.raises(error, match=message):
        call(CPUQVM())


def test_ctrl_c_stops_a_batch():
    n = 12  # one simulation per shot: each program is long
    prog = QProg(n)
    for q in range(n):
        prog << H(q)
    prog << measure(0, 0) << CNOT(0, 1) << measure(1, 1)
    with ctrl_c_after(0.3), pytest.raises(KeyboardInterrupt):
        CPUQVM(seed=1).run_batch([prog] * 64, 100_000)


def test_huge_shot_counts_are_sampled():
    shots = 2 ** 62
    counts = CPUQVM(seed=3).run(QProg(1) << H(0) << measure(0, 0), shots).get_counts()
    assert counts["0"] + counts["1"] == shots
    assert abs(counts["0"] / shots - 0.5) < 1e-6


def wide_probabilities(seed):
    rng = np.random.default_rng(seed)
    return CPUQVM().prob_batch([QProg(14) << random_circuit(rng, 14, 40)[0]], [0, 1])[0].tolist()


# Forking a process whose threads have run is the point here: Python's warning about it
# is expected.
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_a_forked_child_runs_the_engine_after_its_parent_did():
    wide_probabilities(0)  # the parent's threads are started and have worked
    with multiprocessing.get_context("fork").Pool(2) as pool:
        children = pool.map_async(wide_probabilities, range(4)).get(timeout=60)
    assert children == [wide_probabilities(k) for k in range(4)]


def test_threads_sleep_between_runs():
    machine = CPUQVM()
    prog = QProg(16) << random_circuit(np.random.default_rng(3), 16, 60)[0]
    machine.run(prog, 1)
    time.sleep(0.3)  # lets every thread of the process, NumPy's included, fall idle
    process, caller = time.process_time(), time.thread_time()
    for _ in range(20):
        machine.run(prog, 1)
        time.sleep(0.01)
    caller = time.thread_time() - caller
    others = time.process_time() - process - caller
    # Each other thread works about as much as the calling thread; spinning through the
    # 0.2 s of gaps between runs would add up to 0.2 s each.
    workers = len(os.sched_getaffinity(0)) - 1
    assert others < caller * workers + 0.1
