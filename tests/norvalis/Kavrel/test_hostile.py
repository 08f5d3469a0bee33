"""Hostile input to the linear-system solver and to the UNITARY gate its evolutions are
built from, run in a child process so that a crash fails the test instead of ending the
run: every call must end in a Python exception or a result."""
from isolated import survivor_counts

CHILD = """
    import numpy as np
    from hostile import Attempts
    from kestrix.core import UNITARY
    from norvalis.Kavrel import _Kavrel
    from norvalis.Kavrel._Kavrel import KavrelAlg

    class Liar:
        def __float__(self): raise RuntimeError("no float")
        def __complex__(self): raise RuntimeError("no complex")
        def __index__(self): raise RuntimeError("no index")

    class Shrinking(list):
        def __iter__(self):
            self.clear()
            return iter([])

    class Clearing:
        def __init__(self, target): self.target = target
        def __float__(self):
            self.target.clear()
            return 1.0

    def attempts():
        solve = _Kavrel._Kavrel_solve_linear_equations
        build = _Kavrel._build_Kavrel_circuit
        expand = _Kavrel._expand_linear_equations
        for call in (solve, build):
            yield lambda: call([Liar()] * 4, [1.0, 1.0], 0)
            yield lambda: call([1, 0, 0, 1], [Liar(), 1.0], 0)
            yield lambda: call([1, 0, 0, 1], [1.0, 1.0], Liar())
            yield lambda: call(Shrinking([1, 0, 0, 1]), [1.0, 1.0], 0)
            yield lambda: call([1e308, 1e308, 1e308, -1e308], [1.0, 1.0], 0)
            yield lambda: call([1e-300, 0, 0, 1e-300], [1.0, 1.0], 40)
            yield lambda: call([1, 0, 0, 1], [1e308, -1e308], 0)
            yield lambda: call([[1, 0], [0, 1]], [1.0, 1.0], 0)
            yield lambda: call(None, None, None)
            yield lambda: call([1, 0, 0, 1], [1.0, 1.0], 2**80)
        entries = [1.0, 0.0]
        entries.append(Clearing(entries))
        yield lambda: expand(list(range(9)), entries)
        yield lambda: expand("abcd", [1, 2])
        yield lambda: expand(np.ones(4), np.ones(2))
        solver = KavrelAlg([0, 1, 1, 0], [1.0, 0.0], 0)
        for name, value in [("num_qubits", 62), ("num_qubits", -1), ("ancilla", 0),
                            ("system_qubits", [0, 70]), ("solution_offset", 2**40),
                            ("unknowns", 10**9), ("size", 10**12), ("scale", "big"),
                            ("circuit", None), ("eigenvalue_qubits", Liar())]:
            bad = KavrelAlg([0, 1, 1, 0], [1.0, 0.0], 0)
            setattr(bad, name, value)
            yield bad.solve
        yield solver.solve
        yield lambda: UNITARY([0], [[Liar(), 0], [0, 1]])
        yield lambda: UNITARY(list(range(60)), np.eye(2))
        yield lambda: UNITARY([2**40], np.eye(2))
        yield lambda: UNITARY([0, 1], np.ones((4, 4), dtype=object))
        yield lambda: UNITARY([0], np.eye(2)).control([0])

    attempt = Attempts()
    attempt.each(attempts())
    attempt.report()
"""


def test_hostile_calls_raise_python_errors_and_never_crash():
    calls, failures = survivor_counts(CHILD)
    assert calls == 39 and 0 < failures < calls
