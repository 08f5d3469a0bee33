"""The HHL linear-system solver (norvalis.Kavrel): the front end's checks and delegation,
expansion, solutions against numpy.linalg.solve, the circuit's registers and rescaling,
and refusals of bad input."""
import inspect

import numpy as np
import pytest

from kestrix.core import CPUQVM, QCircuit
from kestrix.quantum_info import StateVector
from norvalis.Kavrel import (
    Kavrel,
    Kavrel_solve_linear_equations,
    _Kavrel,
    build_Kavrel_circuit,
    expand_linear_equations,
)
from norvalis.Kavrel._Kavrel import KavrelAlg

FUNCTIONS = {
    "Kavrel_solve_linear_equations": (
        "Kavrel_solve_linear_equations(list matrix_A: List[complex], list data_b: List[float], "
        "int precision_cnt: int = 0)", "_Kavrel_solve_linear_equations", 3),
    "expand_linear_equations": (
        "expand_linear_equations(list matrix_A: List[complex], list data_b: List[float])",
        "_expand_linear_equations", 2),
    "build_Kavrel_circuit": (
        "build_Kavrel_circuit(list matrix_A: List[complex], list data_b: List[float], "
        "int precision_cnt: int = 0)", "_build_Kavrel_circuit", 3),
}


def solve(a, b, precision=0):
    return np.array(Kavrel_solve_linear_equations(list(np.ravel(a)), list(b), precision))


def fraction_bits(precision):
    return int(np.ceil(np.log2(10.0 ** precision))) if precision else 0


def hermitian_on_grid(rng, size, precision, largest=6):
    """A complex Hermitian matrix whose eigenvalues are nonzero multiples of 2^-f."""
    scale = 2 ** fraction_bits(precision)
    ticks = rng.integers(1, largest * scale + 1, size) * rng.choice([-1, 1], size)
    q, _ = np.linalg.qr(rng.normal(size=(size, size)) + 1j * rng.normal(size=(size, size)))
    return q @ np.diag(ticks / scale) @ q.conj().T


class _FailingEigh:
    """Stands in for the module's `np`: eigh runs `eigh`, or fails the test if not given."""

    def __init__(self, eigh=None):
        self.linalg = self
        self.eigh = eigh or (lambda a: pytest.fail("eigh called"))

    def __getattr__(self, name):
        return getattr(np, name)


def relative_error(x, a, b):
    exact = np.linalg.solve(a, b)
    return np.linalg.norm(x - exact) / np.linalg.norm(exact)


class TestFrontEnd:
    def test_binds_its_names_in_order(self):
        names = [n for n in vars(Kavrel) if not n.startswith("__")]
        assert names == ["KavrelAlg", "_build_Kavrel_circuit", "_expand_linear_equations",
                         "_Kavrel_solve_linear_equations", "List", "CPUQVM",
                         "Kavrel_solve_linear_equations", "expand_linear_equations",
                         "build_Kavrel_circuit"]
        assert Kavrel.KavrelAlg is KavrelAlg and Kavrel.CPUQVM is CPUQVM

    @pytest.mark.parametrize("name", FUNCTIONS)
    def test_signature_annotations_and_docstring(self, name):
        function = getattr(Kavrel, name)
        line, _, count = FUNCTIONS[name]
        assert function.__doc__.splitlines()[0] == line
        assert function.__annotations__ == dict(
            list({"matrix_A": "List[complex]", "data_b": "List[float]",
                  "precision_cnt": "int"}.items())[:count])
        parameters = inspect.signature(function).parameters
        assert list(parameters) == ["matrix_A", "data_b", "precision_cnt"][:count]
        if count == 3:
            default = parameters["precision_cnt"].default
            assert default == 0 and type(default) is int
            assert function.__defaults__ == (0,)

    @pytest.mark.parametrize("name", FUNCTIONS)
    def test_delegates_positionally_and_looks_them_up_at_call_time(self, name, monkeypatch):
        _, delegate, count = FUNCTIONS[name]
        calls = []
        monkeypatch.setattr(Kavrel, delegate, lambda *args: calls.append(args) or "result")
        args = ([1, 0, 0, 1], [1.0, 2.0], 5)[:count]
        assert getattr(Kavrel, name)(*args) == "result"
        keywords = dict(zip(["matrix_A", "data_b", "precision_cnt"], args))
        assert getattr(Kavrel, name)(**keywords) == "result"
        assert calls == [args, args]
        if count == 3:
            getattr(Kavrel, name)([1], [1.0])
            assert calls[-1] == ([1], [1.0], 0)

    @pytest.mark.parametrize("name, args, argument, expected, got", [
        (name, args, argument, expected, got) for name in FUNCTIONS
        for args, argument, expected, got in [
            (((1, 0, 0, 1), [1.0, 1.0]), "matrix_A", "list", "tuple"),
            ((np.eye(2).ravel(), [1.0, 1.0]), "matrix_A", "list", "numpy.ndarray"),
            (([1, 0, 0, 1], None), "data_b", "list", "NoneType"),
            (([1, 0, 0, 1], np.ones(2)), "data_b", "list", "numpy.ndarray"),
            (([1, 0, 0, 1], [1.0, 1.0], 1.0), "precision_cnt", "int", "float"),
            (([1, 0, 0, 1], [1.0, 1.0], True), "precision_cnt", "int", "bool"),
            (([1, 0, 0, 1], [1.0, 1.0], np.int64(1)), "precision_cnt", "int", "numpy.int64"),
        ] if len(args) <= FUNCTIONS[name][2]
    ])
    def test_type_refusals_come_first(self, name, args, argument, expected, got, monkeypatch):
        monkeypatch.setattr(Kavrel, FUNCTIONS[name][1], lambda *a: pytest.fail("delegate called"))
        with pytest.raises(TypeError) as info:
            getattr(Kavrel, name)(*args)
        assert str(info.value) == (f"Argument '{argument}' has incorrect type "
                                   f"(expected {expected}, got {got})")

    def test_argument_count(self):
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'data_b'"):
            Kavrel_solve_linear_equations([1])
        with pytest.raises(TypeError, match="takes 2 positional arguments but 3 were given"):
            expand_linear_equations([1], [1.0], 0)


