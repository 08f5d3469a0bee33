"""The quantum kernel (norvalis.QSVM) against Qiskit Machine Learning's
FidelityQuantumKernel on the same feature map, 1024 shots per entry.

Times the symmetric kernel of 100 two-feature samples (4,950 circuits) and a 100 x 100
test-against-training kernel (10,000 circuits), best of three, in this process. Where
qiskit-machine-learning installs, times its kernel on the same samples once (with
Qiskit Aer's sampler where that installs too, else Qiskit's reference sampler) and checks
that both kernels lie within shot noise of the exact fidelities.

Run: make bench   (or .venv/bin/python bench/algo_ostrakin.py [--samples 100])
Peer (optional): pip install qiskit-machine-learning [qiskit-aer]
"""
import argparse

import numpy as np
from results import recorded
from timing import timed

from norvalis.QSVM import QuantumKernel_lumet

SHOTS = 1024


def seeded(run):
    """(best seconds, result) of three runs, each from the same global seed."""
    return timed(run, before=lambda: np.random.seed(0))


def exact_kernel(xs, ys):
    """Fidelities of the two-qubit feature map, twice: H H, phases 2x_k and the pair
    phase 2(pi - x0)(pi - x1) on states whose two bits differ."""
    b = (np.arange(4)[:, None] >> np.arange(2)) & 1
    h = np.kron([[1, 1], [1, -1]], [[1, 1], [1, -1]]) / 2

    def state(x):
        pair = 2 * (np.pi - x[0]) * (np.pi - x[1])
        phases = np.exp(1j * (b @ (2 * x) + pair * (b[:, 0] ^ b[:, 1])))
        return phases * (h @ (phases * h[:, 0]))

    sx, sy = np.array([state(x) for x in xs]), np.array([state(y) for y in ys])
    return np.abs(sx @ sy.conj().T) ** 2


def qiskit_kernel():
    try:
        from qiskit import QuantumCircuit
        from qiskit.circuit import ParameterVector
        from qiskit_machine_learning.kernels import FidelityQuantumKernel
        from qiskit_machine_learning.state_fidelities import ComputeUncompute
    except ImportError:
        return None, None
    try:
        from qiskit_aer.primitives import SamplerV2
        sampler, name = SamplerV2(default_shots=SHOTS, seed=1), "QML + Aer sampler"
    except ImportError:
        from qiskit.primitives import StatevectorSampler
        sampler, name = StatevectorSampler(default_shots=SHOTS, seed=1), "QML + reference sampler"
    x = ParameterVector("x", 2)
    feature_map = QuantumCircuit(2)
    for _ in range(2):
        for i in range(2):
            feature_map.h(i)
            feature_map.p(2.0 * x[i], i)
        feature_map.cx(0, 1)
        feature_map.p(2.0 * (np.pi - x[0]) * (np.pi - x[1]), 1)
        feature_map.cx(0, 1)
    return FidelityQuantumKernel(feature_map=feature_map,
                                 fidelity=ComputeUncompute(sampler=sampler)), name


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=100)
    m = parser.parse_args().samples
    data = np.random.default_rng(1).uniform(0, 2 * np.pi, size=(2 * m, 2))
    train, test = data[:m], data[m:]
    qk = QuantumKernel_lumet(n_qbits=2)

    pairs = m * (m - 1) // 2
    symmetric_time, ours = seeded(lambda: qk.evaluate(train))
    cross_time, _ = seeded(lambda: qk.evaluate(test, train))
    print(f"quantum kernel, {m} samples, 2 qubits, {SHOTS} shots per entry")
    print(f"  symmetric   {pairs:>6} circuits {symmetric_time * 1e3:8.1f} ms "
          f"({pairs / symmetric_time:,.0f} circuits/s)   goal well under 1 s")
    print(f"  test x train {m * m:>5} circuits {cross_time * 1e3:8.1f} ms "
          f"({m * m / cross_time:,.0f} circuits/s)")

    exact = exact_kernel(train, train)
    upper = np.triu_indices(m, k=1)
    noise = np.sqrt(np.mean(exact[upper] * (1 - exact[upper])) / SHOTS)

    def rms(a, b):
        return float(np.sqrt(np.mean((a[upper] - b[upper]) ** 2)))

    print(f"  rms from exact fidelities {rms(ours, exact):.4f} (shot noise {noise:.4f})")
    peer, name = qiskit_kernel()
    if peer is None:
        print("note: qiskit-machine-learning is not installed; the peer row is skipped")
        return
    peer_time, theirs = timed(lambda: peer.evaluate(train), 1)
    agree = rms(ours, exact) < 1.5 * noise and rms(theirs, exact) < 1.5 * noise \
        and rms(ours, theirs) < 1.5 * np.sqrt(2) * noise
    print(f"  {name:<24} {peer_time * 1e3:10.1f} ms   ours {peer_time / symmetric_time:,.0f}x "
          f"faster   goal >= 50x")
    print(f"  peer rms from exact {rms(theirs, exact):.4f}; ours vs peer {rms(ours, theirs):.4f}; "
          f"within shot noise: {'yes' if agree else 'NO'}")


if __name__ == "__main__":
    with recorded(__file__):
        main()
