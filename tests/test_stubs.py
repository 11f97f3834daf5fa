"""The installed type stubs describe the module's functions as they are."""

import ast
import inspect
from pathlib import Path

import knotwell_rs as kw


def stub_functions():
    # The stub-only package is installed beside the extension module.
    path = Path(kw.__file__).parent / "knotwell_rs-stubs" / "__init__.pyi"
    tree = ast.parse(path.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def test_stubs_match_signatures():
    stubs = stub_functions()
    assert set(kw.__all__) <= set(stubs)
    for name in kw.__all__:
        params = inspect.signature(getattr(kw, name)).parameters
        node = stubs[name]
        assert [a.arg for a in node.args.args] == list(params), name
        defaults = [ast.literal_eval(d) for d in node.args.defaults]
        expected = [p.default for p in params.values() if p.default is not inspect.Parameter.empty]
        assert defaults == expected, name
        assert ast.get_docstring(node) == inspect.cleandoc(getattr(kw, name).__doc__), name
