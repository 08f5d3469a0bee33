"""The variational eigensolver (norvalis.Sorvic): the ansatz's gates and state, the
smallest eigenvalue against numpy.linalg.eigvalsh, and refusals of bad input."""
import inspect

import numpy as np
import pytest
import reference as ref

from kestrix.core import QCircuit
from kestrix.quantum_info import PauliSum, StateVector
from norvalis.Sorvic import _sorvic, hardware_efficient_circuit, sorvic, sorvic_solver

TRUE_MINIMUM = 9 - np.sqrt(50)
DOCUMENTED_RUN = 1.9289326642516995


def angles_per_layer(n):
    return 3 if n == 1 else 4 * n


def best_of_starts(matrix, layers, starts=4, seed=0):
    n = max(1, int(np.ceil(np.log2(len(matrix)))))
    rng = np.random.default_rng(seed)
    return min(sorvic_solver(matrix, rng.uniform(-np.pi, np.pi, angles_per_layer(n) * layers))
               for _ in range(starts))


def random_symmetric(rng, size):
    a = rng.normal(size=(size, size))
    return a + a.T


class TestAnsatz:
    def test_documented_two_qubit_order(self):
        circuit = hardware_efficient_circuit(2, np.zeros(8))
        assert isinstance(circuit, QCircuit)
        assert [(g.name, g.qubits, g.controls) for g in circuit] == [
            ("RZ", [0], []), ("RX", [0], []), ("RZ", [0], []),
            ("RZ", [1], []), ("RX", [1], []), ("RZ", [1], []),
            ("RY", [1], [0]), ("RY", [0], [1])]

    @pytest.mark.parametrize("n, layers", [(1, 1), (1, 3), (2, 2), (3, 2), (4, 1)])
    def test_angles_in_gate_order_and_the_ring(self, n, layers):
        angles = np.arange(angles_per_layer(n) * layers) / 10
        circuit = hardware_efficient_circuit(n, list(angles))
        assert [g.params[0] for g in circuit] == pytest.approx(angles)
        per_layer = list(circuit)[:angles_per_layer(n)]
        assert [g.name for g in per_layer[:3 * n]] == ["RZ", "RX", "RZ"] * n
        ring = [(g.name, g.qubits, g.controls) for g in per_layer[3 * n:]]
        assert ring == ([("RY", [(q + 1) % n], [q]) for q in range(n)] if n > 1 else [])

    def test_state_matches_the_dense_model(self):
        n, rng = 3, np.random.default_rng(5)
        angles = rng.uniform(-np.pi, np.pi, 24)
        expected = ref.zero_state(n)
        for gate in hardware_efficient_circuit(n, angles):
            expected = ref.gate_on_state(expected, gate.name, gate.qubits, gate.params,
                                         gate.controls, False, n)
        state = StateVector(n).evolve(hardware_efficient_circuit(n, angles)).ndarray()
        assert np.max(np.abs(state - expected)) < 1e-12

    @pytest.mark.parametrize("qubit_num, para, error, message", [
        (0, [0.0] * 3, ValueError, "qubit_num must be at least 1, got 0"),
        (-2, [0.0] * 3, ValueError, "qubit_num must be at least 1, got -2"),
        (1.0, [0.0] * 3, TypeError, "qubit_num must be an integer, got float"),
        (True, [0.0] * 3, TypeError, "qubit_num must be an integer, got bool"),
        (2, [0.0] * 7, ValueError,
         "para_list must hold a whole number of layers of 8 angles for 2 qubits, got 7"),
        (1, [], ValueError, "layers of 3 angles for 1 qubit, got 0"),
        (2, [0.0] * 7 + [np.nan], ValueError, "must be finite"),
        (2, [0.0] * 7 + ["x"], TypeError, "must be a real number, got str"),
        (2, 3.0, TypeError, "para_list must be a sequence of real numbers, got float"),
        (2, "01234567", TypeError, "para_list must be a sequence of real numbers, got str"),
    ])
    def test_bad_arguments(self, qubit_num, para, error, message):
        with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
            hardware_efficient_circuit(qubit_num, para)


