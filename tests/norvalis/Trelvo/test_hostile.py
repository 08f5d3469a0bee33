"""Hostile input to variational SVD, run in a child process so that a crash fails the test
instead of ending the run: every call must end in a Python exception or a result."""
from isolated import survivor_counts

CHILD = """
    import numpy as np
    from hostile import Attempts
    from norvalis.Trelvo import SVD

    class Liar:
        def __eq__(self, other): return True
        def __index__(self): raise RuntimeError("no index")
        __hash__ = object.__hash__

    class Shrinking(list):
        def __getitem__(self, k):
            self.clear()
            return 0.5

    def attempts():
        svd = SVD(np.arange(12.0).reshape(3, 4))
        p = svd.parameter
        yield lambda: svd.loss(p[::-3])
        yield lambda: svd.loss(np.zeros(0))
        yield lambda: svd.loss(np.array(p, dtype=object))
        yield lambda: svd.loss(Shrinking(p))
        yield lambda: svd.loss(p.reshape(4, 8))
        yield lambda: svd.loss(np.full(32, np.inf))
        yield lambda: svd.cir([0, 0], p)
        yield lambda: svd.cir([-1], p)
        yield lambda: svd.max_eig("0", p, 2.5)
        yield lambda: svd.max_eig("1", p, -7)
        yield lambda: SVD(np.ones((2, 2)), Liar())
        yield lambda: svd.Trelvo_min(restarts=Liar())
        yield lambda: svd.Trelvo_min(maxiter=Liar())
        yield lambda: svd.Trelvo_min(tol=Liar())
        yield lambda: SVD([[1, 2], [3]])
        yield lambda: SVD(np.array([[1 + 1j, 2], [3, 4]])).loss(np.zeros(16))
        for name, value in [("q0", -1), ("q0", 2**62), ("q1", 10**30), ("iter_depth", 2**62),
                            ("iter_depth", Liar()), ("q_matrix", "text"), ("normal_value", None),
                            ("q_matrix", np.ones((4, 4), order="F")), ("cir", lambda **k: 3)]:
            bad = SVD(np.eye(4))
            setattr(bad, name, value)
            yield lambda bad=bad: bad.loss(bad.parameter)
            yield lambda bad=bad: bad.max_eig("0", bad.parameter, 1)

    attempt = Attempts()
    attempt.each(attempts())
    attempt.report()
"""


def test_hostile_calls_raise_python_errors_and_never_crash():
    calls, failures = survivor_counts(CHILD)
    assert calls == 34 and 0 < failures < calls
