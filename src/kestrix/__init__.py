"""kestrix: a quantum SDK with a fast C++ state-vector simulator.

`kestrix.core` holds gates, circuits, programs, the CPU simulator and amplitude
encoding; `kestrix.quantum_info` holds exact state vectors, density matrices, circuit
matrices and Pauli observables; `kestrix.qasm` writes and reads OpenQASM 2 and 3;
`kestrix.parallel` runs batches on any executor (a Dask cluster, a process pool, MPI);
`kestrix.noise` holds quantum channels and noise models.
"""
from . import core, noise, parallel, qasm, quantum_info
from ._version import __version__ as __version__

__all__ = ["core", "noise", "parallel", "qasm", "quantum_info"]
