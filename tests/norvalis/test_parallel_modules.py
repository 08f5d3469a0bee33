"""The module paths that run batches of circuits take the executor of
kestrix.parallel.executor: the quantum kernel's matrix, the SVR kernel and k-means give bit
for bit what they give in this process, on a Dask LocalCluster and a process pool."""
import numpy as np
import pytest

import kestrix.parallel
from norvalis.QKmeans import Vandemir
from norvalis.QSVM import QuantumKernel_lumet
from norvalis.Quillan import Quantum_SVR


class Counting:
    """An executor's submit, counted, so that a test knows the batches really travelled."""

    def __init__(self, ex):
        self.ex, self.chunks = ex, 0

    def submit(self, fn, payload):
        self.chunks += 1
        return self.ex.submit(fn, payload)


def both_ways(run, ex, seed):
    np.random.seed(seed)
    here = run()
    counting = Counting(ex)
    np.random.seed(seed)
    with kestrix.parallel.executor(counting):
        there = run()
    return here, there, counting.chunks


@pytest.mark.parametrize("where", ["cluster", "pool"])
def test_kernel_matrices_and_k_means_on_workers(where, request):
    ex = request.getfixturevalue(where)
    X = np.random.default_rng(1).random((300, 2))  # 44,850 overlap circuits
    here, there, chunks = both_ways(lambda: QuantumKernel_lumet(n_qbits=2).evaluate(X), ex, 3)
    assert chunks > 1 and np.array_equal(here, there)

    rng = np.random.default_rng(2)
    blobs = np.vstack([rng.normal(c, 0.1, size=(4000, 2)) for c in ([-0.5, -0.5], [0.5, 0.5])])
    (c1, l1), (c2, l2), chunks = both_ways(lambda: Vandemir(4, tol=0.3).fit(blobs), ex, 5)
    assert chunks > 1 and np.array_equal(c1, c2) and np.array_equal(l1, l2)


def test_the_svr_kernel_on_a_cluster(cluster):
    X = np.random.default_rng(4).random((220, 2))
    svr = Quantum_SVR(X[:3], np.zeros(3))
    here, there, chunks = both_ways(lambda: svr.k_kernel(X, X), cluster, 6)
    assert chunks > 1 and np.array_equal(here, there)
