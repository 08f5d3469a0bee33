"""The HHL linear-system solver on a system whose eigenvalues it represents exactly and on
one whose eigenvalues it does not, against numpy.linalg.solve."""
import numpy as np

from norvalis.Kavrel import (
    Kavrel_solve_linear_equations,
    build_Kavrel_circuit,
    expand_linear_equations,
)

from .section import Row

NAME = "kavrel"


def _row(problem, a, matrix, vector, precision, tolerance):
    x = np.array(Kavrel_solve_linear_equations(matrix, vector, precision))[:len(a)]
    exact = np.linalg.solve(a, vector[:len(a)])
    error = np.linalg.norm(x - exact) / np.linalg.norm(exact)
    circuit = build_Kavrel_circuit(matrix, vector, precision)
    return Row("HHL linear solver",
               f"{problem}, precision_cnt={precision}: {circuit.num_qubits} qubits, "
               f"{len(circuit)} gates",
               "x = [" + ", ".join(f"{v:.4f}" for v in x.real) + "]",
               f"numpy.linalg.solve, relative error {error:.1e} (tolerance {tolerance:g})",
               error < tolerance)


def run(ctx):
    # Eigenvalues -1, 2, 3, 5: multiples of the resolution, so the solution is exact.
    q = np.linalg.qr(np.random.default_rng(4).normal(size=(4, 4)))[0]
    a = q @ np.diag([-1.0, 2.0, 3.0, 5.0]) @ q.T
    b = [1.0, -2.0, 0.5, 1.0]
    rows = [_row("4x4 symmetric, eigenvalues -1, 2, 3, 5", a, list(a.ravel()), b, 0, 1e-6)]
    ctx.progress("3 x 3 tridiagonal system")
    a = np.array([[2.0, 1, 0], [1, 2, 1], [0, 1, 2]])  # eigenvalues 2 - sqrt 2, 2, 2 + sqrt 2
    matrix, vector = expand_linear_equations(list(a.ravel()), [1.0, 1.0, 1.0])
    rows.append(_row("3x3 tridiagonal expanded to 4x4", a, matrix, vector, 2, 2e-3))
    return rows
