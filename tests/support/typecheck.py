"""mypy over a script, for the tests that the stubs accept what users write and flag what
they should not."""
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
