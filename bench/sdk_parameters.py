"""Circuits with parameters: sweeps planned once, and exact gradients, beside Qiskit Aer
and PennyLane Lightning where they install.

Sweep: 1,000 rows of values for a 12-qubit hardware-efficient ansatz with 100 parameters
(RY and RZ layers, a CNOT chain after each), every row's probabilities: (1) one sweep,
planned once, the rows spread over the threads; (2) each row bound in C++ and the bound
circuits run as one batch; (3) the circuit rebuilt gate by gate in Python per row and run
(what a loss without parameters does); (4) Qiskit's assign_parameters per row and Aer's
statevector method on the bound circuits. Target: (1) at least 10x faster than (3).

Gradient: <H> and its gradient over 160 parameters (20 qubits, 4 layers of RY and RZ, CNOT
chains), H a sum of 20 random Pauli strings, by the adjoint method; beside PennyLane
Lightning's adjoint differentiation and Qiskit's reverse gradient (the values must agree).
Target: at least 2x faster than Lightning.

Run: make bench   (or .venv/bin/python bench/sdk_parameters.py [--rows 1000] [--qubits 20])
Peers (optional): pip install qiskit-aer pennylane-lightning qiskit-algorithms
"""
import argparse

import numpy as np
from results import recorded
from timing import timed

from kestrix.core import CNOT, CPUQVM, RY, RZ, ParameterVector, QCircuit
from kestrix.quantum_info import PauliSum, gradient


def ansatz(n, count, angles):
    """Layers of RY then RZ on every qubit and a CNOT chain, until `count` angles are used."""
    c, k = QCircuit(), 0
    while k < count:
        for gate in (RY, RZ):
            for q in range(n):
                if k < count:
                    c << gate(q, angles[k])
                    k += 1
        for q in range(n - 1):
            c << CNOT(q, q + 1)
    return c


def qiskit_ansatz(n, count, angles):
    from qiskit import QuantumCircuit
    qc, k = QuantumCircuit(n), 0
    while k < count:
        for name in ("ry", "rz"):
            for q in range(n):
                if k < count:
                    getattr(qc, name)(angles[k], q)
                    k += 1
        for q in range(n - 1):
            qc.cx(q, q + 1)
    return qc


def sweep(rows_count):
    n, count = 12, 100
    t = ParameterVector("t", count)
    circuit = ansatz(n, count, t)
    rows = np.random.default_rng(0).uniform(-np.pi, np.pi, size=(rows_count, count))
    machine = CPUQVM()
    swept, probs = timed(lambda: machine.prob_batch(circuit, parameter_values=rows))
    bound, _ = timed(lambda: machine.prob_batch([circuit.bind(r) for r in rows]))
    rebuilt, again = timed(
        lambda: np.array([machine.run(ansatz(n, count, r)).get_prob_list() for r in rows]),
        repeats=1)
    assert np.allclose(probs, again, atol=1e-12)
    print(f"sweep, {rows_count} rows, {n} qubits, {count} parameters")
    print(f"  one sweep, planned once            {swept * 1e3:8.1f} ms")
    print(f"  bound in C++ per row, one batch    {bound * 1e3:8.1f} ms  ({bound / swept:.1f}x)")
    print(f"  rebuilt in Python per row and run  {rebuilt * 1e3:8.1f} ms  "
          f"({rebuilt / swept:.1f}x; goal >= 10x)")
    try:
        from qiskit.circuit import ParameterVector as QiskitVector
        from qiskit_aer import AerSimulator
    except ImportError:
        print("  Qiskit Aer: not installed")
        return
    theta = QiskitVector("t", count)
    template = qiskit_ansatz(n, count, theta)
    template.save_probabilities()
    simulator = AerSimulator(method="statevector")

    def aer():
        circuits = [template.assign_parameters(r) for r in rows]
        result = simulator.run(circuits).result()
        return [result.data(i)["probabilities"] for i in range(len(circuits))]

    theirs, aer_probs = timed(aer, repeats=1)
    assert np.allclose(aer_probs[0], probs[0], atol=1e-9)
    print(f"  Qiskit assign_parameters + Aer     {theirs * 1e3:8.1f} ms  ({theirs / swept:.1f}x)")


def gradients(n, layers, terms):
    count = 2 * n * layers
    rng = np.random.default_rng(1)
    labels = ["".join(rng.choice(list("IXYZ"), n)) for _ in range(terms)]
    coefficients = rng.normal(size=terms)
    h = PauliSum(list(zip(labels, coefficients)))
    t = ParameterVector("t", count)
    circuit = ansatz(n, count, t)
    values = rng.uniform(-np.pi, np.pi, size=count)
    ours, (energy, grad) = timed(lambda: gradient(h, circuit, values), repeats=2)
    print(f"adjoint gradient, {n} qubits, {count} parameters, {terms} terms")
    print(f"  kestrix                            {ours * 1e3:8.1f} ms")
    try:
        import pennylane as qml
    except ImportError:
        print("  PennyLane Lightning: not installed")
    else:
        device = qml.device("lightning.qubit", wires=n)
        # PennyLane wire w is our qubit n - 1 - w, so label position k (qubit n - 1 - k) is
        # wire k.
        observable = qml.Hamiltonian(
            list(coefficients),
            [qml.prod(*[getattr(qml, "Pauli" + ch)(k) for k, ch in enumerate(label)
                        if ch != "I"]) if label.strip("I") else qml.Identity(0)
             for label in labels])

        @qml.qnode(device, diff_method="adjoint")
        def energy_of(x):
            k = 0
            while k < count:
                for rot in (qml.RY, qml.RZ):
                    for q in range(n):
                        if k < count:
                            rot(x[k], wires=n - 1 - q)
                            k += 1
                for q in range(n - 1):
                    qml.CNOT(wires=[n - 1 - q, n - 2 - q])
            return qml.expval(observable)

        x = qml.numpy.array(values, requires_grad=True)
        theirs, their_grad = timed(lambda: qml.grad(energy_of)(x), repeats=2)
        assert np.allclose(their_grad, grad, atol=1e-8), np.abs(their_grad - grad).max()
        print(f"  PennyLane Lightning (adjoint)      {theirs * 1e3:8.1f} ms  "
              f"({theirs / ours:.1f}x; goal >= 2x)")
    try:
        from qiskit.circuit import ParameterVector as QiskitVector
        from qiskit.quantum_info import SparsePauliOp
        from qiskit_algorithms.gradients import ReverseEstimatorGradient
    except ImportError:
        print("  Qiskit reverse gradient: not installed")
        return
    if n > 16:
        # Its dense matrices take minutes past 16 qubits (2.7 s at 14 on this machine).
        print("  Qiskit ReverseEstimatorGradient    skipped past 16 qubits (--qubits 14 runs it)")
        return
    theta = QiskitVector("t", count)
    qc = qiskit_ansatz(n, count, theta)
    op = SparsePauliOp(labels, coefficients)
    reverse = ReverseEstimatorGradient()
    theirs, job = timed(lambda: reverse.run([qc], [op], [values]).result(), repeats=1)
    assert np.allclose(job.gradients[0], grad, atol=1e-8)
    print(f"  Qiskit ReverseEstimatorGradient    {theirs * 1e3:8.1f} ms  ({theirs / ours:.1f}x)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1000)
    parser.add_argument("--qubits", type=int, default=20)
    parser.add_argument("--layers", type=int, default=4)
    parser.add_argument("--terms", type=int, default=20)
    args = parser.parse_args()
    sweep(args.rows)
    gradients(args.qubits, args.layers, args.terms)


if __name__ == "__main__":
    with recorded(__file__):
        main()
