"""Many Python threads calling every function at once.

Eight threads run every function's calls (succeeding ones, ones that fail a
content check, sweeps that fail midway, allocations that fail) in shuffled
order, repeatedly; each result must equal the single-threaded one bit for bit
and each failure must be the single-threaded failure. A wedged pool shows up
as threads that never finish.
"""

import os
import pickle
import random
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import knotwell_rs as kw
from reliability_support import ALL_FUNCTIONS, E, U64_MAX, built, medium_calls, same, sample_calls

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
    return [c for c in calls if built(c[1])]


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
    if not calls:
        pytest.skip("no function built")
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


@pytest.mark.skipif(SANITIZE, reason="address-space limits do not mix with the sanitizer's shadow memory")
def test_memory_exhausted_midway_through_sweeps():
    """With the address space capped, sweeps whose per-source rows or
    per-piece workspaces run out of memory part-way fail with MemoryError on
    every thread, and the pool then still answers correctly."""
    if not built("shortest_paths_multi_rust"):
        pytest.skip("shortest_paths_multi_rust not built")
    code = textwrap.dedent("""
        import resource, threading, numpy as np, knotwell_rs as kw
        e = np.array([(i, i + 1) for i in range(99)], dtype=np.uint64)
        ok = kw.shortest_paths_multi_rust(100, e, np.arange(100, dtype=np.uint64), False)
        # Rows of 8 MB each: about 250 of them fit under the cap, not 2000.
        n = 10**6
        big = np.array([(0, 1)], dtype=np.uint64)
        src = np.zeros(2000, dtype=np.uint64)
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        with open("/proc/self/statm") as f:
            vm = int(f.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (vm + 2 * 2**30, hard))
        results = []
        def hit():
            for _ in range(3):
                try:
                    kw.shortest_paths_multi_rust(n, big, src, False)
                    results.append("ok")
                except MemoryError:
                    results.append("MemoryError")
        ts = [threading.Thread(target=hit) for _ in range(8)]
        [t.start() for t in ts]
        [t.join() for t in ts]
        again = kw.shortest_paths_multi_rust(100, e, np.arange(100, dtype=np.uint64), False)
        print(sorted(set(results)), bool((again == ok).all()))
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stderr[-2000:]
    assert out.stdout.split() == ["['MemoryError']", "True"], out.stdout


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
