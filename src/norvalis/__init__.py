"""norvalis: quantum algorithms compiled from C++, running on the kestrix simulator.

Each algorithm family is a subpackage (norvalis.Grover, norvalis.Melvo, ...);
norvalis.plugin holds the circuit and result helpers they share.
"""
from ._version import __version__ as __version__
