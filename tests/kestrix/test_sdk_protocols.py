"""The Python protocols users of other SDKs reach for: pickling and copying, equality and
hashing, reprs that read back, NumPy arrays, indexing, slicing and concatenation."""
import concurrent.futures
import copy
import multiprocessing
import pickle

import numpy as np
import pytest
import reference as ref

import kestrix
import kestrix.core as core
import norvalis
from kestrix.core import (
    CNOT,
    CPUQVM,
    RX,
    RY,
    RZ,
    SDG,
    SX,
    SXDG,
    TDG,
    U3,
    Encode,
    H,
    QCircuit,
    QProg,
    S,
    T,
    X,
    measure,
)
from kestrix.quantum_info import PauliSum, StateVector, unitary


def structured_program():
    """Nested, controlled and inverted blocks, a block repeated, and measurements."""
    block = QCircuit() << RY(0, 0.3) << CNOT(0, 1) << T(1)
    p = QProg(4) << H(3) << block.control([3]).dagger()
    for _ in range(5):
        p << block.control([2])
    return p << S(0) << measure([0, 1], [0, 1])


def encoded():
    encoder = Encode()
    encoder.amplitude_encode([0, 1], [0.5, 0.5, 0.5, -0.5])
    return encoder


def run_in_child(prog):
    """What a worker process returns: exact probabilities and the program it received."""
    return CPUQVM().run(prog.to_circuit()[:-2]).get_prob_list(), prog


class TestPickleAndCopy:
    @pytest.mark.parametrize("make", [
        lambda: U3(2, 0.1, -0.2, 1e-30).control([0, 1]).dagger(),
        lambda: measure(3, 5),
        lambda: structured_program().to_circuit(),
        structured_program,
        lambda: QProg(7),
        lambda: PauliSum([("XYZ", 0.5), ("IIZ", -2.0)]),
        lambda: core.UNITARY([1, 0], np.eye(4)[[0, 2, 1, 3]] * 1j).control([2]).dagger(),
    ])
    @pytest.mark.parametrize("clone", [
        lambda x: pickle.loads(pickle.dumps(x)), copy.copy, copy.deepcopy])
    def test_values_come_back_equal(self, make, clone):
        original = make()
        assert clone(original) == original
        assert type(clone(original)) is type(original)

    def test_circuits_and_programs_copy_as_values(self):
        for original in (structured_program(), structured_program().to_circuit()):
            for twin in (copy.copy(original), copy.deepcopy(original),
                         pickle.loads(pickle.dumps(original))):
                twin << X(0)
                assert len(twin) == len(original) + 1 and twin != original

    @pytest.mark.parametrize("make", [
        lambda: StateVector(np.array([0.6, 0.8])),
        lambda: StateVector(4).evolve(structured_program().to_circuit()[:-2]),
        lambda: CPUQVM(seed=4).run(structured_program(), shots=50),
        lambda: CPUQVM().run(QProg(2) << H(0)),
        lambda: CPUQVM(seed=9),
        lambda: CPUQVM(),
        encoded,
        lambda: PauliSum([("XZ", 0.5), ("ZI", -1.0)]),
    ])
    @pytest.mark.parametrize("clone", [
        lambda x: pickle.loads(pickle.dumps(x)), copy.copy, copy.deepcopy])
    def test_states_results_machines_encoders_and_sums_compare_by_value(self, make, clone):
        original = make()
        assert clone(original) == original and make() == original
        assert not clone(original) != original
        if isinstance(original, (StateVector, core.QResult, PauliSum)):
            assert hash(clone(original)) == hash(original)
        else:  # they change in place
            with pytest.raises(TypeError, match="unhashable"):
                hash(original)

    def test_value_equality_tells_different_values_apart(self):
        assert StateVector(2) != StateVector(3)
        assert StateVector(np.array([0.6, 0.8])) != StateVector(np.array([0.8, 0.6]))
        assert StateVector(np.array([1, 0])) == StateVector(np.array([1, -0.0]))
        assert hash(StateVector(np.array([1, 0]))) == hash(StateVector(np.array([1, -0.0])))
        assert CPUQVM(seed=1) != CPUQVM(seed=2) and CPUQVM() != CPUQVM(seed=0)
        prog = QProg(1) << H(0) << measure(0, 0)
        assert CPUQVM(seed=1).run(prog, 100) != CPUQVM(seed=2).run(prog, 100)
        assert CPUQVM(seed=1).run(prog, 100) != CPUQVM(seed=1).run(prog, 101)
        other = Encode()
        other.amplitude_encode([0, 1], [0.5, 0.5, -0.5, 0.5])
        assert encoded() != other and encoded() != Encode()
        assert StateVector(1) != "StateVector(1)" and CPUQVM() != None  # noqa: E711

    def test_results_machines_states_and_encoders(self):
        qvm = CPUQVM(seed=5)
        result = qvm.run(structured_program(), shots=200)
        for clone in (lambda x: pickle.loads(pickle.dumps(x)), copy.deepcopy):
            back = clone(result)
            assert back.get_counts() == result.get_counts()
            assert back.get_prob_list([2, 3]) == result.get_prob_list([2, 3])
            machine = clone(qvm)
            assert repr(machine) == "CPUQVM(seed=5)"
            assert machine.result().get_counts() == result.get_counts()
            assert machine.run(structured_program(), 200).get_counts() == result.get_counts()
        state = StateVector(4).evolve(structured_program().to_circuit()[:-2])
        assert np.array_equal(pickle.loads(pickle.dumps(state)).ndarray(), state.ndarray())
        encoder = Encode()
        encoder.amplitude_encode([0, 1], [0.5, 0.5, 0.5, -0.5])
        twin = pickle.loads(pickle.dumps(encoder))
        assert twin.get_circuit() == encoder.get_circuit()
        twin.amplitude_encode([2], [0, 1])
        assert len(twin.get_circuit()) > len(encoder.get_circuit())
        assert pickle.loads(pickle.dumps(CPUQVM())).__repr__() == "CPUQVM()"

    def test_repeated_blocks_pickle_once(self):
        block = QCircuit() << RY(0, 0.3) << CNOT(0, 1) << RZ(1, 0.2) << H(0)
        once = QCircuit() << block.control([2])
        many = QCircuit()
        for _ in range(2000):
            many << block.control([2])
        assert len(pickle.dumps(many)) < len(pickle.dumps(once)) + 2000 * 16
        assert pickle.loads(pickle.dumps(many)) == many

    def test_functions_pickle_by_name(self):
        assert pickle.loads(pickle.dumps(core.H)) is core.H
        assert pickle.loads(pickle.dumps(core.CPUQVM.run)) is core.CPUQVM.run

    @pytest.mark.parametrize("data", [b"", b"Z", b"C\x01", b"C\x02" + bytes(10),
                                      pickle.dumps(H(0))[:-1]])
    def test_damaged_bytes_are_value_errors(self, data):
        with pytest.raises((ValueError, pickle.UnpicklingError, EOFError)):
            core._loads(data) if not data.startswith(b"\x80") else pickle.loads(data)

    def test_objects_travel_to_worker_processes(self):
        prog = structured_program()
        context = multiprocessing.get_context("spawn")
        with concurrent.futures.ProcessPoolExecutor(1, mp_context=context) as pool:
            probs, echoed = pool.submit(run_in_child, prog).result(timeout=120)
        assert echoed == prog
        assert probs == CPUQVM().run(prog.to_circuit()[:-2]).get_prob_list()


