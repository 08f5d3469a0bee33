"""The one random-circuit generator of the engine tests. It builds a kestrix circuit and,
alongside and independently of the SDK, the list of reference ops that the dense model in
reference.py runs: every gate kind, extra controls, daggers, nested sub-circuits that are
controlled or inverted, clusters of gates on a few qubits (so that every fused width
occurs) and runs of identical controlled blocks (which the engine may fold into one
matrix power); on request, UNITARY gates and long diagonal runs too."""
import numpy as np

from kestrix.core import (
    CNOT,
    CR,
    CZ,
    RX,
    RY,
    RZ,
    SWAP,
    TOFFOLI,
    U1,
    U2,
    U3,
    UNITARY,
    H,
    I,
    QCircuit,
    X,
    Y,
    Z,
)

KINDS = {"H": (H, 1, 0), "X": (X, 1, 0), "Y": (Y, 1, 0), "Z": (Z, 1, 0), "I": (I, 1, 0),
         "RX": (RX, 1, 1), "RY": (RY, 1, 1), "RZ": (RZ, 1, 1), "U1": (U1, 1, 1),
         "U2": (U2, 1, 2), "U3": (U3, 1, 3), "CNOT": (CNOT, 2, 0), "CZ": (CZ, 2, 0),
         "CR": (CR, 2, 1), "SWAP": (SWAP, 2, 0), "TOFFOLI": (TOFFOLI, 3, 0)}


def random_gate(rng, qubits, max_controls=3, kinds=KINDS):
    """One gate on `qubits` (a list of candidates) and its reference op."""
    name = str(rng.choice([k for k in kinds if KINDS[k][1] <= len(qubits)]))
    make, arity, count = KINDS[name]
    picked = [int(q) for q in rng.permutation(qubits)]
    targets, free = picked[:arity], picked[arity:]
    params = [float(x) for x in rng.uniform(-2 * 3.14159, 2 * 3.14159, count)]
    gate, controls, dagger = make(*targets, *params), [], False
    if free and max_controls and rng.random() < 0.25:
        controls = free[: int(rng.integers(1, min(max_controls, len(free)) + 1))]
        gate = gate.control(controls)
    if rng.random() < 0.25:
        gate, dagger = gate.dagger(), True
    return gate, [(name, targets, params, controls, dagger)]


def under(ops, controls, dagger):
    """Reference ops of a sub-circuit appended under extra controls and/or inverted."""
    ops = [(name, q, p, c + controls, d) for name, q, p, c, d in ops]
    return [(name, q, p, c, not d) for name, q, p, c, d in reversed(ops)] if dagger else ops


DIAGONAL = ["Z", "RZ", "U1", "CZ", "CR"]


def random_unitary(rng, k):
    """A random 2^k x 2^k unitary (QR of a complex Gaussian matrix)."""
    z = rng.normal(size=(2**k, 2**k)) + 1j * rng.normal(size=(2**k, 2**k))
    q, r = np.linalg.qr(z)
    return q * (np.diag(r) / np.abs(np.diag(r)))


def random_dense_gate(rng, n):
    """A UNITARY gate on 1 to 4 qubits, maybe controlled or inverted, and its op."""
    k = int(rng.integers(1, min(n, 4) + 1))
    picked = [int(q) for q in rng.permutation(n)]
    targets, free = picked[:k], picked[k:]
    matrix = random_unitary(rng, k)
    gate, controls, dagger = UNITARY(targets, matrix), [], False
    if free and rng.random() < 0.3:
        controls = free[: int(rng.integers(1, min(2, len(free)) + 1))]
        gate = gate.control(controls)
    if rng.random() < 0.3:
        gate, dagger = gate.dagger(), True
    return gate, [("UNITARY", targets, matrix, controls, dagger)]


def random_circuit(rng, n, size, depth=0, every_kind=False):
    """(QCircuit, reference ops) of about `size` gates on n qubits. With every_kind, also
    UNITARY gates and long runs of diagonal gates across many qubits (which the engine
    fuses into one wide diagonal)."""
    circuit, ops = QCircuit(), []
    while len(ops) < size:
        roll = rng.random()
        if every_kind and roll < 0.08:
            gate, gate_ops = random_dense_gate(rng, n)
            circuit << gate
            ops += gate_ops
            continue
        if every_kind and roll < 0.14 and n >= 2:
            for _ in range(int(rng.integers(6, 6 + 2 * n))):
                gate, gate_ops = random_gate(rng, list(range(n)), kinds=DIAGONAL)
                circuit << gate
                ops += gate_ops
            continue
        if depth < 2 and roll < 0.12:
            sub, sub_ops = random_circuit(rng, n, int(rng.integers(1, 6)), depth + 1, every_kind)
            used = {x for _, t, _, c, _ in sub_ops for x in t + c}
            free = [q for q in range(n) if q not in used]
            controls = [int(q) for q in rng.permutation(free)[: rng.integers(0, 3)]]
            dagger = bool(rng.random() < 0.5)
            block = sub.dagger() if dagger else sub
            block = block.control(controls) if controls else block
            copies = int(rng.integers(2, 9)) if roll < 0.04 else 1
            for _ in range(copies):
                circuit << block
                ops += under(sub_ops, controls, dagger)
        elif roll < 0.3 and n >= 2:
            window = [int(q) for q in rng.permutation(n)[: rng.integers(2, min(n, 5) + 1)]]
            for _ in range(int(rng.integers(4, 13))):
                gate, gate_ops = random_gate(rng, window, max_controls=0)
                circuit << gate
                ops += gate_ops
        else:
            gate, gate_ops = random_gate(rng, list(range(n)))
            circuit << gate
            ops += gate_ops
    return circuit, ops
