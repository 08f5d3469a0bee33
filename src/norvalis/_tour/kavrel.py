"""The HHL linear-system solver on a system whose eigenvalues it represents exactly and on
one whose eigenvalues it does not, against numpy.linalg.solve."""
import numpy as np

from norvalis.Kavrel import (
    Kavrel_solve_linear_equations,
    build_Kavrel_circuit,
    expand_linear_equations,
)

from .section import Row, figure, save

NAME = "kavrel"


def _row(problem, a, matrix, vector, precision, tolerance):
    x = np.array(Kavrel_solve_linear_equations(matrix, vector, precision))[:len(a)]
    exact = np.linalg.solve(a, vector[:len(a)])
    error = np.linalg.norm(x - exact) / np.linalg.norm(exact)
    circuit = build_Kavrel_circuit(matrix, vector, precision)
    row = Row("HHL linear solver",
               f"{problem}, precision_cnt={precision}: {circuit.num_qubits} qubits, "
              f"{len(circuit)} gates",
              "x = [" + ", ".join(f"{v:.4f}" for v in x.real) + "]",
              f"numpy.linalg.solve, relative error {error:.1e} (tolerance {tolerance:g})",
              error < tolerance)
    return (x.real, exact, f"{problem}, precision_cnt={precision}"), row


def run(ctx):
    # Eigenvalues -1, 2, 3, 5: multiples of the resolution, so the solution is exact.
    q = np.linalg.qr(np.random.default_rng(4).normal(size=(4, 4)))[0]
    a = q @ np.diag([-1.0, 2.0, 3.0, 5.0]) @ q.T
    b = [1.0, -2.0, 0.5, 1.0]
    exact_case, exact_row = _row("4x4 symmetric, eigenvalues -1, 2, 3, 5", a, list(a.ravel()),
                                 b, 0, 1e-6)
    ctx.progress("3 x 3 tridiagonal system")
    a = np.array([[2.0, 1, 0], [1, 2, 1], [0, 1, 2]])  # eigenvalues 2 - sqrt 2, 2, 2 + sqrt 2
    matrix, vector = expand_linear_equations(list(a.ravel()), [1.0, 1.0, 1.0])
    spread_case, spread_row = _row("3x3 tridiagonal expanded to 4x4", a, matrix, vector, 2,
                                   2e-3)
    with ctx.plotting():
        _plot(ctx.plot_path("kavrel_solutions.png"), [exact_case, spread_case])
    return [exact_row, spread_row]


def _plot(path, cases):
    fig, axes = figure(2, width=4.4, title="HHL linear solver against NumPy", top=1.0)
    for ax, (x, exact, title) in zip(axes, cases):
        positions = np.arange(len(x))
        ax.bar(positions - 0.2, x, 0.4, label="HHL circuit")
        ax.bar(positions + 0.2, exact, 0.4, label="numpy.linalg.solve")
        ax.axhline(0, color="k", linewidth=0.6)
        ax.set_xticks(positions, [f"x{i}" for i in positions])
        ax.set_title(title.replace(", precision", "\nprecision"), fontsize="medium")
        ax.set_ylabel("solution component")
        ax.set_ylim(min(0, 1.3 * min(exact)), 1.3 * max(exact))
        ax.legend(loc="upper center", fontsize="small", ncols=2)
    save(fig, path)
