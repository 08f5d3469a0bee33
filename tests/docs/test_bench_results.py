"""Benchmark scripts record what they print in docs/speed-results.md when BENCH_RESULTS
names it (bench/results.py): one section per script, replaced in place on the next run,
the console output unchanged."""
import os
import pathlib
import runpy
import subprocess
import sys
import types

import pytest

BENCH = pathlib.Path(__file__).resolve().parents[2] / "bench"
# Run from its file: bench/ stays off sys.path, where its generic module names would
# shadow others.
results = types.SimpleNamespace(**runpy.run_path(str(BENCH / "results.py")))


def fenced(document, script):
    """The output recorded in the fenced block of `script`'s section."""
    section = document.split(results.BEGIN.format(script))[1].split(results.END.format(script))[0]
    return section.split("```text\n")[1].split("\n```")[0]


def record_printing(path, script, text, monkeypatch, fail=False):
    monkeypatch.setenv(results.ENV, str(path))
    with results.recorded(f"/somewhere/{script}", thread_count=3):
        print(text)
        if fail:
            raise RuntimeError("the benchmark failed")


class TestRecorded:
    def test_without_the_variable_it_only_prints(self, tmp_path, monkeypatch, capsys):
        monkeypatch.delenv(results.ENV, raising=False)
        with results.recorded("bench/x.py"):
            print("row 1")
        assert capsys.readouterr().out == "row 1\n"
        assert list(tmp_path.iterdir()) == []

    def test_prints_as_before_and_writes_a_section(self, tmp_path, monkeypatch, capsys):
        path = tmp_path / "speed-results.md"
        record_printing(path, "run.py", "QFT 16q   1.8 ms\nQFT 20q  15.1 ms", monkeypatch)
        assert capsys.readouterr().out == "QFT 16q   1.8 ms\nQFT 20q  15.1 ms\n"
        document = path.read_text()
        assert document.startswith(results.HEADER)
        assert "## `bench/run.py`" in document and "- threads: 3" in document
        assert "- machine: " in document and "- date: " in document
        assert fenced(document, "bench/run.py") == "QFT 16q   1.8 ms\nQFT 20q  15.1 ms"

    def test_a_second_run_replaces_its_own_section_only(self, tmp_path, monkeypatch, capsys):
        path = tmp_path / "speed-results.md"
        record_printing(path, "run.py", "first", monkeypatch)
        record_printing(path, "sdk_tiny.py", "tiny", monkeypatch)
        record_printing(path, "run.py", "second", monkeypatch)
        document = path.read_text()
        assert fenced(document, "bench/run.py") == "second"
        assert fenced(document, "bench/sdk_tiny.py") == "tiny"
        assert document.count("## `bench/run.py`") == 1 and "first" not in document
        assert document.index("bench/run.py") < document.index("bench/sdk_tiny.py")

    def test_a_failing_script_writes_nothing(self, tmp_path, monkeypatch, capsys):
        path = tmp_path / "speed-results.md"
        record_printing(path, "run.py", "kept", monkeypatch)
        stdout = sys.stdout
        with pytest.raises(RuntimeError):
            record_printing(path, "run.py", "half a table", monkeypatch, fail=True)
        assert sys.stdout is stdout
        assert fenced(path.read_text(), "bench/run.py") == "kept"

    def test_text_around_the_sections_is_kept(self, tmp_path, monkeypatch, capsys):
        path = tmp_path / "speed-results.md"
        path.write_text("# Results\n\nA note by hand.\n")
        record_printing(path, "run.py", "row", monkeypatch)
        assert path.read_text().startswith("# Results\n\nA note by hand.\n\n<!-- begin")


def test_thread_count_follows_the_engine(monkeypatch):
    monkeypatch.setenv("OMP_NUM_THREADS", "3")
    monkeypatch.setenv("KESTRIX_NUM_THREADS", "5")
    assert results.threads() == 5
    monkeypatch.delenv("KESTRIX_NUM_THREADS")
    assert results.threads() == 3
    monkeypatch.delenv("OMP_NUM_THREADS")
    assert results.threads() == len(os.sched_getaffinity(0))


def test_a_benchmark_script_records_exactly_what_it_prints(tmp_path):
    path = tmp_path / "speed-results.md"
    env = dict(os.environ, BENCH_RESULTS=str(path), OMP_NUM_THREADS="1")
    run = subprocess.run([sys.executable, str(BENCH / "algo_zorvik.py")], env=env,
                         capture_output=True, text=True, timeout=120, check=True)
    assert "zorvik" in run.stdout
    assert fenced(path.read_text(), "bench/algo_zorvik.py") == run.stdout.rstrip("\n")
    assert "- threads: 1" in path.read_text()
