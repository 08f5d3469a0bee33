"""Circuits with parameters: expressions, binding, sweeps that plan once, and gradients,
each checked against binding the values and running the bound circuit."""
import copy
import pickle

import numpy as np
import pytest

from kestrix.core import (
    CNOT,
    CPUQVM,
    CR,
    CZ,
    RX,
    RY,
    RZ,
    U1,
    U2,
    U3,
    H,
    Parameter,
    ParameterExpression,
    ParameterVector,
    QCircuit,
    QProg,
    S,
    T,
    measure,
    state_passes,
)
from kestrix.qasm import dumps, loads
from kestrix.quantum_info import PauliSum, expval, gradient

ROTATIONS = [RX, RY, RZ, U1]


def random_circuit(n, params, rng, gates=24):
    """Every kind of angle gate, affine expressions, shared parameters, controls, inverted
    and controlled blocks: what sweeps and gradients must get right."""
    c = QCircuit()
    for _ in range(gates):
        q = int(rng.integers(n))
        p = params[int(rng.integers(len(params)))]
        angle = float(rng.uniform(-2, 2)) * p + float(rng.uniform(-1, 1))
        kind = int(rng.integers(9))
        if kind < 4:
            c << ROTATIONS[kind](q, angle)
        elif kind == 4:
            c << U3(q, angle, p, 0.3)
        elif kind == 5:
            c << U2(q, 0.2, angle)
        elif kind == 6 and n > 1:
            c << CR(q, (q + 1) % n, angle) << CNOT((q + 1) % n, q)
        elif kind == 7 and n > 2:
            c << RY(q, angle).control([(q + 1) % n, (q + 2) % n]).dagger()
        else:
            c << H(q)
    block = QCircuit() << RX(0, params[0]) << CNOT(0, n - 1) if n > 1 else QCircuit()
    return c << block.dagger() << c.control([n]) if n < 4 else c << block.dagger()


def bound_values(circuit, rng, rows):
    values = rng.uniform(-np.pi, np.pi, size=(rows, len(circuit.parameters)))
    values[0] = 0  # angles at 0 and pi/2 give fused blocks zeros that other values lack
    if rows > 1:
        values[1] = np.pi / 2
    return values


# ------------------------------------------------------------------------------------------
# Parameters and expressions


def test_expressions_are_affine_and_known_by_identity():
    theta, other = Parameter("theta"), Parameter("theta")
    e = (2 * theta + 0.5 - 1) / 4
    assert isinstance(e, ParameterExpression)
    assert (e.parameter, e.scale, e.offset) == (theta, 0.5, -0.125)
    assert e.value(1.0) == 0.375 and (-e).value(1.0) == -0.375 and (1 - theta).value(3) == -2
    assert theta != other and hash(theta) == hash(1 * theta) and theta == 1 * theta
    assert repr(theta) == "Parameter('theta')" and str(e) == "0.5*theta - 0.125"
    t = ParameterVector("t", 3)
    assert len(t) == 3 and t[-1].name == "t[2]" and list(t) == t.params
    for bad in (lambda: theta * theta, lambda: theta + "x", lambda: theta * 1j):
        with pytest.raises(TypeError):
            bad()
    with pytest.raises(ZeroDivisionError):
        theta / 0
    with pytest.raises(ValueError, match="finite"):
        theta * float("inf")
    with pytest.raises(TypeError, match="str"):
        Parameter(3)
    with pytest.raises(ValueError, match="at most"):
        ParameterVector("t", 2**21)


def test_copies_stay_the_same_parameter():
    theta, t = Parameter("theta"), ParameterVector("t", 2)
    c = QCircuit() << RY(0, 2 * theta + 0.1) << RZ(1, t[1]) << CNOT(0, 1)
    for copied in (pickle.loads(pickle.dumps(c)), copy.deepcopy(c)):
        assert copied == c and copied.parameters == [theta, t[1]]
        assert copied.bind({theta: 0.2, t[1]: -1.0}) == c.bind([0.2, -1.0])
    assert pickle.loads(pickle.dumps(t)).params == t.params
    assert pickle.loads(pickle.dumps(3 * theta)) == 3 * theta
    # Gates compare their parameters by identity, not by name.
    assert RY(0, theta) == RY(0, theta) and RY(0, theta) != RY(0, Parameter("theta"))
    assert RY(0, 2 * theta) != RY(0, theta) and RY(0, theta).params == [theta]


