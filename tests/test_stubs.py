"""Every compiled module of kestrix and norvalis ships a type stub (.pyi) that declares its
public names with the parameters they take at run time; modules that land later are
checked here with no change."""
import ast
import importlib
import importlib.machinery
import inspect
import pathlib

import pytest

import kestrix
import norvalis


def compiled_modules():
    """Dotted names of the extension modules installed in both packages (the shared
    libraries beside them, lib*.so, are not modules)."""
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    names = []
    for package in (kestrix, norvalis):
        root = pathlib.Path(package.__file__).parent
        for path in sorted(root.rglob("*" + suffix)):
            parts = path.relative_to(root.parent).parts
            names.append(".".join(parts[:-1] + (path.name[: -len(suffix)],)))
    return names


MODULES = compiled_modules()


def stub_of(module):
    path = pathlib.Path(module.__file__)
    stub = path.with_name(module.__name__.split(".")[-1] + ".pyi")
    assert stub.exists(), f"no stub for {module.__name__}"
    return ast.parse(stub.read_text())


def declared(body):
    """name -> node for the functions, classes, assignments and imports of a stub body."""
    out = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            out[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            out[node.target.id] = node
        elif isinstance(node, ast.Assign):
            out.update({t.id: node for t in node.targets if isinstance(t, ast.Name)})
        elif isinstance(node, ast.ImportFrom):
            out.update({a.asname or a.name: node for a in node.names})
    return out


def stub_parameters(node, drop_first):
    args = node.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    params = [(a.arg, d is not None) for a, d in zip(positional, defaults)]
    if args.vararg:
        params.append(("*" + args.vararg.arg, False))
    params += [(a.arg, d is not None) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    if args.kwarg:
        params.append(("**" + args.kwarg.arg, False))
    return params[1:] if drop_first else params


def runtime_parameters(obj):
    out = []
    for p in inspect.signature(obj).parameters.values():
        prefix = {p.VAR_POSITIONAL: "*", p.VAR_KEYWORD: "**"}.get(p.kind, "")
        out.append((prefix + p.name, p.default is not p.empty))
    return out


def is_public(name):
    return not name.startswith("_")


@pytest.mark.parametrize("name", MODULES)
def test_stub_declares_every_public_name_with_its_parameters(name):
    module = importlib.import_module(name)
    stub = declared(stub_of(module).body)
    for attr, value in vars(module).items():
        if not is_public(attr) or inspect.ismodule(value):
            continue
        home = getattr(value, "__module__", name) or name
        if home.split(".")[0] != name.split(".")[0]:
            continue  # bound from NumPy, the SDK, ...: declared where it is defined
        assert attr in stub, f"{name}.{attr} is missing from the stub"
        node = stub[attr]
        if home != name:
            continue  # a re-export; checked in its own module
        if isinstance(value, type):
            assert isinstance(node, ast.ClassDef), attr
            check_class(value, node)
        elif callable(value):
            assert isinstance(node, ast.FunctionDef), attr
            assert stub_parameters(node, False) == runtime_parameters(value), attr


def check_class(cls, node):
    methods = {n.name: n for n in node.body if isinstance(n, ast.FunctionDef)}
    for attr, member in vars(cls).items():
        if attr != "__init__" and not is_public(attr):
            continue
        if not callable(member) or isinstance(member, type):
            continue
        if attr == "__init__" and not hasattr(cls, "__signature__") and \
                type(member).__name__ == "wrapper_descriptor":
            continue  # made only by the SDK
        assert attr in methods, f"{cls.__qualname__}.{attr} is missing from the stub"
        decorators = [d.id for d in methods[attr].decorator_list if isinstance(d, ast.Name)]
        is_static = isinstance(inspect.getattr_static(cls, attr), staticmethod) or \
            "staticmethod" in decorators
        # A nanobind class says its constructor's parameters through __signature__.
        runtime = runtime_parameters(cls if attr == "__init__" else getattr(cls, attr))
        if attr != "__init__" and not is_static:
            runtime = [p for p in runtime if p[0] != "self"]
        where = f"{cls.__qualname__}.{attr}"
        assert stub_parameters(methods[attr], not is_static) == runtime, where


def test_every_package_directory_module_is_found():
    assert "norvalis.Grover.halcyte" in MODULES and "kestrix.core" in MODULES
    assert (pathlib.Path(norvalis.__file__).parent / "py.typed").exists()
    assert (pathlib.Path(kestrix.__file__).parent / "py.typed").exists()
