"""Expectation values and pickling in kestrix, beside Qiskit where it installs.

expval: exact <psi|H|psi> on a 20-qubit random state, computed on the amplitudes, against
Qiskit's Statevector.expectation_value(SparsePauliOp) on the same state (the values must
agree): 100 random Pauli strings (one pass over the state each), and an Ising model, ZZ on
every pair and X on every qubit (terms that share their X and Y positions share a pass).
Pickling: a phase-estimation-shaped circuit of 16,383 copies of one controlled block,
pickled and read back (its structure is kept, so the bytes stay small).

Run: make bench   (or .venv/bin/python bench/sdk_expval.py [--qubits 20] [--terms 100])
Peer (optional): pip install qiskit
"""
import argparse
import pickle

import numpy as np
from results import recorded
from timing import timed

from kestrix.core import CNOT, RY, RZ, H, QCircuit
from kestrix.quantum_info import PauliSum, StateVector, expval


def random_state(n, rng):
    c = QCircuit()
    for _ in range(2):
        for q in range(n):
            c << RY(q, float(rng.uniform(0, 6))) << RZ(q, float(rng.uniform(0, 6)))
        for q in range(n - 1):
            c << CNOT(q, q + 1)
    return StateVector(n).evolve(c)


def qiskit_expval(labels, coefficients, amplitudes):
    try:
        from qiskit.quantum_info import SparsePauliOp, Statevector
    except ImportError:
        return None
    op = SparsePauliOp(labels, coefficients)
    state = Statevector(amplitudes)
    return timed(lambda: state.expectation_value(op).real)


def compare(name, labels, coefficients, state):
    h = PauliSum(list(zip(labels, coefficients)))
    ours, value = timed(lambda: expval(h, state))
    line = f"{name:<34} kestrix {ours * 1e3:8.1f} ms"
    peer = qiskit_expval(labels, coefficients, np.asarray(state))
    if peer is not None:
        theirs, reference = peer
        assert abs(value - reference) < 1e-9, (value, reference)
        line += f"   Qiskit {theirs * 1e3:8.1f} ms   ({theirs / ours:.1f}x)"
    print(line)
    return h


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qubits", type=int, default=20)
    parser.add_argument("--terms", type=int, default=100)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    state = random_state(args.qubits, rng)
    n = args.qubits
    labels = ["".join(rng.choice(list("IXYZ"), n)) for _ in range(args.terms)]
    h = compare(f"{args.terms} random strings, {n} qubits", labels, rng.normal(size=args.terms),
                state)
    ising = [("".join("Z" if q in (a, b) else "I" for q in range(n)), 1.0)
             for a in range(n) for b in range(a + 1, n)]
    ising += [("".join("X" if q == a else "I" for q in range(n)), 0.5) for a in range(n)]
    compare(f"Ising, {len(ising)} terms, {n} qubits", *zip(*ising), state)
    sampled, _ = timed(lambda: expval(h, state, shots=1000, seed=1))
    print(f"{args.terms} random strings, 1000 shots each  kestrix {sampled * 1e3:8.1f} ms")

    block = QCircuit() << H(0) << RY(1, 0.3) << CNOT(0, 1) << RZ(1, 0.2)
    qpe = QCircuit()
    for _ in range(16383):
        qpe << block.control([2])
    seconds, data = timed(lambda: pickle.dumps(qpe))
    back_seconds, back = timed(lambda: pickle.loads(data))
    assert back == qpe
    print(f"pickle 16,383 repeated blocks ({len(qpe)} gates): {len(data):,} bytes, "
          f"dumps {seconds * 1e3:.1f} ms, loads {back_seconds * 1e3:.1f} ms")


if __name__ == "__main__":
    with recorded(__file__):
        main()