def test_binding():
    theta, t = Parameter("theta"), ParameterVector("t", 2)
    c = QProg(3) << RY(0, 2 * theta + 0.1) << U3(1, t[0], 0.5, -t[1]) << RX(0, theta)
    assert c.parameters == [theta, t[0], t[1]]
    partial = c.bind({t: [1.0, 2.0]})
    assert partial.parameters == [theta] and partial.num_qubits == 3
    want = QProg(3) << RY(0, 0.5) << U3(1, 1.0, 0.5, -2.0) << RX(0, 0.2)
    assert partial.bind({theta: 0.2}) == want
    assert c.bind(np.array([0.2, 1.0, 2.0])) == partial.bind([0.2])
    with pytest.raises(ValueError, match="3 parameters, got 2"):
        c.bind([1, 2])
    with pytest.raises(ValueError, match="not in the circuit"):
        c.bind({Parameter("theta"): 1.0})
    with pytest.raises(TypeError, match="Parameter"):
        c.bind({"theta": 1.0})
    with pytest.raises(ValueError, match="finite"):
        c.bind([np.nan, 0, 0])
    with pytest.raises(ValueError, match="has 2 parameters, got 3"):
        c.bind({t: [1, 2, 3]})


def test_binding_a_deeply_nested_circuit():
    theta = Parameter("theta")
    c = QCircuit() << RY(0, theta) << H(1)
    for _ in range(20000):
        c = c.dagger()  # an even count: the circuit itself
    assert c.bind([0.3]) != QCircuit()
    assert np.allclose(CPUQVM().prob_batch(c, parameter_values=[[0.3]]),
                       CPUQVM().prob_batch([QCircuit() << RY(0, 0.3) << H(1)]))


def test_unbound_circuits_draw_and_export_but_do_not_run():
    theta, t = Parameter("theta"), ParameterVector("t", 1)
    p = QProg(2) << RY(0, 2 * theta + 0.1) << RX(1, t[0]).control([0]) << measure(0, 0)
    assert "RY(2.0*theta + 0.1)" in str(p) and state_passes(p) >= 2
    text = dumps(p, 3)
    assert "input float[64] theta;" in text and "input float[64] t_0;" in text
    assert "ry(2.0*theta + 0.1) q[0];" in text and "ctrl @ rx(t_0) q[0], q[1];" in text
    with pytest.raises(ValueError, match="OpenQASM 2 has no parameters"):
        dumps(p, 2)
    with pytest.raises(ValueError, match=r"2 unbound parameter\(s\) \(theta, t\[0\]\)"):
        CPUQVM().run(p)
    with pytest.raises(ValueError, match="theta"):
        expval("Z", QCircuit() << RY(0, theta))


def test_exported_parameters_read_by_qiskit():
    qasm3 = pytest.importorskip("qiskit.qasm3")
    pytest.importorskip("qiskit_qasm3_import")
    theta = Parameter("theta")
    c = QCircuit() << RY(0, 2 * theta + 0.1) << CNOT(0, 1)
    read = qasm3.loads(dumps(c, 3))
    assert [p.name for p in read.parameters] == ["theta"]
    bound = read.assign_parameters([0.7])
    from qiskit.quantum_info import Statevector
    ours = CPUQVM().prob_batch(c, parameter_values=[[0.7]])[0]
    assert np.allclose(Statevector(bound).probabilities(), ours, atol=1e-12)


def test_openqasm_3_inputs_read_back_as_parameters():
    rng = np.random.default_rng(5)
    t = ParameterVector("t", 3)
    c = random_circuit(3, list(t), rng, gates=30)
    read = loads(dumps(c, 3))
    # Read in the circuit's own order of first use, t[k] exported as t_k.
    assert [p.name for p in read.parameters] == [
        p.name.replace("[", "_").rstrip("]") for p in c.parameters]
    values = bound_values(c, rng, 4)
    assert np.allclose(CPUQVM().prob_batch(read, parameter_values=values),
                       CPUQVM().prob_batch(c, parameter_values=values), atol=1e-12)


@pytest.mark.parametrize("body, message", [
    ("input int n;", "only float and angle inputs"),
    ("input float a; ry(a * a) q[0];", "a \\* input \\+ b"),
    ("input float a; ry(sin(a)) q[0];", "a \\* input \\+ b"),
    ("input float a; input float b; ry(a - b) q[0];", "one input"),
    ("input float a; gate g q { rx(a) q; }", "definition cannot read the input 'a'"),
    ("input float a; input angle[32] a;", "'a' is already declared"),
    ("input float a; gphase(a);", "gphase takes a number"),
])
def test_openqasm_3_inputs_outside_affine_gate_angles_are_refused(body, message):
    with pytest.raises(ValueError, match=message):
        loads(f'OPENQASM 3.0; include "stdgates.inc"; qubit[1] q; {body}')


