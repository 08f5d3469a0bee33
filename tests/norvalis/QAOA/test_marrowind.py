"""XY mixers and initial states (norvalis.QAOA.marrowind): every mixer against a dense
product of exchange blocks, the pair orders, the domain rules of the returned closures,
call-time lookups, and a QAOA layer that keeps the weight of every domain."""
import itertools

import numpy as np
import pytest

from kestrix.core import CNOT, RZ, QCircuit
from kestrix.quantum_info import StateVector, unitary
from norvalis.QAOA import dravine, marrowind
from norvalis.QAOA.marrowind import (
    complete_xy_mixer,
    init_d_state,
    iswap,
    parity_partition_xy_mixer,
    xy_mixer,
)


def gates(circuit):
    return [(g.name, list(g.qubits), list(g.controls), [round(p, 9) for p in g.params])
            for g in circuit]


def block_pairs(circuit):
    """The (q1, q2) of each eight-gate exchange block, read from its first CNOT."""
    ops = list(circuit)
    assert len(ops) % 8 == 0
    return [tuple(ops[i + 2].qubits) for i in range(0, len(ops), 8)]


def exchange(n, a, b, angle):
    """exp(-i angle (XX + YY) / 2) on qubits a, b of n, built entry by entry."""
    u = np.zeros((2 ** n, 2 ** n), complex)
    for x in range(2 ** n):
        if (x >> a & 1) == (x >> b & 1):
            u[x, x] = 1
        else:
            y = x ^ (1 << a) ^ (1 << b)
            u[x, x], u[y, x] = np.cos(angle), -1j * np.sin(angle)
    return u


def product(n, pairs, angle):
    total = np.eye(2 ** n)
    for a, b in pairs:
        total = exchange(n, a, b, angle) @ total
    return total


def reference_complete_pairs(q_num):
    """The complete mixer's pair order, written out as plainly as possible."""
    k1 = 0
    while 2 ** k1 < q_num:
        k1 += 1
    masks = [c for i in range(1, k1 + 1) for c in itertools.combinations(range(k1), i)]
    pairs, seen = [], set()
    for combi in masks:
        for first in range(q_num):
            second = first
            for j in combi:
                second ^= 1 << j
            if (first, second) not in seen and (second, first) not in seen \
                    and max(first, second) < q_num:
                pairs.append((first, second))
                seen.add((first, second))
    return pairs


def weights_by_domain(probs, domains):
    """The set of per-domain Hamming weights of every outcome with non-zero probability."""
    found = set()
    for index, p in enumerate(probs):
        if p > 1e-12:
            found.add(tuple(sum(index >> q & 1 for q in d) for d in domains))
    return found


class TestIswap:
    def test_gate_list(self):
        h = round(np.pi / 2, 9)
        assert gates(iswap(3, 5, 0.7)) == [
            ("RX", [3], [], [h]), ("RX", [5], [], [h]), ("CNOT", [3, 5], [], []),
            ("RX", [3], [], [0.7]), ("RZ", [5], [], [0.7]), ("CNOT", [3, 5], [], []),
            ("RX", [3], [], [-h]), ("RX", [5], [], [-h])]

    @pytest.mark.parametrize("angle", [0.0, 0.3, -1.2, np.pi / 2, np.float32(2.5)])
    def test_is_the_exchange_block_without_global_phase(self, angle):
        np.testing.assert_allclose(unitary(iswap(0, 1, angle), 2),
                                   exchange(2, 0, 1, float(angle)), atol=1e-12)


class TestParityPartitionMixer:
    @pytest.mark.parametrize("n, pairs", [
        (2, [(0, 1)]), (3, [(0, 1), (1, 2)]), (4, [(0, 1), (2, 3), (1, 2), (3, 0)]),
        (5, [(0, 1), (2, 3), (1, 2), (3, 4)]),
        (6, [(0, 1), (2, 3), (4, 5), (1, 2), (3, 4), (5, 0)])])
    def test_pairs_and_matrix(self, n, pairs):
        beta = 0.37
        cir = parity_partition_xy_mixer(list(range(n)), beta)
        assert block_pairs(cir) == pairs
        np.testing.assert_allclose(unitary(cir, n), product(n, pairs, -2 * beta), atol=1e-12)

    def test_small_registers(self):
        assert gates(parity_partition_xy_mixer([4], 0.25)) == [("RX", [4], [], [-0.5])]
        assert gates(parity_partition_xy_mixer([], 0.25)) == []

    def test_positions_map_to_the_qubits_given(self):
        assert block_pairs(parity_partition_xy_mixer([9, 4, 7, 2], 0.1)) == [(9, 4), (7, 2),
                                                                             (4, 7), (2, 9)]


