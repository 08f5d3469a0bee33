"""The workloads on kestrix, built from Python as a user would."""

from kestrix.core import (
    BARRIER,
    CNOT,
    CPUQVM,
    CR,
    RX,
    RY,
    RZ,
    SWAP,
    H,
    QCircuit,
    QProg,
    X,
    Z,
    measure,
    state_passes,
)

_GATES = {"h": H, "rx": RX, "ry": RY, "rz": RZ, "cx": CNOT, "cp": CR, "swap": SWAP}


def program(n, gates):
    p = QProg(n)
    for g in gates:
        p << _GATES[g[0]](*g[1:])
    return p


def wide(n, gates, precision="double"):
    p = program(n, gates)
    machine = CPUQVM(precision=precision)
    return lambda: machine.run(p, 1)


def passes(n, gates):
    """Passes over the state that one run of the workload makes."""
    return state_passes(program(n, gates))


def batch_programs(count=10_000):
    """`count` 4-qubit circuits of 40 gates and 4 measurements, as a kernel matrix runs."""
    programs = []
    for i in range(count):
        theta = 0.001 * i
        p = QProg(4)
        for k in range(10):
            q, nxt = k % 4, (k + 1) % 4
            p << H(q) << RY(nxt, theta) << CNOT(q, nxt) << RZ(q, theta * k)
        p << measure([0, 1, 2, 3], [0, 1, 2, 3])
        programs.append(p)
    return programs


def tiny(theta):
    """What a kernel-matrix entry costs: a machine, a program of the 40 gates of
    circuits.tiny(theta) written out as a user writes them, 1024 shots and the counts."""
    machine = CPUQVM()
    p = QProg(2)
    for k in range(10):
        p << H(0) << RY(1, theta) << CNOT(0, 1) << RZ(0, theta * k)
    p << measure(0, 0) << measure(1, 1)
    machine.run(p, 1024)
    return machine.result().get_counts()


def grover_operator(marked=0b1011):
    """Oracle and diffusion on qubits 0..3, rebuilt on every call as algorithms do."""
    c = QCircuit()
    flips = [q for q in range(4) if not (marked >> q) & 1]
    for q in flips:
        c << X(q)
    c << Z(3).control([0, 1, 2])
    for q in flips:
        c << X(q)
    for q in range(4):
        c << H(q) << X(q)
    c << Z(3).control([0, 1, 2])
    for q in range(4):
        c << X(q) << H(q)
    return c


def phase_estimation(counting, powered=None, separate=False):
    """Phase estimation of the Grover operator: counting qubit i controls 2^i copies.

    Only the first `powered` counting qubits get their copies (all by default); with
    `separate`, a barrier between copies keeps the engine from treating them as a run.
    """
    n = 4 + counting
    p = QProg(n)
    for q in range(n):
        p << H(q)
    for i in range(counting if powered is None else powered):
        for _ in range(2**i):
            p << grover_operator().control(4 + i)
            if separate:
                p << BARRIER([4 + i])
    qft = QCircuit()
    for t in reversed(range(counting)):
        qft << H(4 + t)
        for c in reversed(range(t)):
            qft << CR(4 + c, 4 + t, 3.141592653589793 / 2 ** (t - c))
    p << qft.dagger()
    p << measure(list(range(4, n)), list(range(counting)))
    return p
