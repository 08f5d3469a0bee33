"""Bad input is a clear Python exception raised before any work, never a crash."""
import inspect
import math

import numpy as np
import pytest

from kestrix.core import (
    BARRIER,
    CNOT,
    CPUQVM,
    RX,
    TOFFOLI,
    U3,
    Encode,
    H,
    QCircuit,
    QProg,
    X,
    measure,
)
from kestrix.quantum_info import StateVector, unitary


@pytest.mark.parametrize("make, error, message", [
    (lambda: H(-1), ValueError, "non-negative"),
    (lambda: H(1.5), TypeError, "integer"),
    (lambda: H("0"), TypeError, "integer"),
    (lambda: H(2 ** 40), ValueError, "too large"),
    (lambda: CNOT(1, 1), ValueError, "more than once"),
    (lambda: TOFFOLI(0, 1, 0), ValueError, "more than once"),
    (lambda: H(0).control(0), ValueError, "control qubit 0"),
    (lambda: CNOT(0, 1).control([2, 2]), ValueError, "more than once"),
    (lambda: (QCircuit() << H(0) << X(3)).control([3]), ValueError, "control qubit 3"),
    (lambda: RX(0, float("nan")), ValueError, "finite"),
    (lambda: U3(0, 0.1, math.inf, 0.2), ValueError, "finite"),
    (lambda: RX(0, 1j), TypeError, "real"),
    (lambda: H(0, 1), TypeError, r"^H\(\): takes 1 positional argument but 2 were given$"),
    (lambda: measure([0, 1], [0]), ValueError, "classical bits"),
    (lambda: BARRIER([0, -2]), ValueError, "non-negative"),
    (lambda: QCircuit() << 5, TypeError, "cannot append int"),
    (lambda: (QCircuit() << measure(0, 0)).dagger(), ValueError, "measurement"),
])
def test_bad_gates_and_circuits(make, error, message):
    with pytest.raises(error, match=message):
        make()


# Calls that match no form of a function name the function, the argument and what it takes.
@pytest.mark.parametrize("make, message", [
    (lambda: measure(0), "measure(): missing required argument 'cbits'"),
    (lambda: H(None), "H(): qubit must be an integer, got NoneType"),
    (lambda: CNOT(0, None), "CNOT(): target must be an integer, got NoneType"),
    (lambda: RX(0, None),
     "RX(): theta must be a real number, a Parameter or a ParameterExpression, got NoneType"),
    (lambda: measure(None, 0),
     "measure(): qubits must be an integer or a sequence of integers, got NoneType"),
    (lambda: H(), "H(): missing required argument 'qubit'"),
    (lambda: H(qbit=0), "H(): unexpected keyword argument 'qbit'"),
    (lambda: H(0, qubit=1), "H(): multiple values for argument 'qubit'"),
    (lambda: QCircuit().control(None),
     "QCircuit.control(): qubits must be an integer or a sequence of integers, got NoneType"),
    (lambda: CPUQVM().run(None), "CPUQVM.run(): prog must be a QProg, a QCircuit or a QGate, "
                                 "got NoneType"),
    (lambda: CPUQVM().run(QProg(1), None), "CPUQVM.run(): shots must be an integer, got NoneType"),
    (lambda: QCircuit() << None, "cannot append NoneType: expected a QGate, QCircuit or QProg"),
    (lambda: QProg(1) << None, "cannot append NoneType: expected a QGate, QCircuit or QProg"),
    (lambda: StateVector(None), "StateVector(): data must be an integer or an array, got NoneType"),
    (lambda: QCircuit(2), "QCircuit(): takes 0 positional arguments but 1 was given"),
    (lambda: CPUQVM(sed=1), "CPUQVM(): unexpected keyword argument 'sed'"),
])
def test_mismatched_calls_name_the_argument(make, message):
    with pytest.raises(TypeError) as caught:
        make()
    assert str(caught.value) == message


def test_every_gate_constructor_names_its_bad_argument():
    import kestrix.core as core
    checked = []
    for name in dir(core):
        maker = getattr(core, name)
        if not callable(maker) or isinstance(maker, type) or not name.isupper():
            continue
        params = list(inspect.signature(maker).parameters)
        if not params:
            continue
        with pytest.raises(TypeError) as caught:
            maker(*[None] * len(params))
        assert str(caught.value).startswith(f"{name}(): {params[0]} must be "), caught.value
        assert str(caught.value).endswith(", got NoneType")
        checked.append(name)
    assert {"H", "CNOT", "RX", "U3", "TOFFOLI", "UNITARY", "SWAP"} <= set(checked)


@pytest.mark.parametrize("shots, error", [(0, ValueError), (-5, ValueError), (1.5, TypeError),
                                          ("10", TypeError), (True, TypeError)])
def test_bad_shots(shots, error):
    with pytest.raises(error, match="shots"):
        CPUQVM().run(QProg(1) << H(0), shots)


def test_numpy_integer_shots_are_accepted_and_huge_ones_refused():
    counts = CPUQVM().run(QProg(1) << measure(0, 0), np.int64(7)).get_counts()
    assert counts == {"0": 7}
    with pytest.raises(ValueError, match="too large"):
        CPUQVM().run(QProg(1) << H(0), 10 ** 30)


@pytest.mark.parametrize("seed, error", [(-1, ValueError), (2 ** 64, ValueError), (1.0, TypeError),
                                         ("1", TypeError)])
def test_bad_seeds(seed, error):
    with pytest.raises(error, match="seed"):
        CPUQVM(seed=seed)


def test_program_too_wide_for_memory():
    with pytest.raises(MemoryError, match="qubits"):
        CPUQVM().run(QProg(1) << H(50), 10)
    with pytest.raises(MemoryError):
        StateVector(55)
    # The size in the message is counted past int's range, never wrapped.
    with pytest.raises(MemoryError, match=r"needs 2\*\*2147483651 bytes"):
        StateVector(2 ** 31 - 1)


@pytest.mark.parametrize("qubits, data, message", [
    ([0, 1], [1, 0, 0], "length"),
    ([0], [0.6, 0.6], "norm 1"),
    ([0], [0, 0], "all zero"),
    ([0, 0], [1, 0, 0, 0], "more than once"),
    ([0], [np.nan, 1], "non-finite"),
    ([], [1], "at least one qubit"),
    ([0, 1], np.eye(2), "one-dimensional"),
])
def test_bad_amplitude_vectors(qubits, data, message):
    with pytest.raises(ValueError, match=message):
        Encode().amplitude_encode(qubits, data)


def test_norm_tolerance_is_1e_8():
    Encode().amplitude_encode([0], [1 + 5e-9, 0])
    with pytest.raises(ValueError):
        Encode().amplitude_encode([0], [1 + 5e-8, 0])


def test_state_and_result_index_errors():
    with pytest.raises(IndexError, match="qubit 3"):
        StateVector(2).evolve(QCircuit() << H(3))
    result = CPUQVM().run(QProg(2) << H(0), 1)
    with pytest.raises(IndexError):
        result.get_prob_list([5])
    with pytest.raises(ValueError):
        result.get_prob_dict([0, 0])
    with pytest.raises(ValueError, match="at most"):
        unitary(QCircuit() << H(20))
