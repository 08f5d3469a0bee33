"""Quantum support-vector regression (module `Quillan`)."""
from .Quillan import Quantum_SVR

__all__ = ["Quantum_SVR"]
