"""Property tests: random good and bad calls (fuzzing.py) against every public call of
kestrix and every function and class of the norvalis modules, a bounded number per run,
in child interpreters (fuzz_campaign.py) so that a crash or a hang fails the test. Every
call may raise a Python exception; none may crash, ignore Ctrl-C, show C++ internals in a
message or, for a valid circuit, disagree with the dense model. `make fuzz` runs the long
campaign."""
import importlib
import pkgutil
import re
import zlib

import fuzzing
import pytest
from fuzz_campaign import Report, run_batch

import norvalis

GROUPS = {
    "kestrix": r"^kestrix\.",
    "grover, amplitude estimation, QAOA, plugin": r"^norvalis\.(Grover|Melvo|QAOA|plugin|_warning)",
    "PCA, SVD, kernels, regression, k-means, estimators":
        r"^norvalis\.(Zorvik|Trelvo|QSVM|Quillan|QKmeans|sklearn)",
    "sparse codes, feature selection, HHL, VQE": r"^norvalis\.(Sparvel|QmRMR|Kavrel|Sorvic|_sk)",
}
CALLS = 1200


@pytest.mark.parametrize("group", GROUPS)
def test_random_and_hostile_calls_never_crash(group):
    report = Report()
    run_batch(zlib.crc32(group.encode()), CALLS, GROUPS[group], report)
    faults = report.crashes + report.hangs + report.suspects
    assert not faults, "\n".join(faults)
    assert report.calls >= CALLS
    # Some calls get through and some are refused: the draws reach past the argument checks.
    assert report.outcomes["ok"] > CALLS // 20 and report.outcomes["TypeError"] > 0


def test_every_module_is_fuzzed():
    targets = fuzzing.all_targets()
    for info in pkgutil.iter_modules(norvalis.__path__, "norvalis."):
        if info.name.endswith(("_tour", "__main__", "_version")):
            continue
        importlib.import_module(info.name)
        assert any(label.startswith(info.name + ".") for label in targets), info.name
        assert any(re.search(pattern, info.name + ".x") for pattern in GROUPS.values()), info.name
