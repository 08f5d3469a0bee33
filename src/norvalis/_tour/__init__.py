"""Tour sections and the table they fill. Each section module has NAME and
run(ctx) -> list[section.Row]; add a module to SECTIONS to add it to the tour."""
import os
import sys
import time

import numpy as np

from . import (
    fennimor,
    grover,
    kavrel,
    melvo,
    qaoa,
    qsvm,
    quillan,
    sdk,
    sorvic,
    sparvel,
    trelvo,
    vandemir,
    zorvik,
)
from .section import Context

# In the order of the package's families.
SECTIONS = [sdk, grover, melvo, qaoa, zorvik, trelvo, qsvm, quillan, vandemir, sparvel,
            fennimor, kavrel, sorvic]


def _duration(seconds):
    return f"{seconds * 1000:.0f} ms" if seconds < 1 else f"{seconds:.1f} s"


def _print_table(rows):
    headers = ["algorithm", "problem", "quantum result", "classical reference", "agrees", "time"]
    cells = [[r.algorithm, r.problem, r.quantum, r.reference, "yes" if r.agrees else "NO",
              _duration(r.seconds)] for r in rows]
    widths = [max(len(h), *(len(c[i]) for c in cells)) for i, h in enumerate(headers)]
    line = "  ".join(h.ljust(w) for h, w in zip(headers, widths))
    print(line)
    print("-" * len(line))
    for c in cells:
        print("  ".join(x.ljust(w) for x, w in zip(c, widths)))


def run_sections(sections, plot_dir):
    """Runs the sections, prints the table, returns whether every row agrees."""
    ctx = Context(plot_dir)
    rows = []
    for section in sections:
        np.random.seed(7)
        start = time.perf_counter()
        print(f"[{section.NAME}]", file=sys.stderr, flush=True)
        section_rows = section.run(ctx)
        elapsed = (time.perf_counter() - start) / max(len(section_rows), 1)
        for row in section_rows:
            row.seconds = row.seconds or elapsed
        rows.extend(section_rows)
    print()
    _print_table(rows)
    if os.path.isdir(plot_dir):
        print(f"\nplots written to {os.path.abspath(plot_dir)}")
    failed = [r for r in rows if not r.agrees]
    print(f"\n{len(rows) - len(failed)} of {len(rows)} results agree with their references.")
    return not failed
