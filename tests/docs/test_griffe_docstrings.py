"""How the API reference reads the compiled docstrings (tools/griffe_docstrings.py): the
mends must change only what the Google-style parser misreads. Runs where the docs tools
are installed (make docs)."""
import pathlib
import runpy
import types

import pytest

pytest.importorskip("griffe")
_path = pathlib.Path(__file__).resolve().parents[2] / "tools" / "griffe_docstrings.py"
docstrings = types.SimpleNamespace(**runpy.run_path(str(_path)))


class TestMended:
    def test_drops_the_repeated_signature_line_only(self):
        text = "iter_num(q_num, sol_num)\n\nThe best number of iterations."
        assert docstrings.mended("iter_num", text) == "The best number of iterations."
        other = "iter_analysis(q_num) is called first.\n\nMore."
        assert docstrings.mended("iter_num", other) == other

    def test_example_headings_become_examples_sections(self):
        text = "Summary.\n\n    Example:\n        >>> H(0)\n        H(0)\nAn Example: inline."
        assert docstrings.mended("H", text) == (
            "Summary.\n\n    Examples:\n        >>> H(0)\n        H(0)\nAn Example: inline.")

    def test_raises_written_as_a_call_becomes_an_entry(self):
        text = ("Summary.\n\nRaises:\n    ValueError(\"k: bad\") for k > n or an\n    empty list.\n"
                "\nMore prose.")
        assert docstrings.mended("f", text) == (
            "Summary.\n\nRaises:\n    ValueError: ValueError(\"k: bad\") for k > n or an\n"
            "        empty list.\n\nMore prose.")

    def test_well_formed_raises_and_args_are_left_alone(self):
        text = ("Args:\n    k: the weight.\n\nRaises:\n    ValueError: for k < 0,\n"
                "        or an empty list.\n    TypeError: for a float k.\n\nReturns:\n"
                "    QCircuit: the circuit.")
        assert docstrings.mended("f", text) == text


def test_packages_show_the_classes_they_reexport_under_their_module_names():
    import griffe

    extensions = griffe.load_extensions(str(_path))
    norvalis = griffe.load("norvalis", allow_inspection=False, extensions=extensions)
    for package, names in {"Melvo": ["Melvo", "IMelvo"], "QKmeans": ["Vandemir"]}.items():
        for name in names:
            member = norvalis[package].members[name]
            assert member.is_alias and member.final_target.is_class, (package, name)
    run = norvalis["Melvo"]["Melvo"]["run"]
    assert run.docstring.value and not run.docstring.value.startswith("run(")
