"""The worker pool: sizing from the environment, fault transport, independence
from the number of workers. Pool properties that Python cannot reach are
checked by a small native program (tests/native/core_check.cpp)."""

import os
import subprocess
import sys
import textwrap

import pytest

from conftest import run_native

CPUS = len(os.sched_getaffinity(0)) or 1


def run_python(code, env=None, timeout=300):
    full_env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    full_env.update(env or {})
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], env=full_env, capture_output=True, text=True, timeout=timeout
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


# Threads of this process before and after the first sweep, and after a second
# sweep with the variables changed in between.
COUNT_WORKERS = """
    import os
    import numpy as np
    import knotwell_rs as kw

    def threads():
        return len(os.listdir("/proc/self/task"))

    edges = np.array([[0, 1], [1, 2]], dtype=np.uint64)
    n = 3000
    path = np.array([[i, i + 1] for i in range(n - 1)], dtype=np.uint64)
    before = threads()
    kw.shortest_paths_rust(3, edges, 0, False)       # runs on the calling thread
    kw.connected_components_rust(3, edges)
    assert threads() == before, "pool created by a function that does not sweep"
    # sweeps too small to be worth waking workers run on the calling thread
    assert kw.mean_shortest_path_rust(3, edges) == 4 / 3
    assert kw.betweenness_rust(3, edges, None, False, False).tolist() == [0, 1, 0]
    assert threads() == before, "pool created by a small sweep"
    assert kw.mean_shortest_path_rust(n, path) == (n + 1) / 3
    first = threads()
    os.environ["RAYON_NUM_THREADS"] = "7"
    sources = np.arange(0, n, 30, dtype=np.uint64)
    assert kw.shortest_paths_multi_rust(n, path, sources, False)[:, 0].tolist() == sources.tolist()
    print(first - before, threads() - before)
"""


@pytest.mark.parametrize(
    "env, workers",
    [
        ({}, CPUS),
        ({"RAYON_NUM_THREADS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "1"}, 1),
        ({"RAYON_NUM_THREADS": "+5"}, 5),
        ({"RAYON_NUM_THREADS": "0"}, CPUS),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "3"}, CPUS),
        ({"RAYON_NUM_THREADS": "abc"}, CPUS),
        ({"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_NUM_THREADS": " 4", "RAYON_RS_NUM_CPUS": "3"}, 3),
        ({"RAYON_NUM_THREADS": "-4", "RAYON_RS_NUM_CPUS": "x"}, CPUS),
        ({"RAYON_NUM_THREADS": "4", "RAYON_RS_NUM_CPUS": "3"}, 4),
        ({"RAYON_RS_NUM_CPUS": "6"}, 6),
        ({"RAYON_RS_NUM_CPUS": "0"}, CPUS),
    ],
)
def test_pool_size_from_environment(env, workers):
    created, later = map(int, run_python(COUNT_WORKERS, env).split())
    assert created == workers
    assert later == workers  # fixed at creation; later changes are ignored


# The first sweep of the process fixes the pool's size even when it is small
# enough to run on the calling thread and starts no worker: a change of the
# variables before the first large sweep is ignored.
FIRST_SWEEP_INLINE = """
    import os
    import numpy as np
    import knotwell_rs as kw

    def threads():
        return len(os.listdir("/proc/self/task"))

    edges = np.array([[0, 1], [1, 2]], dtype=np.uint64)
    before = threads()
    {small}
    assert threads() == before, "a small sweep started workers"
    os.environ["RAYON_NUM_THREADS"] = "7"
    n = 3000
    path = np.array([[i, i + 1] for i in range(n - 1)], dtype=np.uint64)
    kw.betweenness_rust(n, path)
    print(threads() - before)
"""


@pytest.mark.parametrize("small", [
    "kw.betweenness_rust(3, edges)",
    "kw.mean_shortest_path_rust(3, edges)",
    "kw.shortest_paths_multi_rust(3, edges, np.array([0, 2], dtype=np.uint64), False)",
    "kw.rewire_degree_preserving_rust(3, edges, 2, 1, 10, 0)",
])
def test_pool_size_fixed_by_a_first_sweep_run_inline(small):
    assert int(run_python(FIRST_SWEEP_INLINE.replace("{small}", small), {"RAYON_NUM_THREADS": "1"})) == 1


@pytest.mark.skipif(sys.platform != "linux", reason="needs Linux address-space limits")
@pytest.mark.skipif(bool(os.environ.get("KNOTWELL_SANITIZE")),
                    reason="AddressSanitizer aborts on a failed operator new instead of throwing")
def test_allocation_failure_in_a_worker_raises_memory_error():
    # Each piece of the mean's sweep allocates three words per node; the
    # calling thread only the graph (one word per node). With the address
    # space capped in between, the failure happens inside a worker.
    out = run_python(
        """
        import resource
        import numpy as np
        import knotwell_rs as kw

        def vm_size():
            with open("/proc/self/status") as f:
                for line in f:
                    if line.startswith("VmSize:"):
                        return int(line.split()[1]) * 1024

        edges = np.array([[0, 1], [1, 2]], dtype=np.uint64)
        assert kw.mean_shortest_path_rust(3, edges) == 4 / 3   # pool and arenas exist now
        n = 20_000_000
        limit = vm_size() + 16 * n
        resource.setrlimit(resource.RLIMIT_AS, (limit, resource.getrlimit(resource.RLIMIT_AS)[1]))
        for _ in range(3):
            try:
                kw.mean_shortest_path_rust(n, edges)
            except MemoryError:
                pass
            else:
                raise AssertionError("no MemoryError")
            # the pool survives and serves the next sweeps
            assert kw.mean_shortest_path_rust(3, edges) == 4 / 3
            got = kw.shortest_paths_multi_rust(3, edges, np.array([0, 2], np.uint64), False)
            assert got.tolist() == [[0, 1, 2], [2, 1, 0]]
        print("ok")
        """
    )
    assert out.strip() == "ok"


