"""What the package ships: the source distribution holds the license, the README and every
source file, and the wheel's metadata states the license. Both come from the build backend's
own hooks, run on this checkout; nothing is compiled."""
import email.parser
import json
import pathlib
import subprocess
import sys
import tarfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]

pytestmark = pytest.mark.skipif(not (ROOT / "pyproject.toml").exists(),
                                reason="needs the source checkout")

# The hooks a frontend (pip, build) calls: an sdist, and the wheel's metadata alone.
HOOKS = """
import json, sys
import scikit_build_core.build as backend
out = sys.argv[1]
print(json.dumps([backend.build_sdist(out), backend.prepare_metadata_for_build_wheel(out)]))
"""


@pytest.fixture(scope="module")
def built(tmp_path_factory):
    pytest.importorskip("scikit_build_core")
    out = tmp_path_factory.mktemp("dist")
    done = subprocess.run([sys.executable, "-c", HOOKS, str(out)], cwd=ROOT, check=True,
                          capture_output=True, text=True, timeout=300)
    sdist, dist_info = json.loads(done.stdout.strip().splitlines()[-1])
    return out / sdist, out / dist_info


def tracked_sources():
    listed = subprocess.run(["git", "ls-files", "src", "CMakeLists.txt", "pyproject.toml"],
                            cwd=ROOT, capture_output=True, text=True)
    if listed.returncode != 0:
        pytest.skip("not a git checkout")
    return [name for name in listed.stdout.splitlines() if (ROOT / name).exists()]


def test_sdist_holds_license_readme_and_every_source(built):
    sdist, _ = built
    with tarfile.open(sdist) as tar:
        names = tar.getnames()
        top = names[0].split("/")[0]
        files = {name.split("/", 1)[1] for name in names if "/" in name}
        license_text = tar.extractfile(f"{top}/LICENSE").read().decode()
    assert {"LICENSE", "README.md", "pyproject.toml", "CMakeLists.txt"} <= files
    assert "Apache License" in license_text and "Version 2.0, January 2004" in license_text
    missing = [name for name in tracked_sources() if name not in files]
    assert not missing, missing[:10]
    assert not any(name.startswith((".venv/", "build/")) for name in files)


def test_wheel_metadata_names_the_license_and_the_python(built):
    _, dist_info = built
    meta = email.parser.Parser().parsestr((dist_info / "METADATA").read_text())
    assert meta["License-Expression"] == "Apache-2.0"
    assert "LICENSE" in meta.get_all("License-File")
    assert meta["Requires-Python"] == ">=3.13"
    assert meta["Description-Content-Type"] == "text/markdown"
    assert meta.get_payload().startswith("# norvalis")  # the README is the description
    classifiers = meta.get_all("Classifier")
    assert "Programming Language :: Python :: 3.13" in classifiers
    assert not any(c.startswith("License ::") for c in classifiers)
    assert any(url.startswith("Homepage, https://") for url in meta.get_all("Project-URL"))
