"""The knotwell package as users meet it: its namespace, its docstring examples, its types."""

import doctest
import importlib
import inspect
import os
import pkgutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import knotwell
import knotwell_rs as kw

ROOT = Path(__file__).resolve().parent.parent
MODULES = ["knotwell", *sorted(m.name for m in pkgutil.walk_packages(knotwell.__path__, "knotwell."))]
PUBLIC_MODULES = {"knotwell", "knotwell.datasets", "knotwell.statistics"}


def test_implementation_modules_are_private():
    assert {m for m in MODULES if not m.rsplit(".", 1)[-1].startswith("_")} == PUBLIC_MODULES
    for name in knotwell.__all__:
        assert hasattr(knotwell, name), name
    # The result's summary cache is no constructor argument.
    assert not [p for p in inspect.signature(knotwell.NullModelResult).parameters if p.startswith("_")]


def test_version_is_the_distributions():
    from importlib import metadata

    assert knotwell.__version__ == metadata.version("knotwell_rs")


@pytest.mark.parametrize("module", MODULES)
def test_docstring_examples_run(module):
    result = doctest.testmod(importlib.import_module(module), optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.failed == 0


def documented():
    for name in knotwell.__all__:
        obj = getattr(knotwell, name)
        if callable(obj) and not (inspect.isclass(obj) and issubclass(obj, Warning)):
            yield f"knotwell.{name}", obj
    for name in knotwell.datasets.__all__:
        yield f"knotwell.datasets.{name}", getattr(knotwell.datasets, name)


@pytest.mark.parametrize("name, obj", list(documented()), ids=lambda x: x if isinstance(x, str) else "")
def test_public_callables_have_numpydoc_with_examples(name, obj):
    doc = inspect.getdoc(obj) or ""
    for heading in ("Returns" if not inspect.isclass(obj) else "Parameters", "Examples"):
        assert f"\n{heading}\n{'-' * len(heading)}\n" in doc, (name, heading)
    if not inspect.isclass(obj):
        hints = inspect.get_annotations(obj)
        assert "return" in hints and set(inspect.signature(obj).parameters) <= set(hints), name


def test_the_native_module_is_untouched():
    assert sorted(n for n in dir(kw) if not n.startswith("__")) == sorted(kw.__all__)
    assert len(kw.__all__) == 19


USER_CODE = """
    import knotwell
    g = knotwell.datasets.karate_club()
    res = knotwell.null_model(g.n, g.edges, knotwell.statistics.max_core, samples=10)
    reveal_type(g)
    reveal_type(g.edges)
    reveal_type(res)
    reveal_type(res.pvalue)
    reveal_type(knotwell.from_edges([(0, 1)]).name_of([0]))
"""


@pytest.mark.skipif(bool(os.environ.get("KNOTWELL_SANITIZE")), reason="a check of types, not of memory: mypy's "
                    "compiled modules need not run under the preloaded sanitizer")
def test_types_reach_the_user(tmp_path):
    # mypy on the package (from a source tree) and on code that uses it: the
    # package passes, and what it returns is typed, not Any. An installed
    # wheel's package is read as the library it is.
    (tmp_path / "user.py").write_text(textwrap.dedent(USER_CODE))
    source = Path(knotwell.__file__).parent
    checked = [str(source)] if source == ROOT / "knotwell" else []
    config = ["--config-file", str(ROOT / "pyproject.toml")] if checked else []
    proc = subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(ROOT / ".mypy_cache"), *config, *checked,
                           str(tmp_path / "user.py")], capture_output=True, text=True, timeout=600, cwd=tmp_path)
    revealed = [line.split("Revealed type is ", 1)[1] for line in proc.stdout.splitlines() if "Revealed type" in line]
    errors = [line for line in proc.stdout.splitlines() if ": error:" in line]
    assert not errors, proc.stdout
    assert len(revealed) == 5 and not any(r.strip('"') == "Any" for r in revealed), revealed
    assert "knotwell._graph.Graph" in revealed[0] and "NullModelResult" in revealed[2]