class TestExpansion:
    def test_documented_example(self):
        matrix, vector = expand_linear_equations([2, 1, 0, 1, 2, 1, 0, 1, 2], [1, 1, 1])
        assert matrix == [2, 1, 0, 0, 1, 2, 1, 0, 0, 1, 2, 0, 0, 0, 0, 0]
        assert all(type(z) is complex for z in matrix)
        assert vector == [1.0, 1.0, 1.0, 0.0] and all(type(v) is float for v in vector)

    @pytest.mark.parametrize("size", [1, 2, 4])
    def test_a_power_of_two_comes_back_unchanged(self, size):
        a = list(np.arange(size * size) + 1j)
        matrix, vector = expand_linear_equations(a, list(range(size)))
        assert matrix == a and vector == list(range(size))

    def test_five_goes_to_eight(self):
        matrix, vector = expand_linear_equations(list(range(25)), [1.0] * 5)
        full = np.array(matrix).reshape(8, 8)
        assert np.array_equal(full[:5, :5], np.arange(25).reshape(5, 5))
        assert not full[5:].any() and not full[:, 5:].any() and vector == [1.0] * 5 + [0.0] * 3


class TestSolutions:
    def test_documented_identity_example(self):
        x = Kavrel_solve_linear_equations([1, 0, 0, 1], [0.6, 0.8], 1)
        assert len(x) == 2 and all(type(z) is complex for z in x)
        assert np.allclose(x, [0.6, 0.8], atol=1e-12)
        assert max(abs(z.imag) for z in x) < 1e-12

    @pytest.mark.parametrize("size", [2, 4, 8])
    @pytest.mark.parametrize("precision", [0, 1, 2])
    def test_representable_spectra_are_solved_exactly(self, size, precision):
        rng = np.random.default_rng(10 * size + precision)
        a, b = hermitian_on_grid(rng, size, precision), rng.normal(size=size)
        assert relative_error(solve(a, b, precision), a, b) < 1e-6

    @pytest.mark.parametrize("a, b", [
        ([[0, 1], [1, 0]], [0.6, 0.8]),                      # Pauli X: eigenvalues -1, 1
        ([[-3, 1], [1, -3]], [1.0, -2.0]),                   # both eigenvalues negative
        ([[1, 0, 0, 0], [0, -2, 0, 0], [0, 0, 3, 0], [0, 0, 0, -4]], [1.0, 1.0, 1.0, 1.0]),
    ])
    def test_negative_eigenvalues(self, a, b):
        assert relative_error(solve(a, b), np.array(a), b) < 1e-6

    def test_a_non_hermitian_matrix_goes_through_the_embedding(self):
        rng = np.random.default_rng(3)
        u, _ = np.linalg.qr(rng.normal(size=(4, 4)) + 1j * rng.normal(size=(4, 4)))
        w, _ = np.linalg.qr(rng.normal(size=(4, 4)))
        a = u @ np.diag([1, 2, 3, 5]) @ w.T  # singular values on the resolution grid
        b = rng.normal(size=4)
        solver = KavrelAlg(list(a.ravel()), list(b), 0)
        assert not solver.hermitian and len(solver.system_qubits) == 3
        assert relative_error(np.array(solver.solve()), a, b) < 1e-6
        rotation = [[0, -1], [1, 0]]  # unitary, not Hermitian
        assert relative_error(solve(rotation, [1.0, 2.0]), np.array(rotation), [1, 2]) < 1e-6

    def test_other_spectra_are_approximate_and_improve_with_precision(self):
        a = np.array([[2.0, 1, 0], [1, 2, 1], [0, 1, 2]])  # eigenvalues 2 - sqrt 2, 2, 2 + sqrt 2
        matrix, vector = expand_linear_equations(list(a.ravel()), [1, 1, 1])
        errors = []
        for precision in (1, 2):
            x = np.array(Kavrel_solve_linear_equations(matrix, vector, precision))
            assert x[3] == 0
            errors.append(relative_error(x[:3], a, [1, 1, 1]))
        assert errors[1] < errors[0] < 0.05 and errors[1] < 2e-3

    def test_an_expanded_system_returns_zeros_in_the_padding(self):
        matrix, vector = expand_linear_equations([3, 0, 0, 0, 0, 0, 0, 0, 0], [6.0, 0, 0])
        x = Kavrel_solve_linear_equations(matrix, vector, 0)
        assert x[1:] == [0j, 0j, 0j] and abs(x[0] - 2) < 1e-12

    def test_a_right_hand_side_near_the_double_range(self):
        x = Kavrel_solve_linear_equations([1, 0, 0, 1], [1e308, -1e308], 0)
        assert np.allclose(np.array(x) / 1e308, [1, -1], atol=1e-12)

    def test_all_zero_right_hand_side_gives_zero(self):
        assert Kavrel_solve_linear_equations([1, 0, 0, 2], [0.0, 0.0], 0) == [0j, 0j]


