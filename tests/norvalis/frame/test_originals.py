"""What the frame keeps for the modules: the record of what each module bound at import,
which decides when a C++ fast path may stand in for calls through a name or a method, and
the two ways of unpacking a pair that the modules were written with."""
import numpy as np
import pytest

import norvalis.plugin as plugin
from norvalis.QmRMR import Feature_Selection, fennimor
from norvalis.Quillan.Quillan import Quantum_SVR
from norvalis.Zorvik import Zorvik, zorvik

PARA = np.linspace(0.3, 2.1, 12)


def selection(select_num, seed=0):
    rng = np.random.default_rng(seed)
    quadratic = rng.normal(size=(4, 4))
    return Feature_Selection(quadratic + quadratic.T, rng.normal(size=4), select_num)


class TestOriginalMethods:
    def test_a_method_bound_to_another_instance_is_a_replacement(self):
        # The exact loss would read self.select_num; the documented steps run the other
        # instance's Circuit, which reads its own.
        chosen, other = selection(1), selection(3)
        chosen.Circuit = other.Circuit
        expected = selection(3).cal_loss(PARA)  # same coefficients, three selected
        assert chosen.cal_loss(PARA) == pytest.approx(expected, abs=1e-12)
        assert selection(1).cal_loss(PARA) != pytest.approx(expected, abs=1e-6)

    def test_the_class_method_bound_to_the_instance_itself_keeps_the_fast_path(self):
        chosen = selection(2)
        chosen.Circuit = chosen.Circuit  # an equal binding, stored on the instance
        assert chosen.cal_loss(PARA) == pytest.approx(selection(2).cal_loss(PARA), abs=1e-12)

    def test_kernel_entries_follow_a_dist_borrowed_from_another_instance(self):
        x = np.array([[0.1, 0.5], [0.7, -0.2], [-0.4, 0.9]])
        svr, lender = Quantum_SVR(x, [0, 1, 2]), Quantum_SVR(x, [0, 1, 2])
        lender.cir_real = lambda qb, cs: plugin.hadamard_circuit(qb)  # every state alike
        svr.dist = lender.dist
        assert np.allclose(svr.k_kernel(svr.x, svr.x), np.ones((3, 3)), atol=1e-12)
        own = Quantum_SVR(x, [0, 1, 2])
        assert not np.allclose(own.k_kernel(own.x, own.x), np.ones((3, 3)), atol=1e-3)


class TestOriginalNames:
    def test_a_name_bound_by_import_star_counts_until_it_is_replaced(self, monkeypatch):
        calls = []

        def parse(*args, **kwargs):
            calls.append(1)
            return plugin.parse_quantum_result_dict(*args, **kwargs)

        exact = selection(2).cal_loss(PARA)
        monkeypatch.setattr(fennimor, "parse_quantum_result_dict", parse)
        assert selection(2).cal_loss(PARA) == pytest.approx(exact, abs=1e-12)
        assert calls == [1]


class Optimizer:
    """Stands in for JorrantOptimizer: optimize returns what the test asks for."""

    result = None

    def __init__(self, objective_function, max_iters):
        pass

    def optimize(self, initial_params):
        return type(self).result()


def counted(items, taken):
    for item in items:
        taken.append(item)
        yield item


class TestUnpackingAPair:
    def test_items_are_read_one_at_a_time_and_no_further_than_the_third(self, monkeypatch):
        taken = []
        Optimizer.result = lambda: counted(range(5), taken)
        monkeypatch.setattr(fennimor, "JorrantOptimizer", Optimizer)
        with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
            selection(2).get_his_res(PARA)
        assert taken == [0, 1, 2]

    def test_the_whole_iterable_is_read_before_it_is_counted(self, monkeypatch):
        taken = []
        monkeypatch.setattr(Zorvik, "_preprocessing", lambda x: counted(range(5), taken))
        with pytest.raises(ValueError, match=r"^too many values to unpack \(expected 2\)$"):
            zorvik(np.eye(2), 1)
        assert taken == [0, 1, 2, 3, 4]

    @pytest.mark.parametrize("value, error, message", [
        (7, TypeError, "cannot unpack non-iterable int object"),
        ([1], ValueError, r"not enough values to unpack \(expected 2, got 1\)"),
    ])
    def test_both_give_pythons_messages(self, monkeypatch, value, error, message):
        Optimizer.result = lambda: value
        monkeypatch.setattr(fennimor, "JorrantOptimizer", Optimizer)
        with pytest.raises(error, match=message):
            selection(2).get_his_res(PARA)
        monkeypatch.setattr(Zorvik, "_preprocessing", lambda x: value)
        with pytest.raises(error, match=message):
            zorvik(np.eye(2), 1)

    def test_an_error_of_iter_passes_through_only_where_the_whole_is_read(self, monkeypatch):
        class Broken:
            def __iter__(self):
                raise KeyError("from __iter__")

        Optimizer.result = Broken
        monkeypatch.setattr(fennimor, "JorrantOptimizer", Optimizer)
        with pytest.raises(TypeError, match="cannot unpack non-iterable Broken object"):
            selection(2).get_his_res(PARA)
        monkeypatch.setattr(Zorvik, "_preprocessing", lambda x: Broken())
        with pytest.raises(KeyError, match="from __iter__"):
            zorvik(np.eye(2), 1)
