"""Inputs that once crashed the interpreter, leaked C++ text or ignored Ctrl-C. Anything
that could still crash runs in a child interpreter (see isolated.py)."""
import functools
import pickle
import textwrap

import numpy as np
import pytest
from isolated import child_lines

from kestrix import qasm
from kestrix.core import (
    BARRIER,
    CNOT,
    CPUQVM,
    UNITARY,
    H,
    QCircuit,
    QProg,
    X,
    draw_qprog,
    measure,
)
from kestrix.quantum_info import StateVector, unitary

LARGEST = 2**16 - 1  # the largest qubit index


@pytest.mark.parametrize("bits", [34, 63, 64, 65, 200])
def test_many_classical_bits_copying_one_qubit(bits):
    prog = QProg(1) << H(0)
    for c in range(bits):
        prog << measure(0, c)
    counts = CPUQVM(seed=1).run(prog, 1000).get_counts()
    assert sorted(counts) == ["0" * bits, "1" * bits]
    assert sum(counts.values()) == 1000
    assert abs(counts["1" * bits] - 500) < 5 * np.sqrt(250)


def test_more_than_64_independent_classical_bits_per_shot():
    prog = QProg(1)
    for c in range(70):
        prog << H(0) << measure(0, c) << X(0)  # measured, then acted on: one run per shot
    result = CPUQVM(seed=3).run(prog, 300)
    counts = result.get_counts()
    assert all(len(key) == 70 for key in counts) and sum(counts.values()) == 300
    highest = sum(n for key, n in counts.items() if key[0] == "1")  # classical bit 69
    assert abs(highest - 150) < 5 * np.sqrt(75)
    assert result.get_prob_list([0]) == pytest.approx([0.5, 0.5], abs=5 * np.sqrt(0.25 / 300))


@pytest.mark.parametrize("make", [
    lambda q: H(q),
    lambda q: CNOT(0, q),
    lambda q: H(0).control([q]),
    lambda q: (QCircuit() << H(0)).control(q),
    lambda q: measure(q, 0),
    lambda q: BARRIER([0, q]),
    lambda q: UNITARY([q], np.eye(2)),
    lambda q: QProg(q + 1),
])
@pytest.mark.parametrize("qubit", [LARGEST + 1, 2**31 - 1])
def test_qubits_beyond_the_largest_index_are_refused(make, qubit):
    with pytest.raises(ValueError, match="too large|at most"):
        make(qubit)


def test_the_largest_qubit_index_keeps_a_sound_width():
    circuit = QCircuit() << H(LARGEST)
    assert circuit.num_qubits == LARGEST + 1 and (QProg(LARGEST + 1) << circuit).num_qubits == 2**16
    assert draw_qprog(circuit).count("\n") == 2**16
    with pytest.raises(IndexError):
        StateVector(2).evolve(circuit)
    with pytest.raises(IndexError, match="qubit 65535"):
        unitary(circuit, 1)
    with pytest.raises(ValueError, match="at most"):
        unitary(circuit)
    with pytest.raises(MemoryError, match="qubits needs"):
        CPUQVM().run(circuit)


def test_uninitialised_instances_are_type_errors():
    lines = child_lines("""
        import warnings
        warnings.simplefilter("ignore")
        from kestrix.core import *
        from kestrix.quantum_info import StateVector, unitary
        from norvalis.plugin import hadamard_circuit
        blank = {t: t.__new__(t) for t in (QCircuit, QProg, type(H(0)), CPUQVM, Encode,
                                         StateVector)}
        uses = [
            lambda: blank[QProg] << H(0),
            lambda: blank[QCircuit] << H(0),
            lambda: QCircuit() << blank[QProg],
            lambda: QCircuit() << blank[type(H(0))],
            lambda: QProg(2) << blank[QCircuit],
            lambda: blank[QProg].insert(H(0)),
            lambda: len(blank[QCircuit]),
            lambda: list(blank[QProg]),
            lambda: str(blank[QCircuit]),
            lambda: draw_qprog(blank[QProg]),
            lambda: CPUQVM().run(blank[QProg]),
            lambda: CPUQVM().run_batch([QProg(1), blank[QCircuit]]),
            lambda: blank[CPUQVM].run(QProg(1)),
            lambda: blank[type(H(0))].control([1]),
            lambda: blank[Encode].get_circuit(),
            lambda: StateVector(1).evolve(blank[QCircuit]),
            lambda: blank[StateVector].ndarray(),
            lambda: unitary(blank[QProg]),
            lambda: hadamard_circuit([0]) << blank[type(H(0))],
        ]
        for use in uses:
            try:
                use()
                print("returned")
            except TypeError:
                print("TypeError")
    """)
    assert lines == ["TypeError"] * 19


