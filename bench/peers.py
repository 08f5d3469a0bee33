"""The same workloads on the peer simulators, through their public Python APIs. Each
factory returns None when its package is not installed."""

import collections
import math
import os


def _threads():
    return int(os.environ.get("OMP_NUM_THREADS", os.cpu_count()))


def aer():
    try:
        from qiskit import QuantumCircuit
        from qiskit_aer import AerSimulator
    except ImportError:
        return None
    sim = AerSimulator(method="statevector", max_parallel_threads=_threads())

    def build(n, gates, measure=False):
        qc = QuantumCircuit(n, n if measure else 0)
        for g in gates:
            name = g[0]
            if name in ("rx", "ry", "rz"):
                getattr(qc, name)(g[2], g[1])
            elif name == "cp":
                qc.cp(g[3], g[1], g[2])
            else:
                getattr(qc, name)(*g[1:])
        if measure:
            qc.measure(range(n), range(n))
        return qc

    def wide(n, gates):
        # Aer skips a circuit whose result nobody reads: one measured shot makes it simulate.
        qc = build(n, gates, True)
        return lambda: sim.run(qc, shots=1).result()

    def tiny(gates):
        return sim.run(build(2, gates, True), shots=1024).result().get_counts()

    return {"name": "Qiskit Aer", "wide": wide, "tiny": tiny}


def qulacs():
    try:
        from qulacs import QuantumCircuit, QuantumState
        from qulacs.circuit import QuantumCircuitOptimizer
        from qulacs.gate import U1, to_matrix_gate
    except ImportError:
        return None

    def build(n, gates):
        c = QuantumCircuit(n)
        for g in gates:
            name = g[0]
            if name == "h":
                c.add_H_gate(g[1])
            elif name in ("rx", "ry", "rz"):
                getattr(c, "add_" + name.upper() + "_gate")(g[1], g[2])
            elif name == "cx":
                c.add_CNOT_gate(g[1], g[2])
            elif name == "swap":
                c.add_SWAP_gate(g[1], g[2])
            elif name == "cp":
                phase = to_matrix_gate(U1(g[2], g[3]))
                phase.add_control_qubit(g[1], 1)
                c.add_gate(phase)
        return c

    def wide(n, gates):
        c = build(n, gates)
        QuantumCircuitOptimizer().optimize_light(c)

        def run():
            state = QuantumState(n)
            c.update_quantum_state(state)

        return run

    def tiny(gates):
        c = build(2, gates)
        state = QuantumState(2)
        c.update_quantum_state(state)
        return collections.Counter(format(x, "02b") for x in state.sampling(1024))

    return {"name": "Qulacs", "wide": wide, "tiny": tiny}


def lightning():
    try:
        import pennylane as qml
    except ImportError:
        return None
    ops = {"h": qml.Hadamard, "rx": qml.RX, "ry": qml.RY, "rz": qml.RZ, "cx": qml.CNOT,
           "swap": qml.SWAP}

    def apply(gates):
        for g in gates:
            if g[0] == "cp":
                qml.ControlledPhaseShift(g[3], wires=[g[1], g[2]])
            elif g[0] in ("rx", "ry", "rz"):
                ops[g[0]](g[2], wires=g[1])
            else:
                ops[g[0]](wires=list(g[1:]))

    def wide(n, gates):
        dev = qml.device("lightning.qubit", wires=n)

        @qml.qnode(dev, diff_method=None)
        def circuit():
            apply(gates)
            return qml.probs(wires=[0])

        return circuit

    tiny_dev = qml.device("lightning.qubit", wires=2)

    def tiny(gates):
        @qml.set_shots(1024)
        @qml.qnode(tiny_dev, diff_method=None)
        def circuit():
            apply(gates)
            return qml.counts(wires=[0, 1])

        return circuit()

    return {"name": "Lightning", "wide": wide, "tiny": tiny}


def qsim():
    """qsim through qsimcirq, at its best gate-fusion width: each workload is timed at
    widths 2, 3 and 4 and the fastest kept (run.py's best_time over the returned list).
    qsim computes in single precision; the others in double, kestrix in both (its rows say
    which)."""
    try:
        import cirq
        import qsimcirq
    except ImportError:
        return None

    def build(n, gates, measure=False):
        q = cirq.LineQubit.range(n)
        ops = []
        for g in gates:
            name = g[0]
            if name == "h":
                ops.append(cirq.H(q[g[1]]))
            elif name in ("rx", "ry", "rz"):
                ops.append(getattr(cirq, name)(g[2]).on(q[g[1]]))
            elif name == "cx":
                ops.append(cirq.CNOT(q[g[1]], q[g[2]]))
            elif name == "swap":
                ops.append(cirq.SWAP(q[g[1]], q[g[2]]))
            elif name == "cp":
                ops.append(cirq.CZPowGate(exponent=g[3] / math.pi).on(q[g[1]], q[g[2]]))
        if measure:
            ops.append(cirq.measure(*q, key="m"))
        return cirq.Circuit(ops)

    def simulator(fusion):
        options = qsimcirq.QSimOptions(max_fused_gate_size=fusion, cpu_threads=_threads())
        return qsimcirq.QSimSimulator(qsim_options=options)

    def wide(n, gates):
        circuit = build(n, gates)
        runs = []
        for fusion in FUSION_WIDTHS:
            sim = simulator(fusion)
            runs.append(lambda sim=sim: sim.simulate(circuit))
        return runs

    tiny_sim = simulator(2)

    def tiny(gates):
        result = tiny_sim.run(build(2, gates, True), repetitions=1024)
        return result.histogram(key="m")

    return {"name": "qsim", "wide": wide, "tiny": tiny}


# qsim's fusion widths tried on every wide workload; its best is reported.
FUSION_WIDTHS = (2, 3, 4)


def available():
    """The installed peers, and a note for each one that is missing."""
    found, missing = [], []
    for factory, package in ((qsim, "qsimcirq"), (aer, "qiskit-aer"), (qulacs, "qulacs"),
                             (lightning, "pennylane-lightning")):
        peer = factory()
        (found if peer else missing).append(peer or package)
    return found, missing
