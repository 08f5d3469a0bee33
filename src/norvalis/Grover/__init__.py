"""Grover search and Grover adaptive search (module `halcyte`)."""
from .halcyte import (
                      Grover,
                      GroverAdaptiveSearch,
                      amp_operator,
                      iter_analysis,
                      iter_num,
                      mark_data_reflection,
)

__all__ = ["amp_operator", "mark_data_reflection", "iter_num", "iter_analysis", "Grover",
           "GroverAdaptiveSearch"]