# ------------------------------------------------------------------------------------------
# Sweeps: planned once, equal to binding each row


def test_sweep_results_outlive_the_next_sweep():
    # Results of a few MiB live in a buffer kept for reuse once released: never while an
    # array still holds it.
    t = ParameterVector("t", 2)
    c = QCircuit() << RY(0, t[0]) << RY(10, t[1])
    machine = CPUQVM()
    low, high = np.full((200, 2), 0.5), np.full((200, 2), 2.0)
    a = machine.prob_batch(c, parameter_values=low)
    kept = a.copy()
    b = machine.prob_batch(c, parameter_values=high)
    assert np.array_equal(a, kept) and not np.allclose(a, b)
    del a
    again = machine.prob_batch(c, parameter_values=low)
    assert np.array_equal(again, kept)
    assert np.array_equal(b, machine.prob_batch(c, parameter_values=high))


@pytest.mark.parametrize("n", [3, 11])  # 11 qubits: fused blocks rewritten per row
def test_sweeps_equal_bound_runs(n):
    rng = np.random.default_rng(n)
    t = ParameterVector("t", 4)
    c = random_circuit(n, list(t), rng, gates=40)
    values = bound_values(c, rng, 20)
    machine = CPUQVM()
    swept = machine.prob_batch(c, parameter_values=values)
    for row, v in zip(swept, values):
        assert np.allclose(row, machine.prob_batch([c.bind(v)])[0], atol=1e-12)
    h = PauliSum([("Z" * c.num_qubits, 1.0), ("XY".rjust(c.num_qubits, "I"), -0.5)])
    energies = expval(h, c, parameter_values=values)
    assert np.allclose(energies, [expval(h, c.bind(v)) for v in values], atol=1e-12)
    qubit0 = machine.prob_batch(c, [0], parameter_values=values[0])
    assert np.allclose(qubit0, [[swept[0][::2].sum(), swept[0][1::2].sum()]], atol=1e-12)


def test_measured_sweeps_draw_the_seeds_of_bound_runs():
    t = ParameterVector("t", 2)
    p = QProg(3) << RY(0, t[0]) << CNOT(0, 1) << RX(2, 3 * t[1]) << measure(0, 0) << measure(2, 1)
    values = np.random.default_rng(1).uniform(0, 3, size=(6, 2))
    np.random.seed(11)
    swept = CPUQVM().run_batch(p, 200, parameter_values=values)
    np.random.seed(11)
    bound = CPUQVM().run_batch([p.bind(v) for v in values], 200)
    assert [r.get_counts() for r in swept] == [r.get_counts() for r in bound]
    again = CPUQVM(seed=4).run_batch(p, 200, parameter_values=values)
    assert [r.get_counts() for r in again] == [
        r.get_counts() for r in CPUQVM(seed=4).run_batch(p, 200, parameter_values=values)]
    one = QCircuit() << RY(0, t[0])
    sampled = expval("Z", one, shots=400, seed=3, parameter_values=values[:, :1])
    assert np.allclose(sampled, expval("Z", one, shots=400, seed=3, parameter_values=values[:, :1]))
    # 400 shots: within 0.2 (four standard deviations) of cos(t).
    assert np.allclose(sampled, np.cos(values[:, 0]), atol=0.2)


@pytest.mark.parametrize("values, message", [
    ([[1.0]], r"shape \(rows, 2\)"), ([[np.inf, 0]], "finite"), ("ab", "real numbers"),
    ([[1j, 0]], "real numbers")])
def test_sweeps_refuse_bad_values(values, message):
    t = ParameterVector("t", 2)
    c = QCircuit() << RY(0, t[0]) << RZ(0, t[1])
    for call in (lambda: CPUQVM().prob_batch(c, parameter_values=values),
                 lambda: expval("Z", c, parameter_values=values),
                 lambda: gradient("Z", c, values)):
        with pytest.raises((ValueError, TypeError), match=message):
            call()
    with pytest.raises(ValueError, match="no parameters"):
        CPUQVM().prob_batch(QCircuit() << H(0), parameter_values=[[1.0]])


# ------------------------------------------------------------------------------------------
# Gradients


