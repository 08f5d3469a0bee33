"""Random good and bad calls against every public call of kestrix and every function and
class of the norvalis modules, drawn with hypothesis. The property tests (test_fuzz.py)
run a few hundred of them per family in a child interpreter; `make fuzz`
(fuzz_campaign.py) runs the long campaign.

A call may raise any Python exception: that is how bad input is refused. What counts
against the code is a crash of the interpreter, a call deaf to Ctrl-C, an error whose
message shows C++ internals, a SystemError, or a valid circuit whose state disagrees with
the dense NumPy model (reference.py)."""
import copy
import importlib
import inspect
import math
import pickle
import pkgutil
import re

import numpy as np
import reference as ref
from hostile import (
    ClearingFloat,
    ClearingIndex,
    LyingLength,
    Raising,
    Shrinking,
    clearing_dict,
    clearing_list,
    recursive_list,
)
from hypothesis import strategies as st

import kestrix.core as kc
import kestrix.noise as kn
import kestrix.qasm as kq
import kestrix.quantum_info as qi
import norvalis

# ------------------------------------------------------------------------------------------
# Hostile values: each factory makes a fresh one, since several of them wreck themselves.


def uninitialised(cls):
    return lambda: cls.__new__(cls)


HOSTILE_FACTORIES = [
    lambda: None, lambda: -1, lambda: 0, lambda: 2**31 - 1, lambda: 2**31, lambda: 2**63,
    lambda: 2**64, lambda: -(2**63) - 1, lambda: 10**30, lambda: 2**16, lambda: 1.5,
    lambda: -0.0, lambda: math.nan, lambda: math.inf, lambda: -math.inf, lambda: 1e308,
    lambda: 5e-324, lambda: 1j, lambda: True, lambda: "", lambda: "01", lambda: "ab",
    lambda: "0" * 70, lambda: b"\x00", lambda: [], lambda: [0, 0], lambda: [-1],
    lambda: [[0, 1], [2]], lambda: [0.5, math.nan], lambda: (0, 1), lambda: {},
    lambda: {"0": 1.0, "1": -1.0}, lambda: {1, 2}, lambda: range(3), lambda: iter([0, 1]),
    lambda: object(), lambda: np.int64(2), lambda: np.uint64(2**64 - 1), lambda: np.int8(-3),
    lambda: np.float32(math.nan), lambda: np.bool_(True), lambda: np.complex128(1j),
    lambda: np.array([]), lambda: np.array([[1, 2], [3, 4]]), lambda: np.arange(4),
    lambda: np.zeros((2, 2), dtype=object), lambda: np.array(["a", "b"]),
    lambda: np.full(3, np.inf), lambda: np.eye(2)[:, ::-1], lambda: np.zeros((0, 3)),
    lambda: np.array(3.0), lambda: clearing_list(ClearingIndex, [0, 1, 2]),
    lambda: clearing_list(ClearingFloat, [0.25, 0.25, 0.25, 0.25]),
    lambda: clearing_dict({"00": 0.5, "11": 0.5}), lambda: Raising(), lambda: [Raising()] * 2,
    lambda: LyingLength(), lambda: Shrinking([0, 1, 2]), lambda: recursive_list(),
    lambda: (lambda *a, **k: None), lambda: (lambda *a, **k: 42),
    lambda: (lambda *a, **k: kc.QCircuit() << kc.H(70)),
    lambda: (lambda *a, **k: 1 / 0), lambda: print,
    uninitialised(kc.QCircuit), uninitialised(kc.QProg), uninitialised(kc.CPUQVM),
    uninitialised(qi.StateVector), uninitialised(type(kc.H(0))),
    lambda: kc.QCircuit() << kc.H(0) << kc.measure(0, 0), lambda: kc.QProg(3),
    lambda: kc.H(0).control([1]), lambda: kc.QCircuit() << kc.H(2**16 - 1),
]

hostile = st.sampled_from(HOSTILE_FACTORIES).map(lambda make: make())