class TestCircuit:
    @pytest.mark.parametrize("a", [[1, 0, 0, 1], [0, 1, 1, 0]])
    def test_width_per_precision(self, a):
        widths = [build_Kavrel_circuit(a, [0.6, 0.8], p).num_qubits for p in (0, 1, 2)]
        assert widths[1] - widths[0] == 4 and widths[2] - widths[0] == 7

    @pytest.mark.parametrize("precision", [0, 1, 2])
    def test_running_it_gives_the_documented_rescaling(self, precision):
        rng = np.random.default_rng(precision)
        a, b = hermitian_on_grid(rng, 2, precision, largest=3), np.array([0.3, -1.2])
        circuit = build_Kavrel_circuit(list(a.ravel()), list(b), precision)
        assert isinstance(circuit, QCircuit)
        state = StateVector(circuit.num_qubits).evolve(circuit).ndarray()
        ancilla = circuit.num_qubits - 1
        raw = state[[(1 << ancilla) | i for i in range(2)]]  # register at 0
        x = raw * np.linalg.norm(b) * (1 << fraction_bits(precision))
        assert np.allclose(x, np.linalg.solve(a, b), atol=1e-9)

    def test_the_solver_object_and_its_attributes(self):
        solver = KavrelAlg([1, 0, 0, 1], [0.6, 0.8], 1)
        assert (solver.size, solver.unknowns, solver.hermitian, solver.fraction_bits) == (
            2, 2, True, 4)
        assert solver.system_qubits == [0]
        assert solver.eigenvalue_qubits == list(range(1, 8))
        assert solver.ancilla == 8 == solver.num_qubits - 1
        assert solver.scale == pytest.approx(16.0)
        assert len(solver.circuit) > 0
        assert np.allclose(solver.solve(), [0.6, 0.8], atol=1e-12)
        solver.scale = 32.0  # read at each use
        assert np.allclose(solver.solve(), [1.2, 1.6], atol=1e-12)
        solver.num_qubits = 3
        with pytest.raises(ValueError, match="do not fit"):
            solver.solve()
        solver.num_qubits, solver.size = 9, 2 ** 20  # more entries than the system register
        with pytest.raises(ValueError, match="do not fit"):
            solver.solve()

    def test_it_runs_on_the_simulator_and_measures(self):
        prog = build_Kavrel_circuit([0, 1, 1, 0], [1.0, 0.0], 0)
        probs = CPUQVM().run(prog, shots=1).get_prob_list([prog.num_qubits - 1])
        # x = A^-1 b = (0, 1), so |x|^2 / (|b|^2 2^(2f)) = 1 of the ancilla reads 1.
        assert probs[1] == pytest.approx(1.0, abs=1e-9)