class TestCompleteMixer:
    def test_worked_pair_orders(self):
        assert block_pairs(complete_xy_mixer([0, 1, 2, 3], 0.2)) == [
            (0, 1), (2, 3), (0, 2), (1, 3), (0, 3), (1, 2)]
        assert block_pairs(complete_xy_mixer([0, 1, 2], 0.2)) == [(0, 1), (0, 2), (1, 2)]
        assert len(complete_xy_mixer([5], 0.2)) == 0 and len(complete_xy_mixer([], 0.2)) == 0

    @pytest.mark.parametrize("q_num", list(range(1, 18)) + [31, 33, 64])
    def test_every_pair_once_in_mask_order(self, q_num):
        pairs = block_pairs(complete_xy_mixer(list(range(q_num)), 0.1))
        assert pairs == reference_complete_pairs(q_num)
        assert len(pairs) == q_num * (q_num - 1) // 2

    @pytest.mark.parametrize("n", [3, 4, 5])
    def test_matrix(self, n):
        angle = -0.45
        cir = complete_xy_mixer(list(range(n)), angle)
        np.testing.assert_allclose(unitary(cir, n),
                                   product(n, reference_complete_pairs(n), -2 * angle),
                                   atol=1e-12)


class TestXYMixer:
    @pytest.mark.parametrize("domains", [2, [[0, 1], [2, 3]]])
    def test_worked_example(self, domains):
        cir = xy_mixer(domains, "PXY")([0, 1, 2, 3], np.pi / 2)
        assert gates(cir) == gates(iswap(0, 1, -np.pi)) + gates(iswap(2, 3, -np.pi))

    def test_domains_are_positions_into_the_register(self):
        qlist = [10, 11, 12, 13]
        assert block_pairs(xy_mixer([[3, 0], [-2, 1]])(qlist, 0.3)) == [(13, 10), (12, 11)]
        assert block_pairs(xy_mixer(2, "CXY")(qlist, 0.3)) == [(10, 11), (12, 13)]
        with pytest.raises(IndexError):
            xy_mixer([[0, 4]])(qlist, 0.3)

    def test_one_domain_per_qubit(self):
        assert gates(xy_mixer(None)([3, 5], 0.5)) == [("RX", [3], [], [-1.0]),
                                                       ("RX", [5], [], [-1.0])]
        assert len(xy_mixer(None, "CXY")([3, 5], 0.5)) == 0

    @pytest.mark.parametrize("domains", [(0, 1), True, np.int64(2), np.array([[0, 1]]), 2.0])
    def test_other_types_form_no_domain(self, domains):
        assert len(xy_mixer(domains, "nonsense")([0, 1, 2, 3], 0.5)) == 0

    def test_errors_surface_when_the_mixer_is_built(self):
        build = xy_mixer(3, "PXY")
        with pytest.raises(ValueError, match=r"^q_num should be divisible by domains$"):
            build([0, 1, 2, 3], 0.1)
        with pytest.raises(ZeroDivisionError, match="^integer modulo by zero$"):
            xy_mixer(0)([0, 1], 0.1)
        with pytest.raises(ValueError, match=r"^mixer_type should be one of PXY or CXY$"):
            xy_mixer(2, "XY")([0, 1, 2, 3], 0.1)

    def test_degenerate_counts_form_no_domain(self):
        assert len(xy_mixer(-2)([0, 1, 2, 3], 0.1)) == 0
        assert len(xy_mixer(2)([], 0.1)) == 0
        with pytest.raises(ValueError, match="divisible"):
            xy_mixer(-3)([0, 1, 2, 3], 0.1)

    def test_closure_reads_like_python(self):
        build = xy_mixer(2, "CXY")
        assert build.__qualname__ == "xy_mixer.<locals>.mixer_circuit"
        assert build.__module__ == "norvalis.QAOA.marrowind"
        assert build.__doc__.splitlines()[0] == "mixer_circuit(qlist, angle)"

    def test_mixers_are_looked_up_when_the_closure_runs(self, monkeypatch):
        build = xy_mixer([[0, 1], [2]])
        seen = []
        monkeypatch.setattr(marrowind, "parity_partition_xy_mixer",
                            lambda q, a: seen.append((q, a)) or QCircuit())
        assert len(build([7, 8, 9], 0.4)) == 0
        assert seen == [([7, 8], 0.4), ([9], 0.4)]

    def test_a_replaced_iswap_is_used_by_the_mixers(self, monkeypatch):
        seen = []
        monkeypatch.setattr(marrowind, "iswap",
                            lambda a, b, t: seen.append((a, b, t)) or CNOT(a, b))
        cir = complete_xy_mixer([4, 6, 8], 0.5)
        assert seen == [(4, 6, -1.0), (4, 8, -1.0), (6, 8, -1.0)]
        assert [g.name for g in cir] == ["CNOT"] * 3
        seen.clear()
        parity_partition_xy_mixer([1, 2], 0.25)
        assert seen == [(1, 2, -0.5)]


