"""Running code that might crash or hang in a child interpreter, so that a crash is a
failed test and not a dead test run. The child uses the debug allocator, which turns a
read of freed memory into a crash instead of a silent wrong value."""
import os
import subprocess
import sys
import textwrap

DEBUG_ENV = {"PYTHONMALLOC": "debug", "OPENBLAS_NUM_THREADS": "1", "MPLBACKEND": "Agg",
             "PYTHONFAULTHANDLER": "1"}


def run_child(code, timeout=120, env=None):
    """Runs `code` (dedented) in a fresh interpreter; returns the CompletedProcess.
    A child still running after `timeout` seconds is killed and reported as a hang."""
    environment = {**os.environ, **DEBUG_ENV, **(env or {})}
    try:
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                              capture_output=True, text=True, timeout=timeout,
                              env=environment)
    except subprocess.TimeoutExpired as hang:
        raise AssertionError(f"the child hung for {timeout} s:\n{hang.stderr}") from None


def child_lines(code, timeout=120, env=None):
    """The child's stdout lines; fails with its stderr unless it exited cleanly."""
    out = run_child(code, timeout, env)
    assert out.returncode == 0, f"exit {out.returncode}:\n{out.stderr[-3000:]}"
    return out.stdout.splitlines()
