"""Noisy simulation, beside Qiskit Aer where it installs.

Trajectories: a 16-qubit layered circuit (an RX and an RZ on every qubit, then a CNOT
ring; 10 layers, 480 gates) with depolarising noise after every gate (p = 0.001 on one
qubit, 0.01 on two), 1024 measured shots, against Aer's state-vector method with the same
noise model (one trajectory per shot). Density matrix: the same circuit on 10 qubits,
probabilities of the exact noisy state, against Aer's density-matrix method (the states
must agree to 1e-9).

Run: make bench   (or .venv/bin/python bench/sdk_noise.py [--qubits 16] [--dm-qubits 10])
Peer (optional): pip install qiskit-aer
"""
import argparse

import numpy as np
from results import recorded
from timing import best_time

import kestrix.noise as kn
from kestrix.core import CNOT, CPUQVM, RX, RZ, QCircuit, QProg, measure
from kestrix.quantum_info import DensityMatrix

P1, P2, LAYERS, SHOTS = 0.001, 0.01, 10, 1024


def angles(n):
    return np.random.default_rng(0).uniform(-np.pi, np.pi, size=(LAYERS, n, 2))


def ours_circuit(n):
    c = QCircuit()
    for layer in angles(n):
        for q, (a, b) in enumerate(layer):
            c << RX(q, float(a)) << RZ(q, float(b))
        for q in range(n):
            c << CNOT(q, (q + 1) % n)
    return c


def ours_model():
    m = kn.NoiseModel()
    m.add(kn.depolarizing(P1), ["RX", "RZ"])
    m.add(kn.depolarizing(P2, 2), ["CNOT"])
    return m


def aer_parts(n, measured):
    """(simulator maker, circuit, noise model) for Aer, or None where it does not install."""
    try:
        from qiskit import QuantumCircuit
        from qiskit_aer import AerSimulator
        from qiskit_aer import noise as aer_noise
    except ImportError:
        return None
    qc = QuantumCircuit(n)
    for layer in angles(n):
        for q, (a, b) in enumerate(layer):
            qc.rx(float(a), q)
            qc.rz(float(b), q)
        for q in range(n):
            qc.cx(q, (q + 1) % n)
    if measured:
        qc.measure_all()
    else:
        qc.save_density_matrix()
    model = aer_noise.NoiseModel()
    model.add_all_qubit_quantum_error(aer_noise.depolarizing_error(P1, 1), ["rx", "rz"])
    model.add_all_qubit_quantum_error(aer_noise.depolarizing_error(P2, 2), ["cx"])
    return AerSimulator, qc, model


def report(name, ours, peer, goal):
    line = f"{name:<52} kestrix {ours * 1e3:9.1f} ms"
    if peer is not None:
        line += f"   Aer {peer * 1e3:9.1f} ms   ({peer / ours:.1f}x, goal {goal:.0f}x)"
    print(line)


def trajectories(n):
    program = QProg(n) << ours_circuit(n) << measure(list(range(n)), list(range(n)))
    qvm = CPUQVM(seed=1, noise=ours_model())
    ours = best_time(lambda: qvm.run(program, SHOTS), 3)
    peer = None
    if (parts := aer_parts(n, True)) is not None:
        from qiskit import transpile

        make, qc, model = parts
        sim = make(method="statevector", noise_model=model, seed_simulator=1)
        qc = transpile(qc, sim, optimization_level=0)
        # One round: Aer takes a while here, and its spread between rounds is small.
        peer = best_time(lambda: sim.run(qc, shots=SHOTS).result(), 1)
    report(f"{n} qubits, {LAYERS} layers, {SHOTS} shots, trajectories", ours, peer, 2)


def density(n):
    circuit, model = ours_circuit(n), ours_model()
    ours, rho = float("inf"), None
    ours = best_time(lambda: DensityMatrix(n).evolve(circuit, noise=model), 3)
    rho = DensityMatrix(n).evolve(circuit, noise=model)
    peer = None
    if (parts := aer_parts(n, False)) is not None:
        from qiskit import transpile

        make, qc, aer_model = parts
        sim = make(method="density_matrix", noise_model=aer_model)
        qc = transpile(qc, sim, optimization_level=0)
        peer = best_time(lambda: sim.run(qc).result(), 3)
        theirs = np.asarray(sim.run(qc).result().data()["density_matrix"])
        assert np.abs(np.asarray(rho) - theirs).max() < 1e-9
    report(f"{n} qubits, {LAYERS} layers, exact density matrix", ours, peer, 2)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--qubits", type=int, default=16)
    parser.add_argument("--dm-qubits", type=int, default=10)
    args = parser.parse_args()
    trajectories(args.qubits)
    density(args.dm_qubits)


if __name__ == "__main__":
    with recorded(__file__):
        main()