small_ints = st.integers(-2, 8)
any_ints = st.one_of(small_ints, st.integers(), st.sampled_from([2**31 - 1, 2**32, 2**63 - 1]))
floats = st.floats(allow_nan=True, allow_infinity=True)
qubit_lists = st.lists(st.integers(0, 6), max_size=6)
distinct_qubits = st.lists(st.integers(0, 5), min_size=1, max_size=4, unique=True)
bit_strings = st.integers(1, 4).flatmap(lambda n: st.text("01", min_size=n, max_size=n))
real_arrays = st.integers(1, 4).flatmap(
    lambda n: st.lists(st.floats(-3, 3, allow_nan=False), min_size=n, max_size=n)
).map(np.array)


def prepare(q):
    return kc.QCircuit() << kc.RY(q[0], 0.6)


def oracle(qubits, threshold):
    return kc.QCircuit() << kc.Z(qubits[0])


# Values that make sense for a parameter of this name: small, so that a call that goes
# through costs milliseconds.
SANE = {
    "qubits": distinct_qubits, "q_list": distinct_qubits, "qlist": distinct_qubits,
    "qb": distinct_qubits, "qts": distinct_qubits, "qb1": st.just([0, 1]),
    "qb2": st.just([2, 3]), "qubits1": st.just([0]), "qubits2": st.just([1, 2]),
    "q_input": distinct_qubits, "q_flip": distinct_qubits, "q_zero": distinct_qubits,
    "cbits": distinct_qubits, "c_list": distinct_qubits, "q1": st.just(0), "q2": st.just(1),
    "qc": st.just(3), "ctrl_q": st.none(), "k": st.integers(0, 3), "n": st.integers(1, 4),
    "m": st.integers(1, 3), "nl": st.integers(1, 2), "q_num": st.integers(1, 5),
    "sol_num": st.integers(1, 3), "iternum": st.integers(-1, 4), "qnumber": st.integers(1, 2),
    "qubit_num": st.integers(1, 3), "n_qbits": st.integers(1, 3), "n_index": st.integers(1, 3),
    "select_num": st.integers(1, 2), "depth": st.integers(1, 3), "shots": st.integers(1, 64),
    "batch_size": st.integers(1, 8), "precision_cnt": st.integers(0, 2),
    "res_index": st.integers(-1, 1), "max_rounds": st.integers(1, 3),
    "continue_times": st.integers(0, 2), "max_iters": st.integers(1, 5),
    "select_max": st.integers(-1, 4), "minimum": st.integers(0, 5), "max_index": st.integers(0, 2),
    "angle": floats, "ang": floats, "beta": floats, "theta": floats, "theta0": floats,
    "phi": floats, "phi0": floats, "tao": floats, "epsilon": st.sampled_from([0.1, 0.05, 0.3]),
    "tol": st.sampled_from([None, 0.1]), "value": st.floats(0, 1),
    "theta_l": st.just(0.0), "theta_u": st.just(0.25), "up": st.booleans(),
    "mark_data": st.lists(bit_strings, min_size=1, max_size=2), "target_state": bit_strings,
    "mixer_type": st.sampled_from(["PXY", "FC", "XY"]), "mode": st.sampled_from(["walsh", "x"]),
    "return_mat": st.sampled_from(["0", "1"]), "rotation_change": st.just("random"),
    "operator_in": st.just(prepare), "in_operator": st.just(prepare),
    "oracle_circuit": st.just(oracle), "gate": st.sampled_from([kc.H, kc.X]),
    "func": st.just(lambda x, *a: float(np.sum(np.asarray(x) ** 2))),
    "objective_function": st.just(lambda x: float(np.sum(np.asarray(x) ** 2))),
    "x0": real_arrays, "initial_params": real_arrays, "para": real_arrays, "par": real_arrays,
    "para_list": real_arrays, "ls": real_arrays, "ini_para": real_arrays, "amp": real_arrays,
    "arr": real_arrays, "weights_x": real_arrays, "weights_y": real_arrays, "point": real_arrays,
    "x": real_arrays, "y": real_arrays, "los": real_arrays,
    "matrix": st.sampled_from([np.eye(2), np.diag([1.0, -1.0, 0.5, 2.0]), [[0, 1], [1, 0]]]),
    "matrix_in": st.sampled_from([np.eye(2), np.arange(6.0).reshape(2, 3)]),
    "sample_A": st.sampled_from([np.arange(4.0).reshape(2, 2) + 1, np.eye(2)]),
    "matrix_A": st.sampled_from([[1, 0, 0, 1], [2, 1, 1, 2]]), "data_b": st.just([1.0, 0.0]),
    "quadratic": st.just(np.eye(2)), "linear": st.just(np.ones(2)),
    "data": st.just(np.array([[0.1, 0.2], [0.9, 0.8], [0.15, 0.25]])),
    "x_vec": st.just(np.array([[0.1, 0.2], [0.3, 0.4]])), "y_vec": st.none(),
    "X": st.just(np.array([[0.1, 0.2]])), "Y": st.just(np.array([[0.3, 0.4]])),
    "prob_list": st.just([0.5, 0.5, 0.0, 0.0]), "cut_length": st.integers(1, 4),
    "res": st.sampled_from([[0.25] * 4, {"00": 0.5, "11": 0.5}]), "dic": st.just({"01": 1.0}),
    "dit": st.just({"01": 0.5, "10": 0.5}), "domains": st.just([[0, 1], [2, 3]]),
    "init_value": st.just(0), "flip": st.booleans(), "compress": st.booleans(),
    "process_show": st.just(False), "return_type": st.booleans(), "reverse": st.booleans(),
}

