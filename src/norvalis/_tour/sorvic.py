"""The variational eigensolver on the documented 2 x 2 matrix and on a random symmetric
8 x 8 matrix (two ansatz layers, best of three random starts), against NumPy, with a plot
of each start's energy before and after training beside the spectrum."""
import numpy as np

from kestrix.quantum_info import StateVector
from norvalis.Sorvic import hardware_efficient_circuit, sorvic_solver

from .section import Row, figure, save

NAME = "sorvic"


def _energy(matrix, angles):
    """<psi|H|psi> of the ansatz state at `angles` (index bit k on qubit k, as the solver)."""
    qubits = int(np.log2(len(matrix)))
    psi = StateVector(qubits).evolve(hardware_efficient_circuit(qubits, angles)).ndarray()
    return float(np.real(psi.conj() @ np.asarray(matrix) @ psi))


def _plot_starts(ax, title, matrix, starts, finals):
    """Each start's energy, an arrow to where training left it, over the eigenvalues."""
    for i, value in enumerate(np.linalg.eigvalsh(matrix)):
        ax.axhline(value, color="lightgray", linewidth=1, label="eigenvalues" if i == 0 else None)
    ax.axhline(np.linalg.eigvalsh(matrix)[0], color="C3", linestyle="--",
               label="smallest eigenvalue")
    for i, (start, final) in enumerate(zip(starts, finals)):
        ax.annotate("", (i, final), (i, start), arrowprops={"arrowstyle": "->", "color": "C0"})
        ax.plot([i], [start], "o", color="C0", label="start" if i == 0 else None)
        ax.plot([i], [final], "s", color="C2", label="after training" if i == 0 else None)
    ax.set_xticks(range(len(starts)), [f"start {i + 1}" for i in range(len(starts))])
    ax.set_xlim(-0.6, len(starts) - 0.4)
    ax.set_title(title)
    ax.set_ylabel("energy ⟨ψ|H|ψ⟩")
    ax.legend(loc="upper right", fontsize="small")


def run(ctx):
    rows = []
    value = sorvic_solver([[10, -7], [-7, 8]], [0, 1.713, 1.571])
    exact = 9 - np.sqrt(50)
    rows.append(Row("Variational eigensolver", "smallest eigenvalue of [[10,-7],[-7,8]]",
                    f"{value:.9f}", f"9 - sqrt(50) = {exact:.9f}", abs(value - exact) < 1e-6))

    ctx.progress("8 x 8 random symmetric matrix, 3 starts")
    rng = np.random.default_rng(2)
    a = rng.normal(size=(8, 8))
    a = a + a.T
    starts = [rng.uniform(-np.pi, np.pi, 24) for _ in range(3)]
    finals = [sorvic_solver(a, s) for s in starts]
    best = min(finals)
    smallest = np.linalg.eigvalsh(a)[0]
    rows.append(Row("Variational eigensolver",
                    "random 8x8 symmetric, 2 layers on 3 qubits, best of 3 starts",
                    f"{best:.9f}", f"eigvalsh {smallest:.9f}", abs(best - smallest) < 1e-5))
    with ctx.plotting():
        fig, ax = figure(width=5.6, height=4)
        _plot_starts(ax, "Variational eigensolver, random 8 × 8 matrix",
                     a, [_energy(a, s) for s in starts], finals)
        save(fig, ctx.plot_path("sorvic_energies.png"))
    return rows
