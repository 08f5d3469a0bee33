"""kestrix: a quantum SDK with a fast C++ state-vector simulator.

`kestrix.core` holds gates, circuits, programs, the CPU simulator and amplitude
encoding; `kestrix.quantum_info` holds exact state vectors, circuit matrices and Pauli
observables; `kestrix.qasm` writes and reads OpenQASM 2 and 3.
"""
from . import core, qasm, quantum_info
from ._version import __version__ as __version__

__all__ = ["core", "qasm", "quantum_info"]