# What a parameter of an unknown name gets when it is not hostile.
plausible = st.one_of(small_ints, st.floats(-2, 2), qubit_lists, real_arrays, bit_strings,
                      st.booleans(), st.none())


def argument(data, name):
    """A value for parameter `name`: mostly sane, sometimes plausible, sometimes hostile."""
    roll = data.draw(st.integers(0, 9))
    if roll < 6 and name in SANE:
        return data.draw(SANE[name])
    if roll < 8:
        return data.draw(st.one_of(plausible, any_ints, floats))
    return data.draw(hostile)


# ------------------------------------------------------------------------------------------
# Random valid circuits, with the reference ops of tests/reference.py beside them.

GATES = {"H": (kc.H, 1, 0), "X": (kc.X, 1, 0), "Y": (kc.Y, 1, 0), "Z": (kc.Z, 1, 0),
         "I": (kc.I, 1, 0), "RX": (kc.RX, 1, 1), "RY": (kc.RY, 1, 1), "RZ": (kc.RZ, 1, 1),
         "U1": (kc.U1, 1, 1), "U2": (kc.U2, 1, 2), "U3": (kc.U3, 1, 3),
         "CNOT": (kc.CNOT, 2, 0), "CZ": (kc.CZ, 2, 0), "CR": (kc.CR, 2, 1),
         "SWAP": (kc.SWAP, 2, 0), "TOFFOLI": (kc.TOFFOLI, 3, 0)}
angles = st.floats(-7, 7, allow_nan=False)


@st.composite
def gates(draw, n):
    """(gate, reference ops) on n qubits: any kind, maybe controlled, maybe daggered."""
    name = draw(st.sampled_from([k for k, (_, arity, _) in GATES.items() if arity <= n]))
    make, arity, count = GATES[name]
    order = draw(st.permutations(range(n)))
    targets, free = list(order[:arity]), list(order[arity:])
    params = [draw(angles) for _ in range(count)]
    gate = make(*targets, *params)
    controls = free[: draw(st.integers(0, min(2, len(free))))]
    if controls:
        gate = gate.control(controls)
    dagger = draw(st.booleans())
    return (gate.dagger() if dagger else gate), [(name, targets, params, controls, dagger)]