class TestSolver:
    def test_documented_example_reaches_the_true_minimum(self):
        value = sorvic_solver(np.array([[10, -7], [-7, 8]]), [0, 1.713, 1.571])
        assert isinstance(value, float)
        assert abs(value - TRUE_MINIMUM) < 1e-6
        # At least as good as the documented run, never below the true minimum.
        assert TRUE_MINIMUM - 1e-12 <= value <= DOCUMENTED_RUN

    def test_all_zero_start_leaves_the_stationary_point(self):
        # At zero angles the state is |0> and every derivative vanishes there.
        assert sorvic_solver([[10, -7], [-7, 8]], [0, 0, 0]) == pytest.approx(TRUE_MINIMUM,
                                                                             abs=1e-9)

    @pytest.mark.parametrize("size, layers", [(2, 1), (3, 1), (4, 1), (8, 2)])
    @pytest.mark.parametrize("seed", range(3))
    def test_random_matrices_reach_eigvalsh(self, size, layers, seed):
        matrix = random_symmetric(np.random.default_rng(100 + seed), size)
        assert abs(best_of_starts(matrix, layers, seed=seed) -
                   np.linalg.eigvalsh(matrix)[0]) < 1e-5

    @pytest.mark.parametrize("matrix", [np.diag([5.0, 6.0, 7.0]), np.diag([-1.0, -2.0, -3.0]),
                                        [[4.25]], np.zeros((3, 3)),
                                        np.diag([2.0, 3.0, 9.0, 1.0, 8.0])])
    def test_padding_never_creates_a_lower_eigenvalue(self, matrix):
        assert best_of_starts(np.array(matrix), 2) == pytest.approx(
            np.linalg.eigvalsh(matrix)[0], abs=1e-8)

    @pytest.mark.parametrize("scale", [1e-300, 1e-20, 1e-8, 1e8, 1e300])
    def test_any_unit_converges_like_unit_entries(self, scale):
        # Steps and tolerances must not depend on the size of the entries.
        matrix = np.array([[1, 0.3, 0], [0.3, -1, 0.2], [0, 0.2, 0.5]])
        start = np.linspace(-1, 1, 16)
        value = sorvic_solver(matrix * scale, start)
        assert value / scale == pytest.approx(np.linalg.eigvalsh(matrix)[0], abs=1e-9)

    def test_nested_lists_arrays_and_complex_with_zero_imaginary_part_agree(self):
        matrix = [[2, 1, 0, 0], [1, 3, 1, 0], [0, 1, 4, 1], [0, 0, 1, 5]]
        start = np.linspace(-1, 1, 8)
        results = {sorvic_solver(m, start) for m in (matrix, np.array(matrix, dtype=np.int8),
                                                     np.array(matrix, dtype=complex))}
        assert len(results) == 1

    def test_never_below_the_smallest_eigenvalue_and_deterministic(self):
        rng = np.random.default_rng(8)
        matrix = random_symmetric(rng, 8)
        start = rng.uniform(-np.pi, np.pi, 24)
        np.random.seed(1)
        state = np.random.get_state()[1].copy()
        first = sorvic_solver(matrix, start)
        assert np.array_equal(np.random.get_state()[1], state)  # nothing drawn from NumPy
        assert sorvic_solver(matrix, start) == first
        assert first >= np.linalg.eigvalsh(matrix)[0] - 1e-12

    @pytest.mark.parametrize("matrix, error, message", [
        ([[1, 2], [3, 4]], ValueError, "matrix must be symmetric: entry (1, 0) is 3.0 but "
                                       "(0, 1) is 2.0"),
        ([[1, 2, 3], [2, 1, 3]], ValueError, "must be square and two-dimensional, got shape "
                                             "(2, 3)"),
        ([1, 2], ValueError, "got shape (2,)"),
        (np.zeros((0, 0)), ValueError, "matrix is empty"),
        ([[1, np.nan], [np.nan, 1]], ValueError, "matrix must be finite, got nan"),
        ([[np.inf, 0], [0, 1]], ValueError, "matrix must be finite, got inf"),
        ([[1, 1j], [-1j, 1]], ValueError, "matrix must be real"),
        ([["a", "b"], ["b", "a"]], ValueError, "matrix must hold real numbers"),
        ([[1, 2], [2]], ValueError, "inhomogeneous"),
        ([[1e308, -1e308], [-1e308, 1e308]], ValueError, "matrix is too large"),
    ])
    def test_bad_matrices(self, matrix, error, message):
        with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
            sorvic_solver(matrix, [0.1, 0.2, 0.3])

    @pytest.mark.parametrize("para, error, message", [
        ([0.1] * 4, ValueError, "para must hold a whole number of layers of 8 angles for 2 "
                                "qubits, got 4"),
        ([0.1] * 7 + [np.inf], ValueError, "must be finite"),
        (None, TypeError, "para must be a sequence of real numbers, got NoneType"),
        ([0.1] * 4104, ValueError, "para holds 4104 angles; the solver optimises at most 4096"),
    ])
    def test_bad_parameters(self, para, error, message):
        with pytest.raises(error, match=message):
            sorvic_solver(np.eye(4), para)


