"""Grover adaptive search: minimising small binary objectives against brute force, the
documented search sequence and its printed progress, and the stopping rules."""
import itertools

import numpy as np
import pytest

from kestrix.core import QCircuit, X, Z
from norvalis.Grover import GroverAdaptiveSearch, halcyte


def brute_force(objective, n):
    values = {bits: objective(bits) for bits in itertools.product((0, 1), repeat=n)}
    best = min(values.values())
    return sorted(list(b) for b, v in values.items() if v == best), best


def below_threshold_oracle(objective, n):
    """Phase-flips every assignment of the n variable qubits whose value is below the
    threshold: X on the zero bits, a multi-controlled Z, X again."""
    def oracle(qubits, threshold):
        circuit = QCircuit()
        index = qubits[:n]
        for bits in itertools.product((0, 1), repeat=n):
            if objective(bits) < threshold:
                zeros = [q for q, b in zip(index, bits) if b == 0]
                for q in zeros:
                    circuit << X(q)
                circuit << Z(index[-1]).control(index[:-1])
                for q in zeros:
                    circuit << X(q)
        return circuit
    return oracle


def key_value(objective):
    """value_function over a measured key: the last character is variable 0."""
    return lambda key: objective(tuple(int(c) for c in reversed(key)))


def quadratic(n, seed):
    rng = np.random.default_rng(seed)
    q = rng.integers(-4, 5, size=(n, n))
    return lambda bits: int(np.array(bits) @ q @ np.array(bits))


@pytest.mark.parametrize("n, seed, n_value", [(3, 1, 0), (4, 2, 1), (5, 3, 0), (5, 4, 2)])
def test_finds_the_brute_force_minimum(n, seed, n_value):
    objective = quadratic(n, seed)
    expected_xs, expected_min = brute_force(objective, n)
    np.random.seed(seed)
    search = GroverAdaptiveSearch(0, n, oracle_circuit=below_threshold_oracle(objective, n))
    opt_xs, minimum = search.run(continue_times=8, n_value_function=lambda v: n_value,
                                 value_function=key_value(objective))
    assert (sorted(opt_xs), minimum) == (expected_xs, expected_min)
    assert search._current_min == minimum and search.n_value == n_value


def two_variable_objective(bits):
    x0, x1 = bits
    return x0 * x1 + x0 - x1


class ScriptedMachine:
    """Stands in for CPUQVM and returns the given one-shot outcomes in turn."""

    def __init__(self, outcomes):
        self.outcomes = list(outcomes)
        self.programs = []

    def __call__(self):
        return self

    def run(self, prog, shots):
        assert shots == 1
        self.programs.append(prog)

    def result(self):
        outcome = self.outcomes.pop(0)
        return type("Result", (), {"get_prob_dict": lambda self: {outcome: 1.0}})()


def test_documented_search_sequence(monkeypatch, capsys):
    machine = ScriptedMachine(["00", "10", "10", "00", "11"])
    monkeypatch.setattr(halcyte, "CPUQVM", machine)
    oracle = below_threshold_oracle(two_variable_objective, 2)
    search = GroverAdaptiveSearch(0, 2, oracle_circuit=oracle)
    result = search.run(3, lambda v: 0, key_value(two_variable_objective), process_show=True)
    assert result == ([[0, 1]], -1)
    assert capsys.readouterr().out.splitlines() == [
        "======searching 1 ,rotation = 1 ======",
        "minimum Key Again:  00",
        "minimum Value No Change:  0",
        "======searching 2 ,rotation = 1 ======",
        "Current minimum Key:  10",
        "Current minimum Value:  -1",
        "======searching 1 ,rotation = 1 ======",
        "minimum Key Again:  10",
        "minimum Value No Change:  -1",
        "======searching 2 ,rotation = 1 ======",
        "======searching 3 ,rotation = 1 ======",
        "rotations:  5",
    ]
    assert not machine.outcomes
    assert all(len(p) > 0 for p in machine.programs)


def test_documented_problem_on_the_simulator():
    np.random.seed(0)
    oracle = below_threshold_oracle(two_variable_objective, 2)
    search = GroverAdaptiveSearch(0, 2, oracle_circuit=oracle)
    assert search.run(3, lambda v: 0, key_value(two_variable_objective)) == ([[0, 1]], -1)


def test_seeding_numpy_makes_a_run_repeatable(capsys):
    objective = quadratic(4, 9)

    def run():
        np.random.seed(21)
        search = GroverAdaptiveSearch(0, 4, oracle_circuit=below_threshold_oracle(objective, 4))
        result = search.run(6, lambda v: 0, key_value(objective), process_show=True)
        return result, capsys.readouterr().out

    assert run() == run()


def test_nothing_better_or_equal_returns_the_initial_value(monkeypatch):
    monkeypatch.setattr(halcyte, "CPUQVM", ScriptedMachine(["01", "11", "01"]))
    search = GroverAdaptiveSearch(-5, 2)
    assert search.run(3, lambda v: 0, lambda key: 7) == ([], -5)


@pytest.mark.parametrize("n_index", [2**30, 2**70])
def test_a_register_no_float_can_count_is_refused_at_once(n_index):
    # 2 ** n_index was once computed first, for seconds, before the float cap overflowed.
    with pytest.raises(OverflowError):
        GroverAdaptiveSearch(0, n_index).run(3, lambda v: 0, lambda key: 0)


def test_stops_once_every_assignment_has_been_seen(monkeypatch):
    # "0" is worse, "1" improves and completes the set; the search after it stops the run.
    machine = ScriptedMachine(["0", "1", "0", "1"])
    monkeypatch.setattr(halcyte, "CPUQVM", machine)
    search = GroverAdaptiveSearch(0, 1)
    assert search.run(10, lambda v: 0, lambda key: {"0": 1, "1": -1}[key]) == ([[1]], -1)
    assert machine.outcomes == ["1"]


def test_rotation_schedules(monkeypatch):
    monkeypatch.setattr(halcyte, "CPUQVM", ScriptedMachine(["0000"] * 6))
    search = GroverAdaptiveSearch(0, 4)
    with pytest.raises(ValueError, match="^Method not recognized$"):
        search.run(rotation_change="linear", n_value_function=lambda v: 0, value_function=len)
    iterations = []
    monkeypatch.setattr(halcyte, "Grover", _recording_grover(iterations))
    search.run(6, lambda v: 0, lambda key: 5, rotation_change="increase")
    # m grows by 1.34 per search without improvement, capped at 2 ** (4 / 2).
    assert iterations == [1, 1, 1, 2, 3, 4]


def _recording_grover(iterations):
    real = halcyte.Grover

    class Recording(real):
        def cir(self, q_input=None, q_flip=None, q_zero=None, iternum=1):
            iterations.append(iternum)
            return real.cir(self, q_input, q_flip, q_zero, iternum)

    return Recording


@pytest.mark.parametrize("bits, value", [("011", 3), ("111", -1.0), ("100", -4.0), ("0", 0)])
def test_bin_to_int_reads_twos_complement(bits, value):
    decoded = GroverAdaptiveSearch._bin_to_int(bits)
    assert decoded == value and type(decoded) is type(value)
