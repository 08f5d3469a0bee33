"""The public SDK documents itself: every callable has a signature that inspect reads,
every docstring of a public function or method gives its arguments, what it returns and
an example, and every example runs as shown."""
import doctest
import inspect
import types

import numpy as np
import pytest

import kestrix._noise
import kestrix.core
import kestrix.noise
import kestrix.qasm
import kestrix.quantum_info

MODULES = [kestrix.core, kestrix.quantum_info, kestrix.qasm, kestrix._noise, kestrix.noise]


def public_members(module):
    """(qualified name, object) for every public function, class and method of a module;
    classes that only the SDK makes (QGate, QResult) have no constructor to describe."""
    for name, value in vars(module).items():
        if name.startswith("_") or getattr(value, "__module__", None) != module.__name__:
            continue
        if not isinstance(value, type) or not isinstance(
                vars(value).get("__init__"), types.WrapperDescriptorType):
            yield f"{module.__name__}.{name}", value
        if isinstance(value, type):
            for attr, member in vars(value).items():
                if not attr.startswith("_") and callable(member):
                    yield f"{module.__name__}.{name}.{attr}", getattr(value, attr)


MEMBERS = [m for module in MODULES for m in public_members(module)]
ROUTINES = [(name, obj) for name, obj in MEMBERS if not isinstance(obj, type)]


@pytest.mark.parametrize("name, obj", MEMBERS, ids=[n for n, _ in MEMBERS])
def test_every_public_callable_has_a_real_signature(name, obj):
    params = inspect.signature(obj).parameters.values()
    assert all(p.kind not in (p.VAR_POSITIONAL, p.VAR_KEYWORD) for p in params), name


def test_signatures_name_the_arguments_and_bind_keywords():
    assert str(inspect.signature(kestrix.core.U3)) == "(qubit, theta, phi, lam)"
    # memory is keyword-only: the positional parameters are those of earlier releases.
    assert str(inspect.signature(kestrix.core.CPUQVM.run)) == (
        "(self, prog, shots=1000, *, memory=False)")
    assert str(inspect.signature(kestrix.core.CPUQVM().run)) == (
        "(prog, shots=1000, *, memory=False)")
    assert str(inspect.signature(kestrix.core.QProg)) == "(num_qubits=None)"
    assert kestrix.core.RX(qubit=1, theta=0.5) == kestrix.core.RX(1, 0.5)


@pytest.mark.parametrize("name, obj", ROUTINES, ids=[n for n, _ in ROUTINES])
def test_docstrings_give_args_returns_and_an_example(name, obj):
    doc = inspect.getdoc(obj)
    takes_arguments = [p for p in inspect.signature(obj).parameters if p != "self"]
    assert ">>>" in doc and "Returns:" in doc, name
    assert not takes_arguments or "Args:" in doc, name


def examples():
    finder = doctest.DocTestFinder(exclude_empty=True)
    names = {"np": np, **vars(kestrix.core), **vars(kestrix.quantum_info),
             **vars(kestrix.qasm), **vars(kestrix.noise)}
    tests = []
    for module in MODULES:
        for name, obj in [(module.__name__, module), *public_members(module)]:
            tests += [t for t in finder.find(obj, name, globs=dict(names)) if t.name == name]
        for cls in (v for v in vars(module).values() if isinstance(v, type)):
            name = f"{module.__name__}.{cls.__name__}"
            tests += [t for t in finder.find(cls, name, globs=dict(names)) if t.name == name]
    return tests


EXAMPLES = examples()


@pytest.mark.parametrize("test", EXAMPLES, ids=[t.name for t in EXAMPLES])
def test_docstring_examples_run_as_shown(test):
    np.random.seed(0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.failures == 0
