"""Quantum feature selection (module `fennimor`)."""
from .fennimor import Feature_Selection, JorrantOptimizer, control, plot_bar, plot_loss

__all__ = ["Feature_Selection", "control", "plot_bar", "plot_loss", "JorrantOptimizer"]
