"""Single-precision states and runs: against the dense model and the double engine, with
tolerances taken from the figures of bench/sdk_precision.py, and the precision kept by
every object that carries it (arrays, pickles, results, batches)."""
import math
import pickle

import numpy as np
import pytest
import reference as ref
from engine_circuits import random_circuit

import kestrix.noise as kn
from kestrix.core import (
    CNOT,
    CPUQVM,
    CR,
    RX,
    RY,
    RZ,
    SWAP,
    Encode,
    H,
    QCircuit,
    QProg,
    X,
    measure,
    state_passes,
)
from kestrix.quantum_info import DensityMatrix, StateVector, expval, unitary

# Measured on QFT and layered circuits of 16 to 24 qubits (docs/precision.md): the largest
# amplitude error stays below 3.5e-8 after one QFT or 20 layers, and below 2.1e-7 after
# ten QFTs; the norm drifts by at most 4e-7 (3.6e-6 after ten QFTs); 1 - fidelity stays
# below 1e-11. The bounds below leave a factor of about 5 to 30 over those figures.
MAX_ERROR = 1e-6
MAX_DRIFT = 1e-5
MAX_INFIDELITY = 1e-10
# A random circuit of up to 60 gates on states of few qubits, whose amplitudes are large:
# float rounding of 6e-8 relative per operation, summed.
REFERENCE_TOLERANCE = 2e-5


