"""Noise: channels and models, trajectories, and exact density matrices. The density
matrix is checked against a dense NumPy model (every Kraus operator embedded and applied
as rho -> sum K rho K^dagger), closed forms of decay, and Qiskit Aer where it installs;
trajectories are checked against the density matrix within shot noise."""
import copy
import pickle

import numpy as np
import pytest
import reference as ref
from engine_circuits import random_circuit
from interrupting import ctrl_c_after
from isolated import child_lines

import kestrix.noise as kn
from kestrix.core import CNOT, CPUQVM, RX, RZ, H, I, QCircuit, QProg, X, measure
from kestrix.quantum_info import DensityMatrix, PauliSum, StateVector

NAMED = [
    kn.depolarizing(0.3), kn.depolarizing(0.2, num_qubits=2), kn.amplitude_damping(0.4),
    kn.phase_damping(0.25), kn.bit_flip(0.1), kn.phase_flip(0.7),
    kn.thermal_relaxation(40.0, 30.0, 5.0), kn.thermal_relaxation(10.0, 20.0, 3.0),
]


# ------------------------------------------------------------------------------------------
# Channels and models.


@pytest.mark.parametrize("channel", NAMED, ids=repr)
def test_named_channels_are_complete_and_round_trip(channel):
    d = 2 ** channel.num_qubits
    total = sum(k.conj().T @ k for k in channel.kraus)
    assert np.abs(total - np.eye(d)).max() < 1e-12
    for clone in (pickle.loads(pickle.dumps(channel)), copy.deepcopy(channel)):
        assert clone == channel and hash(clone) == hash(channel) and repr(clone) == repr(channel)
    name = repr(channel).split("(")[0]
    assert channel.is_unitary_mixture == (name in ("depolarizing", "bit_flip", "phase_flip"))


def test_channels_compare_by_what_made_them():
    assert kn.bit_flip(0.1) != kn.bit_flip(0.2) and kn.bit_flip(0.1) != kn.phase_flip(0.1)
    ops = [np.sqrt(0.5) * np.eye(2), np.sqrt(0.5) * np.diag([1, -1])]
    made = kn.kraus(ops)
    assert made == pickle.loads(pickle.dumps(made)) and repr(made) == "kraus(<2 operators, 2x2>)"
    assert made.is_unitary_mixture and not kn.kraus([np.eye(2)]).is_readout
    assert kn.readout_error(0.1, 0.2).is_readout and kn.readout_error(0.1, 0.2).kraus == []


@pytest.mark.parametrize("make, error, match", [
    (lambda: kn.kraus([np.eye(2), np.eye(2)]), ValueError, "not complete"),
    (lambda: kn.kraus([np.eye(3)]), ValueError, "2\\*\\*k x 2\\*\\*k"),
    (lambda: kn.kraus([np.eye(2), np.eye(4)]), ValueError, "differ in size"),
    (lambda: kn.kraus([np.ones((2, 3))]), ValueError, "square"),
    (lambda: kn.kraus([[[np.nan, 0], [0, 1]]]), ValueError, "non-finite"),
    (lambda: kn.kraus([]), ValueError, "at least one"),
    (lambda: kn.kraus("ab"), TypeError, "list of matrices"),
    (lambda: kn.depolarizing(1.5), ValueError, "\\[0, 1\\], got 1.5"),
    (lambda: kn.depolarizing(0.1, 3), ValueError, "1 or 2"),
    (lambda: kn.bit_flip(-0.1), ValueError, "probability"),
    (lambda: kn.amplitude_damping(float("nan")), ValueError, "finite"),
    (lambda: kn.phase_flip("0.1"), TypeError, "real number"),
    (lambda: kn.phase_damping(True), TypeError, "bool"),
    (lambda: kn.readout_error(0.1, 2), ValueError, "p10"),
    (lambda: kn.thermal_relaxation(10.0, 25.0, 1.0), ValueError, "at most 2 \\* t1"),
    (lambda: kn.thermal_relaxation(0.0, 1.0, 1.0), ValueError, "t1 must be positive"),
    (lambda: kn.thermal_relaxation(1.0, 1.0, -1.0), ValueError, "non-negative"),
])
def test_bad_channels_are_refused(make, error, match):
    with pytest.raises(error, match=match):
        make()


