"""draw_qprog(..., output="mpl"): the text drawing's layout as a matplotlib figure.

matplotlib is imported here, on the first figure, so that importing kestrix stays fast.
"""

CONTROL = "●"
CROSS = "┼"
SWAP = "x"
# Figures wider than this many inches are cut to it: a long circuit still makes a figure
# a viewer can open (its gates get narrow rather than the image enormous).
MAX_WIDTH = 60.0


def figure(rows, columns, left_out):
    """A Figure of `rows` wires and `columns`, each (cells, spans) as the text drawing packs
    them: cells maps a row to its text, spans lists (lo, hi, is_barrier) per gate. The
    `left_out` gates beyond the largest drawing are counted in a note."""
    from matplotlib.figure import Figure

    # Wide labels (RZ(0.7854)) need wider columns; 0.12 inch per character reads well.
    widths = [max([1.0] + [0.12 * len(t) + 0.3 for t in cells.values()])
              for cells, _ in columns]
    length = sum(widths) + 1.0
    height = max(rows, 1)
    fig = Figure(figsize=(min(max(length + 0.8, 2.0), MAX_WIDTH), 0.5 * height + 0.5))
    ax = fig.add_axes((0, 0, 1, 1))
    ax.set_xlim(-0.8, length)
    ax.set_ylim(height - 0.5, -0.5 - (0.5 if left_out else 0))
    ax.axis("off")
    for r in range(rows):
        ax.plot([0, length], [r, r], color="black", lw=1, zorder=0)
        ax.text(-0.1, r, f"q_{r}", ha="right", va="center", family="monospace")
    x = 0.5
    for width, (cells, spans) in zip(widths, columns):
        x += width / 2
        draw_column(ax, x, cells, spans)
        x += width / 2
    if left_out:
        ax.text(0, -0.75, f"… {left_out} more gates not drawn", va="center",
                family="monospace")
    return fig


def draw_column(ax, x, cells, spans):
    for lo, hi, barrier in spans:
        if barrier:
            ax.fill_betweenx([lo - 0.45, hi + 0.45], x - 0.1, x + 0.1, color="lightgray",
                             zorder=1)
        elif hi > lo:  # a gate over several qubits: one line joins its rows
            ax.plot([x, x], [lo, hi], color="black", lw=1.2, zorder=1)
    for r, text in cells.items():
        if text == CONTROL:
            ax.plot(x, r, "o", color="black", markersize=7, zorder=3)
        elif text == SWAP:
            ax.plot(x, r, "x", color="black", markersize=9, mew=1.5, zorder=3)
        elif text not in ("", CROSS, "░"):
            ax.text(x, r, text, ha="center", va="center", family="monospace", zorder=3,
                    bbox={"boxstyle": "square,pad=0.3", "facecolor": "white",
                          "edgecolor": "black"})
