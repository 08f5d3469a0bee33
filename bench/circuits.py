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


def blocks(n, k):
    """Gates that fuse into one k-qubit block (k = 2 or 3) per disjoint group of k qubits:
    n // k passes over the state."""
    gates = []
    for q in range(0, n - k + 1, k):
        group = list(range(q, q + k))
        for a, b in zip(group, group[1:] + group[:1]):
            gates += [("rx", a, 0.3), ("ry", b, 0.7), ("cx", a, b), ("rz", b, 0.1)]
    return gates
