"""Helpers shared by the test modules (imported as `from conftest import ...`)
and the build of the native checkers under tests/native."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parent.parent
SANITIZE = bool(os.environ.get("KNOTWELL_SANITIZE"))

# The module's functions in registration order (the order of __all__).
FUNCTIONS = (
    "degree_rust", "in_degree_rust", "out_degree_rust", "strength_rust", "triangles_per_node_rust",
    "clustering_avg_rust", "clustering_local_rust", "mean_shortest_path_rust", "shortest_paths_rust",
    "shortest_paths_multi_rust", "connected_components_rust", "betweenness_rust", "core_numbers_rust",
    "rewire_degree_preserving_rust", "configuration_model_rust", "erdos_renyi_rust", "louvain_rust",
    "label_propagation_rust", "modularity_rust",
)


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