@st.composite
def circuits(draw, n, depth=0):
    """(QCircuit, reference ops): gates and nested blocks, controlled, inverted, repeated."""
    circuit, ops = kc.QCircuit(), []
    for _ in range(draw(st.integers(1, 8))):
        if depth < 2 and draw(st.integers(0, 4)) == 0:
            inner, inner_ops = draw(circuits(n, depth + 1))
            used = {q for _, t, _, c, _ in inner_ops for q in t + c}
            free = [q for q in range(n) if q not in used]
            controls = free[: draw(st.integers(0, min(2, len(free))))]
            dagger = draw(st.booleans())
            block = inner.dagger() if dagger else inner
            block = block.control(controls) if controls else block
            for _ in range(draw(st.integers(1, 3))):
                circuit << block
                ops += [(g, q, p, c + controls, d) for g, q, p, c, d in
                        (reversed([(g, q, p, c, not d) for g, q, p, c, d in inner_ops])
                         if dagger else inner_ops)]
        else:
            gate, gate_ops = draw(gates(n))
            circuit << gate
            ops += gate_ops
    return circuit, ops


def check_against_reference(data):
    """A random valid circuit: its state, probabilities and matrix against the model."""
    n = data.draw(st.integers(1, 5))
    circuit, ops = data.draw(circuits(n))
    matrix = ref.circuit_unitary(ops, n)
    expected = matrix[:, 0]
    state = qi.StateVector(n).evolve(circuit).ndarray()
    probs = kc.CPUQVM().run(kc.QProg(n) << circuit, 1).get_prob_list(list(range(n)))
    worst = max(np.max(np.abs(state - expected)),
                np.max(np.abs(np.array(probs) - np.abs(expected) ** 2)),
                np.max(np.abs(qi.unitary(circuit, n) - matrix)))
    if not worst < 1e-10:
        raise WrongResult(f"{n} qubits, {len(ops)} gates: off by {worst:.3g}")


class WrongResult(AssertionError):
    """A valid circuit whose result disagrees with the dense model."""


# ------------------------------------------------------------------------------------------
# kestrix: every public call, by hand (nanobind functions have no inspectable signature).

def some_circuit(data):
    roll = data.draw(st.integers(0, 5))
    if roll == 0:
        return data.draw(hostile)
    if roll == 1:
        prog = kc.QProg(data.draw(st.integers(0, 4))) << data.draw(circuits(3))[0]
        for q, c in data.draw(st.lists(st.tuples(st.integers(0, 3), st.integers(0, 80)),
                                       max_size=4)):
            prog << kc.measure(q, c)
            if data.draw(st.booleans()):
                prog << kc.H(q)
        return prog
    return data.draw(circuits(data.draw(st.integers(1, 4))))[0]


def call_gate(data):
    name = data.draw(st.sampled_from(sorted(GATES)))
    make, arity, count = GATES[name]
    size = arity + count + data.draw(st.sampled_from([0, 0, 0, -1, 1]))
    args = [argument(data, "qubit" if k < arity else "angle") for k in range(max(size, 0))]
    gate = make(*args)
    for _ in range(data.draw(st.integers(0, 2))):
        gate = data.draw(st.sampled_from([lambda g: g.dagger(),
                                          lambda g: g.control(argument(data, "qubits"))]))(gate)
    return repr(gate), gate.name, gate.qubits, gate.controls, gate.params, gate.cbit


def call_other_gate(data):
    kind = data.draw(st.sampled_from(["measure", "BARRIER", "UNITARY"]))
    if kind == "measure":
        return kc.measure(argument(data, "qubits"), argument(data, "cbits"))
    if kind == "BARRIER":
        return kc.BARRIER(argument(data, "qubits"))
    k = data.draw(st.integers(1, 3))
    matrix = data.draw(st.sampled_from([np.eye(2**k), np.eye(2**k)[::-1], None]))
    if matrix is None:
        matrix = data.draw(hostile)
    return kc.UNITARY(argument(data, "qubits") if data.draw(st.booleans()) else list(range(k)),
                      matrix)