@pytest.mark.parametrize("args, error, match", [
    ((kn.bit_flip(0.1), ["HADAMARD"]), ValueError, "unknown gate name 'HADAMARD'"),
    ((kn.bit_flip(0.1), ["MEASURE"]), ValueError, "unknown gate name"),
    ((kn.bit_flip(0.1), [3]), TypeError, "strings"),
    ((kn.bit_flip(0.1), None, [0, 0]), ValueError, "used more than once"),
    ((kn.bit_flip(0.1), None, [-1]), ValueError, "non-negative"),
    ((kn.readout_error(0.1, 0.1), ["X"]), ValueError, "leave gates=None"),
    (("bit_flip",), TypeError, "expected a Channel"),
])
def test_bad_rules_are_refused(args, error, match):
    with pytest.raises(error, match=match):
        kn.NoiseModel().add(*args)


def test_models_print_pickle_and_compare():
    m = kn.NoiseModel()
    m.add(kn.depolarizing(0.01), ["H", "RX"])
    m.add(kn.depolarizing(0.02, num_qubits=2), "CNOT", qubits=range(3))
    m.add(kn.readout_error(0.01, 0.03), qubits=[0])
    assert repr(m) == ("NoiseModel(\n    depolarizing(0.01) after ['H', 'RX'],\n"
                       "    depolarizing(0.02, num_qubits=2) after ['CNOT'] of qubits [0, 1, 2],\n"
                       "    readout_error(0.01, 0.03) on measurements of qubits [0],\n)")
    for clone in (pickle.loads(pickle.dumps(m)), copy.deepcopy(m), copy.copy(m)):
        assert clone == m and clone is not m
    assert m.rules[1] == (kn.depolarizing(0.02, num_qubits=2), ["CNOT"], [0, 1, 2])
    assert m != kn.NoiseModel() and repr(kn.NoiseModel()) == "NoiseModel()"
    with pytest.raises(TypeError):
        hash(m)


# ------------------------------------------------------------------------------------------
# The density matrix against a dense NumPy model.


def full_kraus(k, qubits, n):
    return ref.embed(np.asarray(k), qubits, n)


def reference_rho(ops, n, rules):
    """rho after reference ops, each followed by the channels of `rules` (channel, gate
    names or None, qubits or None) as NoiseModel.add attaches them."""
    rho = np.zeros((2**n, 2**n), dtype=complex)
    rho[0, 0] = 1
    for name, targets, params, controls, dagger in ops:
        u = ref.gate_unitary(name, targets, params, controls, dagger, n)
        rho = u @ rho @ u.conj().T
        on = list(targets) + list(controls)
        for channel, gates, qubits in rules:
            if gates is not None and name not in gates:
                continue
            if channel.num_qubits == 1:
                places = [[q] for q in on if qubits is None or q in qubits]
            elif len(on) == channel.num_qubits and all(qubits is None or q in qubits for q in on):
                places = [on]
            else:
                places = []
            for place in places:
                ks = [full_kraus(k, place, n) for k in channel.kraus]
                rho = sum(k @ rho @ k.conj().T for k in ks)
    return rho


def pauli_matrix(label):
    """The matrix of a Pauli label (its last character on qubit 0)."""
    out = np.eye(1)
    for letter in label:
        out = np.kron(out, ref.PAULI.get(letter, np.eye(2)))
    return out


def random_kraus(rng, k, count):
    """A random complete set: the blocks of an isometry's columns."""
    d = 2**k
    z = rng.normal(size=(d * count, d)) + 1j * rng.normal(size=(d * count, d))
    q, _ = np.linalg.qr(z)
    return [q[i * d:(i + 1) * d] for i in range(count)]


def random_model(rng, n):
    rules = [
        (kn.depolarizing(float(rng.uniform(0, 0.3))), None, None),
        (kn.amplitude_damping(float(rng.uniform(0, 0.3))), ["H", "RX", "U3", "X"], None),
        (kn.kraus(random_kraus(rng, 1, 3)), None, [int(rng.integers(n))]),
        (kn.depolarizing(float(rng.uniform(0, 0.3)), 2), ["CNOT", "CZ", "SWAP"], None),
        (kn.kraus(random_kraus(rng, 2, 2)), ["CR"], None),
    ]
    model = kn.NoiseModel()
    for rule in rules:
        model.add(*rule)
    return model, rules


