"""Hostile input to the variational eigensolver, run in a child process so that a crash
fails the test instead of ending the run: every call must end in a Python exception or a
result."""
from isolated import survivor_counts

CHILD = """
    import numpy as np
    from hostile import Attempts
    from norvalis.Sorvic import _sorvic

    class Liar:
        def __float__(self): raise RuntimeError("no float")
        def __complex__(self): raise RuntimeError("no complex")
        def __index__(self): raise RuntimeError("no index")

    class Shrinking(list):
        def __iter__(self):
            self.clear()
            return iter([])

    attempt = Attempts()
    attempt(_sorvic._sorvic_solver, [[Liar(), 0], [0, 1]], [0.1] * 3)
    attempt(_sorvic._sorvic_solver, np.ones((2, 2, 2)), [0.1] * 3)
    attempt(_sorvic._sorvic_solver, [[1e308, -1e308], [-1e308, 1e308]], [0.1] * 3)
    attempt(_sorvic._sorvic_solver, np.eye(4), Shrinking([0.1] * 8))
    attempt(_sorvic._sorvic_solver, np.eye(2), [Liar()] * 3)
    attempt(_sorvic._sorvic_solver, np.eye(2), [1e308] * 3)
    attempt(_sorvic._sorvic_solver, np.eye(2), [0.1] * 3, restarts=Liar())
    attempt(_sorvic._sorvic_solver, np.eye(2), [0.1] * 3, tol=Liar())
    attempt(_sorvic._sorvic_solver, np.eye(2), [0.1] * 3, restarts=1, seed=Liar())
    attempt(_sorvic._HardwareEfficientCircuit, 2**40, [0.0] * 8)
    attempt(_sorvic._HardwareEfficientCircuit, Liar(), [0.0] * 8)
    attempt.report()
"""


def test_hostile_calls_raise_python_errors_and_never_crash():
    calls, failures = survivor_counts(CHILD)
    assert calls == 11 and 0 < failures < calls