def call_circuit(data):
    target = data.draw(st.sampled_from([kc.QCircuit, kc.QProg]))
    c = target() if target is kc.QCircuit else target(argument(data, "n"))
    for _ in range(data.draw(st.integers(0, 4))):
        item = some_circuit(data) if data.draw(st.booleans()) else data.draw(hostile)
        c << item if data.draw(st.booleans()) else c.insert(item)
    op = data.draw(st.sampled_from(["len", "iter", "str", "repr", "draw", "control", "dagger",
                                    "width", "gates", "self", "passes"]))
    if op == "len":
        return len(c)
    if op == "iter":
        return [g.name for _, g in zip(range(50), c)]
    if op in ("str", "repr"):
        return str(c) if op == "str" else repr(c)
    if op == "draw":
        return kc.draw_qprog(c)
    if op == "control":
        return (c.to_circuit() if target is kc.QProg else c).control(argument(data, "qubits"))
    if op == "dagger":
        return (c.to_circuit() if target is kc.QProg else c).dagger()
    if op == "width":
        return c.num_qubits
    if op == "gates":
        return c.gates()
    if op == "passes":
        return kc.state_passes(c)
    for _ in range(data.draw(st.integers(1, 70))):
        c << c
    return len(c), repr(c)


# Qubit lists at the edges: empty (as lists, tuples, ranges, arrays), repeated, reversed.
edge_qubit_lists = st.one_of(
    st.sampled_from([[], (), range(0), [0, 0], [1, 0], [0, 1, 0], [2, 1, 0]]),
    st.lists(st.integers(0, 3), max_size=5),
    st.lists(st.integers(0, 3), max_size=3).map(lambda q: np.array(q, dtype=np.int64)))


def batch_qubits(data):
    roll = data.draw(st.integers(0, 3))
    if roll == 0:
        return None
    return data.draw(edge_qubit_lists) if roll < 3 else argument(data, "qubits")


def call_machine(data):
    machine = kc.CPUQVM(seed=argument(data, "seed") if data.draw(st.booleans()) else None)
    shots = data.draw(st.one_of(st.integers(1, 300), st.just(2**62), any_ints, hostile))
    op = data.draw(st.sampled_from(["run", "run", "batch", "prob_batch", "result"]))
    if op == "batch":
        return [r.get_counts() for r in machine.run_batch(
            [some_circuit(data) for _ in range(data.draw(st.integers(0, 3)))], shots)]
    if op == "prob_batch":
        programs = [some_circuit(data) for _ in range(data.draw(st.integers(0, 20)))]
        qubits = batch_qubits(data)
        rows = machine.prob_batch(programs, qubits)
        # Each row is what one run gives: a row of the wrong length once overran the heap.
        for program, row in zip(programs[:3], rows):
            one = machine.run(program, 1).get_prob_list(qubits)
            if len(row) != len(one) or not np.allclose(row, one, atol=1e-12):
                raise WrongResult(f"prob_batch row {row.tolist()} but run gives {one}")
        return rows
    if op == "result":
        return machine.result()
    result = machine.run(some_circuit(data), shots)
    qubits = argument(data, "qubits") if data.draw(st.booleans()) else None
    return (result.get_counts(), result.get_prob_dict(qubits), result.get_prob_list(qubits),
            result.shots, result.num_qubits, repr(result))


def call_split(data):
    """CPUQVM(comm=...) and kestrix._mpi.run given anything but a communicator: a clear
    error at once, never a wait for other ranks."""
    try:
        import kestrix._mpi as km
    except ImportError:  # built without MPI
        return None
    comm = data.draw(hostile)
    if data.draw(st.booleans()):
        return kc.CPUQVM(comm=comm).run(some_circuit(data), 10)
    return km.run(comm, some_circuit(data), data.draw(st.one_of(st.integers(1, 10), hostile)))


def call_state(data):
    op = data.draw(st.sampled_from(["evolve", "unitary", "encode"]))
    if op == "encode":
        encoder = kc.Encode()
        vector = data.draw(st.one_of(real_arrays, hostile))
        encoder.amplitude_encode(argument(data, "qubits"), vector)
        return encoder.get_circuit(), repr(encoder)
    if op == "unitary":
        width = argument(data, "n") if data.draw(st.booleans()) else None
        return qi.unitary(some_circuit(data), width)
    state = qi.StateVector(argument(data, "n"))
    return state.evolve(some_circuit(data)).ndarray(), len(state), repr(state)


