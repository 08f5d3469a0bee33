"""Running code that might crash or hang in a child interpreter, so that a crash is a
failed test and not a dead test run. The child uses the debug allocator, which turns a
read of freed memory into a crash instead of a silent wrong value, and it can import the
hostile values of hostile.py."""
import os
import subprocess
import sys
import textwrap

TESTS = os.path.dirname(os.path.abspath(__file__))
DEBUG_ENV = {"PYTHONMALLOC": "debug", "OPENBLAS_NUM_THREADS": "1", "MPLBACKEND": "Agg",
             "PYTHONFAULTHANDLER": "1"}


def child_env(env=None):
    """This process's environment with the debug settings and this folder on the path."""
    path = os.pathsep.join(filter(None, [TESTS, os.environ.get("PYTHONPATH")]))
    return {**os.environ, **DEBUG_ENV, "PYTHONPATH": path, **(env or {})}


def run_child(code, timeout=120, env=None):
    """Runs `code` (dedented) in a fresh interpreter; returns the CompletedProcess.
    A child still running after `timeout` seconds is killed and reported as a hang."""
    try:
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                              capture_output=True, text=True, timeout=timeout,
                              env=child_env(env))
    except subprocess.TimeoutExpired as hang:
        raise AssertionError(f"the child hung for {timeout} s:\n{hang.stderr}") from None


def child_lines(code, timeout=120, env=None):
    """The child's stdout lines; fails with its stderr unless it exited cleanly."""
    out = run_child(code, timeout, env)
    assert out.returncode == 0, f"exit {out.returncode}:\n{out.stderr[-3000:]}"
    return out.stdout.splitlines()


def survivor_counts(code, timeout=300):
    """(calls, failures) of a child whose last line is "survived <calls> <failures>"."""
    words = child_lines(code, timeout)[-1].split()
    assert words[0] == "survived" and len(words) == 3, words
    return int(words[1]), int(words[2])

