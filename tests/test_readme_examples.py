"""Every Python example in the README runs as written and prints the output shown below
it (each example is followed by a ```text block of its output)."""
import contextlib
import io
import pathlib
import re

import numpy as np
import pytest

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"
EXAMPLES = re.findall(r"```python\n(.*?)```\s*```text\n(.*?)```", README.read_text(), re.S)


def test_every_python_example_shows_its_output():
    assert len(EXAMPLES) == README.read_text().count("```python")


@pytest.mark.parametrize("code, shown", EXAMPLES, ids=[f"example{i}" for i in range(len(EXAMPLES))])
def test_readme_example_prints_what_it_shows(code, shown):
    np.random.seed(0)
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, str(README), "exec"), {})
    assert out.getvalue() == shown
