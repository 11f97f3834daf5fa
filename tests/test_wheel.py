"""The installed distribution carries what a user of the wheel relies on: the
licence, the type stubs beside the module, and a version the changelog names;
installed from a manylinux wheel, its extension modules load on every system
of the wheel's tag. Run from the source tree (`make test`) and against the
repaired wheel in a clean venv (`make wheel`)."""

import re
import shutil
import subprocess
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


# ------------------------------------------------------------ manylinux binaries

# The libraries a manylinux module may need from the system (the manylinux
# policies' list for x86_64, less the ones this project has no use for).
SYSTEM_LIBRARIES = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1", "libgcc_s.so.1",
                    "ld-linux-x86-64.so.2"}


def glibc_floor():
    """The oldest glibc the installed wheel's manylinux tags promise, or None
    when the distribution was not installed from a manylinux wheel."""
    tags = re.findall(r"^Tag:.*-manylinux_(\d+)_(\d+)_", DIST.read_text("WHEEL") or "", re.MULTILINE)
    return min((int(major), int(minor)) for major, minor in tags) if tags else None


EXTENSIONS = sorted(str(f) for f in DIST.files or [] if str(f).endswith(".so"))
FLOOR = glibc_floor()
READELF = shutil.which("readelf")


def readelf(module, *options):
    return subprocess.run([READELF, "-W", *options, str(DIST.locate_file(module))], capture_output=True, text=True,
                          check=True).stdout


def needed(module):
    return set(re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", readelf(module, "-d")))


def glibc_versions(module):
    return {tuple(map(int, v.split("."))) for v in re.findall(r"Name: GLIBC_([\d.]+)", readelf(module, "-V"))}


def exported(module):
    """The symbols the module defines for others to bind to."""
    rows = (line.split() for line in readelf(module, "--dyn-syms").splitlines())
    return {r[7] for r in rows if len(r) >= 8 and r[0].rstrip(":").isdigit() and r[6] != "UND"
            and r[4] in ("GLOBAL", "WEAK") and r[5] == "DEFAULT"}


def test_extension_modules_found():
    assert any(Path(m).name.startswith("knotwell_rs.") for m in EXTENSIONS), EXTENSIONS


@pytest.mark.skipif(FLOOR is None, reason="installed from a build, not from a manylinux wheel")
@pytest.mark.skipif(READELF is None, reason="readelf (binutils) is not installed")
@pytest.mark.parametrize("module", EXTENSIONS)
@pytest.mark.parametrize("check", ["glibc", "libraries", "exports"])
def test_manylinux_module_loads_on_the_floor(module, check):
    if check == "glibc":
        # No symbol version newer than the tag's glibc (a newer one fails to load there).
        assert max(glibc_versions(module)) <= FLOOR, sorted(glibc_versions(module))
    elif check == "libraries":
        # Only system libraries: the C++ runtime is linked in, libstdc++ is not needed.
        assert needed(module) <= SYSTEM_LIBRARIES, sorted(needed(module) - SYSTEM_LIBRARIES)
    else:
        # The runtime linked in stays private: the init function is all it
        # exports, and knotwell_rs its cancel scopes (reached through ctypes).
        allowed = ("PyInit_", "knotwell_cancel") if Path(module).name.startswith("knotwell_rs.") else ("PyInit_",)
        assert exported(module) and all(name.startswith(allowed) for name in exported(module)), \
            sorted(exported(module))
