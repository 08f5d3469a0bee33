"""Canonical and iterative amplitude estimation (module `Melvo`)."""
from .Melvo import IMelvo, Melvo

__all__ = ["Melvo", "IMelvo"]