@pytest.mark.parametrize("seed", range(6))
def test_density_matrix_matches_the_dense_model(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 5))
    circuit, ops = random_circuit(rng, n, 12)
    model, rules = random_model(rng, n)
    rho = DensityMatrix(n).evolve(circuit, noise=model)
    expected = reference_rho(ops, n, rules)
    assert np.abs(np.asarray(rho) - expected).max() < 1e-10
    assert abs(rho.purity() - np.trace(expected @ expected).real) < 1e-10
    assert np.allclose(rho.probabilities(), np.diag(expected).real, atol=1e-12)
    terms = [("Z" * n, 0.5), ("X" + "Y" * (n - 1), -1.5)]
    exact = sum(c * np.trace(expected @ pauli_matrix(label)).real for label, c in terms)
    assert abs(rho.expval(PauliSum(terms)) - exact) < 1e-10


@pytest.mark.parametrize("seed", range(4))
def test_noiseless_density_matrix_is_the_pure_state(seed):
    rng = np.random.default_rng(100 + seed)
    n = int(rng.integers(1, 7))
    circuit, _ = random_circuit(rng, n, 30, every_kind=True)
    psi = np.asarray(StateVector(n).evolve(circuit))
    for rho in (DensityMatrix(n).evolve(circuit), DensityMatrix(StateVector(n).evolve(circuit))):
        assert np.abs(np.asarray(rho) - np.outer(psi, psi.conj())).max() < 1e-12
        assert abs(rho.purity() - 1) < 1e-12


def test_expval_partial_trace_and_probabilities_read_the_matrix():
    rng = np.random.default_rng(7)
    circuit, _ = random_circuit(rng, 3, 15)
    model = kn.NoiseModel()
    model.add(kn.amplitude_damping(0.2))
    rho = DensityMatrix(3).evolve(circuit, noise=model)
    m = np.asarray(rho)
    for label in ("ZII", "IXY", "YYX", "XZZ"):
        assert abs(rho.expval(label) - np.trace(m @ pauli_matrix(label)).real) < 1e-12
    reduced = np.einsum("aibi->ab", m.reshape(2, 4, 2, 4))  # qubit 2 kept
    assert np.allclose(np.asarray(rho.partial_trace([0, 1])), reduced, atol=1e-12)
    assert np.allclose(rho.probabilities([2, 0]),
                       np.diag(m).real.reshape(2, 2, 2).sum(axis=1).T.reshape(-1), atol=1e-12)


@pytest.mark.parametrize("make, error, match", [
    (lambda: DensityMatrix(40), MemoryError, "density matrix of 40 qubits"),
    (lambda: DensityMatrix(-1), ValueError, "non-negative|negative"),
    (lambda: DensityMatrix([[1, 1], [0, 0]]), ValueError, "Hermitian"),
    (lambda: DensityMatrix(np.eye(2)), ValueError, "trace"),
    (lambda: DensityMatrix(np.eye(3) / 3), ValueError, "2\\*\\*n x 2\\*\\*n"),
    (lambda: DensityMatrix([1, 0]), ValueError, "square matrix"),
    (lambda: DensityMatrix(1).evolve(X(2)), IndexError, "qubit 2"),
    (lambda: DensityMatrix(1).evolve(QProg(1) << measure(0, 0)), ValueError, "measurement"),
    (lambda: DensityMatrix(1).evolve(X(0), noise="x"), TypeError, "NoiseModel"),
    (lambda: DensityMatrix(2).probabilities([2]), IndexError, "outside"),
    (lambda: DensityMatrix(2).partial_trace([0, 0]), ValueError, "more than once"),
    (lambda: DensityMatrix(1).expval("ZZ"), IndexError, "observable"),
])
def test_bad_density_matrix_calls_are_refused(make, error, match):
    with pytest.raises(error, match=match):
        make()


def test_density_matrices_pickle_and_compare():
    rho = DensityMatrix(2).evolve(QCircuit() << H(0) << RX(1, 0.3))
    assert pickle.loads(pickle.dumps(rho)) == rho and copy.deepcopy(rho) == rho
    assert rho != DensityMatrix(2) and repr(rho) == "<DensityMatrix: 2 qubits>"
    assert DensityMatrix(np.asarray(rho)) == rho


# ------------------------------------------------------------------------------------------
# Closed forms.


def idle_program(first, k):
    c = QCircuit() << first
    for _ in range(k):
        c << I(0)
    return c


@pytest.mark.parametrize("k", [0, 1, 5, 20])
def test_depolarising_shrinks_the_bloch_vector_by_one_minus_p_per_gate(k):
    p = 0.1
    model = kn.NoiseModel()
    model.add(kn.depolarizing(p), ["I"])
    rho = DensityMatrix(1).evolve(idle_program(X(0), k), noise=model)
    # Fidelity with |1> after k gates: (1 + (1 - p)^k) / 2.
    assert abs(rho.probabilities()[1] - (1 + (1 - p) ** k) / 2) < 1e-12


