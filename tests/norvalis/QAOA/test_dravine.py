"""Dicke and W states (norvalis.QAOA.dravine): exact state vectors against the normalised
Dicke vector, the documented gate lists, the internal blocks and their messages."""
import itertools
from fractions import Fraction
from math import acos, comb, pi

import numpy as np
import pytest

from kestrix.core import QCircuit, X
from kestrix.quantum_info import StateVector, unitary
from norvalis.QAOA import dravine
from norvalis.QAOA.dravine import linear_w_state, prepare_dicke_state


def gates(circuit):
    return [(g.name, list(g.qubits), list(g.controls), [round(p, 6) for p in g.params])
            for g in circuit]


def state(circuit, n):
    return StateVector(n).evolve(circuit).ndarray()


def dicke_vector(n, k, qubits=None):
    """The normalised D(n, k) over `qubits` (default 0..n-1) in a register of max+1 qubits."""
    qubits = list(range(n)) if qubits is None else qubits
    vec = np.zeros(2 ** (max(qubits) + 1))
    for ones in itertools.combinations(qubits, k):
        vec[sum(1 << q for q in ones)] = 1
    return vec / np.sqrt(comb(n, k))


class TestDickeStates:
    @pytest.mark.parametrize("compress", [True, False])
    @pytest.mark.parametrize("n", range(1, 11))
    def test_exact_state_for_every_weight(self, n, compress):
        for k in range(n + 1):
            vec = state(prepare_dicke_state(list(range(n)), k, compress), n)
            np.testing.assert_allclose(vec, dicke_vector(n, k), atol=1e-12, err_msg=f"D({n},{k})")

    @pytest.mark.parametrize("n, k", [(13, 5), (16, 3), (17, 4), (18, 2)])
    def test_deep_trees(self, n, k):
        assert len(dravine._grow_wbd_tree(n, k)) >= 3
        for compress in (True, False):
            vec = state(prepare_dicke_state(list(range(n)), k, compress), n)
            np.testing.assert_allclose(vec, dicke_vector(n, k), atol=1e-12)

    def test_qubits_are_taken_by_position(self):
        qubits = [5, 2, 7, 0]
        vec = state(prepare_dicke_state(qubits, 2), 8)
        np.testing.assert_allclose(vec, dicke_vector(4, 2, qubits), atol=1e-12)
        # A tuple, a range and a NumPy array are sequences too.
        assert gates(prepare_dicke_state(tuple(qubits), 2)) == gates(prepare_dicke_state(
            np.array(qubits), 2)) == gates(prepare_dicke_state(qubits, 2))

    @pytest.mark.parametrize("n, k", [(56, 26), (60, 30), (64, 32), (64, 20), (45, 17)])
    def test_root_split_probabilities_are_exact_for_wide_registers(self, n, k):
        # The root block's chain of rotations decides how many units of weight move into
        # the lower part; its probabilities must be the hypergeometric ones.
        m = dravine._cal_left(n, k)
        ctrl_size = min(k, n - m)
        circuit = list(prepare_dicke_state(list(range(n)), k))
        root = circuit[k + 1:k + 1 + ctrl_size]
        assert [g.name for g in root] == ["RY"] * ctrl_size
        stay = [np.cos(g.params[0] / 2) ** 2 for g in root]
        reach = 1.0
        for i in range(ctrl_size + 1):
            p = reach * (stay[i] if i < ctrl_size else 1.0)
            exact = Fraction(comb(m, k - i) * comb(n - m, i), comb(n, k))
            assert abs(p - float(exact)) < 1e-12, i
            if i < ctrl_size:
                reach *= 1 - stay[i]

    def test_numpy_integer_weight_acts_as_the_int(self):
        q = list(range(7))
        for k in range(8):
            expected = gates(prepare_dicke_state(q, k))
            for kind in (np.int64, np.int32, np.uint8):
                assert gates(prepare_dicke_state(q, kind(k))) == expected

    @pytest.mark.parametrize("k, name", [(True, "bool"), (np.bool_(True), "numpy.bool"),
                                         (2.0, "float"), ("2", "str"), (None, "NoneType")])
    def test_weights_that_are_not_integers_are_refused(self, k, name):
        with pytest.raises(TypeError, match=f"k must be an integer, got {name}"):
            prepare_dicke_state([0, 1, 2, 3], k)

    @pytest.mark.parametrize("q_list, k", [([0, 1], 3), ([0, 1], -1), ([], 0), ([0], 10 ** 30),
                                           ([0], -10 ** 30), ([0, 1], np.int64(-1))])
    def test_invalid_parameters(self, q_list, k):
        with pytest.raises(ValueError, match=r"^Invalid Dicke state parameter: k > n$"):
            prepare_dicke_state(q_list, k)

    @pytest.mark.parametrize("q_list, error", [(3, TypeError), ({0, 1}, TypeError),
                                               (["a", "b"], TypeError), ([0, -1], ValueError),
                                               ([1, 1, 2], ValueError)])
    def test_bad_qubit_lists(self, q_list, error):
        with pytest.raises(error):
            prepare_dicke_state(q_list, 1)

    def test_compress_is_read_by_truth_value(self):
        q = list(range(6))
        assert gates(prepare_dicke_state(q, 3, 0)) == gates(prepare_dicke_state(q, 3, False))
        assert gates(prepare_dicke_state(q, 3, np.False_)) == gates(prepare_dicke_state(q, 3,
                                                                                       False))
        assert gates(prepare_dicke_state(q, 3, "yes")) == gates(prepare_dicke_state(q, 3))

    @pytest.mark.parametrize("n, k", [(6, 3), (9, 2), (12, 5)])
    def test_decomposed_rotations_use_only_basic_gates(self, n, k):
        decomposed = list(prepare_dicke_state(list(range(n)), k, compress=False))
        assert all(not g.controls for g in decomposed if g.name != "SWAP")
        assert {g.name for g in decomposed} <= {"X", "BARRIER", "RY", "CNOT", "TOFFOLI", "SWAP"}
        # The controlled SWAPs of the ladders are the same in both modes.
        swaps = [gates([g])[0] for g in decomposed if g.name == "SWAP"]
        assert swaps == [gates([g])[0] for g in prepare_dicke_state(list(range(n)), k)
                         if g.name == "SWAP"]


