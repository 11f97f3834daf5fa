"""Many Python threads calling every function at once.

Eight threads run every function's calls (succeeding ones, ones that fail a
content check, sweeps that fail midway, allocations that fail) in shuffled
order, repeatedly; each result must equal the single-threaded one bit for bit
and each failure must be the single-threaded failure. A wedged pool shows up
as threads that never finish.
"""

import json
import os
import pickle
import random
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import knotwell_rs as kw
from reliability_support import ALL_FUNCTIONS, E, U64_MAX, medium_calls, same, sample_calls
from conftest import LOCK_RELEASING

SANITIZE = bool(os.environ.get("KNOTWELL_SANITIZE"))
THREADS = 8
ROUNDS = int(os.environ.get("KNOTWELL_HAMMER_ROUNDS", "2" if SANITIZE else "6"))

HUGE_N = 2**62  # beyond what any vector can hold: MemoryError without touching memory


def workload():
    """(label, function name, args) for every call the threads make."""
    calls = []
    for name, (good, bad) in sample_calls().items():
        calls += [(f"{name}/small", name, good), (f"{name}/small-bad", name, bad)]
    for name, (good, bad) in medium_calls().items():
        if name in ("betweenness_rust", "mean_shortest_path_rust", "louvain_rust", "label_propagation_rust"):
            continue  # slow enough that the small calls cover them
        calls += [(f"{name}/medium", name, good), (f"{name}/medium-bad", name, bad)]
    e = E([(0, 1), (1, 2)])
    huge = {
        "degree_rust": (HUGE_N, e, False), "strength_rust": (HUGE_N, e, np.ones(2), True),
        "triangles_per_node_rust": (HUGE_N, e), "mean_shortest_path_rust": (HUGE_N, e),
        "shortest_paths_multi_rust": (HUGE_N, e, np.zeros(3, dtype=np.uint64), False),
        "betweenness_rust": (HUGE_N, e), "louvain_rust": (HUGE_N, e), "label_propagation_rust": (HUGE_N, e),
        "rewire_degree_preserving_rust": (5, e, HUGE_N, 1, 10, 0), "erdos_renyi_rust": (U64_MAX, HUGE_N, 0),
        "configuration_model_rust": (np.array([HUGE_N, HUGE_N], dtype=np.uint64), 0),
    }
    calls += [(f"{name}/huge", name, args) for name, args in huge.items()]
    # Sweeps that fail part-way: a bad source among many, a sample set whose
    # every sample fails validation.
    n = 3000
    edges = E([(i, (i * 7 + 1) % n) for i in range(n)])
    sources = np.arange(n, dtype=np.uint64)
    sources[n // 3] = n + 5
    calls.append(("shortest_paths_multi_rust/midway", "shortest_paths_multi_rust", (n, edges, sources, False)))
    calls.append(("rewire_degree_preserving_rust/midway", "rewire_degree_preserving_rust",
                  (n, E([(0, 1), (1, 0)]), 64, 1, 5, 1)))
    return calls


def outcome(name, args):
    try:
        return ("ok", getattr(kw, name)(*args))
    except (ValueError, MemoryError) as e:
        return (type(e).__name__, str(e))


def agree(expected, got):
    if expected[0] != got[0]:
        return False
    if expected[0] != "ok":
        return expected == got or expected[1].startswith("edge 0 (")  # which bad source is named is not fixed
    return same(expected[1], got[1])


@pytest.fixture(scope="module")
def expected():
    calls = workload()
    return calls, {label: outcome(name, args) for label, name, args in calls}


def test_expected_outcomes_are_sound(expected):
    calls, exp = expected
    for label, _, _ in calls:
        kind = exp[label][0]
        if label.endswith("/huge"):
            assert kind == "MemoryError", (label, exp[label])
        elif label.endswith(("-bad", "/midway")):
            assert kind == "ValueError", (label, exp[label])
        else:
            assert kind == "ok", (label, exp[label])


def test_eight_threads_hammer_every_function(expected):
    calls, exp = expected
    errors, counts = [], [0] * THREADS
    start = threading.Barrier(THREADS)

    def worker(t):
        rng = random.Random(t)
        start.wait()
        for _ in range(ROUNDS):
            order = calls[:]
            rng.shuffle(order)
            for label, name, args in order:
                got = outcome(name, args)
                counts[t] += 1
                if not agree(exp[label], got):
                    errors.append((label, exp[label], got))

    threads = [threading.Thread(target=worker, args=(t,), daemon=True) for t in range(THREADS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join(timeout=600)
    assert not any(th.is_alive() for th in threads), "threads still running: deadlock?"
    assert not errors, errors[:5]
    assert sum(counts) == THREADS * ROUNDS * len(calls)
    hammered = os.environ.get("KNOTWELL_HAMMER_REPORT")
    if hammered:
        with open(hammered, "a") as f:
            f.write(f"{sum(counts)}\n")


SQUEEZE = textwrap.dedent("""
    import resource, sys, threading
    import numpy as np
    import knotwell_rs as kw

    name = sys.argv[1]
    rng = np.random.default_rng(4)
    n = 30000 if name == "mean_shortest_path_rust" else 100000
    e = rng.integers(0, n, size=(4 * n // 10, 2)).astype(np.uint64)
    simple = np.unique(np.sort(e[e[:, 0] != e[:, 1]], axis=1), axis=0)
    calls = {
        "betweenness_rust": lambda: kw.betweenness_rust(n, e),
        "mean_shortest_path_rust": lambda: kw.mean_shortest_path_rust(n, e),
        "shortest_paths_multi_rust": lambda: kw.shortest_paths_multi_rust(
            n, e, np.arange(0, n, n // 40, dtype=np.uint64), False),
        "rewire_degree_preserving_rust": lambda: kw.rewire_degree_preserving_rust(n, simple, 16, 1000, 5000, 1),
        "louvain_rust": lambda: kw.louvain_rust(n, e, seed=1),
        "label_propagation_rust": lambda: kw.label_propagation_rust(n, e, seed=1),
        "connected_components_rust": lambda: kw.connected_components_rust(n, e),
    }
    def run():
        try:
            return ("ok", calls[name]())
        except MemoryError:
            return ("MemoryError", None)
    def same(x, y):
        if isinstance(x, tuple):
            return all(same(p, q) for p, q in zip(x, y))
        return bool(np.array_equal(np.asarray(x), np.asarray(y), equal_nan=True))

    expected = run()[1]
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    seen = set()
    for headroom_mb in (24, 4, 1, 0):
        # The threads exist before the cap: the interpreter itself cannot be
        # relied on to start threads without address space.
        results = [None] * 8
        gate = threading.Barrier(5)
        def hit(k):
            gate.wait()
            for r in range(2):
                results[2 * k + r] = run()
        ts = [threading.Thread(target=hit, args=(k,)) for k in range(4)]
        [t.start() for t in ts]
        with open("/proc/self/statm") as f:
            vm = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (vm + headroom_mb * 2**20, hard))
        gate.wait()
        for t in ts:
            t.join(timeout=300)
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        assert not any(t.is_alive() for t in ts), ("hang", name, headroom_mb)
        for kind, value in results:
            seen.add(kind)
            assert kind == "MemoryError" or same(value, expected), (name, headroom_mb)
    assert same(run()[1], expected)
    print(" ".join(sorted(seen)))
""")

SQUEEZED = ["betweenness_rust", "mean_shortest_path_rust", "shortest_paths_multi_rust",
            "rewire_degree_preserving_rust", "louvain_rust"]


@pytest.mark.skipif(SANITIZE, reason="address-space limits do not mix with the sanitizer's shadow memory")
@pytest.mark.parametrize("name", SQUEEZED)
def test_memory_runs_out_at_every_stage(name):
    """Under ever tighter address-space caps, four threads at once: whatever
    allocation fails first (a copy, the graph, a sweep's per-piece workspace
    or rows, the result), each call either succeeds with the right result or
    raises MemoryError; afterwards, uncapped, the pool answers correctly."""
    # Every large block straight from mmap and one arena, so each allocation
    # of a call counts against the cap (rather than against address space
    # that malloc reserved earlier).
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="65536", MALLOC_ARENA_MAX="1", MALLOC_TRIM_THRESHOLD_="0")
    out = subprocess.run([sys.executable, "-c", SQUEEZE, name], capture_output=True, text=True, timeout=600,
                         env=env)
    assert out.returncode == 0, out.stderr[-3000:]
    assert "MemoryError" in out.stdout.split(), out.stdout


@pytest.mark.parametrize("pool", ["1", "5"])
def test_results_independent_of_pool_size(expected, pool):
    """The same calls in a fresh process with another pool size give the same
    results (float sums included: the division of a sweep depends only on its
    length)."""
    calls, exp = expected
    code = textwrap.dedent("""
        import pickle, sys
        sys.path.insert(0, sys.argv[1])
        from test_threads import workload, outcome
        print(pickle.dumps({label: outcome(name, args) for label, name, args in workload()}).hex())
    """)
    env = dict(os.environ, RAYON_NUM_THREADS=pool)
    out = subprocess.run([sys.executable, "-c", code, os.path.dirname(__file__)], capture_output=True, text=True,
                         env=env, timeout=600)
    assert out.returncode == 0, out.stderr[-2000:]
    other = pickle.loads(bytes.fromhex(out.stdout.strip()))
    bad = [label for label, _, _ in calls if not agree(exp[label], other[label])]
    assert not bad, bad


# A daemon thread is inside a lock-releasing call while the interpreter shuts
# down. An object torn down with __main__ keeps the finalisation open long
# enough that the thread tries to retake the lock meanwhile (sweeps poll every
# few milliseconds); CPython then ends the thread, and the process must still
# exit cleanly.
AT_EXIT = textwrap.dedent("""
    import sys, threading, time
    import numpy as np
    import knotwell_rs as kw

    name = sys.argv[1]
    rng = np.random.default_rng(0)

    def random_edges(n, m):
        return rng.integers(0, n, size=(m, 2), dtype=np.uint64)

    def simple_edges(n, m):
        e = random_edges(n, m)
        return np.unique(np.sort(e[e[:, 0] != e[:, 1]], axis=1), axis=0)

    calls = {
        "shortest_paths_multi_rust": lambda: (
            20000, random_edges(20000, 2_000_000), np.arange(2000, dtype=np.uint64), False),
        "betweenness_rust": lambda: (20000, random_edges(20000, 1_000_000)),
        "rewire_degree_preserving_rust": lambda: (100000, simple_edges(100000, 400000), 4, 10**12, 10**12, 1),
        "louvain_rust": lambda: (200000, random_edges(200000, 1_000_000)),
        "label_propagation_rust": lambda: (300000, random_edges(300000, 2_000_000)),
        "configuration_model_rust": lambda: (np.full(2_000_000, 20, dtype=np.uint64), 1),
        "erdos_renyi_rust": lambda: (6000, 6000 * 5999 // 2, 1),
    }
    args = calls[name]()

    class SlowTeardown:
        def __init__(self):
            self.sleep = time.sleep
        def __del__(self):
            self.sleep(0.4)

    keep = SlowTeardown()
    started = threading.Event()

    def run():
        started.set()
        getattr(kw, name)(*args)

    threading.Thread(target=run, daemon=True).start()
    started.wait()
    time.sleep(0.3)
    print("leaving", flush=True)
""")

@pytest.mark.parametrize("name", LOCK_RELEASING)
def test_daemon_thread_inside_a_call_at_exit(name):
    out = subprocess.run([sys.executable, "-c", AT_EXIT, name], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, (out.returncode, out.stderr[-2000:])
    assert out.stdout.split() == ["leaving"]
    assert "FATAL" not in out.stderr and "terminate" not in out.stderr, out.stderr[-2000:]


# ---------------------------------------------------- a lock holder beside a call

def _lock_holder_workload():
    """(timed lock-releasing call, lock-holding call, lock-releasing call of
    like cost). The timed call polls about every 20 ms; the others take about
    a tenth of a second each, so a call that waited for the lock at its polls
    would wait that long at each."""
    rng = np.random.default_rng(3)
    # The timed call lasts several of the lock holder's calls, so that
    # taking the lock to start and to return (up to one such call each) is
    # small beside it.
    n = 100_000
    e = rng.integers(0, n, size=(600_000, 2), dtype=np.uint64)
    w = rng.uniform(0.5, 2.0, len(e))
    big_n = 200_000
    big = rng.integers(0, big_n, size=(600_000, 2), dtype=np.uint64)
    return (lambda: kw.louvain_rust(n, e, w, seed=1), lambda: kw.core_numbers_rust(big_n, big),
            lambda: kw.label_propagation_rust(big_n, big, None, 1, 1))


def _time_beside(timed, busy, call_on_main):
    """Seconds `timed` takes while another thread calls `busy` over and over:
    the main thread when `call_on_main` is false, a second thread otherwise."""
    took = []

    def run_timed():
        start = time.perf_counter()
        timed()
        took.append(time.perf_counter() - start)

    if call_on_main:
        stop = threading.Event()

        def loop():
            while not stop.is_set():
                busy()

        other = threading.Thread(target=loop, daemon=True)
        other.start()
        busy()  # the other thread is in its loop
        run_timed()
        stop.set()
        other.join(timeout=600)
    else:
        caller = threading.Thread(target=run_timed, daemon=True)
        caller.start()
        while caller.is_alive():
            busy()
        caller.join()
    return took[0]


@pytest.mark.heavy  # a timing; its calls are the other tests' calls at scale
@pytest.mark.parametrize("call_on_main", [False, True], ids=["call-on-thread", "call-on-main"])
def test_lock_holder_does_not_slow_a_released_call(call_on_main):
    """A call that releases the lock runs at full speed while another thread
    holds the lock in long calls: it is compared with the same call beside a
    lock-releasing neighbour of like cost (so both share the processors
    alike), best of three interleaved rounds each."""
    timed, holds, releases = _lock_holder_workload()
    expected = timed()
    held, released = [], []
    for _ in range(3):
        held.append(_time_beside(timed, holds, call_on_main))
        released.append(_time_beside(timed, releases, call_on_main))
    assert same(timed(), expected)
    assert min(held) < 1.5 * min(released), (held, released)
    log = os.environ.get("KNOTWELL_STALL_REPORT")
    if log:
        with open(log, "a") as f:
            f.write(f"{'main' if call_on_main else 'thread'} held {held} released {released}\n")


# ------------------------------------------- a large pool under an address-space cap

BIG_POOL = textwrap.dedent("""
    import json, os, resource, sys, threading
    import numpy as np
    import knotwell_rs as kw

    cap = int(sys.argv[1])
    resource.setrlimit(resource.RLIMIT_AS, (cap, resource.getrlimit(resource.RLIMIT_AS)[1]))
    e = kw.erdos_renyi_rust(3000, 15000, 1)
    before = len(os.listdir("/proc/self/task"))
    try:
        first = ("ok", float(kw.betweenness_rust(3000, e).sum()))
    except MemoryError as err:
        first = ("MemoryError", str(err))
    workers = len(os.listdir("/proc/self/task")) - before
    # Still usable: Python threads start, small calls and sweeps work.
    seen = []
    t = threading.Thread(target=lambda: seen.append(kw.erdos_renyi_rust(10, 20, 1).shape))
    t.start()
    t.join()
    small = kw.betweenness_rust(4, np.array([[0, 1], [1, 2], [2, 3]], dtype=np.uint64), None, False, False)
    print(json.dumps({"first": first, "workers": workers, "thread": seen == [(20, 2)], "small": small.tolist()}))
""")


@pytest.mark.skipif(SANITIZE, reason="the sanitizer's shadow memory does not fit under an address-space cap")
@pytest.mark.parametrize("cap_mb, outcome", [(2000, "ok"), (400, "MemoryError")])
def test_big_pool_under_an_address_space_cap(cap_mb, outcome):
    """RAYON_NUM_THREADS=1000 under `ulimit -v`: the pool keeps the workers
    that fit with room to spare (or, when none does, the sweep raises a
    MemoryError that says so); the process never aborts and stays usable."""
    env = dict(os.environ, RAYON_NUM_THREADS="1000")
    out = subprocess.run([sys.executable, "-c", BIG_POOL, str(cap_mb * 1000 * 1024)], capture_output=True,
                         text=True, timeout=600, env=env)
    assert out.returncode == 0, (out.returncode, out.stderr[-3000:])
    got = json.loads(out.stdout)
    (kind, detail), workers = got["first"], got["workers"]
    assert kind == outcome, got
    assert got["thread"] and got["small"] == [0.0, 2.0, 2.0, 0.0], got
    if outcome == "ok":
        assert 1 <= workers < 1000, got
    else:
        assert detail.startswith("could not start worker threads: "), got
        assert workers == 0, got
