"""What a tour section works with: the Context it is given and the Rows it returns."""
import os
import sys
from dataclasses import dataclass


@dataclass
class Row:
    """One line of the tour's table: a quantum result beside its classical reference."""

    algorithm: str
    problem: str
    quantum: str
    reference: str
    agrees: bool
    seconds: float = 0.0


class Context:
    """What a section gets: a plot folder and a progress line."""

    def __init__(self, plot_dir):
        self.plot_dir = plot_dir

    def plot_path(self, name):
        os.makedirs(self.plot_dir, exist_ok=True)
        return os.path.join(self.plot_dir, name)

    def progress(self, text):
        print(f"  … {text}", file=sys.stderr, flush=True)
