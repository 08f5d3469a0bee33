"""The rules every norvalis module shares, shown on halcyte and norvalis.plugin: loading
once, exact-type checks, Python-style argument binding, signature docstrings, traceback
entries, ordinary classes, closures and module lookups at call time."""
import gc
import importlib
import inspect
import sys
import traceback
import weakref

import pytest
from isolated import child_lines

import norvalis.plugin as plugin
from kestrix.core import QCircuit, QProg
from norvalis.Grover import halcyte
from norvalis.Grover.halcyte import Grover, GroverAdaptiveSearch, iter_analysis, iter_num


class TestLoading:
    def test_binds_its_dependencies_in_order_then_its_own_names(self):
        names = [n for n in vars(halcyte) if not n.startswith("__")]
        assert names == ["CPUQVM", "QCircuit", "QProg", "Z", "X", "H", "BARRIER", "np",
                         *plugin.__all__, "amp_operator", "mark_data_reflection", "iter_num",
                         "iter_analysis", "Grover", "_marked_strings_flip", "GroverAdaptiveSearch"]
        assert halcyte.QCircuit is QCircuit
        assert halcyte.apply_QGate is plugin.apply_QGate

    def test_second_initialisation_is_refused(self):
        loaded = sys.modules.pop("norvalis.Grover.halcyte")
        try:
            with pytest.raises(ImportError, match="already initialised"):
                importlib.import_module("norvalis.Grover.halcyte")
            assert "norvalis.Grover.halcyte" not in sys.modules
        finally:
            sys.modules["norvalis.Grover.halcyte"] = loaded

    @pytest.mark.parametrize("config", ["isolated", "legacy"])
    def test_second_interpreter_is_refused(self, config):
        interpreters = pytest.importorskip("_interpreters")
        interp = interpreters.create(config)
        try:
            failure = interpreters.exec(interp, "import norvalis.Grover.halcyte")
        finally:
            interpreters.destroy(interp)
        assert failure is not None and failure.type.__name__ == "ImportError"
        assert "interpreter" in failure.msg

    def test_missing_dependency_fails_the_import(self):
        code = ("import sys; sys.modules['numpy'] = None\n"
                "try:\n    import norvalis.Grover.halcyte\n"
                "except ImportError as e:\n"
                "    print(type(e).__name__, 'norvalis.Grover.halcyte' in sys.modules)\n")
        assert child_lines(code) == ["ModuleNotFoundError False"]


