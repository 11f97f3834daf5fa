"""The installed type stubs describe the module's functions as they are."""

import ast
import inspect
from pathlib import Path

import numpy as np
import pytest

import knotwell_rs as kw
from conftest import FUNCTIONS, REQUIRED, TABLE


def stub_functions():
    # The stub-only package is installed beside the extension module.
    path = Path(kw.__file__).parent / "knotwell_rs-stubs" / "__init__.pyi"
    tree = ast.parse(path.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


STUBS = stub_functions()


def test_stubs_cover_exactly_the_module():
    assert set(STUBS) == set(kw.__all__)


def stub_text_signature(node):
    # The stub's parameters written the way the module's docstring line
    # writes them: defaults in Python's repr.
    args = node.args
    assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg), node.name
    plain = [a.arg for a in args.args[: len(args.args) - len(args.defaults)]]
    defaulted = [f"{a.arg}={ast.literal_eval(d)!r}"
                 for a, d in zip(args.args[len(args.args) - len(args.defaults):], args.defaults)]
    return "(" + ", ".join(plain + defaulted) + ")"


@pytest.mark.parametrize("name", kw.__all__)
def test_stub_matches_signature_and_docstring(name):
    fn, node = getattr(kw, name), STUBS[name]
    assert stub_text_signature(node) == fn.__text_signature__
    params = inspect.signature(fn).parameters
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params.values())
    assert [a.arg for a in node.args.args] == list(params)
    assert [ast.literal_eval(d) for d in node.args.defaults] == [
        p.default for p in params.values() if p.default is not inspect.Parameter.empty]
    assert ast.get_docstring(node) == inspect.cleandoc(fn.__doc__)


@pytest.mark.parametrize("name", kw.__all__)
def test_defaults_are_the_ones_the_call_uses(name):
    # Leaving out every defaulted parameter and passing the documented
    # defaults explicitly must be the same call (both succeed or both fail
    # the same way on a tiny valid graph).
    params = inspect.signature(getattr(kw, name)).parameters
    plain = {"n": 3, "edges": np.array([[0, 1], [1, 2]], np.uint64), "directed": False, "source": 0,
             "sources": np.array([0], np.uint64), "weights": np.ones(2), "labels": np.zeros(3, np.uint64),
             "n_samples": 1, "target_swaps": 1, "max_attempts": 5, "seed": 1, "degrees": np.array([1, 1], np.uint64),
             "m": 1}
    required = {k: plain[k] for k, p in params.items() if p.default is inspect.Parameter.empty}
    defaults = {k: p.default for k, p in params.items() if p.default is not inspect.Parameter.empty}
    fn = getattr(kw, name)
    first, second = fn(**required), fn(**required, **defaults)
    assert repr(first) == repr(second)


# The annotation each parameter kind of the signature table has in the stubs.
ANNOTATIONS = {"count": "int", "opt_count": "int | None", "flag": "bool", "real": "float",
               "edges": "NDArray[np.uint64]", "ids": "NDArray[np.uint64]", "weights": "NDArray[np.float64]",
               "opt_weights": "NDArray[np.float64] | None"}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_stub_annotations_match_the_table_kinds(name):
    # The tests take the parameter kinds from the source's signature table;
    # the stubs state them independently, so the two must agree.
    node, table = STUBS[name], TABLE[name]
    assert [(a.arg, ast.unparse(a.annotation)) for a in node.args.args] == [
        (p.name, ANNOTATIONS[p.kind]) for p in table.params]
    assert [p.default for p in table.params if p.default is not REQUIRED] == [
        ast.literal_eval(d) for d in node.args.defaults]


def test_all_nineteen_functions_are_exported():
    assert tuple(kw.__all__) == FUNCTIONS
    missing = [name for name in FUNCTIONS if not callable(getattr(kw, name, None))]
    assert not missing, missing
    public = {name for name in dir(kw) if name.endswith("_rust")}
    assert public == set(FUNCTIONS)
