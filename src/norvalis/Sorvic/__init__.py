"""Variational eigensolver front end (module `sorvic`)."""
from .sorvic import hardware_efficient_circuit, sorvic_solver

__all__ = ["sorvic_solver", "hardware_efficient_circuit"]
