"""Docstrings of the compiled modules as the API reference reads them (a griffe extension,
loaded by mkdocs.yml).

A few habits of the compiled docstrings read badly under the Google style that
mkdocstrings parses, and are mended in the reference only (the docstrings stay as help()
shows them):

- norvalis functions repeat their signature as the first line, as Python's builtins do;
  the reference shows the signature already.
- Examples sit under "Example:", which the parser takes for plain text, so their ">>>"
  lines would lose their code block; they are read as "Examples:".
- A package that re-exports a class named as the module it comes from
  (`from .Melvo import Melvo`) holds the class under that name, as Python binds it, not
  the module.
- A "Raises:" entry written as a call, `ValueError("message") for ...`, possibly over
  several lines at one indentation, is read as the entry `ValueError: ValueError("message")
  for ...` with its continuation lines indented under it.
"""
import re

import griffe

EXAMPLE_HEADING = re.compile(r"^(\s*)Example:[ \t]*$", re.M)
ENTRY = re.compile(r"[\w.]+:(\s|$)")
CALL_ENTRY = re.compile(r"([A-Z]\w*)\(")


def mended_raises(lines):
    """The lines of a docstring with its Raises entries in "Error: description" form."""
    out, entry_indent = [], None
    for line in lines:
        indent = len(line) - len(line.lstrip())
        if entry_indent is not None and line.strip() and indent < entry_indent:
            entry_indent = None  # the section ended
        if entry_indent is None:
            out.append(line)
            if line.strip() == "Raises:":
                entry_indent = -1
            continue
        if not line.strip():
            out.append(line)
            continue
        if entry_indent == -1:
            entry_indent = indent
        body = line[indent:]
        if indent == entry_indent and not ENTRY.match(body):
            call = CALL_ENTRY.match(body)
            line = f"{' ' * indent}{call[1]}: {body}" if call else f"{' ' * (indent + 4)}{body}"
        out.append(line)
    return out


def mended(name, text):
    """The docstring `text` of the object `name`, as the reference reads it."""
    first, _, rest = text.partition("\n")
    if first.startswith(f"{name}(") and first.rstrip().endswith(")"):
        text = rest.lstrip("\n")
    text = EXAMPLE_HEADING.sub(r"\1Examples:", text)
    return "\n".join(mended_raises(text.split("\n")))


def rebind_exports(package):
    """Binds each exported name of `package` that names both a submodule and a member of
    that submodule to the member, as `from .name import name` does at run time. The
    package's other aliases are resolved first: their paths may run through that module."""
    for alias in [m for m in package.members.values() if m.is_alias]:
        try:
            alias.resolve_target()
        except griffe.AliasResolutionError:
            pass  # mkdocstrings reports what it then cannot show
    for name in map(str, package.exports or ()):
        member = package.members.get(name)
        if member is None or member.is_alias or not member.is_module:
            continue
        if name in member.members:
            package.set_member(name, griffe.Alias(name, member.members[name], parent=package))


class CompiledDocstrings(griffe.Extension):
    def on_package(self, *, pkg, **kwargs):
        pending = [pkg]
        while pending:
            obj = pending.pop()
            if obj.docstring is not None:
                obj.docstring.value = mended(obj.name, obj.docstring.value)
            members = [m for m in obj.members.values() if not m.is_alias]
            if obj.is_module:
                rebind_exports(obj)
            pending.extend(members)
