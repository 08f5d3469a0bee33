"""Every Python example in the README runs as written."""
import pathlib
import re

import numpy as np
import pytest

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"
EXAMPLES = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)


@pytest.mark.parametrize("code", EXAMPLES, ids=[f"example{i}" for i in range(len(EXAMPLES))])
def test_readme_example_runs(code, capsys):
    np.random.seed(0)
    exec(compile(code, str(README), "exec"), {})
    assert capsys.readouterr().out  # every example shows its result
