"""The engine's fast paths seen from Python: fused and multi-threaded execution of wide
circuits, runs of identical blocks folded into one matrix power, and shot sampling. Each
is checked against the NumPy model in reference.py or against the engine's own
one-gate-at-a-time path."""

import math

import numpy as np
import pytest
import reference as ref
from engine_circuits import random_circuit

from kestrix.core import BARRIER, CNOT, CPUQVM, RX, RY, H, QCircuit, QProg, X, Z, measure
from kestrix.quantum_info import StateVector


@pytest.mark.parametrize("n,seed", [(10, 1), (12, 2), (15, 3), (16, 4)])
def test_wide_fused_and_threaded_runs_match_numpy(n, seed):
    c, ops = random_circuit(np.random.default_rng(seed), n, 150)
    want = ref.circuit_state(ops, n)
    got = StateVector(n).evolve(c).ndarray()
    assert np.max(np.abs(got - want)) < 1e-10
    m = CPUQVM()
    m.run(QProg(n) << c, 1)
    assert np.max(np.abs(np.array(m.result().get_prob_list()) - np.abs(want) ** 2)) < 1e-10


def test_narrow_circuit_inside_a_wide_state_keeps_its_marginals():
    c, _ = random_circuit(np.random.default_rng(8), 5, 80)
    narrow, wide = CPUQVM(), CPUQVM()
    narrow.run(QProg(5) << c, 1)
    wide.run(QProg(17) << c, 1)
    a = np.array(narrow.result().get_prob_list([0, 1, 2, 3, 4]))
    b = np.array(wide.result().get_prob_list([0, 1, 2, 3, 4]))
    assert np.max(np.abs(a - b)) < 1e-10


def grover_operator():
    """A 4-qubit Grover operator, built anew on every call as algorithms build it."""
    c = QCircuit()
    c << X(2) << Z(3).control([0, 1, 2]) << X(2)
    for q in range(4):
        c << H(q) << X(q)
    c << Z(3).control([0, 1, 2])
    for q in range(4):
        c << X(q) << H(q)
    return c


def phase_estimation(counting, block, separate=False):
    n = 4 + counting
    p = QProg(n)
    for q in range(n):
        p << H(q)
    for i in range(counting):
        for _ in range(2**i):
            p << block().control(4 + i)
            if separate:
                p << BARRIER([4 + i])
    return p


@pytest.mark.parametrize("block", [
    grover_operator,
    lambda: grover_operator().dagger(),
    lambda: SHARED_OPERATOR,
], ids=["rebuilt", "daggered", "shared"])
def test_repeated_controlled_blocks_match_copy_by_copy(block):
    counting = 6
    p = phase_estimation(counting, block)
    one_by_one = phase_estimation(counting, block, separate=True)
    folded, plain = CPUQVM(), CPUQVM()
    folded.run(p, 1)
    plain.run(one_by_one, 1)
    a = np.array(folded.result().get_prob_list())
    b = np.array(plain.result().get_prob_list())
    assert np.max(np.abs(a - b)) < 1e-10
    want = np.abs(ref.expanded_state(p, 4 + counting)) ** 2
    assert np.max(np.abs(a - want)) < 1e-10


SHARED_OPERATOR = grover_operator()


def layered_block(width):
    """A block of about 20 gates per qubit on qubits 0..width-1: long enough that its runs
    of 16 copies and more are folded into matrix powers."""
    c = QCircuit()
    for layer in range(3):
        for q in range(width):
            c << RY(q, 0.3 + 0.17 * q + layer) << RX(q, 0.2 * layer + 0.05 * q)
        for q in range(width - 1):
            c << CNOT(q, q + 1)
    return c


@pytest.mark.parametrize("width,dagger", [(7, False), (8, True)])
def test_wide_repeated_controlled_blocks_match_copy_by_copy(width, dagger):
    # Blocks wider than the unrolled kernels: their powers run on the wide dense kernel.
    counting = 8
    n = width + counting
    block = layered_block(width)
    if dagger:
        block = block.dagger()

    def estimation(separate):
        c = QCircuit()
        for q in range(n):
            c << H(q)
        for i in range(counting):
            controlled = block.control(width + i)
            for _ in range(2**i):
                c << controlled
                if separate:
                    c << BARRIER([width + i])
        return c

    folded = StateVector(n).evolve(estimation(False)).ndarray()
    one_by_one = StateVector(n).evolve(estimation(True)).ndarray()
    assert np.max(np.abs(folded - one_by_one)) < 1e-10


def test_shots_follow_the_distribution():
    # Independent qubits with P(1) = sin^2(t / 2); every outcome's count lies within 5
    # standard deviations of shots * p (a false alarm about once in 10^6 runs).
    angles = [0.4, 1.3, 2.5]
    p = QProg(3)
    for q, t in enumerate(angles):
        p << RY(q, t)
    p << measure([0, 1, 2], [0, 1, 2])
    shots = 200_000
    m = CPUQVM(seed=11)
    m.run(p, shots)
    counts = m.result().get_counts()
    ones = [math.sin(t / 2) ** 2 for t in angles]
    for outcome in range(8):
        prob = math.prod(ones[k] if (outcome >> k) & 1 else 1 - ones[k] for k in range(3))
        got = counts.get(format(outcome, "03b"), 0)
        assert abs(got - shots * prob) < 5 * math.sqrt(shots * prob * (1 - prob)) + 1


def test_few_shots_over_many_outcomes():
    # 500 shots over 2^14 equally likely outcomes go through the sorted-uniform sampler.
    n, shots = 14, 500
    p = QProg(n)
    for q in range(n):
        p << H(q)
    p << measure(list(range(n)), list(range(n)))
    runs = []
    for _ in range(2):
        m = CPUQVM(seed=3)
        m.run(p, shots)
        runs.append(m.result().get_counts())
    assert runs[0] == runs[1]
    counts = runs[0]
    assert sum(counts.values()) == shots
    assert all(len(key) == n for key in counts)
    # Expected repeats: shots^2 / (2 * 2^14) ~ 7.6; more than 30 would mean a biased draw.
    assert len(counts) > shots - 30


def test_mid_circuit_measurement_on_a_fused_wide_program():
    n = 12
    p = QProg(n)
    for q in range(2, n):
        p << RX(q, 0.3 * q)
    p << H(0) << measure(0, 0) << CNOT(0, 1) << measure(1, 1)
    m = CPUQVM(seed=5)
    m.run(p, 400)
    counts = m.result().get_counts()
    assert set(counts) <= {"00", "11"}
    assert sum(counts.values()) == 400
    # Qubit 0 reads 1 with probability 1/2: 200 +- 5 sigma (sigma = 10).
    assert abs(counts.get("11", 0) - 200) < 50


def test_a_result_still_held_keeps_its_state_when_the_machine_runs_again():
    # 17 qubits: a state large enough for its memory to be recycled once let go.
    n = 17
    m = CPUQVM()
    first = m.run(QProg(n) << X(0) << H(n - 1), 1)
    before = np.array(first.get_prob_list([0, n - 1]))
    m.run(QProg(n) << X(1), 1)
    assert m.result().get_prob_list([1]) == [0.0, 1.0]
    assert np.allclose(before, [0, 0.5, 0, 0.5])
    assert np.array_equal(np.array(first.get_prob_list([0, n - 1])), before)
