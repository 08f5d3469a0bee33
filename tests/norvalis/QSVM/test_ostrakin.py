"""The quantum kernel against exact fidelities computed in NumPy from the feature map, its
seeding and batching, the positive-semidefinite projection, its failures, and its use
as a scikit-learn kernel."""
import numpy as np
import pytest
from isolated import child_lines
from sklearn.datasets import make_blobs
from sklearn.preprocessing import MinMaxScaler
from sklearn.svm import SVC

import norvalis.plugin as plugin
from kestrix.quantum_info import StateVector
from norvalis.QSVM import ostrakin
from norvalis.QSVM.ostrakin import QuantumKernel_lumet, _build_circuit, _run_circuit

SHOTS = 1024


def feature_state(x, n):
    """The feature map applied twice to |0...0>. One repetition is H on every qubit, then
    the diagonal phase exp(i (sum_k 2 x_k b_k + P(x) (b_0 xor b_1))) on basis state b."""
    b = (np.arange(2 ** n)[:, None] >> np.arange(n)) & 1
    pair = 2.0 * (np.pi - x[0]) * (np.pi - x[1])
    phases = np.exp(1j * (b @ (2.0 * np.asarray(x[:n])) + pair * (b[:, 0] ^ b[:, 1])))
    hadamards = np.ones((1, 1))
    for _ in range(n):
        hadamards = np.kron(hadamards, np.array([[1, 1], [1, -1]]) / np.sqrt(2))
    state = np.zeros(2 ** n, dtype=complex)
    state[0] = 1
    for _ in range(2):
        state = phases * (hadamards @ state)
    return state


def exact_kernel(xs, ys, n):
    return np.array([[abs(np.vdot(feature_state(y, n), feature_state(x, n))) ** 2 for y in ys]
                     for x in xs])


def shot_tolerance(p):
    # Five binomial standard deviations of a 1024-shot share, at least one shot.
    return 5 * np.sqrt(p * (1 - p) / SHOTS) + 1 / SHOTS


def raw_kernel(xs, ys, n, symmetric):
    """The unprojected matrix, one _run_circuit per computed pair in row-major order, with
    1.0 where the samples are equal: what evaluate must reproduce under the same seed."""
    k = np.eye(len(xs)) if symmetric else np.zeros((len(xs), len(ys)))
    for i in range(len(xs)):
        for j in range(i + 1 if symmetric else 0, len(ys)):
            if np.all(xs[i] == ys[j]):
                k[i, j] = 1.0
            else:
                counts = _run_circuit(n, xs[i], ys[j])
                k[i, j] = counts.get("0" * n, 0) / SHOTS or 0.0001
            if symmetric:
                k[j, i] = k[i, j]
    return k


@pytest.fixture
def data():
    return np.random.default_rng(5).uniform(0, 2 * np.pi, size=(7, 3))


class TestDefinitions:
    def test_load_order_and_annotations(self):
        names = [n for n in vars(ostrakin) if not n.startswith("__")]
        assert names == ["np", "CPUQVM", "QCircuit", "QProg", "CNOT", "U1", "U2", "measure",
                         *plugin.__all__, "_build_circuit", "_run_circuit", "QuantumKernel_lumet"]
        assert QuantumKernel_lumet.__init__.__annotations__ == {"batch_size": int, "return": None}
        assert QuantumKernel_lumet.evaluate.__annotations__ == {
            "x_vec": np.ndarray, "y_vec": np.ndarray, "return": np.ndarray}
        assert QuantumKernel_lumet.evaluate.__doc__.startswith("evaluate(self, x_vec, y_vec=None)")
        assert "sklearn.svm" in QuantumKernel_lumet.__doc__

    def test_construction(self):
        qk = QuantumKernel_lumet()
        assert (qk._batch_size, qk._n_qbits) == (100, None)
        assert vars(QuantumKernel_lumet(7, "kept")) == {"_batch_size": 7, "_n_qbits": "kept"}

    @pytest.mark.parametrize("value, error, message", [
        (None, TypeError, "Argument 'batch_size' has incorrect type (expected int, got NoneType)"),
        (2.0, TypeError, "Argument 'batch_size' has incorrect type (expected int, got float)"),
        (True, TypeError, "Argument 'batch_size' has incorrect type (expected int, got bool)"),
        (0, ValueError, "batch_size must be at least 1, got 0"),
        (-3, ValueError, "batch_size must be at least 1, got -3"),
    ])
    def test_batch_size_is_a_positive_int(self, value, error, message):
        with pytest.raises(error) as info:
            QuantumKernel_lumet(batch_size=value)
        assert str(info.value) == message


