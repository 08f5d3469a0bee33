"""Hostile arguments for every function of the QAOA modules, in a child process under the
debug allocator: each may raise any Python exception, but the interpreter must survive."""
from isolated import survivor_counts

CHILD = """
    import numpy as np
    from hostile import ClearingIndex, attempt_all, clearing_list, one_bad_argument
    from norvalis.QAOA import dravine, jorrant, marrowind

    shrinking = clearing_list(ClearingIndex, range(4))
    shrinking_domains = [[0, 1]]
    shrinking_domains[0] = [ClearingIndex(shrinking_domains, 0),
                            ClearingIndex(shrinking_domains, 1)]

    HOSTILE = [None, -1, 0, 2 ** 70, -2 ** 70, 1.5, float("nan"), "ab", [], [0, 0], [-1],
               [[0, 7]], object(), True, np.array([[1, 2]]), shrinking, shrinking_domains,
               [(1, 0)], lambda *a: None]
    SANE = {"q_list": [0, 1, 2, 3], "qb": [0, 1, 2], "qb1": [0, 1], "qb2": [2, 3],
            "qts": [0, 1, 2], "qlist": [0, 1, 2, 3], "q1": 0, "q2": 1, "qc": 3, "ang": 0.5,
            "angle": 0.5, "beta": 0.5, "n": 4, "m": 2, "nl": 2, "k": 2, "d": 2,
            "domains": 2, "x": np.zeros(2), "bounds": [(0, 1)], "func": lambda x: 0.0,
            "x0": [0.0, 0.0]}

    def call_and_use(name, f, args):
        result = f(**args)
        if callable(result):
            result([0, 1, 2, 3], 0.5) if "mixer" in name else result([0, 1])

    calls = failures = 0
    for module in (dravine, marrowind, jorrant):
        for name, f in vars(module).items():
            if type(f).__name__ != "compiled_function" or f.__module__ != module.__name__:
                continue
            made, failed = attempt_all(lambda name=name, f=f, args=args: call_and_use(name, f, args)
                                       for args in one_bad_argument(f, HOSTILE, SANE))
            calls, failures = calls + made, failures + failed
    for options in ({"a": "x"}, {"maxiter": "x"}, {"A": None}, {"alpha": np.array([1, 2])},
                    {"calibrate": object()}, {"blocking": shrinking}, {"return_best": [True]}):
        try:
            jorrant.jorrant_minimize(lambda x: 0.0, [0.0], **options)
        except Exception:
            pass
    for returned in (float("nan"), float("inf"), 2 ** 70, object(), np.array([[1.0]])):
        try:
            jorrant.jorrant_minimize(lambda x: returned, [0.0], maxiter=3, calibrate=True,
                                     blocking=True, return_best=True)
        except Exception:
            pass
    print("survived", calls, failures)
"""


def test_every_function_survives_hostile_arguments():
    calls, failures = survivor_counts(CHILD)
    assert calls > 300 and 0 < failures < calls