class TestBadInput:
    @pytest.mark.parametrize("a, b, precision, error, message", [
        ([1, 0, 0], [1.0, 1.0], 0, ValueError, "3 entries are not a square number"),
        ([], [], 0, ValueError, "matrix_A is empty"),
        ([1, 0, 0, 1], [1.0], 0, ValueError, "data_b must hold 2 entries, one per row of "
                                             "matrix_A, got 1"),
        ([1] * 9, [1.0] * 3, 0, ValueError, "the solver needs a power-of-two size"),
        ([1, 0, 0, 1], [1j, 1.0], 0, TypeError, "data_b[0] must be a real number, got complex"),
        ([1, 0, 0, 1], [1.0, np.complex64(1)], 0, TypeError, "got numpy.complex64"),
        ([1, 0, 0, 1], ["1", 1.0], 0, TypeError, "data_b[0] must be a real number, got str"),
        ([1, 0, None, 1], [1.0, 1.0], 0, TypeError, "matrix_A[2] must be a number, got NoneType"),
        ([1, 0, 0, np.nan], [1.0, 1.0], 0, ValueError, "matrix_A[3] must be finite, got nan"),
        ([1, 0, 0, 1], [np.inf, 1.0], 0, ValueError, "data_b[0] must be finite, got inf"),
        ([1, 0, 10 ** 400, 1], [1.0, 1.0], 0, ValueError, "matrix_A[2] is too large for a double"),
        ([1, 0, 0, 1], [1.0, -10 ** 400], 0, ValueError, "data_b[1] is too large for a double"),
        ([1, 1, 1, 1], [1.0, 1.0], 0, ValueError, "matrix_A is singular"),
        ([1, 2, 2, 4], [1.0, 1.0], 0, ValueError, "matrix_A is singular"),  # not Hermitian either
        ([0, 0, 0, 0], [1.0, 1.0], 0, ValueError, "matrix_A is singular: every entry is zero"),
        ([1, 0, 0, 0], [1.0, 1.0], 0, ValueError, "row 1 of matrix_A is zero but data_b[1] is 1"),
        ([0.5, 0, 0, 1], [1.0, 1.0], 0, ValueError, "an eigenvalue of magnitude 0.5 is below the "
                                                    "resolution 1 of precision_cnt=0: use "
                                                    "precision_cnt=1 or more"),
        ([1e-200, 0, 0, 1e-200], [1.0, 1.0], 0, ValueError, "scale the system up"),
        ([1e308, 1e308, 1e308, -1e308], [1.0, 1.0], 0, ValueError, "entries are too large"),
        ([1, 0, 0, 1], [1.0, 1.0], -1, ValueError, "precision_cnt must be non-negative, got -1"),
        ([1000, 0, 0, 1], [1.0, 1.0], 2, ValueError, "at most 16 are supported"),
        ([1, 0, 0, 1], [1.0, 1.0], 10 ** 30, ValueError, "needs more than 16 eigenvalue qubits"),
        (list(np.eye(128).ravel()), [1.0] * 128, 0, ValueError, "the evolution gate takes at "
                                                                "most 6"),
    ])
    def test_refusals(self, a, b, precision, error, message):
        for call in (Kavrel_solve_linear_equations, build_Kavrel_circuit):
            with pytest.raises(error) as info:
                call(a, b, precision)
            assert message in str(info.value)

    def test_a_system_too_wide_is_refused_before_its_eigendecomposition(self, monkeypatch):
        monkeypatch.setattr(_Kavrel, "np", _FailingEigh())
        with pytest.raises(ValueError, match="128 unknowns needs 7 system qubits"):
            Kavrel_solve_linear_equations(list(np.eye(128).ravel()), [1.0] * 128)

    @pytest.mark.parametrize("values, vectors, message", [
        ([1.0], np.eye(2), "gave 1 float64 entries where 2 were expected"),
        ([1.0, 2.0], np.eye(1), "gave 1 complex128 entries where 4 were expected"),
        (np.arange(1, 65.0), np.eye(2), "gave 64 float64 entries where 2 were expected"),
    ])
    def test_a_replaced_eigh_of_the_wrong_size_is_refused(self, monkeypatch, values, vectors,
                                                          message):
        # The evolution gates index into the eigenvectors: a short result must not be read.
        monkeypatch.setattr(_Kavrel, "np", _FailingEigh(lambda a: (values, vectors)))
        with pytest.raises(ValueError, match=message):
            Kavrel_solve_linear_equations([1, 0, 0, 2], [1.0, 1.0])

    def test_circuit_builder_refuses_an_all_zero_right_hand_side(self):
        with pytest.raises(ValueError, match="data_b is all zero"):
            build_Kavrel_circuit([1, 0, 0, 1], [0.0, 0.0])

    def test_entries_are_read_from_a_snapshot(self):
        class Clearing:
            def __float__(self):
                entries.clear()  # user code mutating the list while it is read
                return 2.0

        entries = [1.0, Clearing()]
        x = Kavrel_solve_linear_equations([1, 0, 0, 1], entries, 0)
        assert entries == [] and np.allclose(x, [1.0, 2.0], atol=1e-12)