class TestOverlapCircuit:
    def test_gate_order_with_three_qubits(self):
        x, y = [0.1, 0.2, 0.3], [0.4, 0.5, 0.6]
        gates = [(g.name, g.qubits, pytest.approx(g.params)) for g in
                 _build_circuit([0, 1, 2], 3, x, y)]
        px = 2.0 * (np.pi - 0.1) * (np.pi - 0.2)
        py = -2.0 * (np.pi - 0.4) * (np.pi - 0.5)
        layer_x = [g for i in range(3) for g in (("U2", [i], [0, np.pi]), ("U1", [i], [2 * x[i]]))]
        layer_y = [g for i in range(3) for g in (("U1", [i], [-2 * y[i]]), ("U2", [i], [0, np.pi]))]
        cnot = ("CNOT", [0, 1], [])
        assert gates == [*layer_x, cnot, ("U1", [1], [px]), cnot, *layer_x, cnot,
                         ("U1", [1], [px]), ("U1", [1], [py]), cnot, *layer_y, cnot,
                         ("U1", [1], [py]), cnot, *layer_y]

    @pytest.mark.parametrize("n", [2, 3])
    def test_all_zero_amplitude_is_the_overlap(self, n, data):
        x, y = data[0], data[1]
        state = StateVector(n).evolve(_build_circuit(list(range(n)), n, x, y)).ndarray()
        assert abs(state[0]) ** 2 == pytest.approx(exact_kernel([x], [y], n)[0, 0], abs=1e-12)

    def test_run_circuit_samples_1024_shots_seeded_from_numpy(self, data):
        np.random.seed(11)
        counts = _run_circuit(3, data[0], data[1])
        assert all(len(key) == 3 for key in counts) and sum(counts.values()) == SHOTS
        p = exact_kernel([data[0]], [data[1]], 3)[0, 0]
        assert abs(counts.get("000", 0) / SHOTS - p) <= shot_tolerance(p)
        np.random.seed(11)
        assert _run_circuit(3, data[0], data[1]) == counts

    @pytest.mark.parametrize("call", [
        lambda: _build_circuit([0], 1, [1, 2], [3, 4]),       # a second qubit is needed
        lambda: _build_circuit([0, 1], 2, [1], [3, 4]),       # and two features
        lambda: _run_circuit(3, np.array([1.0, 2.0]), np.array([3.0, 4.0])),
    ])
    def test_short_inputs_raise_index_error(self, call):
        with pytest.raises(IndexError):
            call()