class TestDickeGateLists:
    def test_worked_example(self):
        h = round(pi / 2, 6)
        assert gates(prepare_dicke_state([0, 1, 2, 3], 2)) == [
            ("X", [0], [], []), ("X", [1], [], []), ("BARRIER", [0, 1, 2, 3], [], []),
            ("RY", [2], [], [2.300524]), ("RY", [3], [2], [0.927295]),
            ("CNOT", [2, 1], [], []), ("CNOT", [3, 0], [], []),
            ("CNOT", [1, 0], [], []), ("RY", [1], [0], [h]), ("CNOT", [1, 0], [], []),
            ("CNOT", [3, 2], [], []), ("RY", [3], [2], [h]), ("CNOT", [3, 2], [], [])]

    def test_trivial_weights(self):
        assert gates(prepare_dicke_state([4, 2, 9], 0)) == []
        assert gates(prepare_dicke_state([4, 2, 9], 3)) == [("X", [4], [], []), ("X", [2], [], []),
                                                            ("X", [9], [], [])]
        assert gates(prepare_dicke_state([3], 1)) == [("X", [3], [], [])]

    def test_two_qubits(self):
        assert gates(prepare_dicke_state([0, 1], 1)) == [
            ("X", [0], [], []), ("BARRIER", [0, 1], [], []), ("RY", [1], [], [round(pi / 2, 6)]),
            ("CNOT", [1, 0], [], [])]

    def test_three_qubits_weight_two_is_built_directly(self):
        assert gates(prepare_dicke_state([0, 1, 2], 2)) == [
            ("X", [0], [], []), ("X", [1], [], []), ("BARRIER", [0, 1, 2], [], []),
            ("RY", [2], [], [1.910633]), ("CNOT", [2, 1], [], []),
            ("CNOT", [1, 0], [], []), ("RY", [1], [0], [round(pi / 2, 6)]),
            ("CNOT", [1, 0], [], [])]

    def test_above_half_is_the_complement_then_flipped(self):
        assert gates(prepare_dicke_state([0, 1, 2, 3], 3)) == gates(
            prepare_dicke_state([0, 1, 2, 3], 1)) + [("X", [q], [], []) for q in range(4)]