# Deep and long OpenQASM: nesting and repetition far past any real file, each of which must
# read or be a ValueError, never exhaust the stack or the memory.
NESTINGS = {
    "parentheses": lambda k: "rx(" + "(" * k + "0.5" + ")" * k + ") q[0];",
    "functions": lambda k: "rx(" + "sin(" * k + "0.5" + ")" * k + ") q[0];",
    "signs": lambda k: "rx(" + "-" * k + "0.5) q[0];",
    "powers": lambda k: "rx(" + "2^" * k + "0.5) q[0];",
    "sums": lambda k: "rx(" + "+".join(["0.01"] * max(k, 1)) + ") q[0];",
    "unclosed": lambda k: "rx(" + "(" * k,
    "inv": lambda k: "inv @ " * k + "x q[0];",
    "pow": lambda k: "pow(2) @ " * k + "x q[0];",
    "ctrl": lambda k: "ctrl @ " * k + "x q[0], q[1];",
    "chain": lambda k: "".join(f"gate g{j} a {{ {'x' if j == 0 else f'g{j - 1}'} a; }}\n"
                               for j in range(k)) + f"g{k - 1} q[0];",
    "doubling": lambda k: "gate g0 a { x a; }\n" + "".join(
        f"gate g{j} a {{ g{j - 1} a; g{j - 1} a; }}\n" for j in range(1, k)) + f"g{k - 1} q[0];",
}


def call_qasm(data):
    header = 'OPENQASM 3.0;\ninclude "stdgates.inc";\nqubit[2] q;\n'
    roll = data.draw(st.integers(0, 2))
    if roll == 0:
        kind = data.draw(st.sampled_from(sorted(NESTINGS)))
        depth = data.draw(st.sampled_from([1, 2, 50, 99, 100, 101, 150, 3000, 30000]))
        if kind in ("chain", "doubling"):
            depth = min(depth, 3000 if kind == "chain" else 60)
        text = header + NESTINGS[kind](depth)
    else:
        text = kq.dumps(some_circuit(data)) if roll == 1 else header
        for _ in range(data.draw(st.integers(0, 4))):
            at = data.draw(st.integers(0, len(text)))
            text = text[:at] + data.draw(st.text("q[](){};,@-+*/^0123456789.xsin \n", max_size=8)) \
                + text[at:]
    return kq.loads(text)


def pickled_value(data):
    """An SDK object of any kind, built from drawn circuits."""
    n = data.draw(st.integers(1, 4))
    circuit = data.draw(circuits(n))[0]
    kind = data.draw(st.sampled_from(["circuit", "program", "gate", "state", "result",
                                      "measured", "machine", "encoder", "pauli"]))
    if kind == "circuit":
        return circuit
    if kind == "program":
        return kc.QProg(n) << circuit << kc.measure(0, 0)
    if kind == "gate":
        return data.draw(gates(n))[0]
    if kind == "state":
        return qi.StateVector(n).evolve(circuit)
    if kind in ("result", "measured"):
        prog = kc.QProg(n) << circuit
        if kind == "measured":
            prog << kc.measure(list(range(n)), list(range(n)))
        return kc.CPUQVM(seed=data.draw(st.integers(0, 9))).run(prog, data.draw(st.integers(1, 50)))
    if kind == "machine":
        return kc.CPUQVM(seed=data.draw(st.one_of(st.none(), st.integers(0, 2**64 - 1))))
    if kind == "encoder":
        encoder = kc.Encode()
        vector = np.array(data.draw(st.lists(st.floats(-1, 1), min_size=2**n, max_size=2**n)))
        if np.linalg.norm(vector) > 1e-3:
            encoder.amplitude_encode(list(range(n)), vector / np.linalg.norm(vector))
        return encoder
    labels = data.draw(st.lists(st.text("IXYZ", min_size=n, max_size=n), min_size=1, max_size=4))
    return qi.PauliSum([(label, float(k + 1)) for k, label in enumerate(labels)])


