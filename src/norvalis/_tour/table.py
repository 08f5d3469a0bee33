"""The tour's table, laid out for a terminal of WIDTH columns: the problem sits under the
algorithm's name and long cells wrap inside their column, so nothing is cut."""
import textwrap

# The column widths and gaps add up to WIDTH.
WIDTH = 118
COLUMNS = [("algorithm / problem", 35), ("quantum result", 31), ("classical reference", 31),
           ("agrees", 6), ("time", 7)]
GAP = "  "


def duration(seconds):
    return f"{seconds * 1000:.0f} ms" if seconds < 1 else f"{seconds:.1f} s"


def _wrap(text, width, indent=""):
    return textwrap.wrap(text, width, initial_indent=indent, subsequent_indent=indent,
                         break_on_hyphens=False) or [""]


def _row_lines(row):
    widths = [w for _, w in COLUMNS]
    name_w, quantum_w, reference_w, _, time_w = widths
    cells = [_wrap(row.algorithm, name_w) + _wrap(row.problem, name_w, indent="  "),
             _wrap(row.quantum, quantum_w), _wrap(row.reference, reference_w),
             ["yes" if row.agrees else "NO"], [duration(row.seconds).rjust(time_w)]]
    height = max(len(c) for c in cells)
    return [GAP.join((c[i] if i < len(c) else "").ljust(w) for c, w in zip(cells, widths))
            .rstrip() for i in range(height)]


def format_table(rows):
    """The table as a list of lines, each at most WIDTH characters; a blank line between
    rows."""
    header = GAP.join(h.rjust(w) if h == "time" else h.ljust(w) for h, w in COLUMNS)
    lines = [header, "─" * len(header)]
    for i, row in enumerate(rows):
        if i:
            lines.append("")
        lines.extend(_row_lines(row))
    return lines