class TestEvaluate:
    @pytest.mark.parametrize("n", [2, 3])
    def test_entries_within_shot_noise_of_the_exact_fidelity(self, n, data):
        np.random.seed(1)
        k = QuantumKernel_lumet(n_qbits=n).evaluate(data[:4], data[3:])
        exact = exact_kernel(data[:4], data[3:], n)
        assert k.shape == (4, 4)
        assert np.all(np.abs(k - exact) <= shot_tolerance(exact))
        computed = ~np.eye(4, k=-3, dtype=bool)   # data[3] meets itself at (3, 0)
        sampled = k[computed]
        assert np.all(((sampled * SHOTS) % 1 == 0) | (sampled == 0.0001)) and k[3, 0] == 1.0

    def test_symmetric_case_is_the_projected_seeded_upper_triangle(self, data):
        x = np.vstack([data, data[2]])                         # rows 2 and 7 are equal
        np.random.seed(4)
        raw = raw_kernel(x, x, 3, symmetric=True)
        assert raw[2, 7] == raw[7, 2] == 1.0
        for y in (None, x.copy()):
            np.random.seed(4)
            k = QuantumKernel_lumet(n_qbits=3).evaluate(x, y)
            assert k.dtype == np.float64 and k.shape == (8, 8)
            np.testing.assert_allclose(k, k.T, atol=1e-12)
            # The nearest PSD matrix in Frobenius norm: k and k - raw are PSD, orthogonal.
            assert np.linalg.eigvalsh(k).min() > -1e-10
            assert np.linalg.eigvalsh(k - raw).min() > -1e-10
            assert abs(np.sum(k * (k - raw))) < 1e-10
            assert np.abs(k - raw).max() < 0.2

    def test_equal_rows_give_one_and_run_no_circuit(self, data):
        test = np.vstack([data[0] + 0.5, data[3]])
        np.random.seed(9)
        raw = raw_kernel(test, data, 3, symmetric=False)
        np.random.seed(9)
        k = QuantumKernel_lumet(n_qbits=3).evaluate(test, data)
        assert k[1, 3] == 1.0
        np.testing.assert_array_equal(k, raw)   # no seed was drawn for (1, 3)

    @pytest.mark.parametrize("batch_size", [1, 4, 5, 21, 10 ** 30])
    def test_batch_size_changes_nothing(self, batch_size, data):
        qk = QuantumKernel_lumet(n_qbits=2)
        qk._batch_size = batch_size
        results = []
        for args in ((data,), (data[:3], data)):
            np.random.seed(2)
            results.append(qk.evaluate(*args))
        np.random.seed(2)
        assert np.array_equal(results[0], QuantumKernel_lumet(n_qbits=2).evaluate(data))
        np.random.seed(2)
        assert np.array_equal(results[1], QuantumKernel_lumet(n_qbits=2).evaluate(data[:3], data))

    @pytest.mark.parametrize("batch_size", [100, 10 ** 30])
    def test_batches_equal_one_run_per_pair(self, batch_size):
        # 4,160 pairs: past the default batch and the 4,096 programs held at once.
        x = np.random.default_rng(8).uniform(0, 2 * np.pi, size=(65, 2))
        y = np.vstack([x[1:64], x[:1] + 0.25])
        np.random.seed(6)
        raw = raw_kernel(x, y, 2, symmetric=False)
        next_draw = np.random.random()
        np.random.seed(6)
        k = QuantumKernel_lumet(batch_size=batch_size, n_qbits=2).evaluate(x, y)
        np.testing.assert_array_equal(k, raw)
        assert np.all(k[np.arange(1, 64), np.arange(63)] == 1.0)   # y repeats these rows
        assert np.random.random() == next_draw   # as many seeds drawn, none for them

    def test_one_dimensional_input_is_one_sample(self, data):
        assert QuantumKernel_lumet(n_qbits=2).evaluate(data[0], data).shape == (1, 7)
        assert QuantumKernel_lumet(n_qbits=2).evaluate(list(data[0])).tolist() == [[1.0]]

    @pytest.mark.parametrize("x, y, message", [
        (np.zeros((2, 2, 2)), np.zeros((2, 2, 2)), "x_vec must be a 1D or 2D array"),
        (3.0, None, "x_vec must be a 1D or 2D array"),
        (np.zeros((2, 2)), np.zeros((1, 2, 2)), "y_vec must be a 1D or 2D array"),
        (np.zeros((2, 2)), np.zeros((2, 3)),
         "x_vec and y_vec have incompatible dimensions.\nx_vec has 2 dimensions, but y_vec has 3."),
    ])
    def test_shape_errors_come_first(self, x, y, message):
        with pytest.raises(ValueError) as info:
            QuantumKernel_lumet().evaluate(x, y)    # n_qbits None would fail later
        assert str(info.value) == message

    def test_both_inputs_are_converted_before_either_is_checked(self):
        with pytest.raises(ValueError, match="inhomogeneous"):
            QuantumKernel_lumet().evaluate(np.zeros((2, 2, 2)), [[1, 2], [3]])

    @pytest.mark.parametrize("setup, x, error, match", [
        (dict(), [[1, 2], [3, 4]], TypeError, "can't multiply sequence"),
        (dict(n_qbits=3), [[1, 2], [3, 4]], IndexError, "index 2 is out of bounds"),
        (dict(n_qbits=1), [[1, 2], [3, 4]], IndexError, "list index out of range"),
        (dict(n_qbits=2), [[1 + 1j, 2], [3, 4]], TypeError, "x_vec must hold real numbers"),
        (dict(n_qbits=2), [[np.nan, 2], [3, 4]], ValueError, "angle must be finite"),
    ])
    def test_failures_before_any_circuit_runs(self, setup, x, error, match):
        np.random.seed(0)
        with pytest.raises(error, match=match):
            QuantumKernel_lumet(**setup).evaluate(x)
        assert np.random.random() == np.random.RandomState(0).random()

    @pytest.mark.parametrize("value, error", [(0, ValueError), (-1, ValueError), (1.5, TypeError)])
    def test_batch_size_replaced_after_construction(self, value, error):
        qk = QuantumKernel_lumet(n_qbits=2)
        qk._batch_size = value
        with pytest.raises(error):
            qk.evaluate([[1, 2], [3, 4]])


class TestClassification:
    @pytest.fixture
    def blobs(self):
        x, labels = make_blobs(40, centers=2, cluster_std=1.0, random_state=1)
        return MinMaxScaler((0, 1)).fit_transform(x), labels

    def test_as_callable_kernel(self, blobs):
        x, labels = blobs
        np.random.seed(0)
        svc = SVC(kernel=QuantumKernel_lumet(n_qbits=2).evaluate).fit(x[::2], labels[::2])
        assert np.array_equal(svc.predict(x[1::2]), labels[1::2])

    def test_as_precomputed_kernel_with_a_test_point_equal_to_a_training_point(self, blobs):
        x, labels = blobs
        qk = QuantumKernel_lumet(n_qbits=2)
        np.random.seed(0)
        train = qk.evaluate(x[::2])
        svc = SVC(kernel="precomputed").fit(train, labels[::2])
        test = np.vstack([x[1::2], x[:4:2]])
        predicted = svc.predict(qk.evaluate(test, x[::2]))
        assert np.array_equal(predicted, np.concatenate([labels[1::2], labels[:4:2]]))


