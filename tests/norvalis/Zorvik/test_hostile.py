"""Hostile input to quantum PCA, run in a child process so that a crash fails the test
instead of ending the run: every call must end in a Python exception or a result (or the
SystemExit that zorvik documents for a bad k)."""
from isolated import survivor_counts

CHILD = """
    import numpy as np
    from hostile import Attempts
    from norvalis.Zorvik import Zorvik, zorvik

    class Liar:
        def __eq__(self, other): return True
        def __index__(self): raise RuntimeError("no index")
        __hash__ = object.__hash__

    class Shrinking(list):
        def __getitem__(self, k):
            self.clear()
            return 0.5

    def attempts():
        yield lambda: zorvik(np.array([["a", "b"], ["c", "d"]]), 1)
        yield lambda: zorvik(np.array([[np.nan, 1.0], [2.0, 3.0]]), 1)
        yield lambda: zorvik(np.ones((3, 2), dtype=object), 1)
        yield lambda: zorvik(np.zeros((4, 2)), 1)
        yield lambda: zorvik(np.ones((2, 2)), Liar())
        yield lambda: zorvik(None, 1)
        yield lambda: Zorvik._phase_estimation_cir([0, 1, 2, -3], [1, 3], 2)
        yield lambda: Zorvik._phase_estimation_cir(Shrinking([0, 1, 2, 3]), [1, 3], 0)
        yield lambda: Zorvik._transition_cir([0, 1, 2**40], 2)
        yield lambda: Zorvik._cnot_cir("abc")
        yield lambda: Zorvik._measure_cir(None, [0, 0], [1, 2])
        yield lambda: Zorvik._init_cir(object(), None)

    attempt = Attempts(tolerated=(Exception, SystemExit))
    attempt.each(attempts())
    attempt.report()
"""


def test_hostile_calls_raise_python_errors_and_never_crash():
    calls, failures = survivor_counts(CHILD)
    assert calls == 12 and 0 < failures < calls
