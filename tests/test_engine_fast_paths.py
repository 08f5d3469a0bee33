"""The engine's fast paths seen from Python: fused and multi-threaded execution of wide
circuits, runs of identical blocks folded into one matrix power, and shot sampling. Each
is checked against a plain NumPy state-vector model or against the engine's own
one-gate-at-a-time path."""

import math

import numpy as np
import pytest

from kestrix.core import (BARRIER, CNOT, CPUQVM, CR, CZ, H, I, QCircuit, QProg, RX, RY, RZ,
                          SWAP, TOFFOLI, U1, U2, U3, X, Y, Z, measure)
from kestrix.quantum_info import StateVector

ONE_QUBIT = {
    "H": np.array([[1, 1], [1, -1]]) / math.sqrt(2),
    "X": np.array([[0, 1], [1, 0]]),
    "Y": np.array([[0, -1j], [1j, 0]]),
    "Z": np.diag([1, -1]),
    "I": np.eye(2),
}


def u3(theta, phi, lam):
    c, s = math.cos(theta / 2), math.sin(theta / 2)
    return np.array([[c, -np.exp(1j * lam) * s],
                     [np.exp(1j * phi) * s, np.exp(1j * (phi + lam)) * c]])


def gate_matrix(g):
    """(matrix, targets, controls) of a gate, targets[j] being bit j of the local index."""
    name, q, p = g.name, list(g.qubits), list(g.params)
    controls = list(g.controls)
    if name in ONE_QUBIT:
        m = ONE_QUBIT[name]
    elif name in ("RX", "RY", "RZ"):
        c, s = math.cos(p[0] / 2), math.sin(p[0] / 2)
        m = {"RX": np.array([[c, -1j * s], [-1j * s, c]]),
             "RY": np.array([[c, -s], [s, c]]),
             "RZ": np.diag([np.exp(-0.5j * p[0]), np.exp(0.5j * p[0])])}[name]
    elif name == "U1":
        m = np.diag([1, np.exp(1j * p[0])])
    elif name == "U2":
        m = u3(math.pi / 2, *p)
    elif name == "U3":
        m = u3(*p)
    elif name in ("CNOT", "CZ", "CR"):
        controls.append(q[0])
        q = q[1:]
        m = {"CNOT": ONE_QUBIT["X"], "CZ": ONE_QUBIT["Z"]}.get(name)
        if name == "CR":
            m = np.diag([1, np.exp(1j * p[0])])
    elif name == "TOFFOLI":
        controls += q[:2]
        q = q[2:]
        m = ONE_QUBIT["X"]
    elif name == "SWAP":
        m = np.eye(4)[[0, 2, 1, 3]]
    m = np.asarray(m, dtype=complex)
    return (m.conj().T if g.is_dagger else m), q, controls


def numpy_state(circuit, n):
    """Amplitudes of `circuit` applied to |0...0>, one gate at a time with NumPy."""
    psi = np.zeros(2**n, dtype=complex)
    psi[0] = 1
    index = np.arange(2**n)
    for g in circuit:
        if g.name in ("BARRIER", "MEASURE"):
            continue
        m, targets, controls = gate_matrix(g)
        cmask = sum(1 << c for c in controls)
        tmask = sum(1 << t for t in targets)
        base = index[((index & tmask) == 0) & ((index & cmask) == cmask)]
        offsets = [sum(((c >> j) & 1) << t for j, t in enumerate(targets))
                   for c in range(2 ** len(targets))]
        cells = base[:, None] + np.array(offsets)[None, :]
        psi[cells] = psi[cells] @ m.T
    return psi


def random_circuit(n, size, rng, qubits=None):
    qubits = list(range(n)) if qubits is None else qubits
    kinds = [(H, 1, 0), (X, 1, 0), (Y, 1, 0), (Z, 1, 0), (I, 1, 0), (RX, 1, 1), (RY, 1, 1),
             (RZ, 1, 1), (U1, 1, 1), (U2, 1, 2), (U3, 1, 3), (CNOT, 2, 0), (CZ, 2, 0),
             (CR, 2, 1), (SWAP, 2, 0), (TOFFOLI, 3, 0)]
    c = QCircuit()
    for _ in range(size):
        make, arity, nparams = kinds[rng.integers(len(kinds))]
        extra = int(rng.integers(0, 2)) if rng.random() < 0.2 else 0
        picked = [int(q) for q in rng.choice(qubits, arity + extra, replace=False)]
        g = make(*picked[:arity], *rng.uniform(-4, 4, nparams))
        if extra:
            g = g.control(picked[arity:])
        if rng.random() < 0.25:
            g = g.dagger()
        c << g
    return c


@pytest.mark.parametrize("n,seed", [(10, 1), (12, 2), (15, 3), (16, 4)])
def test_wide_fused_and_threaded_runs_match_numpy(n, seed):
    c = random_circuit(n, 150, np.random.default_rng(seed))
    want = numpy_state(c, n)
    got = StateVector(n).evolve(c).ndarray()
    assert np.max(np.abs(got - want)) < 1e-10
    m = CPUQVM()
    m.run(QProg(n) << c, 1)
    assert np.max(np.abs(np.array(m.result().get_prob_list()) - np.abs(want) ** 2)) < 1e-10


def test_narrow_circuit_inside_a_wide_state_keeps_its_marginals():
    c = random_circuit(5, 80, np.random.default_rng(8))
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
    want = np.abs(numpy_state(p, 4 + counting)) ** 2
    assert np.max(np.abs(a - want)) < 1e-10


SHARED_OPERATOR = grover_operator()


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
