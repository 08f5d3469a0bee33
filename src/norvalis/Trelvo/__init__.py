"""Variational singular-value decomposition (module `Trelvo`)."""
from .Trelvo import SVD

__all__ = ["SVD"]