@pytest.mark.parametrize("k", [1, 4, 16])
def test_relaxation_and_dephasing_follow_their_exponentials(k):
    t1, t2, dt = 30.0, 20.0, 1.5
    model = kn.NoiseModel()
    model.add(kn.thermal_relaxation(t1, t2, dt), ["I"])
    excited = DensityMatrix(1).evolve(idle_program(X(0), k), noise=model)
    assert abs(excited.probabilities()[1] - np.exp(-k * dt / t1)) < 1e-12
    plus = np.asarray(DensityMatrix(1).evolve(idle_program(H(0), k), noise=model))
    assert abs(abs(plus[0, 1]) - 0.5 * np.exp(-k * dt / t2)) < 1e-12
    gamma = 0.3
    damping = kn.NoiseModel()
    damping.add(kn.phase_damping(gamma), ["I"])
    dephased = np.asarray(DensityMatrix(1).evolve(idle_program(H(0), k), noise=damping))
    assert abs(abs(dephased[0, 1]) - 0.5 * (1 - gamma) ** (k / 2)) < 1e-12
    assert abs(dephased[1, 1] - 0.5) < 1e-12


# ------------------------------------------------------------------------------------------
# Trajectories and the density-matrix method of CPUQVM.


def tvd_bound(probs, shots):
    """Three times the expected total variation distance of `shots` draws from `probs`:
    E|f_i - p_i| <= sqrt(p_i (1 - p_i) / shots)."""
    return 3 * 0.5 * sum(np.sqrt(p * (1 - p) / shots) for p in probs) + 1e-12


def measured_program(circuit, n):
    return QProg(n) << circuit << measure(list(range(n)), list(range(n)))


def counts_vector(counts, n, shots):
    f = np.zeros(2**n)
    for key, c in counts.items():
        f[int(key, 2)] = c / shots
    return f


@pytest.mark.parametrize("seed", range(4))
def test_trajectories_converge_to_the_density_matrix(seed):
    rng = np.random.default_rng(200 + seed)
    n = int(rng.integers(2, 5))
    circuit, _ = random_circuit(rng, n, 10)
    model, _ = random_model(rng, n)
    if seed % 2:  # unitary mixtures alone: the shots are grouped by their branches
        model = kn.NoiseModel()
        model.add(kn.phase_flip(0.0))  # sites that never draw an error, between the others
        model.add(kn.depolarizing(0.05))
        model.add(kn.bit_flip(0.1), ["H", "X", "RX"])
    model.add(kn.readout_error(0.05, 0.1), qubits=[0])
    shots = 4000
    program = measured_program(circuit, n)
    exact = CPUQVM(seed=seed, noise=model, method="density_matrix").run(program, 200000)
    probs = exact.get_prob_list()  # noisy, before readout
    traj = CPUQVM(seed=seed, noise=model, method="statevector").run(program, shots)
    f = counts_vector(traj.get_counts(), n, shots)
    g = counts_vector(exact.get_counts(), n, 200000)
    assert 0.5 * np.abs(f - g).sum() < tvd_bound(g, shots) + tvd_bound(g, 200000)
    # The unmeasured program's averaged probabilities, against the exact ones.
    unmeasured = CPUQVM(seed=seed, noise=model, method="statevector").run(
        QProg(n) << circuit, shots).get_prob_list()
    assert 0.5 * np.abs(np.array(unmeasured) - probs).sum() < tvd_bound(probs, shots)


def test_trajectories_do_not_depend_on_the_thread_count():
    # Narrow trajectories run a batch at a time over the threads; the counts must not move.
    code = """
        import kestrix.noise as kn
        from kestrix.core import CNOT, CPUQVM, RX, QProg, measure
        m = kn.NoiseModel()
        m.add(kn.depolarizing(0.03))
        m.add(kn.depolarizing(0.05, 2), ["CNOT"])
        p = QProg(5)
        for layer in range(6):
            for q in range(5):
                p << RX(q, 0.3 * layer + q) << CNOT(q, (q + 1) % 5)
        p << measure(list(range(5)), list(range(5)))
        r = CPUQVM(seed=5, noise=m, method="statevector").run(p, 2000)
        print(sorted(r.get_counts().items()))
    """
    runs = {threads: child_lines(code, env={"KESTRIX_NUM_THREADS": threads})
            for threads in ("1", "3")}
    assert runs["1"] == runs["3"] and len(runs["1"]) == 1


