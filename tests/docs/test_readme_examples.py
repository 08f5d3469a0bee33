"""Every Python example of the README and of the documentation site (docs/**/*.md) runs as
written and prints the output shown below it: each ```python block is followed by a
```text block of its output."""
import contextlib
import io
import pathlib
import re

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").rglob("*.md"))]
EXAMPLE = re.compile(r"```python\n(.*?)```\s*```text\n(.*?)```", re.S)


def page_name(page):
    return page.relative_to(ROOT).as_posix()


def examples(page):
    return EXAMPLE.findall(page.read_text(encoding="utf-8"))


EXAMPLES = [(page_name(page), number, code, shown)
            for page in PAGES for number, (code, shown) in enumerate(examples(page), 1)]


@pytest.mark.parametrize("page", PAGES, ids=page_name)
def test_every_python_example_shows_its_output(page):
    assert len(examples(page)) == page.read_text(encoding="utf-8").count("```python")


def test_every_module_page_keeps_its_examples():
    pages = [p for p in (ROOT / "docs" / "modules").glob("*.md") if p.name != "index.md"]
    assert len(pages) == 12
    assert [page_name(p) for p in pages if not examples(p)] == []


@pytest.mark.parametrize("page, number, code, shown", EXAMPLES,
                         ids=[f"{page}:example{number}" for page, number, _, _ in EXAMPLES])
def test_example_prints_what_it_shows(page, number, code, shown):
    np.random.seed(0)
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, f"{page} (example {number})", "exec"), {})
    assert out.getvalue() == shown
