"""Circuit drawings: folding into blocks, the matplotlib figure and the notebook HTML."""
import html
import subprocess
import sys

import pytest

from kestrix.core import (
    BARRIER,
    CNOT,
    RY,
    SWAP,
    TOFFOLI,
    H,
    QCircuit,
    QProg,
    X,
    draw_qprog,
    measure,
)

PROG = QProg(4) << H(0) << CNOT(0, 2) << RY(1, 0.5) << SWAP(0, 1) << BARRIER([0, 1, 2])
PROG << measure([0, 1, 2], [0, 1, 2]) << CNOT(3, 2) << TOFFOLI(0, 3, 1)
for k in range(12):
    PROG << RY(k % 4, 0.1 * k)


def blocks(text):
    return [block.splitlines() for block in text.rstrip("\n").split("\n\n")]


def test_default_drawing_is_unchanged_by_the_new_options():
    assert draw_qprog(PROG, fold=None) == draw_qprog(PROG) == str(PROG)
    assert draw_qprog(PROG, fold=10_000) == draw_qprog(PROG)


# 14 columns hold the names, the widest gate (RY(0.5)) and its wires.
@pytest.mark.parametrize("fold", [14, 25, 40])
def test_folded_blocks_fit_and_join_back_into_the_drawing(fold):
    whole = draw_qprog(PROG).splitlines()
    parts = blocks(draw_qprog(PROG, fold=fold))
    assert len(parts) > 1
    prefix = len("q_0: ─")
    for r, row in enumerate(whole):
        joined = parts[0][r] + "".join(block[r][prefix:] for block in parts[1:])
        assert joined == row
    for block in parts:
        assert len(block) == 4 and max(len(line) for line in block) <= fold


def test_one_column_wider_than_the_fold_stands_alone():
    parts = blocks(draw_qprog(QCircuit() << H(0) << RY(0, 0.123456) << X(0), fold=8))
    assert [b[0] for b in parts] == ["q_0: ─H─", "q_0: ─RY(0.1235)─", "q_0: ─X─"]


def test_notebooks_see_the_escaped_drawing_folded_at_100_columns():
    wide = QProg(2)
    for k in range(40):
        wide << RY(k % 2, 0.25 * k)
    for obj in (wide, wide.to_circuit(), QCircuit() << CNOT(0, 1)):
        page = obj._repr_html_()
        assert page.startswith("<pre>") and page.endswith("</pre>")
        inner = page[len("<pre>"):-len("</pre>")]
        assert "<" not in inner and html.unescape(inner) == draw_qprog(obj, fold=100)
    assert all(len(line) <= 100 for line in draw_qprog(wide, fold=100).splitlines())


def test_mpl_output_is_a_figure_of_the_gates():
    from matplotlib.figure import Figure

    fig = draw_qprog(PROG, output="mpl")
    assert isinstance(fig, Figure)
    labels = [t.get_text() for t in fig.axes[0].texts]
    assert {"q_0", "q_3", "H", "RY(0.5)", "M→c2"} <= set(labels)
    assert labels.count("X") == 3  # CNOT, CNOT and TOFFOLI targets
    assert isinstance(draw_qprog(H(0), output="mpl"), Figure)


def test_a_long_circuit_makes_a_figure_of_its_start_and_a_count():
    # 2000 cells is the figure's limit: the 2500 gates of one qubit leave 500 out.
    long = QCircuit()
    for _ in range(2500):
        long << H(0)
    fig = draw_qprog(long, output="mpl")
    labels = [t.get_text() for t in fig.axes[0].texts]
    assert labels.count("H") == 2000 and "… 500 more gates not drawn" in labels


def test_matplotlib_is_imported_only_for_a_figure():
    code = ("import sys; from kestrix.core import QProg, H, draw_qprog; "
            "draw_qprog(QProg(1) << H(0), fold=5); print('matplotlib' in sys.modules)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


@pytest.mark.parametrize(
    "kwargs, error, words",
    [
        ({"fold": 0}, ValueError, "fold must be positive"),
        ({"fold": -3}, ValueError, "fold must be positive"),
        ({"fold": 2.5}, TypeError, "fold must be an int"),
        ({"fold": True}, TypeError, "fold must be an int"),
        ({"fold": 2**80}, ValueError, "fold is too large"),
        ({"output": "svg"}, ValueError, "output must be 'text' or 'mpl'"),
        ({"output": None}, ValueError, "output must be 'text' or 'mpl'"),
        ({"output": "mpl", "fold": 40}, ValueError, "fold applies to the text drawing"),
    ],
)
def test_bad_options_are_refused_in_words(kwargs, error, words):
    with pytest.raises(error, match=words):
        draw_qprog(PROG, **kwargs)