def test_a_circuit_appended_to_itself_forty_times():
    circuit = QCircuit() << H(0) << X(1)
    for _ in range(40):
        circuit << circuit
    assert len(circuit) == 2**41
    assert repr(circuit) == "<QCircuit: 2199023255552 gates on 2 qubits>"
    assert pickle.loads(pickle.dumps(circuit)).num_qubits == 2 and circuit == circuit
    first = iter(circuit)
    assert [next(first).name for _ in range(5)] == ["H", "X", "H", "X", "H"]
    assert circuit.control([2]).num_qubits == 3
    with pytest.raises(ValueError, match="control qubit 1"):
        circuit.control([1])
    for reads in (lambda: circuit.gates(), lambda: circuit[5], lambda: circuit[::2]):
        with pytest.raises(MemoryError, match="gates needs"):
            reads()
    with pytest.raises(MemoryError, match="OpenQASM text"):
        qasm.dumps(circuit)
    assert str(circuit).splitlines()[-1].endswith("more gates not drawn")
    for _ in range(22):
        circuit << circuit
    with pytest.raises(ValueError, match="2\\*\\*64"):
        circuit << circuit


def test_a_circuit_nested_a_million_blocks_deep():
    lines = child_lines("""
        from kestrix.core import CPUQVM, RY, QCircuit
        from kestrix.quantum_info import StateVector
        circuit = QCircuit() << RY(0, 0.8) << RY(1, 0.2)
        for _ in range(1_000_000):
            circuit = circuit.dagger()
        print(len(circuit), [g.name for g in circuit], len(str(circuit).splitlines()))
        print(round(CPUQVM().run(circuit, 1).get_prob_list([0])[1], 12))
        del circuit
        print("freed")
    """)
    assert lines == ["2 ['RY', 'RY'] 2", str(round(np.sin(0.4) ** 2, 12)), "freed"]


def test_keyword_arguments_are_held_while_a_function_runs():
    # functools.partial passes its own keyword dict; emptying it mid-call must not free
    # an argument the function is still reading.
    from norvalis.plugin import apply_QGate

    def gate(q):
        call.keywords.clear()
        return H(q)

    call = functools.partial(apply_QGate, qubits=[0, 1, 2], gate=gate)
    assert [g.name for g in call()] == ["H", "H", "H"]


# Each child starts a call that would run for minutes, then a timer raises KeyboardInterrupt
# the way Ctrl-C does. The call must give way at once: a deaf one either hangs the child or
# lets the interrupt through only when it returns, long after the signal ("late").
CTRL_C = """
    import signal
    import time
    from kestrix.core import *
    import numpy as np
    from kestrix.qasm import loads
    from kestrix.quantum_info import PauliSum, StateVector, expval, unitary
    from norvalis.Grover import Grover
    from norvalis.QSVM import QuantumKernel_lumet
    from norvalis.Quillan import Quantum_SVR

    def ctrl_c(*_):
        global signalled
        signalled = time.monotonic()
        raise KeyboardInterrupt
    signal.signal(signal.SIGALRM, ctrl_c)
    chain, narrow = QCircuit(), QCircuit()
    for k in range(2000):
        chain << H(k % 24) << CNOT(k % 24, (k + 5) % 24)
        narrow << H(k % 12) << CNOT(k % 12, (k + 5) % 12)
    for _ in range(5):
        chain << chain
        narrow << narrow
    doubled = QCircuit() << H(0) << X(1)
    for _ in range(45):
        doubled << doubled
    rng = np.random.default_rng(1)
    labels = ["".join(rng.choice(list("IXYZ"), 22)) for _ in range(400)]
    doubling = 'OPENQASM 2.0;\\ninclude "qelib1.inc";\\nqreg q[1];\\ngate g0 a { x a; }\\n'
    for k in range(1, 21):
        doubling += f"gate g{k} a {{ g{k - 1} a; g{k - 1} a; }}\\n"
    samples = rng.random((3000, 2))
    svr = Quantum_SVR(samples[:3], np.zeros(3))
    calls = {
        "expval": lambda: expval(PauliSum([(s, 1.0) for s in labels]), StateVector(22)),
        "loads": lambda: [loads(doubling + "g20 q[0];\\n") for _ in range(100)],
        "kernel": lambda: QuantumKernel_lumet(n_qbits=2).evaluate(samples),
        "svr_kernel": lambda: svr.k_kernel(samples, samples),
        "evolve": lambda: StateVector(24).evolve(chain),
        "unitary": lambda: unitary(narrow, 12),
        "run": lambda: CPUQVM().run(QProg(22) << doubled, 10),
        "run_batch": lambda: CPUQVM().run_batch([QProg(2) << doubled] * 3),
        "state": lambda: StateVector(3).evolve(doubled),
        "grover": lambda: Grover(mark_data=["01"]).cir([0, 1], iternum=10**8),
        "depth": lambda: doubled.depth(),
        "count_ops": lambda: doubled.count_ops(),
        "equal": lambda: doubled == (QCircuit() << doubled),
    }
    try:
        signal.setitimer(signal.ITIMER_REAL, 1.0)
        calls[NAME]()
        print("returned")
    except KeyboardInterrupt:
        print("interrupted" if time.monotonic() - signalled < 10 else "late")
    except MemoryError:
        print("refused")
"""


