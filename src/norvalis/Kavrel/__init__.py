"""Linear-system solver front end (module `Kavrel`)."""
from .Kavrel import Kavrel_solve_linear_equations, build_Kavrel_circuit, expand_linear_equations

__all__ = ["build_Kavrel_circuit", "expand_linear_equations", "Kavrel_solve_linear_equations"]
