"""What a tour section works with: the Context it is given and the Rows it returns."""
import contextlib
import os
import sys
import time
from dataclasses import dataclass

from matplotlib.figure import Figure


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
    """What a section gets: a plot folder, a progress line, and a clock for its plotting,
    which the table's times leave out."""

    def __init__(self, plot_dir):
        self.plot_dir = plot_dir
        self.plots = []
        self.plot_seconds = 0.0

    @contextlib.contextmanager
    def plotting(self):
        start = time.perf_counter()
        try:
            yield
        finally:
            self.plot_seconds += time.perf_counter() - start

    def plot_path(self, name):
        os.makedirs(self.plot_dir, exist_ok=True)
        path = os.path.join(self.plot_dir, name)
        self.plots.append(path)
        return path

    def progress(self, text):
        print(f"  … {text}", file=sys.stderr, flush=True)


def figure(columns=1, width=4.6, height=3.6, title=None, right=0.25, top=None):
    """A figure of `columns` side-by-side panels, each `width` inches wide, and its axes
    (one Axes when columns is 1). Margins are fixed in inches (`right` and `top` widen
    theirs): a layout engine would lay out and draw every figure twice, doubling the tour's
    plotting time. Matplotlib's object interface draws with Agg and never opens a window."""
    fig = Figure(figsize=(width * columns, height))
    axes = fig.subplots(1, columns)
    total_width, left, gap = width * columns, 0.85, 0.85
    top = top if top is not None else (0.65 if title else 0.35)
    panel = (total_width - left - right - (columns - 1) * gap) / columns
    fig.subplots_adjust(left=left / total_width, right=1 - right / total_width,
                        bottom=0.6 / height, top=1 - top / height, wspace=gap / panel)
    if title:
        fig.suptitle(title, y=1 - 0.12 / height, va="top")
    return fig, axes


def save(fig, path):
    fig.savefig(path, dpi=80)