def check_pickle_round_trip(data):
    """Every SDK object comes back equal from pickle and both copies."""
    value = pickled_value(data)
    for clone in (pickle.loads(pickle.dumps(value)), copy.deepcopy(value), copy.copy(value)):
        if not (clone == value and type(clone) is type(value)):
            raise WrongResult(f"{type(value).__name__} came back unequal: {value!r}")


def call_parameters(data):
    """Circuits with parameters: binding, sweeps and gradients with drawn and hostile values."""
    t = kc.ParameterVector("t", data.draw(st.integers(1, 3)))
    n = data.draw(st.integers(1, 3))
    circuit = kc.QCircuit()
    for k in range(data.draw(st.integers(1, 6))):
        q = data.draw(st.integers(0, n - 1))
        angle = data.draw(st.one_of(st.sampled_from(list(t)), st.just(2 * t[k % len(t)] - 0.5),
                                    floats, hostile))
        circuit << data.draw(st.sampled_from([kc.RX, kc.RY, kc.RZ, kc.U1]))(q, angle)
    values = data.draw(st.one_of(real_arrays, st.just(np.zeros((3, len(t)))), hostile,
                                 st.just(np.full((2, len(t)), np.nan))))
    op = data.draw(st.sampled_from(["bind", "prob", "run", "expval", "gradient"]))
    if op == "bind":
        return circuit.bind(values)
    if op == "prob":
        return kc.CPUQVM().prob_batch(circuit, parameter_values=values)
    if op == "run":
        return kc.CPUQVM(seed=1).run_batch(circuit, 10, parameter_values=values)
    method = data.draw(st.sampled_from(["adjoint", "parameter-shift", None, "x"]))
    if op == "expval":
        return qi.expval("Z", circuit, parameter_values=values)
    return qi.gradient("Z", circuit, values, method)


CHANNELS = {"depolarizing": 2, "amplitude_damping": 1, "phase_damping": 1, "bit_flip": 1,
            "phase_flip": 1, "thermal_relaxation": 3, "readout_error": 2, "kraus": 1}
probabilities = st.one_of(st.floats(0, 1), floats, hostile)


def some_channel(data):
    name = data.draw(st.sampled_from(sorted(CHANNELS)))
    if name == "kraus":
        roll = data.draw(st.integers(0, 2))
        if roll == 0:
            p = data.draw(st.floats(0, 1))
            return kn.kraus([np.sqrt(1 - p) * np.eye(2), np.sqrt(p) * np.diag([1, -1])])
        return kn.kraus(data.draw(hostile) if roll == 1 else [data.draw(hostile)])
    args = [data.draw(probabilities) for _ in range(CHANNELS[name])]
    if name == "depolarizing" and data.draw(st.booleans()):
        args[1] = data.draw(st.one_of(st.integers(0, 3), hostile))
    elif name == "depolarizing":
        args = args[:1]
    if name == "thermal_relaxation" and data.draw(st.booleans()):
        args = [data.draw(st.floats(1, 100)), data.draw(st.floats(1, 100)),
                data.draw(st.floats(0, 5))]
    return getattr(kn, name)(*args)


def noise_model(data):
    model = kn.NoiseModel()
    for _ in range(data.draw(st.integers(0, 3))):
        channel = some_channel(data)
        gates = data.draw(st.one_of(st.none(), st.just(["H", "CNOT", "X"]), hostile))
        model.add(channel, gates if not channel.is_readout else None,
                  argument(data, "qubits") if data.draw(st.booleans()) else None)
    return model


