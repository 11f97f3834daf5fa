"""Helpers shared by the test modules (imported as `from conftest import ...`)
and the build of the native checkers under tests/native."""

import ast
import os
import re
import shutil
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parent.parent
SANITIZE = bool(os.environ.get("KNOTWELL_SANITIZE"))

# The kinds of src/lib/signatures.hpp, by the names the tests use.
KINDS = {"Count": "count", "OptionalCount": "opt_count", "Flag": "flag", "Real": "real", "EdgeArray": "edges",
         "IdVector": "ids", "WeightVector": "weights", "OptionalWeightVector": "opt_weights"}
REQUIRED = object()  # the default of a required parameter


@dataclass(frozen=True)
class TableParam:
    name: str
    kind: str  # a value of KINDS
    default: object = REQUIRED  # the Python value of the table's default text


@dataclass(frozen=True)
class TableFunction:
    name: str
    params: tuple
    releases_lock: bool


def signature_table():
    """The module's functions as src/lib/signatures.hpp declares them, in the
    order of its `kAll`."""
    text = re.sub(r"//[^\n]*", "", (ROOT / "src" / "lib" / "signatures.hpp").read_text(encoding="utf-8"))

    def param(body):
        fields = [f.strip() for f in body.split(",")]
        kind = KINDS[fields[1].removeprefix("Kind::").removeprefix("sig::")]
        default = ast.literal_eval(fields[2].strip('"')) if len(fields) > 2 else REQUIRED
        return TableParam(ast.literal_eval(fields[0]), kind, default)

    single = {m[1]: param(m[2]) for m in re.finditer(r"inline constexpr Param (\w+)\{([^{}]*)\};", text)}

    def item(token):
        return param(token[1:-1]) if token.startswith("{") else single[token.removeprefix("sig::")]

    arrays = {m[1]: tuple(item(t) for t in re.findall(r"\{[^{}]*\}|[\w:]+", m[2]))
              for m in re.finditer(r"inline constexpr Param (\w+)\[\] = \{(.*?)\};", text, re.DOTALL)}
    functions = {m[1]: TableFunction(m[2], arrays[m[3]], m[4] == "true")
                 for m in re.finditer(r'inline constexpr Function (\w+)\{\s*"(\w+)",\s*(\w+),.*?,\s*(true|false)\};',
                                      text, re.DOTALL)}
    order = re.search(r"kAll\[\] = \{(.*?)\};", text, re.DOTALL)[1]
    return [functions[k] for k in re.findall(r"&(\w+)", order)]


# The module's functions as src/lib/signatures.hpp lists them (the order of
# __all__): name -> TableFunction. Every per-function table of the tests is
# checked against these names, so a new function cannot be skipped silently.
TABLE = {f.name: f for f in signature_table()}
FUNCTIONS = tuple(TABLE)
LOCK_RELEASING = tuple(name for name, f in TABLE.items() if f.releases_lock)


def per_function(table, what):
    """`table` (a dict by function name), after checking that it covers
    exactly the module's functions: a new function fails here, loudly,
    until its entry is written."""
    missing, extra = set(FUNCTIONS) - set(table), set(table) - set(FUNCTIONS)
    assert not missing and not extra, f"{what}: no entry for {sorted(missing)}, stale entries {sorted(extra)}"
    return table


def E(rows):
    """An m x 2 uint64 edge array that owns its data (so tests may resize it)."""
    return np.array(rows, dtype=np.uint64).reshape(-1, 2).copy()


def S(ids):
    """A uint64 id vector (sources, labels, degrees)."""
    return np.array(ids, dtype=np.uint64)


def W(values):
    """A float64 weight vector."""
    return np.array(values, dtype=np.float64)


# ------------------------------------------------------------ native checkers


def _on_off(name):
    return "ON" if os.environ.get(name, "").upper() not in ("", "0", "OFF", "FALSE", "NO") else "OFF"


# ------------------------------------------------------------ heavy tests

# A test is heavy when its purpose is timing, scale, or the behaviour of Python
# code alone (mypy, Dask orchestration), and every C++ path it reaches a
# lighter test reaches too. `make test` runs every test; the sanitizer and
# wheel runs set KNOTWELL_SKIP_HEAVY and skip heavy tests, which there would
# only re-prove slowly what the optimised run proved. Native checkers and
# tests of the installed wheel itself are never heavy.
SKIP_HEAVY = _on_off("KNOTWELL_SKIP_HEAVY") == "ON"


def pytest_configure(config):
    config.addinivalue_line("markers", "heavy: timing, scale or Python-only test that the sanitizer and wheel runs "
                                       "skip (KNOTWELL_SKIP_HEAVY); see tests/conftest.py")


def pytest_collection_modifyitems(config, items):
    if not SKIP_HEAVY:
        return
    skip = pytest.mark.skip(reason="heavy: run by the optimised run only (KNOTWELL_SKIP_HEAVY)")
    for item in items:
        if item.get_closest_marker("heavy"):
            item.add_marker(skip)


@pytest.fixture(scope="session")
def native_checkers():
    """Configures and builds the ctest targets of tests/native (the layers
    below the binding, no Python) with the build's own flags: the sanitizers
    under KNOTWELL_SANITIZE, -Werror under KNOTWELL_WERROR. Returns the build
    directory, which holds one executable per checker.

    KNOTWELL_NATIVE_BUILD names the build tree of the module under test (the
    Makefile sets it): its core library, compiled with the same compiler and
    flags, is reused and only the checkers compile; the tree keeps its own
    source directory and toolchain. Without it (or before that tree exists),
    a tree of their own under build/."""
    cmake = shutil.which("cmake", path=os.pathsep.join([str(Path(sys.executable).parent), os.environ.get("PATH", "")]))
    assert cmake, "cmake is needed to build the native checkers"
    flags = ["-DKNOTWELL_NATIVE_TESTS=ON", f"-DKNOTWELL_NATIVE_TESTS_DIR={ROOT / 'tests' / 'native'}",
             f"-DKNOTWELL_SANITIZE={'ON' if SANITIZE else 'OFF'}", f"-DKNOTWELL_WERROR={_on_off('KNOTWELL_WERROR')}"]
    reuse = os.environ.get("KNOTWELL_NATIVE_BUILD")
    if reuse and (Path(reuse) / "CMakeCache.txt").is_file():
        build = Path(reuse).resolve()
        configure = [cmake, str(build), *flags]
    else:
        build = ROOT / "build" / ("native-sanitize" if SANITIZE else "native")
        configure = [cmake, "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release", *flags,
                     f"-DPython_EXECUTABLE={sys.executable}"]
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    for step in (configure, [cmake, "--build", str(build), "--parallel", str(os.cpu_count() or 1),
                             "--target", "native_checks"]):
        proc = subprocess.run(step, cwd=ROOT, capture_output=True, text=True, timeout=1800, env=env)
        assert proc.returncode == 0, (proc.stdout + proc.stderr)[-5000:]
    return build


def run_native(build, checker, *args, env=None, timeout=900):
    """Runs one checker outside the Python process's preloads, with a clean
    pool-size environment plus `env`; returns its standard output."""
    full_env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS", "LD_PRELOAD",
                                                            "KNOTWELL_SCRATCH_CACHE")}
    if SANITIZE:
        full_env["ASAN_OPTIONS"] = "detect_leaks=1"
    full_env.update(env or {})
    proc = subprocess.run([str(build / checker), *args], env=full_env, capture_output=True, text=True, timeout=timeout)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return proc.stdout
