"""The tour's command line, its plots and its table, on the cheap sections only."""
import os
import subprocess
import sys
import types

import pytest

from norvalis._tour import run_sections
from norvalis._tour.section import Row
from norvalis._tour.table import COLUMNS, WIDTH, format_table

PNG = b"\x89PNG\r\n\x1a\n"


def _tour(*args, cwd):
    env = dict(os.environ, MPLBACKEND="Agg")
    return subprocess.run([sys.executable, "-m", "norvalis", *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=300)


def test_only_one_section_writes_its_plot_into_the_named_folder(tmp_path):
    folder = tmp_path / "nested" / "plots"
    done = _tour("--only", "sdk", "--plots", str(folder), cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    plots = sorted(p.name for p in folder.iterdir())
    assert plots and all(name.startswith("sdk") and name.endswith(".png") for name in plots)
    assert all((folder / name).read_bytes().startswith(PNG) for name in plots)
    assert "[sdk]" in done.stderr and "[grover]" not in done.stderr
    assert "2 of 2 results agree" in done.stdout
    assert not (tmp_path / "tour-output").exists()
    table = done.stdout[done.stdout.index("algorithm / problem"):]
    assert max(len(line) for line in table.splitlines()) <= WIDTH


def test_unknown_section_is_refused(tmp_path):
    done = _tour("--only", "nosuch", cwd=tmp_path)
    assert done.returncode == 2 and "invalid choice" in done.stderr


@pytest.mark.parametrize("name", ["grover", "qaoa", "sorvic", "noise"])
def test_section_writes_a_png_and_agrees(tmp_path, name, capsys):
    assert run_sections([name], str(tmp_path))
    plots = list(tmp_path.glob(f"{name}_*.png"))
    assert plots and all(p.read_bytes().startswith(PNG) for p in plots)
    out = capsys.readouterr().out
    assert f"{len(plots)} plot" in out and str(tmp_path) in out


def test_a_disagreeing_row_fails_the_tour(tmp_path, monkeypatch, capsys):
    fake = types.ModuleType("norvalis._tour.failing")
    fake.NAME = "failing"
    fake.run = lambda ctx: [Row("wrong", "a problem", "1", "2", False),
                            Row("right", "a problem", "1", "1", True)]
    monkeypatch.setitem(sys.modules, fake.__name__, fake)
    assert not run_sections(["failing"], str(tmp_path / "plots"))
    out = capsys.readouterr().out
    assert "1 of 2 results agree" in out
    assert [line.split()[-3] for line in out.splitlines() if line.startswith(("wrong", "right"))] \
        == ["NO", "yes"]
    assert "written" not in out


def test_table_wraps_long_cells_within_the_width_and_keeps_every_word():
    words = "a long description with numbers 0.123456 and ± 1e-06 tolerances".split()
    long_text = " ".join(words * 4)
    unbroken = "x" * 90  # no space to break at: split across lines, not cut
    rows = [Row("an algorithm with a rather long name indeed", long_text, long_text, unbroken,
                True, 0.0123),
            Row("short", "p", "q", "r", False, 12.5)]
    lines = format_table(rows)
    assert max(len(line) for line in lines) <= WIDTH
    text = "\n".join(lines)
    assert text.count("0.123456") == 8 and text.count("1e-06") == 8
    start, width = lines[0].index("classical reference"), dict(COLUMNS)["classical reference"]
    reference = "".join(line[start:start + width].strip() for line in lines[2:])
    assert "x" * 90 + "r" == reference
    assert "12 ms" in text and "12.5 s" in text
    assert lines[0].split()[:3] == ["algorithm", "/", "problem"]