def call_noise(data):
    """Channels, models, noisy machines and density matrices."""
    model = noise_model(data)
    op = data.draw(st.sampled_from(["run", "density", "pickle", "context"]))
    if op == "pickle":
        clone = pickle.loads(pickle.dumps(model))
        if clone != model:
            raise WrongResult(f"a NoiseModel came back unequal: {model!r}")
        return repr(model)
    if op == "density":
        rho = qi.DensityMatrix(data.draw(st.one_of(st.integers(0, 4), hostile)))
        rho = rho.evolve(some_circuit(data), noise=model)
        return rho.probabilities(), rho.purity(), rho.partial_trace(argument(data, "qubits"))
    method = data.draw(st.sampled_from(["statevector", "density_matrix"]))
    shots = data.draw(st.one_of(st.integers(1, 200), hostile))
    if op == "context":
        with kn.model(model):
            return kc.CPUQVM(seed=1).run(some_circuit(data), shots).get_counts()
    return kc.CPUQVM(seed=1, noise=model, method=method).run(some_circuit(data), shots).get_counts()


KESTRIX_TARGETS = {"kestrix.gates": call_gate, "kestrix.parameters": call_parameters,
                   "kestrix.measure_barrier_unitary": call_other_gate,
                   "kestrix.circuits": call_circuit, "kestrix.CPUQVM": call_machine,
                   "kestrix.split_CPUQVM": call_split,
                   "kestrix.quantum_info": call_state, "kestrix.reference": check_against_reference,
                   "kestrix.qasm": call_qasm, "kestrix.pickle": check_pickle_round_trip,
                   "kestrix.noise": call_noise}

# ------------------------------------------------------------------------------------------
# norvalis: every frame function and class, found by walking the package, so that a new
# module is fuzzed as soon as it lands.


def frame_callables():
    """{"module.name": callable} for every function and class a norvalis module defines."""
    found = {}
    for info in pkgutil.walk_packages(norvalis.__path__, "norvalis."):
        if "_tour" in info.name or info.name.endswith("__main__"):
            continue
        module = importlib.import_module(info.name)
        for name, value in vars(module).items():
            if getattr(value, "__module__", None) != module.__name__:
                continue
            if type(value).__name__ == "compiled_function" or isinstance(value, type):
                found[f"{module.__name__}.{name}"] = value
    return found


def call_with_drawn_arguments(data, function, skip_self=False):
    params = list(inspect.signature(function).parameters.values())
    if skip_self and params and params[0].name == "self":
        params = params[1:]
    kwargs = {}
    for p in params:
        if p.kind in (p.VAR_POSITIONAL, p.VAR_KEYWORD):
            continue
        if p.default is not p.empty and data.draw(st.integers(0, 3)) == 0:
            continue  # left to its default
        kwargs[p.name] = argument(data, p.name)
    return function(**kwargs)


def frame_target(name, value):
    def call(data):
        if not isinstance(value, type):
            result = call_with_drawn_arguments(data, value)
            if callable(result) and type(result).__name__ == "compiled_function":
                result = call_with_drawn_arguments(data, result)
            return result
        instance = call_with_drawn_arguments(data, value.__init__, skip_self=True)
        methods = [m for m, v in vars(value).items()
                   if type(v).__name__ == "compiled_function" and m != "__init__"]
        for _ in range(data.draw(st.integers(0, 2))):
            if methods:
                method = getattr(instance, data.draw(st.sampled_from(methods)))
                call_with_drawn_arguments(data, method)
        return instance

    return call


def all_targets():
    """{label: call(data)} for every family the fuzzer knows."""
    targets = dict(KESTRIX_TARGETS)
    for name, value in frame_callables().items():
        targets[name] = frame_target(name, value)
    return targets


# ------------------------------------------------------------------------------------------
# Judging an outcome.

CPP_TEXT = re.compile(r"std::|basic_string|vector::|max_size\(\)|_M_|bad_alloc|bad_cast|"
                      r"bad_variant|bad_function|unknown error in compiled code|terminate called")


def verdict(error):
    """'ok' for no error, the exception's type name for an acceptable one, and 'suspect:
    ...' for one that shows a fault of ours."""
    if error is None:
        return "ok"
    name = type(error).__name__
    text = str(error)
    if isinstance(error, (SystemError, WrongResult)) or CPP_TEXT.search(text):
        return f"suspect: {name}: {text[:200]}"
    return name
