"""The type stubs must name exactly what each module has, with the arity each method accepts."""

import ast
import importlib
from pathlib import Path

import pytest

import childproc

MODULES = ["_twheadercheck", "_twframeinfo", "_twconfig"]


def stub_of(name):
    module = importlib.import_module(name)
    installed = Path(module.__file__).with_name(f"{name}.pyi")
    path = installed if installed.exists() else childproc.ROOT / "stubs" / f"{name}.pyi"
    tree = ast.parse(path.read_text())
    functions = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    return module, ast.get_docstring(tree), functions


@pytest.mark.parametrize("name", MODULES)
def test_stub_names_and_docstrings_match_the_module(name):
    module, docstring, functions = stub_of(name)
    public = {attribute for attribute in dir(module) if not attribute.startswith("_")}
    assert set(functions) == public
    assert docstring == module.__doc__
    for function_name, node in functions.items():
        assert ast.get_docstring(node) == getattr(module, function_name).__doc__
        # Positional-only, like the methods themselves.
        assert not node.args.args and not node.args.kwonlyargs and not node.args.vararg


@pytest.mark.parametrize("name", MODULES)
def test_stub_arities_are_the_ones_the_methods_accept(name):
    _, _, functions = stub_of(name)
    arities = {function: len(node.args.posonlyargs) for function, node in functions.items()}
    # A child, as calling _twconfig's methods resolves its entry points for the process.
    outcomes = childproc.run_for_value(
        f"""
        import {name} as module
        def outcome(function, count):
            try:
                result = function(*["x"] * count)
            except TypeError as error:
                return "refused" if "argument" in str(error) else "accepted"
            except Exception:
                return "accepted"
            # The call-site methods absorb a wrong argument count into None or False.
            return "refused" if result in (None, False) and module.__name__ == "_twframeinfo" else "accepted"
        print(repr({{f: (outcome(getattr(module, f), n), outcome(getattr(module, f), n + 1))
                     for f, n in {arities!r}.items()}}))
        """
    )
    for function, (with_stub_arity, with_one_more) in outcomes.items():
        assert with_one_more == "refused", function
        if name != "_twframeinfo":  # "x" is not user code, so None says nothing about arity there
            assert with_stub_arity == "accepted", function