def test_huge_shot_counts_are_refused_or_drawn_at_once():
    quiet, noisy = kn.NoiseModel(), kn.NoiseModel()
    quiet.add(kn.depolarizing(0.0))
    noisy.add(kn.bit_flip(0.1))
    program = QProg(1) << H(0) << measure(0, 0)
    counts = CPUQVM(seed=1, noise=quiet, method="statevector").run(program, 2**62).get_counts()
    assert sum(counts.values()) == 2**62
    with pytest.raises(MemoryError, match="error histories"):
        CPUQVM(seed=1, noise=noisy, method="statevector").run(program, 2**62)


@pytest.mark.parametrize("method", ["statevector", "density_matrix"])
def test_ctrl_c_stops_a_long_noisy_run(method):
    n = 12 if method == "density_matrix" else 16
    circuit = QCircuit()
    for _ in range(200):
        for q in range(n):
            circuit << RX(q, 0.3) << CNOT(q, (q + 1) % n)
    model = kn.NoiseModel()
    model.add(kn.amplitude_damping(0.01))
    with ctrl_c_after(0.3), pytest.raises(KeyboardInterrupt):
        CPUQVM(seed=1, noise=model, method=method).run(QProg(n) << circuit, 1000)


def test_trajectories_are_seeded():
    model = kn.NoiseModel()
    model.add(kn.depolarizing(0.1))
    model.add(kn.amplitude_damping(0.1), ["RX"])
    program = QProg(2) << H(0) << CNOT(0, 1) << RX(1, 0.4) << measure([0, 1], [0, 1])
    for method in ("statevector", "density_matrix", None):
        a = CPUQVM(seed=9, noise=model, method=method).run(program, 500)
        assert a == CPUQVM(seed=9, noise=model, method=method).run(program, 500)
        assert a != CPUQVM(seed=10, noise=model, method=method).run(program, 500)
        np.random.seed(3)
        b = CPUQVM(noise=model, method=method).run(program, 500).get_counts()
        np.random.seed(3)
        assert CPUQVM(noise=model, method=method).run(program, 500).get_counts() == b


@pytest.mark.parametrize("method", ["statevector", "density_matrix"])
def test_readout_errors_flip_results_not_states(method):
    model = kn.NoiseModel()
    model.add(kn.readout_error(0.0, 0.2), qubits=[0])
    shots = 20000
    r = CPUQVM(seed=1, noise=model, method=method).run(
        QProg(2) << X(0) << X(1) << measure([0, 1], [0, 1]), shots, memory=True)
    counts = r.get_counts()
    assert set(counts) == {"10", "11"}  # qubit 1 has no readout error
    assert abs(counts["10"] / shots - 0.2) < 4 * np.sqrt(0.16 / shots)
    assert r.get_memory().count("10") == counts["10"] and len(r.get_memory()) == shots


def test_mid_circuit_measurements_run_shot_by_shot():
    model = kn.NoiseModel()
    model.add(kn.amplitude_damping(0.5), ["X"])
    # The second X acts on a measured qubit: each shot collapses and goes on.
    program = QProg(1) << X(0) << measure(0, 0) << X(0) << measure(0, 1)
    shots = 8000
    counts = CPUQVM(seed=2, noise=model).run(program, shots).get_counts()
    # First reading 1 with 1/2; then X and damping: 1 -> 0 stays 0... 0 -> 1 decays by 1/2.
    expected = {"00": 0.25, "10": 0.25, "01": 0.5}
    for key, p in expected.items():
        assert abs(counts.get(key, 0) / shots - p) < 4 * np.sqrt(p * (1 - p) / shots)
    with pytest.raises(ValueError, match="end of the program"):
        CPUQVM(noise=model, method="density_matrix").run(program, 10)


@pytest.mark.parametrize("kwargs, error, match", [
    ({"noise": "model"}, TypeError, "NoiseModel"),
    ({"method": "exact"}, ValueError, "'statevector', 'density_matrix' or None"),
    ({"method": 3}, TypeError, "str or None"),
])
def test_bad_machine_settings_are_refused(kwargs, error, match):
    with pytest.raises(error, match=match):
        CPUQVM(**kwargs)