class TestOptions:
    def test_a_pauli_sum_is_solved_as_its_matrix(self):
        h = PauliSum({"ZZI": 1.0, "XXI": 0.5, "IYY": -0.7}) + PauliSum.from_sparse(
            [("Z", [0], 2.0), ("X", [2], 0.3)])
        start = np.linspace(-1, 1, 12)
        value = sorvic_solver(h, start, restarts=2, seed=0)
        assert value == sorvic_solver(h.to_matrix().real, start, restarts=2, seed=0)
        assert value == pytest.approx(np.linalg.eigvalsh(h.to_matrix())[0], abs=1e-9)

    @pytest.mark.parametrize("h", [PauliSum({"XY": 1.0}), PauliSum({"YZ": 0.5, "ZZ": 1.0})])
    def test_a_pauli_sum_with_a_complex_matrix_is_refused(self, h):
        with pytest.raises(ValueError, match="the PauliSum's matrix is complex"):
            sorvic_solver(h, np.zeros(8))

    def test_restarts_keep_the_lowest_of_the_drawn_starts(self):
        matrix = random_symmetric(np.random.default_rng(4), 8)
        start = np.random.default_rng(5).uniform(-np.pi, np.pi, 12)  # one layer: often short
        rng = np.random.default_rng(7)
        starts = [start] + [rng.uniform(-np.pi, np.pi, 12) for _ in range(3)]
        expected = min(sorvic_solver(matrix, s) for s in starts)
        assert sorvic_solver(matrix, start, restarts=3, seed=7) == expected
        # Without a seed the starts come from NumPy's global generator.
        np.random.seed(7)
        drawn = [np.random.uniform(-np.pi, np.pi, 12) for _ in range(3)]
        np.random.seed(7)
        assert sorvic_solver(matrix, start, restarts=3) == min(
            sorvic_solver(matrix, s) for s in [start] + drawn)

    def test_restarts_reach_what_one_start_misses(self):
        # Two layers on 16 x 16 miss from 4 of 10 starts: seed 3 of the benchmark's table
        # (docs/modules/sorvic.md) is one of them.
        rng = np.random.default_rng(3)
        matrix = random_symmetric(rng, 16)
        start = rng.uniform(-np.pi, np.pi, 32)
        smallest = np.linalg.eigvalsh(matrix)[0]
        assert sorvic_solver(matrix, start) - smallest > 1e-2
        assert sorvic_solver(matrix, start, restarts=3, seed=3) == pytest.approx(smallest,
                                                                                  abs=1e-9)

    def test_a_looser_tolerance_stops_earlier_above_the_minimum(self):
        matrix = random_symmetric(np.random.default_rng(3), 8)
        start = np.random.default_rng(3).uniform(-np.pi, np.pi, 24)
        smallest = np.linalg.eigvalsh(matrix)[0]
        loose, tight = sorvic_solver(matrix, start, tol=1e-2), sorvic_solver(matrix, start)
        assert smallest - 1e-12 <= tight < loose < smallest + 0.1

    @pytest.mark.parametrize("options, error, message", [
        (dict(restarts=-1), ValueError, "restarts must not be negative, got -1"),
        (dict(restarts=2**70), ValueError, "restarts 1180591620717411303424 is too large"),
        (dict(restarts=1.0), TypeError, "restarts must be an integer, got float"),
        (dict(restarts=True), TypeError, "restarts must be an integer, got bool"),
        (dict(tol=0), ValueError, "tol must be positive and finite, got 0.0"),
        (dict(tol=np.nan), ValueError, "tol must be positive and finite, got nan"),
        (dict(tol="1e-3"), TypeError, "tol must be a real number, got str"),
        (dict(tol=1j), TypeError, "tol must be a real number, got complex"),
        (dict(restarts=1, seed="x"), TypeError, "int or sequence of ints"),
        (dict(restarts=1, seed=-1), ValueError, "negative"),
    ])
    def test_bad_options(self, options, error, message):
        with pytest.raises(error, match=message):
            sorvic_solver(np.eye(2), [0.1, 0.2, 0.3], **options)


class TestFrontEnd:
    def test_binds_the_native_names(self):
        names = [n for n in vars(sorvic) if not n.startswith("__")]
        assert names == ["_sorvic_solver", "_HardwareEfficientCircuit", "sorvic_solver",
                         "hardware_efficient_circuit"]
        assert sorvic._sorvic_solver is _sorvic._sorvic_solver

    @pytest.mark.parametrize("function, line", [
        (sorvic_solver, "sorvic_solver(matrix, para, restarts=0, tol=1e-10, seed=None)"),
        (hardware_efficient_circuit, "hardware_efficient_circuit(qubit_num, para_list)"),
    ])
    def test_docstring_and_signature(self, function, line):
        assert function.__doc__.splitlines()[0] == line
        assert str(inspect.signature(function)) == line[line.index("("):]

    def test_delegates_are_looked_up_at_call_time(self, monkeypatch):
        calls = []
        monkeypatch.setattr(sorvic, "_sorvic_solver", lambda *a: calls.append(a) or 1.5)
        monkeypatch.setattr(sorvic, "_HardwareEfficientCircuit", lambda *a: calls.append(a))
        marker = object()
        assert sorvic_solver(para=[1], matrix=marker) == 1.5
        hardware_efficient_circuit(3, para_list=marker)
        assert calls == [(marker, [1]), (3, marker)]

    def test_options_are_passed_on_only_when_given(self, monkeypatch):
        calls = []
        monkeypatch.setattr(sorvic, "_sorvic_solver", lambda *a, **k: calls.append((a, k)) or 1.0)
        sorvic_solver(1, 2, restarts=0, seed=None)
        sorvic_solver(1, 2, 3, tol=1e-3, seed=4)
        assert calls == [((1, 2), {}), ((1, 2), {"restarts": 3, "tol": 1e-3, "seed": 4})]

    def test_missing_and_extra_arguments(self):
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'para'"):
            sorvic_solver([[1]])
        with pytest.raises(TypeError, match="takes 2 positional arguments but 3 were given"):
            hardware_efficient_circuit(1, [0, 0, 0], 5)
