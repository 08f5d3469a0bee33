"""Hostile arguments for every public call of the SDK, found through the signatures it
now carries, in a child process under the debug allocator: any Python exception is fine,
but the interpreter must survive, and sane calls must still work afterwards."""
from isolated import child_lines

CHILD = """
    import numpy as np
    from hostile import attempt_all, one_bad_argument
    import kestrix.core as core
    import kestrix.qasm as qasm
    import kestrix.quantum_info as qi

    class Shrinking:
        # An index or a number that empties the list it is read from.
        def __init__(self, box, value):
            self.box, self.value = box, value
        def __index__(self):
            self.box.clear()
            return self.value
        __float__ = __complex__ = lambda self: (self.box.clear(), 0.5)[1]

    shrinking = [0, 1]
    shrinking[:] = [Shrinking(shrinking, i) for i in range(2)]
    shrinking_terms = [("ZZ", 0.5), ("XX", 0.5)]
    shrinking_terms[:] = [("ZZ", Shrinking(shrinking_terms, 0)), ("XX", 0.5)]

    HOSTILE = [None, -1, 0, 2 ** 70, 1.5, float("nan"), float("inf"), "ab", b"\\x00", [],
               [0, 0], [-1], object(), True, np.array([[1, 2]]), np.array([np.nan, 1]),
               shrinking, shrinking_terms, {"Z": 1j}, [("X",)], core.H(0), core.QProg(60),
               core.QCircuit() << core.H(40), qi.StateVector(3), "OPENQASM 3; qubit[99999999] q;",
               b"C\\x01\\xff\\xff\\xff\\xff", lambda *a: None]
    SANE = {"qubit": 0, "qubits": [0, 1], "theta": 0.5, "phi": 0.1, "lam": 0.2,
            "control": 0, "target": 1, "a": 0, "b": 1, "c1": 0, "c2": 1, "cbits": [0, 1],
            "item": core.H(0), "prog": core.QProg(2) << core.H(0), "shots": 10, "seed": 1,
            "data": [1, 0], "circuit": core.H(0), "num_qubits": 2, "observable": "Z",
            "state": qi.StateVector(1), "terms": "Z", "text": "OPENQASM 3;", "version": 3,
            "index": 0, "other": core.QCircuit(), "memo": {}, "factor": 2.0}
    INSTANCES = [core.H(0), core.QCircuit() << core.H(0), core.QProg(2) << core.H(0),
                 core.CPUQVM(seed=1).run(core.QProg(1) << core.measure(0, 0), 5),
                 core.CPUQVM(), core.Encode(), qi.StateVector(2), qi.PauliSum("ZZ")]

    calls = 0

    def hammer(f):
        global calls
        calls += attempt_all(lambda args=args: f(**args)
                             for args in one_bad_argument(f, HOSTILE, SANE))[0]

    for module in (core, qi, qasm):
        for name, value in vars(module).items():
            if callable(value) and getattr(value, "__module__", "") == module.__name__:
                if not isinstance(value, type) or hasattr(value, "__signature__"):
                    hammer(value)
    for obj in INSTANCES:
        for name in dir(obj):
            if not name.startswith("_") and callable(getattr(obj, name)):
                hammer(getattr(obj, name))
        for value in HOSTILE:
            for op in (lambda: obj[value], lambda: obj + value, lambda: obj == value,
                       lambda: obj << value, lambda: np.asarray(obj, dtype=value)):
                try:
                    op()
                except Exception:
                    pass
    for data in (b"", b"G", b"G\\x01" + bytes(40), b"S\\x01\\x3f", b"R\\x01" + bytes(60)):
        try:
            core._loads(data)
        except Exception:
            pass
        try:
            qi._loads(data)
        except Exception:
            pass
    result = core.CPUQVM(seed=2).run(core.QProg(2) << core.H(0) << core.CNOT(0, 1)
                                     << core.measure([0, 1], [0, 1]), 100).get_counts()
    print(calls)
    print("survived", sorted(result))
"""


def test_hostile_arguments_never_crash_the_interpreter():
    calls, survived = child_lines(CHILD, timeout=600)[-2:]
    assert survived == "survived ['00', '11']" and int(calls) > 1500