class TestEquality:
    def test_gates_are_hashable_values(self):
        a, b = RX(0, 0.5).control([1]), RX(0, 0.5).control([1])
        assert a == b and hash(a) == hash(b) and len({a, b}) == 1
        assert RZ(0, 0.0) == RZ(0, -0.0) and hash(RZ(0, 0.0)) == hash(RZ(0, -0.0))
        assert a != RX(0, 0.5) and a != RX(0, 0.5).control([1]).dagger()
        assert a != "RX" and a is not None

    def test_circuits_compare_by_gates_and_are_unhashable(self):
        block = QCircuit() << H(0) << CNOT(0, 1)
        assert (QCircuit() << block) == (QCircuit() << H(0) << CNOT(0, 1))
        assert (QCircuit() << H(0)) != (QCircuit() << H(1))
        assert QProg(3) << H(0) != QProg(2) << H(0)  # widths differ
        assert (QProg(1) << H(0)) != (QCircuit() << H(0))
        for obj in (QCircuit(), QProg(1)):
            with pytest.raises(TypeError, match="unhashable"):
                hash(obj)


class TestReprs:
    def test_gate_reprs_read_back_exactly(self):
        rng = np.random.default_rng(4)
        names = vars(core)
        for _ in range(300):
            angles = [float(x) for x in rng.normal(0, 10.0 ** rng.integers(-20, 20), 3)]
            gate = U3(int(rng.integers(0, 9)), *angles)
            if rng.random() < 0.5:
                gate = gate.control([9, 10]).dagger()
            assert eval(repr(gate), names) == gate
        assert repr(U3(0, 0.1, 0.2, 0.3)) == "U3(0, 0.1, 0.2, 0.3)"
        assert repr(RX(0, 1)) == "RX(0, 1.0)"
        assert repr(SDG(1)) == "S(1).dagger()"

    def test_small_circuits_and_programs_read_back(self):
        names = vars(core)
        prog = QProg(5) << H(0) << RY(1, 1e-12).control([0]) << measure([0, 1], [1, 0])
        assert eval(repr(prog), names) == prog
        assert eval(repr(prog.to_circuit()), names) == prog.to_circuit()
        assert eval(repr(QCircuit()), names) == QCircuit()

    def test_small_states_and_observables_read_back(self):
        names = {**vars(core), **vars(kestrix.quantum_info)}
        state = StateVector(2).evolve(QCircuit() << H(0) << RY(1, 0.3))
        assert np.array_equal(eval(repr(state), names).ndarray(), state.ndarray())
        h = PauliSum.from_sparse([("XZ", [3, 0], 0.1), ("Y", [1], -2.5)])
        assert eval(repr(h), names) == h