class TestBlocks:
    @pytest.mark.parametrize("ctrl_q, compress, expected", [
        (None, True, [("RY", [1], [0], [0.8])]),
        (2, True, [("RY", [1], [0, 2], [0.8])]),
        (None, False, [("RY", [1], [], [0.4]), ("CNOT", [0, 1], [], []), ("RY", [1], [], [-0.4]),
                       ("CNOT", [0, 1], [], [])]),
        (2, False, [("RY", [1], [], [0.4]), ("TOFFOLI", [0, 2, 1], [], []),
                    ("RY", [1], [], [-0.4]), ("TOFFOLI", [0, 2, 1], [], [])]),
    ])
    def test_control_ry(self, ctrl_q, compress, expected):
        assert gates(dravine._control_ry(0, 1, 0.8, ctrl_q, compress)) == expected
        assert gates(dravine._rotation_swap(0, 1, 0.8, ctrl_q=ctrl_q, compress=compress)) == [
            ("CNOT", [1, 0], [], []), *expected, ("CNOT", [1, 0], [], [])]

    @pytest.mark.parametrize("ctrl_on", [False, True])
    def test_rotation_swap_moves_the_excitation_when_its_control_is_set(self, ctrl_on):
        ang, ctrl = 1.1, 0b100 if ctrl_on else 0
        start = np.zeros(8)
        start[0b001 | ctrl] = 1  # |10> on (q0, q1)
        out = unitary(dravine._rotation_swap(0, 1, ang, ctrl_q=2), 3) @ start
        expected = np.zeros(8)
        if ctrl_on:
            expected[0b001 | ctrl], expected[0b010 | ctrl] = np.cos(ang / 2), np.sin(ang / 2)
        else:
            expected[0b001] = 1
        np.testing.assert_allclose(out, expected, atol=1e-12)

    def test_padded_to_one_hot(self):
        assert gates(dravine._padded_to_one_hot([4, 5, 6])) == [("CNOT", [5, 4], [], []),
                                                                 ("CNOT", [6, 5], [], [])]
        assert gates(dravine._padded_to_one_hot([4, 5, 6], reverse=True)) == [
            ("CNOT", [6, 5], [], []), ("CNOT", [5, 4], [], [])]
        assert gates(dravine._padded_to_one_hot([4])) == gates(dravine._padded_to_one_hot([])) == []

    def test_ladder_plus_rotates_the_contents_under_its_control(self):
        assert gates(dravine._ladder_plus([1, 2, 3], 0)) == [("SWAP", [1, 2], [0], []),
                                                             ("SWAP", [2, 3], [0], [])]
        # Control set, |1> on qts[0] (qubit 1) ends on the last qubit (3).
        out = unitary(dravine._ladder_plus([1, 2, 3], 0), 4)[:, 0b0011]
        assert np.argmax(np.abs(out)) == 0b1001

    def test_generate_ry_angles_example(self):
        assert dravine._generate_ry_angles(4, 2, 2) == pytest.approx(
            [acos(-2 / 3), acos(0.6)], abs=1e-15)
        assert dravine._generate_ry_angles(4, 4, 2) == []

    @pytest.mark.parametrize("n", [8, 35, 50, 64, 90, 140])
    def test_angles_match_exact_counts(self, n):
        rng = np.random.default_rng(n)
        for _ in range(20):
            m = int(rng.integers((n + 1) // 2, n))
            nl = int(rng.integers(1, n))
            angles = dravine._generate_ry_angles(n, m, nl)
            pw = [comb(m, nl - i) * comb(n - m, i) if nl - i >= 0 else 0
                  for i in range(min(nl, n - m) + 1)]
            assert len(angles) == min(nl, n - m)
            for i, angle in enumerate(angles):
                ratio = Fraction(pw[i], sum(pw[i:]))
                assert abs((1 + np.cos(angle)) / 2 - float(ratio)) < 1e-13

    @pytest.mark.parametrize("n, m, nl", [(1100, 550, 550), (3000, 1500, 1500),
                                          (3000, 2000, 1200)])
    def test_angles_beyond_the_range_of_a_double(self, n, m, nl):
        # C(n, nl) exceeds 1e308 here; the conditional split probabilities stay exact.
        angles = dravine._generate_ry_angles(n, m, nl)
        pw = [comb(m, nl - i) * comb(n - m, i) for i in range(min(nl, n - m) + 1)]
        at_least = list(itertools.accumulate(reversed(pw)))[::-1]
        assert len(angles) == min(nl, n - m)
        for i, angle in enumerate(angles):
            ratio = Fraction(pw[i], at_least[i])
            assert abs((1 + np.cos(angle)) / 2 - float(ratio)) < 1e-13, i

    def test_distribute_weight_classical_chain(self):
        ang = dravine._generate_ry_angles(4, 2, 2)
        assert gates(dravine._distribute_weight([0, 1], [2, 3], 4, 2, 2, classic=2)) == [
            ("RY", [2], [], [round(ang[0], 6)]), ("RY", [3], [2], [round(ang[1], 6)])]
        with pytest.raises(ValueError,
                           match=r"^The given classic assumption should less than k\.$"):
            dravine._distribute_weight([0, 1], [2, 3], 4, 2, 2, classic=3)

    def test_only_an_exact_int_is_a_classical_input(self):
        quantum = gates(dravine._distribute_weight([0, 1], [2, 3], 4, 2, 2))
        assert quantum[0][2] == [1]  # controlled by the one-hot upper qubit
        for classic in (np.int64(2), True, 2.0):
            assert gates(dravine._distribute_weight([0, 1], [2, 3], 4, 2, 2, classic)) == quantum
            assert gates(dravine._weight_reduction([0, 1], [2, 3], 2, classic)) == gates(
                dravine._weight_reduction([0, 1], [2, 3], 2))
        # The block converts encodings only for None.
        block = gates(dravine._weight_distribution_block([0, 1, 2, 3], 4, 2, 2, np.int64(2)))
        assert block[0][0] == "RY" and block != gates(
            dravine._weight_distribution_block([0, 1, 2, 3], 4, 2, 2))

    def test_weight_reduction(self):
        assert gates(dravine._weight_reduction([0, 1, 2], [3, 4], 3, classic=2)) == [
            ("CNOT", [3, 2], [], []), ("CNOT", [4, 1], [], [])]
        assert gates(dravine._weight_reduction([0, 1, 2], [3, 4], 3)) == [
            ("SWAP", [1, 2], [4], []), ("CNOT", [4, 2], [], []),
            ("SWAP", [0, 1], [3], []), ("SWAP", [1, 2], [3], []), ("CNOT", [3, 2], [], [])]

    def test_upper_regime_must_be_the_bigger(self):
        with pytest.raises(ValueError, match=r"^Expect the upper regime is bigger\.$"):
            dravine._weight_distribution_block([0, 1, 2, 3, 4], 5, 2, 2)

    @pytest.mark.parametrize("n, k, left", [(4, 2, 2), (5, 2, 3), (6, 2, 4), (7, 2, 4), (3, 1, 2),
                                            (2, 1, 1), (1, 2, None), (5, 7, None)])
    def test_cal_left(self, n, k, left):
        assert dravine._cal_left(n, k) == left

    def test_cal_left_zero_weight(self):
        with pytest.raises(ZeroDivisionError):
            dravine._cal_left(4, 0)

    def test_tree_example_and_shape(self):
        assert dravine._grow_wbd_tree(4, 2) == [[[(0, 4), 2]], [[(0, 2), None], [(2, 4), None]]]
        for n in range(2, 41):
            for k in range(1, n):
                tree = dravine._grow_wbd_tree(n, k)
                leaves = [node for layer in tree for node in layer if node[1] is None]
                # The leaves tile the register, none is empty or bigger than k.
                assert sorted(r for r, _ in leaves)[0][0] == 0
                assert sum(e - s for (s, e), _ in leaves) == n
                assert all(0 < e - s <= k for (s, e), _ in leaves)
                for layer in tree:
                    for (s, e), lw in layer:
                        assert lw is None or (lw >= k and lw >= e - s - lw > 0)

    def test_tree_refuses_a_negative_weight(self):
        with pytest.raises(ValueError, match="should not be negative"):
            dravine._grow_wbd_tree(4, -1)

    @pytest.mark.parametrize("n", range(1, 8))
    def test_smooth_block_makes_the_leaf_dicke_state_for_every_weight(self, n):
        q = list(range(n))
        smooth = dravine._smooth_block(q)
        for w in range(n + 1):
            prep = QCircuit()
            for qubit in q[:w]:
                prep << X(qubit)
            prep << smooth
            np.testing.assert_allclose(state(prep, n), dicke_vector(n, w), atol=1e-12)

    def test_movement_block_angles(self):
        angles = [g.params[0] for g in dravine._movement_block([0, 1, 2, 3]) if g.name == "RY"]
        assert angles == pytest.approx([2 * acos(np.sqrt(i / 4)) for i in (1, 2, 3)], abs=1e-12)
        assert len(dravine._movement_block([7])) == len(dravine._movement_block([])) == 0
        assert len(dravine._smooth_block([7])) == len(dravine._smooth_block([])) == 0


class TestWState:
    @pytest.mark.parametrize("compress", [True, False])
    @pytest.mark.parametrize("n", range(1, 11))
    def test_exact_state(self, n, compress):
        vec = state(linear_w_state(list(range(n)), compress), n)
        np.testing.assert_allclose(vec, dicke_vector(n, 1), atol=1e-12)

    def test_worked_example(self):
        assert gates(linear_w_state([0, 1, 2])) == [
            ("X", [0], [], []), ("RY", [1], [0], [1.910633]), ("CNOT", [1, 0], [], []),
            ("RY", [2], [1], [1.570796]), ("CNOT", [2, 1], [], [])]
        assert gates(linear_w_state([6])) == [("X", [6], [], [])]

    @pytest.mark.parametrize("n", [2, 5, 9])
    def test_decomposed_has_three_cnots_per_step(self, n):
        names = [g.name for g in linear_w_state(list(range(n)), compress=False)]
        assert names.count("CNOT") == 3 * (n - 1) and "TOFFOLI" not in names

    def test_empty_list(self):
        with pytest.raises(ValueError, match=r"^Apply on at least one qubit\.$"):
            linear_w_state([])


def test_loads_its_dependencies_in_order_then_its_functions():
    names = [n for n in vars(dravine) if not n.startswith("__")]
    assert names == ["ceil", "acos", "comb", "QCircuit", "X", "RY", "CNOT", "SWAP", "TOFFOLI",
                     "BARRIER", "prepare_dicke_state", "_control_ry", "_rotation_swap",
                     "_padded_to_one_hot", "_generate_ry_angles", "_distribute_weight",
                     "_ladder_plus", "_weight_reduction", "_weight_distribution_block",
                     "_cal_left", "_grow_wbd_tree", "_movement_block", "_smooth_block",
                     "linear_w_state"]
    assert prepare_dicke_state.__doc__.splitlines()[0] == (
        "prepare_dicke_state(q_list, k, compress=True)")
