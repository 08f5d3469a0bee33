"""Shared test helpers live in tests/support: the dense reference model, hostile values,
child interpreters, Ctrl-C timers and the fuzzer. Every test imports them by name. The
executors that batches are shipped to are fixtures here, started once per session."""
import concurrent.futures
import multiprocessing
import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))


@pytest.fixture(scope="session")
def pool():
    """A process pool of two, spawned (this process runs the engine's threads)."""
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as ex:
        yield ex


@pytest.fixture(scope="session")
def cluster():
    """A Dask client of a LocalCluster of two single-threaded worker processes on the
    loopback interface, closed when the session ends."""
    distributed = pytest.importorskip("distributed", reason="Dask is an optional test peer")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None,
                                  env={"KESTRIX_NUM_THREADS": "1"}) as local, \
            distributed.Client(local, timeout=60) as client:
        yield client