class TestNumPy:
    def test_state_from_an_array_is_checked(self):
        amps = np.array([0.6, 0, 0, 0.8j])
        assert np.array_equal(StateVector(amps).ndarray(), amps)
        assert StateVector(list(amps)).num_qubits == 2
        for bad, message in [([1, 0, 0], "power-of-two"), ([0.6, 0.6], "norm 1"),
                             ([[1, 0]], "one-dimensional"), ([np.nan, 1], "finite"),
                             ([], "power-of-two")]:
            with pytest.raises(ValueError, match=message):
                StateVector(bad)

    def test_asarray_gives_the_complex_vector(self):
        state = StateVector(2).evolve(QCircuit() << H(0) << CNOT(0, 1))
        array = np.asarray(state)
        assert array.dtype == np.complex128 and array.shape == (4,)
        assert np.allclose(array, [2 ** -0.5, 0, 0, 2 ** -0.5])
        assert np.asarray(state, dtype=np.complex64).dtype == np.complex64
        array[0] = 7  # a copy: the state is immutable
        assert state.ndarray()[0] != 7
        assert np.allclose(np.abs(state) ** 2, [0.5, 0, 0, 0.5])
        with pytest.raises(ValueError):
            np.array(state, copy=False)

    def test_probabilities_follow_the_sdk_bit_order(self):
        rng = np.random.default_rng(1)
        amps = rng.normal(size=16) + 1j * rng.normal(size=16)
        state = StateVector(amps / np.linalg.norm(amps))
        prog = QProg(4) << Encode_circuit(np.asarray(state))
        for qubits in (None, [2], [3, 0], [1, 3, 2]):
            expected = CPUQVM().run(prog).get_prob_list(qubits)
            assert np.allclose(state.probabilities(qubits), expected, atol=1e-12)
        assert state.probabilities([3, 0]).dtype == np.float64
        with pytest.raises(ValueError, match="more than once"):
            state.probabilities([1, 1])
        with pytest.raises(IndexError):
            state.probabilities([4])


def Encode_circuit(amplitudes):
    e = Encode()
    e.amplitude_encode(list(range(int(np.log2(len(amplitudes))))), amplitudes)
    return e.get_circuit()


class TestCircuitTools:
    def test_indexing_and_slicing_read_gates_in_execution_order(self):
        c = structured_program().to_circuit()
        gates = list(c)
        assert [c[k] for k in range(len(c))] == gates
        assert c[-1] == gates[-1] and c[np.int64(2)] == gates[2]
        assert list(c[2:9:3]) == gates[2:9:3] and list(c[::-1]) == gates[::-1]
        assert isinstance(c[1:3], QCircuit) and c[100:] == QCircuit()
        prog = structured_program()
        assert isinstance(prog[:2], QProg) and prog[:2].num_qubits == prog.num_qubits
        with pytest.raises(IndexError, match="QCircuit index out of range"):
            c[len(c)]
        with pytest.raises(TypeError, match="integers or slices"):
            c["0"]

    def test_plus_concatenates_without_changing_either_side(self):
        a, b = QCircuit() << H(0), QCircuit() << X(1)
        both = a + b
        assert list(both) == [H(0), X(1)] and len(a) == 1 and len(b) == 1
        assert list(a + X(2)) == [H(0), X(2)]
        assert (QProg(3) + (QProg(5) << H(0))).num_qubits == 5
        with pytest.raises(TypeError):
            a + 1

    def test_depth_and_count_ops(self):
        c = QCircuit() << H(0) << H(1) << CNOT(0, 1) << X(2) << measure(1, 0)
        assert c.depth() == 3
        assert c.count_ops() == {"H": 2, "CNOT": 1, "X": 1, "MEASURE": 1}
        assert list(c.count_ops()) == ["H", "CNOT", "X", "MEASURE"]
        assert QCircuit().depth() == 0 and QProg(3).count_ops() == {}

    def test_versions(self):
        assert kestrix.__version__ == norvalis.__version__
        assert kestrix.__version__.count(".") >= 2


@pytest.mark.parametrize("gate, matrix, square", [
    (S(0), np.diag([1, 1j]), core.Z(0)),
    (T(0), np.diag([1, np.exp(1j * np.pi / 4)]), S(0)),
    (SX(0), ref.expm(-1j * np.pi / 4 * (ref.PAULI["X"] - np.eye(2))), X(0)),
    (SDG(0), np.diag([1, -1j]), core.Z(0)),
    (TDG(0), np.diag([1, np.exp(-1j * np.pi / 4)]), SDG(0)),
    (SXDG(0), ref.expm(1j * np.pi / 4 * (ref.PAULI["X"] - np.eye(2))), X(0)),
])
def test_s_t_and_sx_gates_are_square_roots(gate, matrix, square):
    assert np.allclose(unitary(gate), matrix, atol=1e-15)
    assert np.allclose(unitary(QCircuit() << gate << gate), unitary(square), atol=1e-15)
    controlled = gate.control([1])
    expected = np.block([[np.eye(2), 0 * matrix], [0 * matrix, matrix]])  # control: high bit
    assert np.allclose(unitary(controlled), expected, atol=1e-15)
