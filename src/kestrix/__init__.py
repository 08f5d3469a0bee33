"""kestrix: a quantum SDK with a fast C++ state-vector simulator.

`kestrix.core` holds gates, circuits, programs, the CPU simulator and amplitude
encoding; `kestrix.quantum_info` holds exact state vectors and circuit matrices.
"""
from . import core, quantum_info
from ._version import __version__ as __version__

__all__ = ["core", "quantum_info"]