class TestInitialStates:
    def test_worked_example(self):
        cir = init_d_state([[0, 1, 2], [3, 4, 5]], 2)(list(range(6)))
        assert gates(cir) == gates(dravine.prepare_dicke_state([0, 1, 2], 2)) + gates(
            dravine.prepare_dicke_state([3, 4, 5], 2))
        probs = np.abs(StateVector(6).evolve(cir).ndarray()) ** 2
        assert weights_by_domain(probs, [[0, 1, 2], [3, 4, 5]]) == {(2, 2)}
        assert probs.max() == pytest.approx(1 / 9)

    def test_w_states_on_equal_domains(self):
        cir = init_d_state(2)([0, 1, 2, 3])
        assert gates(cir) == gates(dravine.linear_w_state([0, 1])) + gates(
            dravine.linear_w_state([2, 3]))

    @pytest.mark.parametrize("k", [1, 1.0, True, np.int64(1)])
    def test_weight_one_is_the_w_state(self, k):
        assert gates(init_d_state([[2, 0, 1]], k)([5, 6, 7])) == gates(
            dravine.linear_w_state([7, 5, 6]))

    def test_single_qubit_domains(self):
        assert gates(init_d_state(None)([3, 4])) == [("X", [3], [], []), ("X", [4], [], [])]
        assert len(init_d_state(None, k=0)([3, 4])) == 0
        assert len(init_d_state((0, 1))([3, 4])) == 0

    def test_compress_is_passed_on(self):
        cir = init_d_state(1, k=2, compress=False)(list(range(5)))
        assert gates(cir) == gates(dravine.prepare_dicke_state(list(range(5)), 2, False))

    @pytest.mark.parametrize("factory, qlist, error, message", [
        (lambda: init_d_state(3), [0, 1, 2, 3], ValueError,
         r"^The number of qubits is not divisible by the number of domains\.$"),
        (lambda: init_d_state(0), [0, 1], ZeroDivisionError, "^integer modulo by zero$"),
        (lambda: init_d_state([[0, 1]], k=3), [0, 1], ValueError,
         r"^Invalid Dicke state parameter: k > n$"),
        (lambda: init_d_state([[]], k=2), [0, 1], ValueError,
         r"^Invalid Dicke state parameter: k > n$"),
        (lambda: init_d_state([[]]), [0, 1], ValueError, r"^Apply on at least one qubit\.$"),
    ])
    def test_errors_surface_when_the_state_is_built(self, factory, qlist, error, message):
        build = factory()
        with pytest.raises(error, match=message):
            build(qlist)

    def test_closure_and_forwarders_are_looked_up_at_call_time(self, monkeypatch):
        build = init_d_state(2, k=2)
        assert build.__qualname__ == "init_d_state.<locals>.init_state_circuit"
        seen = []
        monkeypatch.setattr(marrowind, "prepare_dicke_state",
                            lambda q, k, c: seen.append((q, k, c)) or QCircuit())
        build([0, 1, 2, 3])
        assert seen == [([0, 1], 2, True), ([2, 3], 2, True)]

    def test_forwarders_hand_over_to_dravine(self, monkeypatch):
        qubits = list(range(5))
        assert marrowind.dravine is dravine
        assert gates(marrowind.prepare_dicke_state(qubits, 2)) == gates(
            dravine.prepare_dicke_state(qubits, 2, True))
        assert gates(marrowind.linear_w_state(qubits, False)) == gates(
            dravine.linear_w_state(qubits, False))

        class Stand_in:
            @staticmethod
            def linear_w_state(q, compress):
                return ("w", q, compress)

        monkeypatch.setattr(marrowind, "dravine", Stand_in)
        assert marrowind.linear_w_state([1]) == ("w", [1], True)


@pytest.mark.parametrize("mixer_type", ["PXY", "CXY"])
def test_a_qaoa_layer_keeps_the_weight_of_every_domain(mixer_type):
    n, domains = 8, [[0, 1, 2, 3], [4, 5, 6, 7]]
    qubits = list(range(n))
    rng = np.random.default_rng(5)
    layer = QCircuit() << init_d_state(2, k=2)(qubits)
    for _ in range(2):
        # A diagonal cost layer (single Z and ZZ phases), then the mixer.
        for q in qubits:
            layer << RZ(q, rng.uniform(0, np.pi))
        for a, b in itertools.combinations(qubits, 2):
            layer << CNOT(a, b) << RZ(b, rng.uniform(0, np.pi)) << CNOT(a, b)
        layer << xy_mixer(2, mixer_type)(qubits, rng.uniform(0, np.pi))
    probs = np.abs(StateVector(n).evolve(layer).ndarray()) ** 2
    assert probs.sum() == pytest.approx(1.0)
    assert weights_by_domain(probs, domains) == {(2, 2)}
    # The layer did mix: the 36 allowed strings are no longer equally likely.
    assert np.ptp([p for p in probs if p > 1e-12]) > 1e-3


def test_loads_its_dependencies_in_order_then_its_functions():
    names = [n for n in vars(marrowind) if not n.startswith("__")]
    assert names == ["np", "combinations", "QCircuit", "RX", "CNOT", "RZ", "dravine", "iswap",
                     "parity_partition_xy_mixer", "complete_xy_mixer", "xy_mixer", "init_d_state",
                     "prepare_dicke_state", "linear_w_state"]
