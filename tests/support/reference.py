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
    if name == "UNITARY":  # params is the gate's matrix
        return embed(np.asarray(params, dtype=complex), qubits, n)
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


def apply_to_state(psi, u, targets, controls, n):
    """psi after the local matrix `u` on `targets` (local bit j = targets[j]), only where
    every control qubit is 1. Works on wide states without building 2^n matrices."""
    t = psi.reshape([2] * n)  # axis n-1-q is qubit q
    index = [slice(None)] * n
    for c in controls:
        index[n - 1 - c] = 1
    sub = t[tuple(index)]
    # Axes left in `sub`, in order, are the non-control qubits from high to low.
    remaining = [q for q in reversed(range(n)) if q not in controls]
    axes = [remaining.index(q) for q in reversed(targets)]  # highest local bit first
    k = len(targets)
    moved = np.moveaxis(sub, axes, range(k))
    shape = moved.shape
    updated = (u @ moved.reshape(2 ** k, -1)).reshape(shape)
    out = t.copy()
    out[tuple(index)] = np.moveaxis(updated, range(k), axes)
    return out.reshape(-1)


def gate_on_state(psi, name, qubits, params, controls, dagger, n):
    """Applies one SDK gate (with extra controls and dagger flag) to a wide state."""
    extra = list(controls)
    if name in ("CNOT", "CZ", "CR"):
        local = {"CNOT": PAULI["X"], "CZ": PAULI["Z"]}.get(name)
        if local is None:
            local = single_qubit("U1", params[0])
        return apply_to_state(psi, local.conj().T if dagger else local, [qubits[1]],
                              [qubits[0]] + extra, n)
    if name == "TOFFOLI":
        return apply_to_state(psi, PAULI["X"], [qubits[2]], qubits[:2] + extra, n)
    if name == "SWAP":
        return apply_to_state(psi, np.eye(4, dtype=complex)[[0, 2, 1, 3]], qubits, extra, n)
    u = np.asarray(params, dtype=complex) if name == "UNITARY" else single_qubit(name, *params)
    return apply_to_state(psi, u.conj().T if dagger else u, qubits, extra, n)


def gate_unitary(name, qubits, params, controls, dagger, n):
    """The full 2^n x 2^n matrix of one SDK gate with extra controls and dagger flag."""
    full = gate_matrix(name, qubits, params, n)
    if controls:
        full = controlled(full, controls, n)
    return full.conj().T if dagger else full


def circuit_state(ops, n):
    """The state that reference ops (name, qubits, params, controls, dagger) make from
    |0...0>, applied one at a time on the state: fit for wide circuits."""
    psi = zero_state(n)
    for op in ops:
        psi = gate_on_state(psi, *op, n)
    return psi


def circuit_unitary(ops, n):
    """The full matrix of reference ops: fit for narrow circuits only."""
    full = np.eye(2 ** n, dtype=complex)
    for op in ops:
        full = gate_unitary(*op, n) @ full
    return full


def expanded_state(circuit, n):
    """The state from |0...0> of a circuit read back gate by gate (as the SDK expands it,
    each gate with the controls and dagger flag it runs with); measurements and barriers
    are skipped."""
    ops = [(g.name, g.qubits, g.params, g.controls, g.is_dagger) for g in circuit
           if g.name not in ("MEASURE", "BARRIER")]
    return circuit_state(ops, n)


def blas_approx(expected, magnitude):
    """`expected` for an == test, within a few ulps of `magnitude` (the sum of the terms'
    absolute values): NumPy's BLAS adds in an order of its own, which differs between
    CPUs, so a result computed another way may differ from it in its last bits."""
    import pytest

    return pytest.approx(expected, rel=0, abs=16 * np.finfo(float).eps * magnitude)
