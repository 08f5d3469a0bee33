"""Tour sections and the table they fill. Each section module has NAME and
run(ctx) -> list[section.Row] and writes at least one plot through ctx.plot_path; add its
name to SECTIONS to add it to the tour. Sections are imported when they run, so `--only`
loads only what its section needs."""
import importlib
import os
import sys
import time

import numpy as np

from .section import Context
from .table import duration, format_table

# In the order of the package's families.
SECTIONS = ["sdk", "grover", "melvo", "qaoa", "densest", "zorvik", "trelvo", "qsvm", "quillan",
            "vandemir", "sparvel", "fennimor", "kavrel", "sorvic", "noise"]


def run_sections(names, plot_dir):
    """Runs the named sections, prints the table, returns whether every row agrees."""
    ctx = Context(plot_dir)
    ctx.progress("importing the sections and the libraries they use")
    sections = [importlib.import_module(f"{__name__}.{name}") for name in names]
    rows = []
    for section in sections:
        np.random.seed(7)
        print(f"[{section.NAME}]", file=sys.stderr, flush=True)
        start, plotting = time.perf_counter(), ctx.plot_seconds
        section_rows = section.run(ctx)
        seconds = time.perf_counter() - start - (ctx.plot_seconds - plotting)
        for row in section_rows:
            row.seconds = row.seconds or seconds / max(len(section_rows), 1)
        rows.extend(section_rows)
    print()
    print("\n".join(format_table(rows)))
    if ctx.plots:
        count = f"{len(ctx.plots)} plot" + ("s" if len(ctx.plots) > 1 else "")
        print(f"\n{count} written to {os.path.abspath(plot_dir)} "
              f"in {duration(ctx.plot_seconds)}")
    failed = [r for r in rows if not r.agrees]
    print(f"\n{len(rows) - len(failed)} of {len(rows)} results agree with their references.")
    return not failed