def test_noisy_machines_pickle_compare_and_print():
    model = kn.NoiseModel()
    model.add(kn.bit_flip(0.1))
    q = CPUQVM(seed=5, noise=model, method="density_matrix")
    assert repr(q) == "CPUQVM(seed=5, noise=<NoiseModel: 1 rule>, method='density_matrix')"
    q.run(QProg(1) << X(0) << measure(0, 0), 10)
    clone = pickle.loads(pickle.dumps(q))
    assert clone == q and clone.result() == q.result() and clone.noise == model
    assert q != CPUQVM(seed=5, noise=model) and q != CPUQVM(seed=5)
    assert repr(CPUQVM(seed=5)) == "CPUQVM(seed=5)" and CPUQVM(5).noise is None


def test_the_noise_context_reaches_machines_and_batches():
    model = kn.NoiseModel()
    model.add(kn.bit_flip(0.5), ["X"])
    flip = QProg(1) << X(0)
    assert CPUQVM().run(flip).get_prob_list() == [0.0, 1.0]
    plain = CPUQVM(seed=3)  # made outside: it runs under whatever model is current
    with kn.model(model) as current:
        assert np.allclose(plain.prob_batch([flip]), [[0.5, 0.5]], atol=1e-12)
        counts = plain.run_batch([QProg(1) << X(0) << measure(0, 0)], 4000)[0].get_counts()
        assert abs(counts["0"] / 4000 - 0.5) < 4 * 0.5 / 4000**0.5
        assert current is model and kn.current() is model
        made_here = CPUQVM(seed=1)
        assert made_here.noise == model
        assert np.allclose(CPUQVM().prob_batch([flip, X(0)]), [[0.5, 0.5], [0.5, 0.5]])
        assert np.allclose(CPUQVM().run(flip).get_prob_list(), [0.5, 0.5], atol=1e-12)
        # A chosen method keeps to it: 1000 trajectories average to 1/2 within shot noise.
        traj = CPUQVM(seed=2, method="statevector").run(flip).get_prob_list()
        assert np.allclose(traj, [0.5, 0.5], atol=4 * 0.5 / 1000**0.5) and traj[0] != 0.5
    assert kn.current() is None
    assert np.allclose(made_here.run(flip).get_prob_list(), [0.5, 0.5], atol=1e-12)
    assert CPUQVM().run(flip).get_prob_list() == [0.0, 1.0]
    with pytest.raises(TypeError, match="NoiseModel"):
        with kn.model("model"):
            pass


# ------------------------------------------------------------------------------------------
# Qiskit Aer's density-matrix method, where it installs.


def test_density_matrix_agrees_with_qiskit_aer():
    aer = pytest.importorskip("qiskit_aer", reason="Qiskit Aer is an optional test peer")
    from qiskit import QuantumCircuit, transpile
    from qiskit_aer import noise as aer_noise

    n = 3
    rng = np.random.default_rng(11)
    ours, theirs = QCircuit(), QuantumCircuit(n)
    for _ in range(4):
        for q in range(n):
            a, b = rng.uniform(-3, 3, 2)
            ours << RX(q, a) << RZ(q, b)
            theirs.rx(a, q)
            theirs.rz(b, q)
        for q in range(n):
            ours << CNOT(q, (q + 1) % n)
            theirs.cx(q, (q + 1) % n)
    model = kn.NoiseModel()
    model.add(kn.depolarizing(0.02), ["RX", "RZ"])
    model.add(kn.depolarizing(0.05, 2), ["CNOT"])
    model.add(kn.thermal_relaxation(50.0, 40.0, 2.0), ["RX"])
    peer = aer_noise.NoiseModel()
    peer.add_all_qubit_quantum_error(
        aer_noise.depolarizing_error(0.02, 1).compose(aer_noise.thermal_relaxation_error(
            50.0, 40.0, 2.0)), ["rx"])
    peer.add_all_qubit_quantum_error(aer_noise.depolarizing_error(0.02, 1), ["rz"])
    peer.add_all_qubit_quantum_error(aer_noise.depolarizing_error(0.05, 2), ["cx"])
    theirs.save_density_matrix()
    sim = aer.AerSimulator(method="density_matrix", noise_model=peer)
    expected = np.asarray(sim.run(transpile(theirs, sim, optimization_level=0)).result()
                          .data()["density_matrix"])
    rho = np.asarray(DensityMatrix(n).evolve(ours, noise=model))
    assert np.abs(rho - expected).max() < 1e-10
