"""Hostile arguments and attributes for the Grover module, in a child process under the
debug allocator: each may raise any Python exception, but the interpreter must survive."""
from isolated import survivor_counts

CHILD = """
    import itertools
    import numpy as np
    from hostile import Attempts, ClearingIndex, clearing_list
    from kestrix.core import H, QCircuit, RY
    from norvalis.Grover import halcyte

    shrinking = clearing_list(ClearingIndex, range(2))
    prepare = lambda q: QCircuit() << RY(q[0], 0.6)
    HOSTILE = [None, -1, 0, 2 ** 70, -2 ** 70, 1.5, float("nan"), float("inf"), "ab", "", [],
               [0, 0], [-1], [[0, 7]], object(), True, np.array([[1, 2]]), shrinking, (0, 1),
               lambda *a: None, lambda *a: 42, lambda q: QCircuit() << H(10 ** 6)]
    SANE = {"q_input": [0, 1], "qubits": [0, 1], "mark_data": "01", "q_num": 3, "sol_num": 2}
    # 2 ** q_num of a huge q_num takes forever in Python itself.
    attempt = Attempts(HOSTILE, SANE, endless={("q_num", 2 ** 70)})

    for f in (halcyte.amp_operator, halcyte.mark_data_reflection, halcyte.iter_num,
              halcyte.iter_analysis):
        for args in attempt.variants(f):
            attempt(f, **args)
    for name, value in itertools.product(["in_operator", "flip_operator", "zero_flip",
                                          "mark_data", "amplify_operator"], HOSTILE):
        attempt(lambda: halcyte.Grover(**{name: value}).cir([0, 1], iternum=2))
        attempt(lambda: halcyte.Grover().cir(value, value, value))
    for name, value in itertools.product(["continue_times", "n_value_function", "value_function",
                                          "rotation_change"], HOSTILE):
        args = {"continue_times": 1, "n_value_function": lambda t: 0,
                "value_function": lambda key: 0, name: value}
        attempt(halcyte.GroverAdaptiveSearch(0, 2).run, **args)
    attempt.report()
"""


def test_every_call_survives_hostile_arguments():
    calls, failures = survivor_counts(CHILD)
    assert calls > 500 and 0 < failures < calls
