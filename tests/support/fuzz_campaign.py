"""The fuzzing campaign: random good and bad calls (fuzzing.py) against kestrix and every
norvalis module, in batches, each batch in its own interpreter. It reports the calls made,
their outcomes by exception type, and every crash, hang and suspect error (C++ text in a
message, a SystemError, a result that disagrees with the dense model).

    python tests/fuzz_campaign.py [--calls 100000] [--batch 2500] [--seed 0] [--only REGEX]

Each call runs under a timer that raises an exception after CALL_SECONDS, as Ctrl-C would:
a call that ignores it for HANG_SECONDS more is a hang. Exits 1 when anything was found.
"""
import argparse
import collections
import os
import re
import resource
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field

from isolated import child_env

CALL_SECONDS = 2.0
HANG_SECONDS = 30.0
STARTUP_SECONDS = 300.0
# Address space of a batch: a call that allocates past it fails with MemoryError instead of
# pressing the machine (and its other users) into swap.
MEMORY_BYTES = min(8 << 30, os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") // 2)


class CallTimeout(BaseException):
    """Raised by the per-call timer, the way KeyboardInterrupt is raised by Ctrl-C."""


def worker(seed, calls, progress_path, only):
    """Runs `calls` drawn calls, writing "start <target>" and "end <verdict>" lines."""
    import warnings

    warnings.simplefilter("ignore")
    # AddressSanitizer reserves terabytes of address space for its shadow memory: under it
    # the limit would refuse every allocation.
    if "asan" not in os.environ.get("LD_PRELOAD", ""):
        resource.setrlimit(resource.RLIMIT_AS, (MEMORY_BYTES, MEMORY_BYTES))
    import fuzzing
    import matplotlib.pyplot as plt
    from hypothesis import HealthCheck, Phase, given, settings
    from hypothesis import seed as hypothesis_seed
    from hypothesis import strategies as st

    targets = fuzzing.all_targets()
    labels = sorted(label for label in targets if re.search(only, label))
    # A family first, then one of its targets: kestrix's few calls are drawn as often as a
    # norvalis package's many functions.
    by_family = collections.defaultdict(list)
    for label in labels:
        by_family[family_of(label)].append(label)
    families = sorted(by_family)
    progress = open(progress_path, "w", buffering=1)
    progress.write("ready\n")

    armed = [False]

    def on_timer(*_):
        # A signal that arrives as the call returns runs this a few instructions later:
        # only a call still under way is stopped.
        if armed[0]:
            raise CallTimeout

    signal.signal(signal.SIGALRM, on_timer)

    @settings(max_examples=calls, database=None, deadline=None, phases=[Phase.generate],
              suppress_health_check=list(HealthCheck))
    @hypothesis_seed(seed)
    @given(st.data())
    def one_call(data):
        label = data.draw(st.sampled_from(by_family[data.draw(st.sampled_from(families))]))
        progress.write(f"start {label}\n")
        error = None
        try:
            try:
                armed[0] = True
                signal.setitimer(signal.ITIMER_REAL, CALL_SECONDS)
                targets[label](data)
            finally:
                armed[0] = False
                signal.setitimer(signal.ITIMER_REAL, 0)
        except (Exception, SystemExit, CallTimeout) as raised:  # SystemExit: Zorvik's k check
            error = raised
        progress.write("end " + ("slow" if isinstance(error, CallTimeout)
                                 else fuzzing.verdict(error)).replace("\n", " ") + "\n")
        plt.close("all")

    one_call()
    progress.write("done\n")


@dataclass
class Report:
    calls: int = 0
    outcomes: collections.Counter = field(default_factory=collections.Counter)
    crashes: list = field(default_factory=list)
    hangs: list = field(default_factory=list)
    suspects: list = field(default_factory=list)
    slow: collections.Counter = field(default_factory=collections.Counter)
    # family -> Counter of its outcomes ("ok", exception names, "suspect", "slow")
    families: collections.defaultdict = field(
        default_factory=lambda: collections.defaultdict(collections.Counter))

    def faults(self):
        return len(self.crashes) + len(self.hangs) + len(self.suspects)


def run_batch(seed, calls, only, report):
    """One worker interpreter; its outcomes are added to `report`."""
    with tempfile.NamedTemporaryFile("r", suffix=".fuzz") as progress, \
            tempfile.TemporaryFile("w+") as errors:
        child = subprocess.Popen(
            [sys.executable, __file__, "--worker", str(seed), str(calls), progress.name, only],
            stdout=subprocess.DEVNULL, stderr=errors, env=child_env(),
            cwd=os.path.dirname(os.path.abspath(__file__)))
        text, hung = "", False
        moved = time.monotonic()
        while child.poll() is None:
            fresh = progress.read()
            if fresh:
                text += fresh
                moved = time.monotonic()
            # Starting a batch imports SciPy, scikit-learn and every module: on a busy
            # machine that alone may take a minute.
            patience = CALL_SECONDS + HANG_SECONDS if text else STARTUP_SECONDS
            if not fresh and time.monotonic() - moved > patience:
                child.kill()
                hung = True
            time.sleep(0.05)
        text += progress.read()
        errors.seek(0)
        stderr = errors.read()
    lines, last_start, last_label = text.splitlines(), None, "the start"
    for line in lines:
        word, _, rest = line.partition(" ")
        if word == "start":
            last_start = last_label = rest
            report.calls += 1
        elif word == "end":
            outcome = "suspect" if rest.startswith("suspect") else rest
            if outcome == "suspect":
                report.suspects.append(f"{last_start}: {rest}")
            report.outcomes[outcome] += 1
            report.families[family_of(last_start)][outcome] += 1
            if rest == "slow":
                report.slow[last_start] += 1
            last_start = None
    finished = lines and lines[-1].startswith("done")
    where = last_start or f"after {last_label}, between calls"
    if last_start:
        report.families[family_of(last_start)]["crash" if not hung else "hang"] += 1
    if hung:
        report.hangs.append(f"seed {seed}: {where}")
    elif not finished:
        report.crashes.append(f"seed {seed}: {where} (exit {child.returncode}): "
                              f"{stderr.strip()[:1500]}")


def family_of(label):
    """The family a target belongs to: kestrix.<call>, or the norvalis package."""
    parts = label.split(".")
    return ".".join(parts[:2])


def family_table(report, out):
    """Calls per family and what became of them."""
    print(f"{'family':28} {'calls':>7} {'ok':>7} {'refused':>8} {'slow':>5} {'faults':>6}",
          file=out)
    for family in sorted(report.families):
        c = report.families[family]
        calls = sum(c.values())
        faults = c["suspect"] + c["crash"] + c["hang"]
        refused = calls - c["ok"] - c["slow"] - faults
        print(f"{family:28} {calls:7} {c['ok']:7} {refused:8} {c['slow']:5} {faults:6}",
              file=out)


def campaign(calls, batch, seed, only, out=sys.stdout):
    report = Report()
    started = time.monotonic()
    for k in range((calls + batch - 1) // batch):
        run_batch(seed + k, min(batch, calls - k * batch), only, report)
        print(f"batch {k + 1}: {report.calls} calls, {report.faults()} faults, "
              f"{time.monotonic() - started:.0f} s", file=sys.stderr, flush=True)
    print(f"calls: {report.calls}", file=out)
    family_table(report, out)
    print("outcomes:", file=out)
    for name, count in report.outcomes.most_common():
        print(f"  {name:24} {count}", file=out)
    if report.slow:
        print(f"slow calls, stopped by the timer after {CALL_SECONDS:g} s: " +
              ", ".join(f"{k} {n}" for k, n in report.slow.most_common(8)), file=out)
    print(f"crashes: {len(report.crashes)}", file=out)
    print(f"hangs: {len(report.hangs)}", file=out)
    print(f"suspect errors: {len(report.suspects)}", file=out)
    for fault in report.crashes + report.hangs + report.suspects[:20]:
        print("  " + fault, file=out)
    print(f"time: {time.monotonic() - started:.0f} s", file=out)
    return report


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        _, _, seed, calls, progress, only = sys.argv
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        worker(int(seed), int(calls), progress, only)
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=100_000)
    parser.add_argument("--batch", type=int, default=2500)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--only", default="", help="fuzz only targets matching this regex")
    args = parser.parse_args()
    report = campaign(args.calls, args.batch, args.seed, args.only)
    sys.exit(1 if report.faults() else 0)


if __name__ == "__main__":
    main()
