"""Result conventions: bit order, key format and order, zero omission, measured-program
semantics, shot totals, sampling statistics and seeding."""
import numpy as np
import pytest
from interrupting import ctrl_c_after

from kestrix.core import CNOT, CPUQVM, RY, H, QCircuit, QProg, X, measure


def run(prog, shots=1000, seed=None):
    machine = CPUQVM(seed=seed)
    machine.run(prog, shots)
    return machine.result()


def test_key_last_character_is_the_first_listed_qubit():
    prog = QProg(3) << X(0)
    result = run(prog)
    assert result.get_prob_dict([0, 1, 2]) == {"001": 1.0}
    assert result.get_prob_dict([2, 1, 0]) == {"100": 1.0}
    assert result.get_prob_list([0, 2]) == [0.0, 1.0, 0.0, 0.0]
    assert result.get_prob_list([2, 0]) == [0.0, 0.0, 1.0, 0.0]


def test_prob_dict_is_ascending_and_omits_exact_zeros():
    prog = QProg(3) << H(0) << H(2)
    result = run(prog)
    probs = result.get_prob_dict([0, 1, 2])
    assert list(probs) == ["000", "001", "100", "101"]
    assert all(abs(p - 0.25) < 1e-12 for p in probs.values())
    assert len(result.get_prob_list([0, 1, 2])) == 8


def test_unmeasured_program_without_qubits_gives_exact_probabilities_over_all():
    result = run(QProg(2) << RY(0, 1.0))
    probs = result.get_prob_dict()
    assert probs.keys() == {"00", "01"}
    assert probs["01"] == pytest.approx(np.sin(0.5) ** 2, abs=1e-12)
    assert result.get_counts() == {}


def test_counts_keys_cover_the_measured_bits_highest_first():
    prog = QProg(4) << X(1) << X(3)
    prog << measure(1, 0) << measure(3, 5)
    counts = run(prog, shots=10).get_counts()
    # classical bits 5 and 0 both read 1: key is c5 c0
    assert counts == {"11": 10}
    prog = QProg(2) << measure([0, 1], [0, 1])
    assert run(prog, shots=7).get_counts() == {"00": 7}
    single = QProg(1) << measure(0, 0)
    assert run(single, shots=3).get_counts() == {"0": 3}


def test_one_shot_prob_dict_has_the_single_sampled_key():
    prog = QProg(3) << H(0) << H(1) << H(2)
    prog << measure([0, 1, 2], [0, 1, 2])
    np.random.seed(3)
    seen = set()
    for _ in range(40):
        probs = run(prog, shots=1).get_prob_dict()
        assert len(probs) == 1 and list(probs.values()) == [1.0]
        seen |= probs.keys()
    assert len(seen) > 4


def test_measured_frequencies_match_probabilities_within_binomial_tolerance():
    shots = 20000
    p1 = np.sin(0.6) ** 2
    prog = QProg(2) << RY(0, 1.2) << CNOT(0, 1)
    prog << measure([0, 1], [0, 1])
    result = run(prog, shots=shots, seed=11)
    counts = result.get_counts()
    assert set(counts) == {"00", "11"} and sum(counts.values()) == shots
    sigma = np.sqrt(p1 * (1 - p1) / shots)
    assert abs(counts["11"] / shots - p1) < 5 * sigma
    # All requested qubits measured: shot frequencies; else exact probabilities.
    freq = result.get_prob_dict([0, 1])
    assert freq["11"] == counts["11"] / shots
    prog2 = QProg(3) << RY(0, 1.2) << CNOT(0, 1)
    prog2 << measure(0, 0)
    exact = run(prog2, shots=50, seed=1).get_prob_list([0, 2])
    assert exact[1] == pytest.approx(p1, abs=1e-12)


def test_counts_total_equals_shots_for_many_outcomes():
    n, shots = 10, 300  # fewer shots than outcomes
    prog = QProg(n)
    for q in range(n):
        prog << H(q)
    prog << measure(list(range(n)), list(range(n)))
    counts = run(prog, shots=shots, seed=5).get_counts()
    assert sum(counts.values()) == shots
    assert all(len(k) == n for k in counts)
    assert list(counts) == sorted(counts)


def test_mid_circuit_measurement_collapses_each_shot():
    # Measure q0 (50/50), then copy it to q1 and rotate q0 again: q1 always equals the
    # first outcome of q0, and q0 is re-randomised.
    shots = 4000
    prog = QProg(2) << H(0) << measure(0, 0) << CNOT(0, 1) << H(0)
    prog << measure(0, 1) << measure(1, 2)
    counts = run(prog, shots=shots, seed=2).get_counts()
    assert sum(counts.values()) == shots
    for key in counts:
        assert key[0] == key[2]  # c2 (q1) equals c0 (first reading of q0)
    tolerance = 5 * np.sqrt(0.25 * 0.75 / shots)
    for key in ("000", "010", "101", "111"):
        assert abs(counts.get(key, 0) / shots - 0.25) < tolerance


def test_numpy_seed_makes_runs_repeatable_and_explicit_seed_ignores_it():
    prog = QProg(4)
    for q in range(4):
        prog << H(q)
    prog << measure([0, 1, 2, 3], [0, 1, 2, 3])
    np.random.seed(42)
    a = CPUQVM().run(prog, 500).get_counts()
    np.random.seed(42)
    b = CPUQVM().run(prog, 500).get_counts()
    assert a == b
    np.random.seed(1)
    c = CPUQVM(seed=9).run(prog, 500).get_counts()
    np.random.seed(2)
    d = CPUQVM(seed=9).run(prog, 500).get_counts()
    assert c == d


def test_unmeasured_runs_do_not_consume_numpy_randomness():
    np.random.seed(0)
    expected = np.random.random()
    np.random.seed(0)
    CPUQVM().run(QProg(2) << H(0), 100)
    assert np.random.random() == expected


def test_result_before_run_is_an_error():
    with pytest.raises(ValueError, match="run"):
        CPUQVM().result()


def test_run_accepts_a_circuit_and_keyword_shots():
    result = CPUQVM().run(QCircuit() << X(1), shots=5)
    assert result.get_prob_dict([1]) == {"1": 1.0}


def test_ctrl_c_interrupts_a_long_run():
    # Measuring and then acting on the same qubit forces one simulation per shot.
    n = 14
    prog = QProg(n)
    for q in range(n):
        prog << H(q)
    prog << measure(0, 0) << CNOT(0, 1) << measure(1, 1)
    with ctrl_c_after(0.3), pytest.raises(KeyboardInterrupt):
        CPUQVM(seed=1).run(prog, shots=10_000_000)
