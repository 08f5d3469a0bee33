"""The variational eigensolver on the documented 2 x 2 matrix and on a random symmetric
8 x 8 matrix (two ansatz layers, best of three random starts), against NumPy."""
import numpy as np

from norvalis.Sorvic import sorvic_solver

from .section import Row

NAME = "sorvic"


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
    best = min(sorvic_solver(a, rng.uniform(-np.pi, np.pi, 24)) for _ in range(3))
    smallest = np.linalg.eigvalsh(a)[0]
    rows.append(Row("Variational eigensolver",
                    "random 8x8 symmetric, 2 layers on 3 qubits, best of 3 starts",
                    f"{best:.9f}", f"eigvalsh {smallest:.9f}", abs(best - smallest) < 1e-5))
    return rows