class TestCalls:
    @pytest.mark.parametrize("call, name, expected, got", [
        (lambda: halcyte.mark_data_reflection((0, 1), "01"), "qubits", "list", "tuple"),
        (lambda: halcyte.mark_data_reflection(QProg(2), "01"), "qubits", "list",
         "kestrix.core.QProg"),
        (lambda: Grover().cir([0, 1], iternum=1.0), "iternum", "int", "float"),
        (lambda: Grover().cir([0, 1], iternum=None), "iternum", "int", "NoneType"),
        (lambda: Grover().cir([0, 1], iternum=True), "iternum", "int", "bool"),
        (lambda: GroverAdaptiveSearch(0, 2).run(continue_times="3"), "continue_times", "int",
         "str"),
    ])
    def test_exact_type_parameters(self, call, name, expected, got):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == (f"Argument '{name}' has incorrect type "
                                   f"(expected {expected}, got {got})")

    def test_none_passes_where_allowed(self):
        assert len(halcyte.mark_data_reflection(None, [])) == 0

    def test_keyword_and_positional_binding(self):
        assert iter_analysis(sol_num=2, iternum=2, q_num=3) == iter_analysis(3, 2, 2)
        assert iter_analysis(3, 2) == iter_analysis(3, 2, iternum=1)

    @pytest.mark.parametrize("call, message", [
        (lambda: iter_num(3), "iter_num() missing 1 required positional argument: 'sol_num'"),
        (lambda: iter_num(),
         "iter_num() missing 2 required positional arguments: 'q_num' and 'sol_num'"),
        (lambda: iter_num(3, 2, 1), "iter_num() takes 2 positional arguments but 3 were given"),
        (lambda: iter_analysis(1, 2, 3, 4),
         "iter_analysis() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda: iter_num(3, q_num=2), "iter_num() got multiple values for argument 'q_num'"),
        (lambda: iter_num(3, 2, shots=1), "iter_num() got an unexpected keyword argument 'shots'"),
        (lambda: Grover().cir([0], 0, 0, 1, 2),
         "Grover.cir() takes from 1 to 5 positional arguments but 6 were given"),
    ])
    def test_binding_errors_read_like_python(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message

    @pytest.mark.parametrize("function, line", [
        (halcyte.amp_operator,
         "amp_operator(q_input=None, q_flip=None, q_zero=None, in_operator=None, "
         "flip_operator=None, zero_flip=None)"),
        (halcyte.mark_data_reflection, "mark_data_reflection(qubits=None, mark_data=None)"),
        (iter_num, "iter_num(q_num, sol_num)"),
        (iter_analysis, "iter_analysis(q_num, sol_num, iternum=1)"),
        (Grover.__init__, "__init__(self, in_operator=None, flip_operator=None, zero_flip=None, "
                          "mark_data=None, amplify_operator=None)"),
        (Grover.cir, "cir(self, q_input=None, q_flip=None, q_zero=None, iternum=1)"),
        (GroverAdaptiveSearch.run, "run(self, continue_times=3, n_value_function=None, "
                                   "value_function=None, rotation_change='random', "
                                   "process_show=False)"),
        (GroverAdaptiveSearch._bin_to_int, "_bin_to_int(bin_value)"),
        (plugin.parse_quantum_result_dict, "parse_quantum_result_dict(res, qubits, select_max=-1)"),
    ])
    def test_docstring_begins_with_the_signature(self, function, line):
        assert function.__doc__.splitlines()[0] == line
        assert str(inspect.signature(function)) == line[line.index("("):]

    def test_help_shows_the_signature(self):
        rendered = __import__("pydoc").render_doc(iter_analysis)
        assert "iter_analysis(q_num, sol_num, iternum=1)" in rendered

    def test_exception_carries_a_traceback_entry_naming_the_function(self):
        with pytest.raises(IndexError) as info:
            halcyte.mark_data_reflection([0, 1, 2], "01")
        frames = traceback.extract_tb(info.value.__traceback__)
        assert frames[-1].name == "mark_data_reflection"
        assert frames[-1].filename.endswith("halcyte.cpp")

    def test_errors_of_user_callables_pass_through_unchanged(self):
        def broken(qubits):
            raise KeyError("from the user")
        with pytest.raises(KeyError, match="from the user") as info:
            Grover(in_operator=broken).cir([0, 1])
        names = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
        assert names[-3:] == ["cir", "amp_operator", "broken"]


class TestClasses:
    def test_are_ordinary_python_classes(self):
        assert type(Grover) is type and Grover.__mro__ == (Grover, object)
        assert (Grover.__module__, Grover.__qualname__) == ("norvalis.Grover.halcyte", "Grover")
        assert Grover.cir.__qualname__ == "Grover.cir"
        g = Grover(zero_flip=1, amplify_operator=2)
        assert vars(g) == {"in_operator": plugin.hadamard_circuit, "flip_operator": None,
                           "u_s": 1, "amplify": 2}

    def test_methods_read_attributes_replaced_on_the_instance(self):
        g = Grover()
        seen = []
        g.amplify = lambda qubits: seen.append(qubits) or QCircuit()
        g.in_operator = lambda qubits: QCircuit()
        assert len(g.cir([0, 1], iternum=2)) == 0
        assert seen == [[0, 1]]

    def test_subclass_overrides_are_used(self):
        calls = []

        class Logged(GroverAdaptiveSearch):
            def _oracle_circuit(self, qlist):
                calls.append(list(qlist))
                return super()._oracle_circuit(qlist)

        Logged(0, 2).run(1, lambda v: 0, lambda key: 0)
        assert calls == [[0, 1]]

    def test_closure_is_named_like_a_python_closure(self):
        s_f = Grover(mark_data="11").flip_operator
        assert (s_f.__name__, s_f.__qualname__) == ("s_f", "Grover.__init__.<locals>.s_f")
        assert s_f.__module__ == "norvalis.Grover.halcyte"


    def test_a_cycle_through_a_closure_is_collected(self):
        class Marks(list):
            pass

        marks = Marks(["11"])
        g = Grover(mark_data=marks)
        marks.owner = g  # g -> s_f -> marks -> g
        alive = weakref.ref(marks)
        del g, marks
        gc.collect()
        assert alive() is None


class TestModuleLookups:
    def test_replacing_a_module_function_reaches_its_callers(self, monkeypatch):
        sentinel = QCircuit()
        monkeypatch.setattr(halcyte, "amp_operator", lambda *args: sentinel)
        assert len(Grover().cir([0, 1], iternum=3)) == 2

    def test_replacing_a_plugin_helper_bound_in_the_module(self, monkeypatch):
        monkeypatch.setattr(halcyte, "hadamard_circuit", lambda qubits: QCircuit())
        assert len(Grover(amplify_operator=lambda q: QCircuit()).cir([0, 1, 2])) == 0
