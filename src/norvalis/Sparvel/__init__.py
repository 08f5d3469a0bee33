"""Sparse quantum state encoding (module `Sparvel`)."""
from .Sparvel import QSpare_Code

__all__ = ["QSpare_Code"]
