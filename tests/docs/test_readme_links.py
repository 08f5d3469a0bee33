"""The README's links and images point at files that exist: the documentation site checks
its own links when it is built, but the README lies outside it."""
import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parents[2]
LINK = re.compile(r"\]\(([^)\s]+)\)")


def test_readme_links_reach_existing_files():
    targets = [t.split("#")[0] for t in LINK.findall((ROOT / "README.md").read_text("utf-8"))]
    local = [t for t in targets if t and "://" not in t]
    assert "docs/index.md" in local and "docs/speed-results.md" in local
    assert [t for t in local if not (ROOT / t).is_file()] == []
