"""Timing shared by the benchmark scripts: the best of a few rounds, the mean cost of a
call repeated for about a second, and times printed in one format. The scripts import it
from their own folder, so each still runs on its own (python bench/x.py)."""
import time


def timed(run, repeats=3, number=1, before=None):
    """(best seconds per call, last result) over `repeats` rounds of `number` calls of
    run(); before(), where given, runs untimed ahead of each round (to seed, say)."""
    best, result = float("inf"), None
    for _ in range(repeats):
        if before is not None:
            before()
        start = time.perf_counter()
        for _ in range(number):
            result = run()
        best = min(best, (time.perf_counter() - start) / number)
    return best, result


def best_time(run, repeats=3, number=1, before=None):
    """The best seconds per call of timed(), without the result."""
    return timed(run, repeats, number, before)[0]


def per_call(run, seconds=1.0, batch=1):
    """Mean seconds per call of run(i), i counting the calls, over about `seconds`; the
    clock is read once every `batch` calls, so that reading it costs nothing."""
    calls, start = 0, time.perf_counter()
    while (elapsed := time.perf_counter() - start) < seconds:
        for _ in range(batch):
            run(calls)
            calls += 1
    return elapsed / calls


def fmt_time(seconds, width=9):
    """Milliseconds below ten seconds, seconds above, right-aligned in `width` digits."""
    return f"{seconds * 1e3:{width}.1f} ms" if seconds < 10 else f"{seconds:{width}.2f} s "