def finite_differences(h, circuit, values, eps=1e-6):
    grad = []
    for k in range(len(values)):
        step = np.eye(len(values))[k] * eps
        grad.append((expval(h, circuit.bind(values + step)) -
                     expval(h, circuit.bind(values - step))) / (2 * eps))
    return np.array(grad)


@pytest.mark.parametrize("seed", range(4))
def test_gradients_agree_with_each_other_and_finite_differences(seed):
    rng = np.random.default_rng(seed)
    t = ParameterVector("t", 3)
    c = random_circuit(3, list(t), rng)
    h = PauliSum([("ZZI", 0.7), ("XIY", -1.2), ("IZX", 0.4), ("III", 2.0)])
    values = rng.uniform(-2, 2, size=len(c.parameters))
    value, adjoint = gradient(h, c, values)
    shifted_value, shifted = gradient(h, c, values, "parameter-shift")
    assert value == pytest.approx(expval(h, c.bind(values)), abs=1e-12)
    assert shifted_value == pytest.approx(value, abs=1e-12)
    assert np.allclose(adjoint, finite_differences(h, c, values), atol=1e-6)
    assert np.allclose(shifted, adjoint, atol=1e-10)


def test_gradient_rows_and_shots():
    theta = Parameter("theta")
    c = QCircuit() << H(1) << RY(0, theta).control([1]) << RX(0, theta / 2)
    rows = np.linspace(-2, 2, 5)[:, None]
    values, grads = gradient("ZX", c, rows)
    assert values.shape == (5,) and grads.shape == (5, 1)
    for v, g, row in zip(values, grads, rows):
        one_value, one_grad = gradient("ZX", c, row)
        assert (v, g[0]) == pytest.approx((one_value, one_grad[0]), abs=1e-12)
    assert np.abs(grads).max() > 0.1
    assert gradient("II", c, rows[2])[0] == 1.0  # identity terms count exactly
    # 20,000 shots per term and shifted run: each estimate within 0.01 (a few standard
    # deviations of 1/sqrt(20,000)) times the rule's weights.
    _, sampled = gradient("ZX", c, rows[2], "parameter-shift", shots=20000, seed=5)
    assert sampled[0] == pytest.approx(grads[2][0], abs=0.03)
    with pytest.raises(ValueError, match="adjoint method is exact"):
        gradient("ZX", c, rows[2], shots=10)
    with pytest.raises(ValueError, match="method must be"):
        gradient("ZX", c, rows[2], "finite")
    with pytest.raises(ValueError, match="without measurements"):
        gradient("Z", QProg(1) << RY(0, theta) << measure(0, 0), [0.1])


def test_adjoint_gradient_past_a_cache_chunk():
    # 15 qubits: the way back runs chunk by chunk on the low qubits, gate by gate on the
    # high ones, and plans the plain runs between them; all must give the exact gradient.
    rng = np.random.default_rng(9)
    t = ParameterVector("t", 5)
    n = 15
    c = QCircuit()
    for q in (0, 3, 12, 13, 14):
        c << RY(q, t[int(rng.integers(5))]) << CNOT(q, (q + 7) % n)
    c << RX(14, t[0]).control([2]) << RZ(1, 2 * t[1]).control([14]) << CR(13, 5, t[2])
    c << U3(13, t[3], 0.2, t[4]) << CNOT(14, 0) << RY(2, -t[4])
    # Diagonals on qubits left outside the chunk (which holds 0-12 on the way back from
    # here) scale it whole, under controls on either side.
    c << RY(14, t[4])
    for q in range(8, 13):
        c << RY(q, t[q % 5])
    c << RZ(14, t[1]).control([3]) << U1(13, t[2]).control([12]) << S(14) << CZ(13, 14)
    c << RZ(14, t[0]) << T(13).control([1])
    def label(letters):  # {qubit: letter}; qubit 0 is the last character
        return "".join(letters.get(q, "I") for q in reversed(range(n)))

    h = PauliSum([(label({13: "X", 0: "Z"}), 1.0), (label({14: "Y", 3: "X", 7: "Z"}), -0.5),
                  (label({12: "X"}), 0.7)])
    for values in (rng.uniform(-2, 2, size=5), [0.4, -1.1, 0.8, 1.3, 0.0]):
        # t[4] = 0 makes RY(14) the identity: a diagonal whose derivative is not one.
        value, adjoint = gradient(h, c, values)
        shifted_value, shifted = gradient(h, c, values, "parameter-shift")
        assert value == pytest.approx(shifted_value, abs=1e-12)
        assert np.allclose(adjoint, shifted, atol=1e-10) and np.abs(adjoint).max() > 0.05
