"""Quantum kernel for support-vector classification (module `ostrakin`)."""
from .ostrakin import QuantumKernel_lumet

__all__ = ["QuantumKernel_lumet"]