def test_hostile_input_raises_without_crashing():
    lines = child_lines("""
        import numpy as np
        from norvalis.QSVM.ostrakin import QuantumKernel_lumet as Q, _build_circuit, _run_circuit

        class Failing:
            def __len__(self): return 3
            def __getitem__(self, i): raise RuntimeError("boom")

        class Emptying(list):
            def __getitem__(self, i):
                self.clear()
                return 1.0

        calls = [
            lambda: Q(n_qbits=2).evaluate([[1, 2], [3]]),
            lambda: Q(n_qbits=2).evaluate(np.array([[object(), 1], [2, 3]])),
            lambda: Q(n_qbits=40).evaluate(np.arange(80.0).reshape(2, 40)),
            lambda: Q(n_qbits=10**12).evaluate([[1, 2], [3, 4]]),
            lambda: _build_circuit([0, 0], 2, [1, 2], [3, 4]),
            lambda: _build_circuit(Failing(), 2, [1, 2], [3, 4]),
            lambda: _build_circuit([0, 1], 2, Emptying([1.0, 2.0]), Failing()),
            lambda: _run_circuit(10**6, [1.0] * 10**6, [2.0] * 10**6),
            lambda: _run_circuit(2**31 - 1, [1.0], [2.0]),
            lambda: _run_circuit(40, [1.0] * 40, [2.0] * 40),
        ]
        for call in calls:
            try:
                call()
                print("returned")
            except Exception as e:
                print(type(e).__name__)
        readonly = np.arange(8.0).reshape(4, 2)
        readonly.flags.writeable = False
        print(Q(n_qbits=2).evaluate(readonly[:, ::-1], readonly.astype(np.float32)).shape)
    """, timeout=300)
    # A million qubits is past the largest qubit index: a ValueError before any state, and
    # before a list of that many qubits is made.
    assert lines == ["ValueError", "TypeError", "MemoryError", "ValueError", "ValueError",
                     "RuntimeError", "RuntimeError", "ValueError", "ValueError", "MemoryError",
                     "(4, 4)"]


class TestMessagesAndSeededEvaluation:
    @pytest.mark.parametrize("setup, x, error, message", [
        (dict(), [[1, 2], [3, 4]], TypeError,
         "n_qbits is required: the number of qubits of the feature map, one per feature, as in "
         "QuantumKernel_lumet(n_qbits=2) (can't multiply sequence by non-int of type 'NoneType')"),
        (dict(n_qbits=2.0), [[1, 2], [3, 4]], TypeError,
         "n_qbits must be an int, the number of qubits of the feature map, got 2.0 "
         "(can't multiply sequence by non-int of type 'float')"),
        (dict(n_qbits=2), np.random.default_rng(0).random((3, 1)), IndexError,
         "the samples have 1 feature but n_qbits is 2: each qubit encodes one feature, so "
         "n_qbits can be at most the number of features (index 1 is out of bounds for axis 0 "
         "with size 1)"),
        (dict(n_qbits=1), [[1, 2], [3, 4]], IndexError,
         "n_qbits must be at least 2, got 1: the feature map's pair phase acts on qubits 0 and 1 "
         "(list index out of range)"),
    ])
    def test_each_refusal_says_what_is_wrong(self, setup, x, error, message):
        with pytest.raises(error) as info:
            QuantumKernel_lumet(**setup).evaluate(x)
        assert type(info.value) is error and str(info.value) == message

    def test_a_random_state_draws_what_the_seeded_global_generator_would(self, data):
        qk = QuantumKernel_lumet(batch_size=3, n_qbits=2)
        np.random.seed(11)
        expected = [qk.evaluate(data), qk.evaluate(data[:4], data[2:])]
        state = np.random.RandomState(11)
        np.random.seed(0)
        got = [qk._evaluate(data, None, state), qk._evaluate(data[:4], data[2:], state)]
        for a, b in zip(got, expected):
            np.testing.assert_array_equal(a, b)
        assert np.random.random() == np.random.RandomState(0).random()   # global untouched
        with pytest.raises(TypeError, match="random_state must be None or a numpy.random"):
            qk._evaluate(data, None, 5)