# The first sweeps of a process whose pool cannot start a single thread: under
# an address-space cap no thread stack fits (MemoryError); under a limit on
# the user's threads the cause is not memory (RuntimeError). Either is an
# ordinary exception, and once the limit is lifted the pool starts and
# answers correctly.
THREAD_LIMIT = """
    import os, resource, sys
    import numpy as np
    import knotwell_rs as kw

    mode = sys.argv[1]
    n = 5000
    path = np.array([[i, i + 1] for i in range(n - 1)], dtype=np.uint64)
    sources = np.array([0, n - 1] * 4, dtype=np.uint64)  # enough work for the pool
    calls = {
        "mean": lambda: kw.mean_shortest_path_rust(n, path),
        "multi": lambda: kw.shortest_paths_multi_rust(n, path, sources, False),
        "betweenness": lambda: kw.betweenness_rust(n, path, None, False, False),
    }
    if mode == "memory":
        limit = resource.RLIMIT_AS
        with open("/proc/self/statm") as f:
            cap = int(f.read().split()[0]) * resource.getpagesize() + 4 * 2**20
    else:
        limit = resource.RLIMIT_NPROC
        if os.geteuid() == 0:  # root is exempt from the thread limit
            os.setgid(65534)
            os.setuid(65534)
        cap = 1
    soft, hard = resource.getrlimit(limit)
    resource.setrlimit(limit, (cap, hard))
    failures = []
    for name, call in calls.items():
        try:
            call()
        except Exception as e:  # must be an ordinary exception
            failures.append(type(e).__name__)
        else:
            failures.append("none")
    resource.setrlimit(limit, (soft, hard))
    assert kw.mean_shortest_path_rust(n, path) == (n + 1) / 3
    assert kw.shortest_paths_multi_rust(n, path, sources, False)[1, 0] == n - 1
    assert kw.betweenness_rust(n, path, None, False, False)[n // 2] == (n // 2) * (n - 1 - n // 2)
    print(" ".join(failures))
"""


@pytest.mark.skipif(sys.platform != "linux", reason="needs Linux resource limits")
@pytest.mark.parametrize("mode, error", [
    pytest.param("memory", "MemoryError", marks=pytest.mark.skipif(
        bool(os.environ.get("KNOTWELL_SANITIZE")), reason="address-space caps do not mix with the sanitizer")),
    ("threads", "RuntimeError"),
])
def test_pool_that_cannot_start_a_thread(mode, error):
    out = run_python(THREAD_LIMIT.replace("sys.argv[1]", repr(mode)), {"OPENBLAS_NUM_THREADS": "1"})
    assert out.split() == [error] * 3


def test_interrupt_stops_a_mean_sweep():
    # A signal whose handler raises while the mean sweeps (lock held) raises
    # KeyboardInterrupt
    # promptly instead of finishing the sweep; the pool serves the next call.
    out = run_python(
        """
        import signal, time
        import numpy as np
        import knotwell_rs as kw

        rng = np.random.default_rng(1)
        n = 60_000
        edges = rng.integers(0, n, size=(6 * n, 2), dtype=np.uint64)
        # a timer signal: a Python timer thread could not run while the lock is held
        signal.signal(signal.SIGALRM, signal.default_int_handler)
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        start = time.monotonic()
        try:
            kw.mean_shortest_path_rust(n, edges)
        except KeyboardInterrupt:
            print("interrupted", time.monotonic() - start < 5)
        small = np.array([[0, 1], [1, 2]], dtype=np.uint64)
        print(kw.mean_shortest_path_rust(3, small) == 4 / 3)
        """
    )
    assert out.split() == ["interrupted", "True", "True"]


# ------------------------------------------------------------ native checks


def test_native_sizing_rules(native_checkers):
    assert run_native(native_checkers, "core_check", "sizing").strip() == "ok"


def test_native_pool_results_identical_for_any_size(native_checkers):
    outputs = []
    for workers in (1, 2, 3):
        lines = run_native(native_checkers, "core_check", "pool", env={"RAYON_NUM_THREADS": str(workers)}).splitlines()
        assert lines[-1] == f"workers {workers}"
        outputs.append(lines[:-1])
    assert outputs[0] == outputs[1] == outputs[2]


def test_native_adjacency_and_searches(native_checkers):
    assert run_native(native_checkers, "core_check", "graphs").strip() == "ok"


# The block cache kept between calls: bounded by the machine (1/256 of its
# memory, at most 64 MiB) and by KNOTWELL_SCRATCH_CACHE, where 0 turns it off.
MACHINE_LIMIT = min(64 << 20, os.sysconf("SC_PHYS_PAGES") // 256 * os.sysconf("SC_PAGE_SIZE"))


@pytest.mark.parametrize("value, limit, held", [
    (None, MACHINE_LIMIT, 64 << 10),
    ("0", 0, 0),
    ("100000", 100000, 64 << 10),
    ("65535", 65535, 0),
    ("abc", MACHINE_LIMIT, 64 << 10),
    ("-5", MACHINE_LIMIT, 64 << 10),
    ("99999999999999999999999", MACHINE_LIMIT, 64 << 10),
])
def test_scratch_cache_limit(native_checkers, value, limit, held):
    env = {} if value is None else {"KNOTWELL_SCRATCH_CACHE": value}
    assert run_native(native_checkers, "core_check", "scratch-limit", env=env).split() == [str(limit), str(held)]

