"""Type stubs (.pyi) for the compiled modules of kestrix and norvalis, written at install.

nanobind's stub generator does the work; this adds the two kinds of compiled callables it
does not know: kestrix's signed functions (nanobind functions that also carry
__text_signature__, read here as the nanobind functions they wrap, with their types) and
norvalis's frame functions (read through inspect, as Python's builtins are, with the types
their modules declare: the frame keeps each typed parameter's and the return type in the
function's __annotations__, which inspect's reading of the text signature leaves out).

    python tools/stubgen.py ROOT SOURCE MODULE [MODULE ...]

imports each MODULE from the install tree ROOT, with the packages' Python files taken
from SOURCE (the install tree holds only what CMake installed), and writes its stub beside
its extension file. A module that cannot import for want of a third-party package (an isolated build
may lack the runtime dependencies) is skipped with a warning; any other failure fails.
"""
import importlib
import importlib.abc
import importlib.machinery
import importlib.util
import inspect
import pathlib
import re
import sys

import nanobind.stubgen
from nanobind.stubgen import StubGen


def is_signed(tp):
    return tp.__module__ == "kestrix" and tp.__name__ in ("builtin_function", "builtin_method")


def is_frame_function(tp):
    return tp.__module__ == "norvalis" and tp.__name__ == "compiled_function"


# Kavrel's front end carries fixed annotation text, "List[complex]" and "List[float]" (typing's
# alias, which the stub does not import) and no return type. The stub says what the text
# means: an exact list of numbers, ints and floats included (a list[float] variable is no
# list[complex] to a type checker, lists being invariant), and what each function returns.
FIXED_ANNOTATIONS = {
    "List[complex]": "list[complex] | list[float] | list[int]",
    "List[float]": "list[float] | list[int]",
}
FIXED_RETURNS = {
    "norvalis.Kavrel.Kavrel.Kavrel_solve_linear_equations": "list[complex]",
    "norvalis.Kavrel.Kavrel.expand_linear_equations": "list[typing.Any]",
    "norvalis.Kavrel.Kavrel.build_Kavrel_circuit": "kestrix.core.QCircuit",
}


def typed_signature(fn):
    """inspect.signature(fn), with a frame function's declared types filled in."""
    sig = inspect.signature(fn)
    notes = getattr(fn, "__annotations__", None) if is_frame_function(type(fn)) else None
    if not notes:
        return sig
    notes = {name: FIXED_ANNOTATIONS.get(note, note) if isinstance(note, str) else note
             for name, note in notes.items()}
    returns = notes.get("return", FIXED_RETURNS.get(f"{fn.__module__}.{fn.__qualname__}",
                                                    sig.return_annotation))
    parameters = [p.replace(annotation=notes.get(p.name, p.annotation))
                  for p in sig.parameters.values()]
    return sig.replace(parameters=parameters, return_annotation=returns)


# The stub generator reads every Python-level callable's signature through this name.
nanobind.stubgen.signature = typed_signature


# kestrix reads every index and count through __index__, so NumPy integers pass, and every
# list of qubits from any iterable, a NumPy array included. The bindings' signatures say
# int and Sequence[int], as their error messages show; the stubs say what is accepted.
INDEX_PARAMETERS = ("qubit", "qubits", "cbits", "control", "target", "c1", "c2", "a", "b",
                    "shots", "seed", "num_qubits", "chunk_size", "fold", "decimals")
INDEX_ANNOTATION = re.compile(r"\b(%s): int\b" % "|".join(INDEX_PARAMETERS))


def widen_indices(signature):
    """A kestrix signature with its index parameters typed as the runtime takes them."""
    head, arrow, result = signature.rpartition(") -> ")
    if not arrow:
        return signature
    head = head.replace("collections.abc.Sequence[int]",
                        "collections.abc.Iterable[typing.SupportsIndex]")
    return INDEX_ANNOTATION.sub(r"\1: typing.SupportsIndex", head) + arrow + result


class Stubs(StubGen):
    def put_nb_overload(self, fn, sig, name=None, is_classmethod=False):
        if self.module.__name__.startswith("kestrix."):
            sig = (widen_indices(sig[0]),) + tuple(sig[1:])
        super().put_nb_overload(fn, sig, name, is_classmethod=is_classmethod)

    def is_function(self, tp):
        return super().is_function(tp) or is_signed(tp) or is_frame_function(tp)

    def put(self, value, name=None, parent=None):
        if name == "__signature__":  # inspect's view of a class, not a member
            return
        super().put(value, name, parent)

    def put_function(self, fn, name=None, parent=None):
        if name == "__lshift__" and self.is_appendable(parent):
            return self.put_lshift(parent)
        if not is_signed(type(fn)):
            return super().put_function(fn, name, parent)
        if name and fn.__module__ != self.module.__name__:
            self.put_value(fn, name)
        elif name and fn.__name__ != name:
            self.write_ln(f"{name} = {fn.__name__}\n")
        else:
            if type(fn).__name__ == "builtin_function" and self.depth > 0:
                self.write_ln("@staticmethod")  # a function, not a method, in a class
            self.put_nb_func(fn, name)


    @staticmethod
    def is_appendable(cls):
        """QCircuit and QProg: `<<` is their type's own slot, with no signature to read."""
        return isinstance(cls, type) and cls.__module__ == "kestrix.core" and \
            cls.__name__ in ("QCircuit", "QProg")

    def put_lshift(self, cls):
        """`a << item` takes what insert() takes and returns `a` itself."""
        self.write_ln(f"def __lshift__(self, item: QGate | QCircuit | QProg, /) -> {cls.__name__}:")
        self.depth += 1
        self.put_docstr("Appends in place and returns this object, as insert() does.")
        self.depth -= 1
        self.write("\n")


class InstallTreeFinder(importlib.abc.MetaPathFinder):
    """Finds kestrix and norvalis modules in the install tree first, then in the sources,
    and never in an older installed copy."""

    def __init__(self, root, source):
        self.bases = (root, source)

    def find_spec(self, fullname, path=None, target=None):
        parts = fullname.split(".")
        if parts[0] not in ("kestrix", "norvalis"):
            return None
        for base in self.bases:
            package = base.joinpath(*parts)
            if (package / "__init__.py").exists():
                locations = [str(b.joinpath(*parts)) for b in self.bases]
                return importlib.util.spec_from_file_location(
                    fullname, package / "__init__.py", submodule_search_locations=locations)
            for suffix in importlib.machinery.EXTENSION_SUFFIXES + [".py"]:
                file = base.joinpath(*parts[:-1], parts[-1] + suffix)
                if file.exists():
                    return importlib.util.spec_from_file_location(fullname, file)
        return None


def write_stub(module_name):
    try:
        module = importlib.import_module(module_name)
    except ModuleNotFoundError as error:
        if error.name and error.name.split(".")[0] in ("kestrix", "norvalis"):
            raise
        print(f"stubgen: no stub for {module_name}: {error}", file=sys.stderr)
        return
    generator = Stubs(module=module, include_docstrings=True)
    generator.put(module)
    target = pathlib.Path(module.__file__).with_name(module_name.split(".")[-1] + ".pyi")
    target.write_text(generator.get(), encoding="utf-8")


def main(argv):
    root, source = (pathlib.Path(a).resolve() for a in argv[:2])
    sys.meta_path.insert(0, InstallTreeFinder(root, source))
    for name in argv[2:]:
        write_stub(name)


if __name__ == "__main__":
    main(sys.argv[1:])
