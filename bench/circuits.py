"""The benchmark workloads as plain gate lists, so every simulator runs the same gates.

A gate is a tuple: ("h", q), ("rx", q, t), ("ry", q, t), ("rz", q, t), ("cx", c, t),
("cp", c, t, theta) (the controlled phase diag(1, 1, 1, e^{i theta})), ("swap", a, b).
"""

import math
import random


def qft(n):
    gates = []
    for t in reversed(range(n)):
        gates.append(("h", t))
        for c in reversed(range(t)):
            gates.append(("cp", c, t, math.pi / 2 ** (t - c)))
    for q in range(n // 2):
        gates.append(("swap", q, n - 1 - q))
    return gates


def layered(n, depth=20, seed=1):
    """RX and RZ on every qubit, then a ring of CNOTs, `depth` times."""
    rng = random.Random(seed)
    gates = []
    for _ in range(depth):
        gates += [("rx", q, rng.uniform(0, 2 * math.pi)) for q in range(n)]
        gates += [("rz", q, rng.uniform(0, 2 * math.pi)) for q in range(n)]
        gates += [("cx", q, (q + 1) % n) for q in range(n)]
    return gates


def tiny(theta):
    """The 2-qubit, 40-gate circuit of kernel and loss evaluations (measured, 1024 shots)."""
    gates = []
    for k in range(10):
        gates += [("h", 0), ("ry", 1, theta), ("cx", 0, 1), ("rz", 0, theta * k)]
    return gates


def triples(n):
    """Gates that fuse into one 3-qubit block per disjoint triple of qubits: n // 3 passes."""
    gates = []
    for q in range(0, n - 2, 3):
        gates += [("rx", q, 0.3), ("cx", q, q + 1), ("ry", q + 2, 0.7), ("cx", q + 1, q + 2),
                  ("rz", q, 0.1), ("cx", q + 2, q)]
    return gates
