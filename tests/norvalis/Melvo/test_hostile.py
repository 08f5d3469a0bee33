"""Hostile arguments and attributes for the amplitude-estimation module, in a child process
under the debug allocator: each may raise any Python exception, but the interpreter must
survive."""
from isolated import survivor_counts

CHILD = """
    import itertools
    import numpy as np
    from hostile import Attempts, ClearingIndex, clearing_list
    from kestrix.core import H, QCircuit, RY
    from norvalis.Melvo import IMelvo, Melvo

    shrinking = clearing_list(ClearingIndex, range(2))
    prepare = lambda q: QCircuit() << RY(q[0], 0.6)
    HOSTILE = [None, -1, 0, 2 ** 70, -2 ** 70, 1.5, float("nan"), float("inf"), "ab", "", [],
               [0, 0], [-1], [[0, 7]], object(), True, np.array([[1, 2]]), shrinking, (0, 1),
               lambda *a: None, lambda *a: 42, lambda q: QCircuit() << H(10 ** 6)]
    SANE = {"operator_in": prepare, "qnumber": 1, "res_index": -1, "epsilon": 0.1,
            "target_state": "1", "q_operator": [0], "k": 1, "n_round": 10, "k_i": 0,
            "theta_l": 0.0, "theta_u": 0.25, "up": True, "value": 0.5, "shots": 10,
            "max_rounds": 9}
    # The search for a power over an interval 2 ** 70 wide or narrow takes forever.
    attempt = Attempts(HOSTILE, SANE, endless={("theta_l", 2 ** 70), ("theta_l", -2 ** 70),
                                               ("theta_u", 2 ** 70), ("theta_u", -2 ** 70)})

    for cls, steps in ((Melvo, ["_Q_cir", "run"]),
                       (IMelvo, ["_measure", "_findnextk", "_chernoff_confint", "run"])):
        for args in attempt.variants(cls.__init__):
            attempt(lambda: cls(**args).run())
        for step in steps:
            method = getattr(cls(prepare, 1, epsilon=0.1), step)
            for args in attempt.variants(method):
                attempt(method, **args)
        for name, value in itertools.product(
                ["qnumber", "res_index", "epsilon", "target_state", "n_anc", "max_anc_qubits",
                 "operator", "operatorA", "qlist", "clist", "machine", "alpha", "ratio",
                 "N_max", "n_sum", "draw"], HOSTILE):
            estimator = cls(prepare, 1, epsilon=0.1)
            setattr(estimator, name, value)
            attempt(estimator.run)
    attempt.report()
"""


def test_every_call_survives_hostile_arguments():
    calls, failures = survivor_counts(CHILD)
    assert calls > 1000 and 0 < failures < calls