@pytest.mark.parametrize("name, outcomes", [
    ("evolve", {"interrupted"}), ("unitary", {"interrupted"}), ("run", {"interrupted"}),
    ("run_batch", {"interrupted"}), ("state", {"interrupted"}), ("depth", {"interrupted"}),
    ("count_ops", {"interrupted"}), ("equal", {"interrupted"}), ("expval", {"interrupted"}),
    ("loads", {"interrupted"}), ("kernel", {"interrupted"}), ("svr_kernel", {"interrupted"}),
    # 10**8 operators fit in a large machine's memory; a small one refuses them up front.
    ("grover", {"interrupted", "refused"}),
])
def test_long_calls_stop_on_ctrl_c(name, outcomes):
    lines = child_lines(f"NAME = {name!r}\n" + textwrap.dedent(CTRL_C), timeout=300)
    assert lines[-1] in outcomes


def test_grover_operators_beyond_memory_are_refused_up_front():
    from norvalis.Grover import Grover
    with pytest.raises(MemoryError, match="Grover operators needs"):
        Grover(mark_data=["01"]).cir([0, 1], iternum=10**13)


def test_runs_and_batches_are_refused_before_they_outgrow_the_memory_limit():
    # The child runs under a 2.5 GiB address-space limit, which the checks read as the
    # memory this process may use: each call below needs more (a 2 GiB state with 1 GiB of
    # sampling, results or rows held together) and is refused with its sizes before any
    # allocation; a 256 MiB run still completes.
    lines = child_lines("""
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (5 << 29, 5 << 29))
        from kestrix.core import CPUQVM, RX, H, QProg, measure, Parameter
        theta = Parameter("theta")
        wide = QProg(26) << H(0)
        calls = [
            lambda m: m.run(QProg(27) << H(0) << measure(0, 0) << H(0), 10),
            lambda m: m.run_batch([wide] * 3, 10),
            lambda m: m.prob_batch([wide] * 3),
            lambda m: m.run_batch(QProg(26) << RX(0, theta), 10, parameter_values=[[0.1]] * 3),
            lambda m: m.prob_batch(QProg(26) << RX(0, theta), parameter_values=[[0.1]] * 3),
        ]
        for call in calls:
            try:
                call(CPUQVM(seed=1))
                print("ran")
            except MemoryError as e:
                print(e)
        small = CPUQVM(seed=1).run(QProg(24) << H(23) << measure(23, 0), 100)
        print(sum(small.get_counts().values()))
    """)
    limit = "more than the 2.5 GiB of memory this process may use"
    assert lines[0] == f"a run of 27 qubits (the state 2 GiB, sampling 1 GiB) needs 3 GiB, {limit}"
    batch = "the results of a batch of 3 runs (each keeps its final state)"
    assert lines[1] == f"{batch} needs 3 GiB, {limit}"
    assert lines[2].startswith("a batch of 3 rows of probabilities (1.5 GiB and a copy")
    assert lines[3] == lines[1]
    assert lines[4] == lines[2]
    assert all(limit in line for line in lines[:5])
    assert lines[5] == "100"
