"""Reference counts and process memory across many calls, succeeding and
failing, of every function; result arrays die with their last reference."""

import gc
import os
import sys
import time
import weakref

import numpy as np
import pytest

import knotwell_rs as kw
from reliability_support import ALL_FUNCTIONS, medium_calls, sample_calls

SANITIZE = bool(os.environ.get("KNOTWELL_SANITIZE"))
# AddressSanitizer keeps freed memory in quarantine: process-size checks only
# mean something in the optimised build.
rss_checked = pytest.mark.skipif(SANITIZE, reason="sanitizer build")

SMALL = sample_calls()
MEDIUM = medium_calls()


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run(fn, args):
    try:
        return fn(*args), None
    except (ValueError, MemoryError, TypeError, OverflowError) as e:
        return None, e


def fresh_int(x):
    # An int object of our own (small ints are immortal and shared).
    return int(str(x + 10**30)) - 10**30 if x > 256 else x


def arrays_and_objects(args):
    return [a for a in args if isinstance(a, np.ndarray) or (isinstance(a, int) and not isinstance(a, bool) and a > 256)]


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_reference_counts_unchanged(name):
    fn = getattr(kw, name)
    good, bad = SMALL[name]
    good = tuple(fresh_int(a) if isinstance(a, int) and not isinstance(a, bool) else a for a in good)
    # Hostile extras: wrong types at every position, so conversion fails at each parameter in turn.
    wrong = [good[:i] + ("x",) + good[i + 1:] for i in range(len(good))]
    watched = arrays_and_objects(good) + arrays_and_objects(bad) + [fn, kw]
    # Garbage from earlier tests (cycles through frames that name the module)
    # goes first, so that only references these calls take are counted.
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(50):
        result, err = run(fn, good)
        assert err is None, err
        del result
        result, err = run(fn, bad)
        assert isinstance(err, ValueError), (name, err)
        for args in wrong:
            _, err = run(fn, args)
            assert isinstance(err, TypeError), (name, args, err)
        err = None
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_result_arrays_freed_with_last_reference(name):
    result = getattr(kw, name)(*SMALL[name][0])
    arrays = [x for x in (result if isinstance(result, tuple) else (result,)) if isinstance(x, np.ndarray)]
    refs = [weakref.ref(a) for a in arrays]
    # Every non-empty result hands its buffer over to a base object that
    # must die with the array.
    owners = [a.base for a in arrays if a.size]
    assert all(b is not None and _weakrefable(b) for b in owners), [type(b) for b in owners]
    bases = [weakref.ref(b) for b in owners]
    del owners
    del result, arrays
    gc.collect()
    assert all(r() is None for r in refs + bases)


def _weakrefable(obj):
    try:
        weakref.ref(obj)
        return True
    except TypeError:
        return False


@rss_checked
@pytest.mark.parametrize("name", ALL_FUNCTIONS)
def test_process_memory_steady(name):
    """Dozens of medium calls, half failing late, grow the process by far less
    than one call's buffers would if any were kept."""
    fn = getattr(kw, name)
    good, bad = MEDIUM[name]
    for _ in range(3):  # warm up allocator arenas and the pool
        run(fn, good)
        run(fn, bad)
    t0 = time.perf_counter()
    run(fn, good)
    rounds = int(min(40, max(10, 1.0 / max(time.perf_counter() - t0, 1e-6))))
    gc.collect()
    start = rss_bytes()
    for _ in range(rounds):
        result, err = run(fn, good)
        assert err is None, err
        del result
        _, err = run(fn, bad)
        assert isinstance(err, ValueError), (name, err)
    gc.collect()
    grown = rss_bytes() - start
    assert grown < 4 * 2**20, f"{name}: process grew by {grown / 2**20:.1f} MiB over {2 * rounds} calls"


@rss_checked
def test_dropped_results_return_their_memory():
    """A large result array's buffer goes back when the array dies."""
    n, e, sources, directed = MEDIUM["shortest_paths_multi_rust"][0]
    # One call first: the worker pool's stacks and arenas and the block cache
    # are set up once per process, and are not a result's memory.
    kw.shortest_paths_multi_rust(n, e, sources, directed)
    gc.collect()
    start = rss_bytes()
    for _ in range(10):
        m = kw.shortest_paths_multi_rust(n, e, sources, directed)
        assert m.nbytes > 30 * 2**20 // 10
        del m
    gc.collect()
    assert rss_bytes() - start < 8 * 2**20
