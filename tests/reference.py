"""A deliberately slow, independent model of the SDK's gates: every gate and circuit is
a full 2^n x 2^n NumPy matrix (index bit k = qubit k), built from the textbook
definitions with scipy's matrix exponential. Tests compare the engine against it."""
import numpy as np
from scipy.linalg import expm

PAULI = {
    "X": np.array([[0, 1], [1, 0]], dtype=complex),
    "Y": np.array([[0, -1j], [1j, 0]], dtype=complex),
    "Z": np.array([[1, 0], [0, -1]], dtype=complex),
}


def u3(theta, phi, lam):
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    return np.array([[c, -np.exp(1j * lam) * s],
                     [np.exp(1j * phi) * s, np.exp(1j * (phi + lam)) * c]])


def single_qubit(name, *params):
    if name in ("RX", "RY", "RZ"):
        return expm(-1j * params[0] * PAULI[name[1]] / 2)
    if name == "U1":
        return np.diag([1, np.exp(1j * params[0])])
    if name == "U2":
        return u3(np.pi / 2, *params)
    if name == "U3":
        return u3(*params)
    if name == "H":
        return np.array([[1, 1], [1, -1]], dtype=complex) / np.sqrt(2)
    if name == "I":
        return np.eye(2, dtype=complex)
    return PAULI[name]


def embed(u, targets, n):
    """The n-qubit matrix of `u` acting on `targets` (local index bit j = targets[j])."""
    dim = 2 ** n
    full = np.zeros((dim, dim), dtype=complex)
    k = len(targets)
    for i in range(dim):
        local = sum(((i >> t) & 1) << j for j, t in enumerate(targets))
        rest = i & ~sum(1 << t for t in targets)
        for out in range(2 ** k):
            j = rest | sum(((out >> b) & 1) << t for b, t in enumerate(targets))
            full[j, i] += u[out, local]
    return full


def controlled(full, controls, n):
    """Acts as `full` where every control qubit is 1, as identity elsewhere."""
    mask = sum(1 << c for c in controls)
    on = np.array([(i & mask) == mask for i in range(2 ** n)], dtype=float)
    p = np.diag(on)
    return np.eye(2 ** n) - p + p @ full


def gate_matrix(name, qubits, params, n):
    if name == "CNOT":
        return controlled(embed(PAULI["X"], [qubits[1]], n), [qubits[0]], n)
    if name == "CZ":
        return controlled(embed(PAULI["Z"], [qubits[1]], n), [qubits[0]], n)
    if name == "CR":
        return controlled(embed(single_qubit("U1", params[0]), [qubits[1]], n), [qubits[0]], n)
    if name == "TOFFOLI":
        return controlled(embed(PAULI["X"], [qubits[2]], n), qubits[:2], n)
    if name == "SWAP":
        swap = np.eye(4, dtype=complex)[[0, 2, 1, 3]]
        return embed(swap, qubits, n)
    return embed(single_qubit(name, *params), qubits, n)


def zero_state(n):
    psi = np.zeros(2 ** n, dtype=complex)
    psi[0] = 1
    return psi
