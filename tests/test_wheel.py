"""The installed distribution carries what a user of the wheel relies on: the
licence, the type stubs beside the module, and a version the changelog names.
Run from the source tree (`make test`) and against the repaired wheel in a
clean venv (`make wheel`)."""

import re
from importlib import metadata
from pathlib import Path

import pytest

import knotwell_rs as kw

ROOT = Path(__file__).resolve().parent.parent
DIST = metadata.distribution("knotwell_rs")


def installed(relative):
    """The installed file of the distribution whose path ends with `relative`."""
    matches = [f for f in DIST.files or [] if str(f).replace("\\", "/").endswith(relative)]
    assert len(matches) == 1, (relative, matches)
    return Path(matches[0].locate())


def test_licence_is_declared_and_shipped():
    assert DIST.metadata["License-Expression"] == "BSD-3-Clause"
    shipped = installed("licenses/LICENSE").read_text(encoding="utf-8")
    assert shipped.startswith("BSD 3-Clause License")
    assert shipped == (ROOT / "LICENSE").read_text(encoding="utf-8")


@pytest.mark.parametrize("relative", ["knotwell_rs-stubs/__init__.pyi", "knotwell/py.typed", "knotwell/__init__.py",
                                      "knotwell/datasets/karate_club.json", "knotwell/datasets/les_miserables.json",
                                      "knotwell/datasets/florentine_families.json"])
def test_stubs_sit_beside_the_module(relative):
    assert Path(kw.__file__).parent in installed(relative).parents


def test_changelog_names_the_installed_version():
    versions = re.findall(r"^## (\d+\.\d+\.\d+)\b", (ROOT / "CHANGELOG.md").read_text(encoding="utf-8"), re.MULTILINE)
    assert versions and versions[0] == DIST.version



def test_the_sweep_module_ships_in_the_knotwell_package():
    import knotwell
    from knotwell import _sweeps

    native = Path(_sweeps.__file__)
    assert native.parent.name == "knotwell" and native.parent.parent == Path(kw.__file__).parent
    assert installed("knotwell/" + native.name) == native
    for relative in ("knotwell/__init__.py", "knotwell/_sweeps.pyi", "knotwell/py.typed"):
        assert installed(relative).parent == native.parent
    assert callable(knotwell.betweenness)
