"""norvalis: quantum algorithms compiled from C++, running on the kestrix simulator.

Each algorithm family is a subpackage (norvalis.Grover, norvalis.Melvo, ...);
norvalis.plugin holds the circuit and result helpers they share; norvalis.sklearn holds
scikit-learn estimators built on them. NorvalisWarning is the class of every warning the
modules issue.
"""
from ._version import __version__ as __version__
from ._warning import NorvalisWarning as NorvalisWarning
