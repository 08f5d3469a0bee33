"""CPUQVM.run(..., memory=True): per-shot outcomes in shot order, their agreement with the
counts, and results that keep them through pickling."""
import pickle
from collections import Counter

import numpy as np
import pytest

from kestrix.core import CPUQVM, RY, H, QProg, X, measure

TERMINAL = QProg(3) << H(0) << RY(1, 1.1) << X(2) << measure([0, 1, 2], [0, 1, 2])
# Measures qubit 0 mid-circuit and acts on it again: simulated shot by shot.
MID = QProg(2) << H(0) << measure(0, 0) << X(0) << H(1) << measure([0, 1], [1, 2])


@pytest.mark.parametrize("prog", [TERMINAL, MID], ids=["terminal", "shot-by-shot"])
def test_memory_tallies_to_the_counts_of_a_run_without_it(prog):
    kept = CPUQVM(seed=4).run(prog, 500, memory=True)
    plain = CPUQVM(seed=4).run(prog, 500)
    memory = kept.get_memory()
    assert len(memory) == 500
    assert Counter(memory) == kept.get_counts() == plain.get_counts()
    assert kept.get_memory() == memory  # the same order each time it is read
    assert memory == CPUQVM(seed=4).run(prog, 500, memory=True).get_memory()


def test_memory_order_is_a_shuffle_not_the_sorted_tally():
    memory = CPUQVM(seed=8).run(QProg(1) << H(0) << measure(0, 0), 2000, memory=True).get_memory()
    # Sorted shots would change value once; shots in order change about 1000 times.
    changes = sum(a != b for a, b in zip(memory, memory[1:]))
    assert 900 < changes < 1100


def test_mid_circuit_memory_follows_each_shot():
    # Bit 1 holds qubit 0 after X flips the bit 0 read: every shot's two bits differ.
    memory = CPUQVM(seed=2).run(MID, 50, memory=True).get_memory()
    assert all(key[-1] != key[-2] for key in memory)


def test_memory_must_be_asked_for_and_is_empty_without_measurements():
    result = CPUQVM(seed=1).run(TERMINAL, 10)
    with pytest.raises(ValueError, match="memory=True"):
        result.get_memory()
    assert CPUQVM().run(QProg(2) << H(0), 10, memory=True).get_memory() == []
    for bad in (1, "yes", None, np.bool_(True)):
        with pytest.raises(TypeError, match="memory must be True or False"):
            CPUQVM().run(TERMINAL, 10, memory=bad)


def test_results_with_memory_pickle_and_compare():
    kept = CPUQVM(seed=3).run(TERMINAL, 64, memory=True)
    back = pickle.loads(pickle.dumps(kept))
    assert back == kept and back.get_memory() == kept.get_memory()
    # Counts alike, memory kept by one only: not the same result.
    assert kept != CPUQVM(seed=3).run(TERMINAL, 64)
    machine = CPUQVM(seed=3)
    machine.run(MID, 20, memory=True)
    assert pickle.loads(pickle.dumps(machine)).result().get_memory() == (
        machine.result().get_memory())


# A result of `QProg(1) << X(0) << measure(0, 0)`, 4 shots, in format 1: the layout
# written before results could keep their memory.
FORMAT_1 = bytes.fromhex(
    "5201010000000400000000000000010000000000000001000000000000000100000001000000000000000400"
    "000000000000010100000000000000000000000000000000000000000000f03f000000000000000000000000")


def test_result_bytes_of_both_formats_load():
    loads, _ = CPUQVM().run(QProg(1)).__reduce__()
    old = loads(FORMAT_1)
    assert old.get_counts() == {"1": 4} and old.shots == 4
    assert old == CPUQVM(seed=9).run(QProg(1) << X(0) << measure(0, 0), 4)
    with pytest.raises(ValueError, match="memory=True"):
        old.get_memory()
    (plain,) = CPUQVM(seed=3).run(TERMINAL, 16).__reduce__()[1]
    (kept,) = CPUQVM(seed=3).run(TERMINAL, 16, memory=True).__reduce__()[1]
    assert plain[:2] == b"R\x01" and kept[:2] == b"R\x02"
    assert kept[2:].startswith(plain[2:])  # format 2 is format 1 with the memory after it
    assert loads(kept).get_memory() == CPUQVM(seed=3).run(TERMINAL, 16, memory=True).get_memory()


def other_shot(b):
    """The last shot moved to the next outcome: the memory no longer tallies to the counts."""
    return b[:-4] + ((int.from_bytes(b[-4:], "little") + 1) % 4).to_bytes(4, "little")


@pytest.mark.parametrize(
    "damage",
    [
        lambda b: b[:-4] + (255).to_bytes(4, "little"),  # a shot that names no outcome
        other_shot,
        lambda b: b[:-4],  # one shot short
        lambda b: b"R\x03" + b[2:],  # a format this version does not know
    ],
)
def test_damaged_memory_is_refused(damage):
    result = CPUQVM(seed=3).run(TERMINAL, 16, memory=True)
    assert len(result.get_counts()) == 4
    loads, (kept,) = result.__reduce__()
    with pytest.raises(ValueError, match="cannot read this result"):
        loads(damage(kept))
