"""Quantum k-means clustering (module `Vandemir`)."""
from .Vandemir import Vandemir

__all__ = ["Vandemir"]