def qft(n):
    c = QCircuit()
    for t in reversed(range(n)):
        c << H(t)
        for k in reversed(range(t)):
            c << CR(k, t, math.pi / 2 ** (t - k))
    for q in range(n // 2):
        c << SWAP(q, n - 1 - q)
    return c


def layered(n, depth, seed=1):
    rng = np.random.default_rng(seed)
    c = QCircuit()
    for _ in range(depth):
        for q in range(n):
            c << RX(q, float(rng.uniform(0, 2 * np.pi))) << RZ(q, float(rng.uniform(0, 2 * np.pi)))
        for q in range(n):
            c << CNOT(q, (q + 1) % n)
    return c


def product_state(n, seed=2):
    rng = np.random.default_rng(seed)
    c = QCircuit()
    for q in range(n):
        c << RY(q, float(rng.uniform(0, np.pi))) << RZ(q, float(rng.uniform(0, 2 * np.pi)))
    return c


# Narrow circuits take the scalar and per-lane paths; the wide ones (10 to 16 qubits) fuse,
# thread and cache-block, chunks of single-precision states holding one more qubit.
@pytest.mark.parametrize("seed", range(24))
def test_random_circuits_in_single_precision_match_the_dense_model(seed):
    rng = np.random.default_rng(5000 + seed)
    n = int(rng.integers(10, 17)) if seed % 4 == 0 else int(rng.integers(1, 7))
    circuit, ops = random_circuit(rng, n, int(rng.integers(5, 60)), every_kind=True)
    expected = ref.circuit_state(ops, n)
    state = StateVector(n, precision="single").evolve(circuit)
    amplitudes = np.asarray(state)
    assert amplitudes.dtype == np.complex64
    assert np.max(np.abs(amplitudes - expected)) < REFERENCE_TOLERANCE, seed
    probs = CPUQVM(precision="single").run(QProg(n) << circuit, shots=1).get_prob_list(
        list(range(n)))
    assert np.max(np.abs(np.array(probs) - np.abs(expected) ** 2)) < REFERENCE_TOLERANCE
    if n <= 6:
        matrix = unitary(circuit, n, precision="single")
        assert matrix.dtype == np.complex64
        assert np.max(np.abs(matrix - ref.circuit_unitary(ops, n))) < REFERENCE_TOLERANCE


@pytest.mark.parametrize("name, circuit", [
    ("QFT", product_state(16) + qft(16)),
    ("layered depth 20", layered(16, 20)),
])
def test_single_precision_stays_within_the_measured_accuracy(name, circuit):
    double = np.asarray(StateVector(16).evolve(circuit))
    single = np.asarray(StateVector(16, precision="single").evolve(circuit)).astype(complex)
    norm2 = np.vdot(single, single).real
    assert np.max(np.abs(single - double)) < MAX_ERROR, name
    assert abs(math.sqrt(norm2) - 1) < MAX_DRIFT, name
    assert 1 - abs(np.vdot(double, single)) ** 2 / norm2 < MAX_INFIDELITY, name


def test_states_keep_their_precision_through_arrays_pickles_and_evolution():
    bell = QCircuit() << H(0) << CNOT(0, 1)
    double = StateVector(2).evolve(bell)
    from_array = StateVector(np.asarray(double).astype(np.complex64))
    assert from_array.precision == "single"
    assert StateVector(np.asarray(double)).precision == "double"
    assert StateVector(np.asarray(double), precision="single").precision == "single"
    assert StateVector([1, 0], precision="single").precision == "single"
    evolved = from_array.evolve(X(1))
    assert evolved.precision == "single" and np.asarray(evolved).dtype == np.complex64
    assert evolved.ndarray().dtype == np.complex64
    assert np.asarray(evolved, dtype=np.complex128).dtype == np.complex128
    copy = pickle.loads(pickle.dumps(evolved))
    assert copy == evolved and copy.precision == "single" and hash(copy) == hash(evolved)
    # Equal values in two precisions are two different states.
    assert StateVector([1, 0]) != StateVector([1, 0], precision="single")
    assert repr(StateVector([0, 1], precision="single")) == (
        "StateVector([0j, (1+0j)], precision='single')")
    assert np.allclose(np.asarray(evolved), np.asarray(double.evolve(X(1))), atol=1e-7)


def test_machines_results_and_batches_say_which_precision_made_them():
    np.random.seed(3)
    machine = CPUQVM(seed=5, precision="single")
    assert machine.precision == "single" and repr(machine) == "CPUQVM(seed=5, precision='single')"
    assert CPUQVM().precision == "double" and repr(CPUQVM()) == "CPUQVM()"
    shots = 4000
    result = machine.run(QProg(2) << H(0) << CNOT(0, 1) << measure([0, 1], [0, 1]), shots=shots)
    counts = result.get_counts()
    assert set(counts) == {"00", "11"} and result.precision == "single"
    # Five standard deviations of a binomial count at p = 1/2.
    assert abs(counts["00"] - shots / 2) < 5 * math.sqrt(shots / 4)
    for obj in (result, machine):
        assert pickle.loads(pickle.dumps(obj)).precision == "single"
    assert pickle.loads(pickle.dumps(machine)) == machine != CPUQVM(seed=5)
    assert CPUQVM().run(QProg(1) << X(0)).precision == "double"

    programs = [QProg(1) << X(0), QProg(1) << H(0)]
    batch = machine.run_batch(programs, shots=10)
    assert [r.precision for r in batch] == ["single", "single"]
    assert [r.precision for r in machine.run_batch(programs, precision="double")] == [
        "double", "double"]
    rows = CPUQVM().prob_batch(programs, [0], precision="single")
    assert np.allclose(rows, [[0, 1], [0.5, 0.5]], atol=1e-7)
    # A single run's probabilities are sums of floats squared, taken in double.
    assert rows.dtype == np.float64


def test_shot_by_shot_runs_collapse_single_precision_states():
    # Qubit 0 is acted on after its measurement: every shot is simulated with collapse.
    shots = 2000
    prog = QProg(2) << H(0) << measure(0, 0) << CNOT(0, 1) << measure(1, 1)
    result = CPUQVM(seed=4, precision="single").run(prog, shots=shots)
    counts = result.get_counts()
    assert set(counts) == {"00", "11"} and sum(counts.values()) == shots
    assert abs(counts["11"] - shots / 2) < 5 * math.sqrt(shots / 4)
    assert np.allclose(result.get_prob_list([0, 1]), [counts["00"] / shots, 0, 0,
                                                      counts["11"] / shots])


def test_expval_reads_single_states_and_runs_circuits_in_single():
    circuit = QCircuit() << H(0) << CNOT(0, 1) << RY(2, 0.4) << RX(1, 0.3)
    for label in ("IZZ", "XYZ", "ZII"):
        double = expval(label, circuit)
        assert abs(expval(label, circuit, precision="single") - double) < 1e-6
        state = StateVector(3, precision="single").evolve(circuit)
        assert abs(expval(label, state) - double) < 1e-6


@pytest.mark.parametrize("call, message", [
    (lambda: CPUQVM(precision="float"), "precision must be 'double' or 'single', got 'float'"),
    (lambda: StateVector(2, precision="half"), "precision must be 'double' or 'single'"),
    (lambda: CPUQVM(noise=kn.NoiseModel(), precision="single"), "runs without noise"),
    (lambda: CPUQVM(method="statevector", precision="single"), "runs without noise"),
    (lambda: DensityMatrix(StateVector(1, precision="single")), "precision='single'"),
    (lambda: expval("Z", StateVector(1, precision="single"), precision="double"),
     "the state is in single precision, not double"),
    (lambda: CPUQVM(precision="single").prob_batch(QProg(1) << RX(0, 0.1), [0],
                                                   parameter_values=[[0.1]]),
     "double precision only"),
    (lambda: CPUQVM(precision="single").run_batch([QProg(1)], executor=object()),
     "pass no executor"),
    (lambda: StateVector(np.array([1, 0.1], dtype=np.complex64)), "norm 1 (within 1e-4)"),
])
def test_paths_without_single_precision_refuse_it(call, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        call()


def test_a_current_noise_model_refuses_a_single_precision_run():
    with kn.model(kn.NoiseModel()), pytest.raises(ValueError, match="runs without noise"):
        CPUQVM(precision="single").run(QProg(1) << X(0))


def test_precision_must_be_a_str_and_memory_checks_count_eight_bytes():
    with pytest.raises(TypeError, match="precision must be a str, got int"):
        CPUQVM(precision=1)
    with pytest.raises(MemoryError, match=r"needs 2\*\*64 bytes"):
        StateVector(61, precision="single")
    with pytest.raises(MemoryError, match=r"needs 2\*\*65 bytes"):
        StateVector(61)


def test_wide_repeated_blocks_selected_by_a_single_precision_lane_qubit():
    # Powers of an 8-qubit block controlled by qubits 2, 11, 12 and 13 fold into matrix
    # powers joined into one block multiplexed by those qubits; qubit 2 lies inside a
    # register of complex64 amplitudes on AVX-512 (not of complex128 ones).
    block = QCircuit()
    for q in range(3, 11):
        block << RY(q, 0.3 + 0.1 * q)
    for q in range(3, 10):
        block << CNOT(q, q + 1)
    controls = [2, 11, 12, 13]
    circuit = QCircuit()
    for q in [0, 1, *controls]:
        circuit << H(q)
    for i, control in enumerate(controls):
        for _ in range(4**i):
            circuit << block.control(control)
    assert state_passes(QProg(14) << circuit) < 10  # folded, not run copy by copy
    double = np.asarray(StateVector(14).evolve(circuit))
    single = np.asarray(StateVector(14, precision="single").evolve(circuit))
    assert np.max(np.abs(single - double)) < MAX_ERROR


@pytest.mark.parametrize("start", [QCircuit(), QCircuit() << H(3)])
def test_amplitude_encoding_in_single_precision(start):
    # From |0...0> the encoded amplitudes are written at once; from another state they run
    # as gates.
    rng = np.random.default_rng(8)
    v = rng.normal(size=64)
    v /= np.linalg.norm(v)
    e = Encode()
    e.amplitude_encode([0, 1, 2, 4, 5, 6], v)
    circuit = start + e.get_circuit()
    double = np.asarray(StateVector(7).evolve(circuit))
    single = np.asarray(StateVector(7, precision="single").evolve(circuit))
    assert np.max(np.abs(single - double)) < MAX_ERROR
