"""The kestrix stubs accept what the runtime accepts: NumPy integers wherever an index or a
count goes, and any iterable of them (a NumPy array, a range) wherever qubits go. mypy
passes a script written that way and still flags the mistakes the types exist to catch."""

import numpy as np
from typecheck import mypy, pyright

GOOD = """
import numpy as np
from kestrix.core import CNOT, CPUQVM, RY, H, QCircuit, QProg, draw_qprog, measure
from kestrix.quantum_info import StateVector, unitary

n = np.int64(3)
qubits = np.arange(3)
prog = QProg(n) << H(np.int32(0)) << CNOT(qubits[0], qubits[1]) << RY(np.uint8(2), 0.5)
prog << measure(qubits, qubits)
result = CPUQVM(seed=np.uint64(7)).run(prog, shots=np.int64(100), memory=True)
counts: dict[str, int] = result.get_counts()
memory: list[str] = result.get_memory()
probs: dict[str, float] = result.get_prob_dict(qubits[:2])
state = StateVector(n).evolve(QCircuit() << H(0) << CNOT(0, 1))
sampled: dict[str, int] = state.sample_counts(np.int64(10), seed=np.int64(1), qubits=range(2))
exact: dict[str, float] = state.probabilities_dict(np.array([1, 0]), decimals=np.int8(3))
matrix = unitary(H(0).control(np.array([1])), num_qubits=np.int64(2))
text = draw_qprog(prog, fold=np.int64(40))
"""

BAD = """
from kestrix.core import CPUQVM, H, QCircuit, QProg, measure
from kestrix.quantum_info import StateVector

H(0.5)
CPUQVM().run(QProg(1), shots=2.0)
StateVector(1).sample_counts("10")
measure("01", [0, 1])
StateVector(1).probabilities_dict(decimals=1.5)
count: str = CPUQVM().run(QProg(1)).get_memory()
QProg(1) << None
circuit: QCircuit = QProg(1) << H(0)
"""


def test_numpy_indices_and_arrays_type_check_and_run(tmp_path):
    status, report = mypy(tmp_path, GOOD)
    assert status == 0, report
    np.random.seed(0)
    exec(compile(GOOD, "good", "exec"), {})  # what mypy accepts, the runtime runs


def test_argument_mistakes_are_still_caught(tmp_path):
    status, report = mypy(tmp_path, BAD)
    assert status == 1
    flagged = sorted({int(line.split(":")[1]) for line in report.splitlines()
                      if ": error:" in line})
    # script lines 5 to 12: every planted mistake
    assert flagged == [5, 6, 7, 8, 9, 10, 11, 12], report


def test_pyright_reads_the_stubs_as_mypy_does(tmp_path):
    lines, report = pyright(tmp_path, GOOD)
    assert lines == [], report
    lines, report = pyright(tmp_path, BAD)
    assert sorted(set(lines)) == [5, 6, 7, 8, 9, 10, 11, 12], report
