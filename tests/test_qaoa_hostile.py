"""Hostile arguments for every function of the QAOA modules, in a child process under the
debug allocator: each may raise any Python exception, but the interpreter must survive."""
import subprocess
import sys
import textwrap

CHILD = textwrap.dedent("""
    import inspect
    import numpy as np
    from norvalis.QAOA import dravine, jorrant, marrowind

    class Index:
        # An index that empties the list it is read from.
        def __init__(self, box, value):
            self.box, self.value = box, value
        def __index__(self):
            self.box.clear()
            return self.value

    shrinking = [0, 1, 2, 3]
    shrinking[:] = [Index(shrinking, i) for i in range(4)]
    shrinking_domains = [[0, 1]]
    shrinking_domains[0] = [Index(shrinking_domains, 0), Index(shrinking_domains, 1)]

    HOSTILE = [None, -1, 0, 2 ** 70, -2 ** 70, 1.5, float("nan"), "ab", [], [0, 0], [-1],
               [[0, 7]], object(), True, np.array([[1, 2]]), shrinking, shrinking_domains,
               [(1, 0)], lambda *a: None]
    SANE = {"q_list": [0, 1, 2, 3], "qb": [0, 1, 2], "qb1": [0, 1], "qb2": [2, 3],
            "qts": [0, 1, 2], "qlist": [0, 1, 2, 3], "q1": 0, "q2": 1, "qc": 3, "ang": 0.5,
            "angle": 0.5, "beta": 0.5, "n": 4, "m": 2, "nl": 2, "k": 2, "d": 2,
            "domains": 2, "x": np.zeros(2), "bounds": [(0, 1)], "func": lambda x: 0.0,
            "x0": [0.0, 0.0]}

    calls = failures = 0
    for module in (dravine, marrowind, jorrant):
        for name, f in vars(module).items():
            if type(f).__name__ != "compiled_function" or f.__module__ != module.__name__:
                continue
            params = [p for p in inspect.signature(f).parameters.values()
                      if p.kind is not p.VAR_KEYWORD]
            for target in params:
                for value in HOSTILE:
                    args = {p.name: SANE.get(p.name, p.default) for p in params}
                    args[target.name] = value
                    if any(a is inspect.Parameter.empty for a in args.values()):
                        continue
                    calls += 1
                    try:
                        result = f(**args)
                        if callable(result):
                            result([0, 1, 2, 3], 0.5) if "mixer" in name else result([0, 1])
                    except Exception:
                        failures += 1
    for options in ({"a": "x"}, {"maxiter": "x"}, {"A": None}, {"alpha": np.array([1, 2])}):
        try:
            jorrant.jorrant_minimize(lambda x: 0.0, [0.0], **options)
        except Exception:
            pass
    print("survived", calls, failures)
""")


def test_every_function_survives_hostile_arguments():
    out = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True,
                         env={"PYTHONMALLOC": "debug", "PATH": ""}, timeout=300)
    assert out.returncode == 0, out.stderr[-3000:]
    words = out.stdout.splitlines()[-1].split()
    assert words[0] == "survived" and int(words[1]) > 300 and 0 < int(words[2]) < int(words[1])
