"""Batches on executors (kestrix.parallel): a ProcessPoolExecutor and a Dask LocalCluster on
the loopback interface give bit for bit the results of an in-process run, whatever the
chunks; errors on a worker reach the caller as they were raised; Ctrl-C cancels what is
pending; a worker killed mid-batch loses nothing under Dask."""
import os
import signal
import threading

import numpy as np
import pytest
from interrupting import ctrl_c_after

import kestrix
import kestrix.parallel
from kestrix.core import CNOT, CPUQVM, RY, H, ParameterVector, QCircuit, QProg, measure

pytest.importorskip("distributed", reason="Dask is an optional test peer")


def programs(count, measured=True, seed=0):
    rng = np.random.default_rng(seed)
    out = []
    for k, angle in enumerate(rng.uniform(0, 3, count)):
        n = 2 + k % 4
        p = QProg(n) << H(0) << RY(n - 1, float(angle)) << CNOT(0, n - 1)
        if measured:
            p << measure(list(range(n)), list(range(n)))
        if measured and k % 7 == 3:  # measured, then acted on: one simulation per shot
            p << measure(0, 0) << H(0)
        out.append(p)
    return out


class Recorder:
    """An executor that runs each chunk at once, here, and keeps what it was given."""

    class Done:
        def __init__(self, value):
            self.value, self.cancelled = value, False

        def done(self):
            return True

        def result(self, timeout=None):
            return self.value

        def cancel(self):
            self.cancelled = True

    def __init__(self):
        self.payloads = []

    def submit(self, fn, payload):
        self.payloads.append(payload)
        return self.Done(fn(payload))


@pytest.mark.parametrize("where", ["pool", "cluster"])
@pytest.mark.parametrize("chunk_size", [None, 1, 37])
def test_batches_on_workers_are_those_of_this_process(where, chunk_size, request):
    ex = request.getfixturevalue(where)
    batch = programs(150)
    np.random.seed(4)
    here = CPUQVM().run_batch(batch, 300)
    np.random.seed(4)
    there = CPUQVM().run_batch(batch, 300, executor=ex, chunk_size=chunk_size)
    assert there == here
    assert CPUQVM(seed=9).run_batch(batch, 50, executor=ex, chunk_size=chunk_size) == \
        CPUQVM(seed=9).run_batch(batch, 50)
    unmeasured = [p.to_circuit() for p in programs(60, measured=False)]
    rows = CPUQVM().prob_batch(unmeasured, [0, 1], executor=ex, chunk_size=chunk_size)
    assert rows.tolist() == CPUQVM().prob_batch(unmeasured, [0, 1]).tolist()
    # A sweep given an executor ships its rows bound into programs.
    t = ParameterVector("t", 2)
    swept = QCircuit() << RY(0, t[0]) << CNOT(0, 2) << RY(2, t[1])
    values = np.linspace(-2, 2, 14).reshape(7, 2)
    rows = CPUQVM().prob_batch(swept, parameter_values=values, executor=ex, chunk_size=chunk_size)
    assert rows.shape == (7, 8)
    assert np.allclose(rows, CPUQVM().prob_batch(swept, parameter_values=values), atol=1e-14)


def wide_programs(count):
    # 14 qubits and 100 gates: about 1.6e6 amplitude updates each.
    out = []
    for k in range(count):
        p = QProg(14)
        for g in range(50):
            p << H(g % 14) << CNOT(g % 14, (g + k % 13 + 1) % 14)
        out.append(p << measure(0, 0))
    return out


def test_the_current_executor_takes_only_batches_worth_shipping():
    ex, small, large = Recorder(), programs(100), wide_programs(150)
    np.random.seed(2)
    expected = [CPUQVM().run_batch(small, 100), CPUQVM().run_batch(large, 100)]
    np.random.seed(2)
    with kestrix.parallel.executor(ex) as current:
        assert current is ex and kestrix.parallel.current() is ex
        got = [CPUQVM().run_batch(small, 100)]
        assert ex.payloads == []  # too little work to gain from shipping
        got.append(CPUQVM().run_batch(large, 100))
        assert len(ex.payloads) > 1  # the large batch, in several chunks
    assert kestrix.parallel.current() is None
    assert got == expected
    # Each thread keeps its own: a batch in another thread stays in its process.
    seen = []
    with kestrix.parallel.executor(Recorder()):
        worker = threading.Thread(target=lambda: seen.append(kestrix.parallel.current()))
        worker.start()
        worker.join()
    assert seen == [None]


class Corrupting(Recorder):
    """Damages every chunk before a real pool runs it."""

    def __init__(self, pool):
        super().__init__()
        self.pool = pool

    def submit(self, fn, payload):
        return self.pool.submit(fn, payload[:-3])


def test_a_workers_error_reaches_the_caller_as_raised(pool):
    with pytest.raises(ValueError, match="cannot read this batch: the data is damaged"):
        CPUQVM(seed=1).run_batch(programs(40), 10, executor=Corrupting(pool), chunk_size=10)


def test_a_worker_of_another_version_refuses_the_batch():
    ex = Recorder()
    CPUQVM(seed=1).run_batch(programs(3), 10, executor=ex)
    mine = kestrix.__version__.encode()
    other = b"9" * len(mine)
    with pytest.raises(RuntimeError, match="batch comes from kestrix 9+: install the same"):
        kestrix.core._run_shipped_chunk(ex.payloads[0].replace(mine, other, 1))


class Slow:
    """Futures that never finish, and remember being cancelled."""

    class Pending:
        def __init__(self):
            self.cancelled = False

        def done(self):
            return False

        def cancel(self):
            self.cancelled = True

    def __init__(self):
        self.futures = []

    def submit(self, fn, payload):
        self.futures.append(self.Pending())
        return self.futures[-1]


def test_ctrl_c_cancels_the_pending_chunks():
    ex = Slow()
    with ctrl_c_after(0.3), pytest.raises(KeyboardInterrupt):
        CPUQVM(seed=1).run_batch(programs(50), 10, executor=ex, chunk_size=10)
    assert len(ex.futures) == 5 and all(f.cancelled for f in ex.futures)


@pytest.mark.parametrize("bad", [object(), 3, "client"])
def test_what_is_not_an_executor_is_a_type_error(bad):
    with pytest.raises(TypeError, match="expected an executor with a submit method"):
        CPUQVM().run_batch(programs(2), 10, executor=bad)
    with pytest.raises(TypeError, match="expected an executor"):
        with kestrix.parallel.executor(bad):
            pass


class KillingOneWorker:
    """Submits to a Dask client and kills one worker's process right after the third
    chunk, while the batch is under way."""

    def __init__(self, client):
        self.client, self.submitted = client, 0
        self.victim = list(client.run(os.getpid).values())[0]

    def submit(self, fn, payload):
        future = self.client.submit(fn, payload, pure=False)
        self.submitted += 1
        if self.submitted == 3:
            os.kill(self.victim, signal.SIGKILL)
        return future


def test_a_worker_killed_mid_batch_loses_nothing(cluster):
    # Dask reruns the chunks of a lost worker elsewhere: the same answer, none twice.
    batch = programs(400)
    np.random.seed(7)
    expected = CPUQVM().run_batch(batch, 20_000)
    ex = KillingOneWorker(cluster)
    np.random.seed(7)
    got = CPUQVM().run_batch(batch, 20_000, executor=ex, chunk_size=10)
    assert ex.submitted == 40 and got == expected
    with pytest.raises(ProcessLookupError):
        os.kill(ex.victim, 0)
