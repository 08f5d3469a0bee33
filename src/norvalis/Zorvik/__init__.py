"""Quantum principal component analysis (module `Zorvik`)."""
from .Zorvik import zorvik

__all__ = ["zorvik"]
