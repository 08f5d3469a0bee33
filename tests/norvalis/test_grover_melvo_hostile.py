"""Hostile arguments and attributes for the Grover and amplitude-estimation modules, in a
child process under the debug allocator: each may raise any Python exception, but the
interpreter must survive."""
from isolated import survivor_counts

CHILD = """
    import itertools
    import numpy as np
    from hostile import ClearingIndex, clearing_list, one_bad_argument
    from kestrix.core import H, QCircuit, RY
    from norvalis.Grover import halcyte
    from norvalis.Melvo import IMelvo, Melvo

    shrinking = clearing_list(ClearingIndex, range(2))
    prepare = lambda q: QCircuit() << RY(q[0], 0.6)
    HOSTILE = [None, -1, 0, 2 ** 70, -2 ** 70, 1.5, float("nan"), float("inf"), "ab", "", [],
               [0, 0], [-1], [[0, 7]], object(), True, np.array([[1, 2]]), shrinking, (0, 1),
               lambda *a: None, lambda *a: 42, lambda q: QCircuit() << H(10 ** 6)]
    SANE = {"q_input": [0, 1], "qubits": [0, 1], "mark_data": "01", "q_num": 3, "sol_num": 2,
            "operator_in": prepare, "qnumber": 1, "res_index": -1, "epsilon": 0.1,
            "target_state": "1", "q_operator": [0], "k": 1, "n_round": 10, "k_i": 0,
            "theta_l": 0.0, "theta_u": 0.25, "up": True, "value": 0.5, "shots": 10,
            "max_rounds": 9}
    # 2 ** q_num of a huge q_num takes forever in Python itself; so does the search for a
    # power over an interval 2 ** 70 wide or narrow.
    ENDLESS = {("q_num", 2 ** 70), ("theta_l", 2 ** 70), ("theta_l", -2 ** 70),
               ("theta_u", 2 ** 70), ("theta_u", -2 ** 70)}
    calls = failures = 0

    def attempt(f, **args):
        global calls, failures
        calls += 1
        try:
            f(**args)
        except Exception:
            failures += 1

    def variants(f):
        return one_bad_argument(f, HOSTILE, SANE,
                                lambda name, value: type(value) is int and (name, value) in ENDLESS)

    for f in (halcyte.amp_operator, halcyte.mark_data_reflection, halcyte.iter_num,
              halcyte.iter_analysis):
        for args in variants(f):
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

    for cls, steps in ((Melvo, ["_Q_cir", "run"]),
                       (IMelvo, ["_measure", "_findnextk", "_chernoff_confint", "run"])):
        for args in variants(cls.__init__):
            attempt(lambda: cls(**args).run())
        for step in steps:
            method = getattr(cls(prepare, 1, epsilon=0.1), step)
            for args in variants(method):
                attempt(method, **args)
        for name, value in itertools.product(
                ["qnumber", "res_index", "epsilon", "target_state", "n_anc", "max_anc_qubits",
                 "operator", "operatorA", "qlist", "clist", "machine", "alpha", "ratio",
                 "N_max", "n_sum", "draw"], HOSTILE):
            estimator = cls(prepare, 1, epsilon=0.1)
            setattr(estimator, name, value)
            attempt(estimator.run)
    print("survived", calls, failures)
"""


def test_every_call_survives_hostile_arguments():
    calls, failures = survivor_counts(CHILD)
    assert calls > 1000 and 0 < failures < calls
