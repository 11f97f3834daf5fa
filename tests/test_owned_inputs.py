"""Each call works on what its arguments held when they were converted: a
later argument's conversion code, or another thread writing an array during
the call, can make the call fail with a ValueError or see the array as it
was, never crash it or mix what it checked with what it uses."""

import threading
import time
import warnings

import numpy as np
import pytest

import knotwell_rs as kw
from conftest import E


def same(a, b):
    if isinstance(a, tuple):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, np.ndarray):
        return a.dtype == b.dtype and np.array_equal(a, b, equal_nan=True)
    if isinstance(a, float):
        return a == b or (a != a and b != b)
    return a == b


# --------------------------------------------------------------------------
# Another thread rewrites the array while the call runs. np.copyto releases
# the interpreter lock while it copies, so it runs alongside functions that
# keep the lock. The bad contents name a node far out of range in every row:
# any read that mixes the two arrays must end in the range check's
# ValueError, and a read of the good array alone gives the good answer.

N = 1000
M = 300_000
RUN_SECONDS = 0.6

rng = np.random.default_rng(5)
GOOD = rng.integers(0, N, size=(M, 2), dtype=np.uint64)
BAD = GOOD + np.uint64(2**40)
GOOD_W = rng.random(M) + 0.5
BAD_W = -GOOD_W

SOURCES = np.arange(0, N, 97, dtype=np.uint64)

LOCK_KEEPING = {
    "degree_rust": lambda e, w: kw.degree_rust(N, e, False),
    "in_degree_rust": lambda e, w: kw.in_degree_rust(N, e),
    "out_degree_rust": lambda e, w: kw.out_degree_rust(N, e),
    "strength_rust": lambda e, w: kw.strength_rust(N, e, w, False),
    # n > 2m: the rows are copied as they are checked, then counted from the copy
    "degree_rust n>2m": lambda e, w: kw.degree_rust(3 * M, e, False),
    "out_degree_rust n>2m": lambda e, w: kw.out_degree_rust(3 * M, e),
    "strength_rust n>2m": lambda e, w: kw.strength_rust(3 * M, e, w, True),
    "triangles_per_node_rust": lambda e, w: kw.triangles_per_node_rust(N, e),
    "clustering_avg_rust": lambda e, w: kw.clustering_avg_rust(N, e),
    "core_numbers_rust": lambda e, w: kw.core_numbers_rust(N, e),
    "shortest_paths_rust": lambda e, w: kw.shortest_paths_rust(N, e, 3, True),
    "mean_shortest_path_rust": lambda e, w: kw.mean_shortest_path_rust(N, e[:20_000]),
    "connected_components_rust": lambda e, w: kw.connected_components_rust(N, e),
    "modularity_rust": lambda e, w: kw.modularity_rust(N, e, np.arange(N, dtype=np.uint64) % 7, w),
    "shortest_paths_multi_rust": lambda e, w: kw.shortest_paths_multi_rust(N, e, SOURCES, False),
    "betweenness_rust": lambda e, w: kw.betweenness_rust(N, e[:3_000], w[:3_000]),
}


def flip(target, good, bad, stop):
    while not stop.is_set():
        np.copyto(target, bad)
        np.copyto(target, good)


REWRITTEN = [(name, "edges") for name in LOCK_KEEPING] + [
    (name, "weights") for name in ("strength_rust", "strength_rust n>2m", "modularity_rust", "betweenness_rust")]


# Calls whose own input has one bad row late in the rows, or one bad weight
# early and a bad row late, under the same rewriting. The error named must be
# one that some single reading of each row could give: the bad row (or bad
# weight) of the input as given, or a row of the rewritten contents with the
# values that those hold, at or before it.
LATE = 250_000
HALF_BAD = [
    ("degree_rust", lambda e, w: kw.degree_rust(N, e, False)),
    ("in_degree_rust", lambda e, w: kw.in_degree_rust(N, e)),
    ("degree_rust n>2m", lambda e, w: kw.degree_rust(3 * M, e, True)),
    ("strength_rust", lambda e, w: kw.strength_rust(N, e, w, False)),
    ("strength_rust n>2m", lambda e, w: kw.strength_rust(3 * M, e, w, False)),
]


@pytest.mark.parametrize("name, call", HALF_BAD, ids=[name for name, _ in HALF_BAD])
@pytest.mark.parametrize("which", ["edges", "weights"])
def test_bad_row_named_as_read_while_rewritten(name, call, which):
    if which == "weights" and not name.startswith("strength"):
        pytest.skip("no weights")
    n = 3 * M if "n>2m" in name else N
    good_e, good_w = GOOD.copy(), GOOD_W.copy()
    good_e[LATE, 1] = n + 7
    good_w[5] = -1.0
    bad_e = good_e.copy()
    bad_e[LATE // 2 :] += np.uint64(2**40)
    bad_w = good_w.copy()
    bad_w[1] = float("nan")
    edges, weights = good_e.copy(), good_w.copy()
    target, good, bad = (edges, good_e, bad_e) if which == "edges" else (weights, good_w, bad_w)
    allowed = {f"edge {LATE} ({good_e[LATE, 0]}, {n + 7})"}
    if which == "edges":
        # The writer copies element by element, so a row read once may be
        # torn: either id from either version.
        allowed |= {f"edge {i} ({s}, {t})" for i in range(LATE // 2, LATE + 1)
                    for s in {int(good_e[i, 0]), int(bad_e[i, 0])} for t in {int(good_e[i, 1]), int(bad_e[i, 1])}
                    if s >= n or t >= n}
    stop = threading.Event()
    writer = threading.Thread(target=flip, args=(target, good, bad, stop), daemon=True)
    writer.start()
    calls = 0
    try:
        deadline = time.monotonic() + RUN_SECONDS
        while time.monotonic() < deadline:
            with pytest.raises(ValueError) as info:
                call(edges, weights)
            head = str(info.value).split(" names")[0]
            assert head in allowed, (name, str(info.value))
            calls += 1
    finally:
        stop.set()
        writer.join()
    assert calls > 0


@pytest.mark.parametrize("name, which", REWRITTEN)
def test_array_rewritten_by_another_thread(name, which):
    call = LOCK_KEEPING[name]
    expected = call(GOOD.copy(), GOOD_W.copy())
    edges, weights = GOOD.copy(), GOOD_W.copy()
    target, good, bad = (edges, GOOD, BAD) if which == "edges" else (weights, GOOD_W, BAD_W)
    stop = threading.Event()
    writer = threading.Thread(target=flip, args=(target, good, bad, stop), daemon=True)
    writer.start()
    outcomes = {"good": 0, "error": 0}
    try:
        deadline = time.monotonic() + RUN_SECONDS
        while time.monotonic() < deadline:
            try:
                got = call(edges, weights)
            except ValueError:
                outcomes["error"] += 1
                continue
            assert same(got, expected), name
            outcomes["good"] += 1
    finally:
        stop.set()
        writer.join()
    assert sum(outcomes.values()) > 0


# --------------------------------------------------------------------------
# A later argument's conversion code changes an array converted before it.


class Mutates:
    """Converts to `value` (as an index or a float), running `change` first."""

    def __init__(self, change, value):
        self.change, self.value = change, value

    def __index__(self):
        self.change()
        return self.value

    def __float__(self):
        self.change()
        return float(self.value)


def to_scalar(a):
    a.resize((), refcheck=False)


def to_flat(a):
    a.resize((a.size,), refcheck=False)


def to_empty(a):
    a.resize((0, 2) if a.ndim == 2 else (0,), refcheck=False)


def to_other_dtype(a):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        a.dtype = np.int64


PATH = [(0, 1), (1, 2), (2, 3), (3, 0), (0, 2)]
LABELS = [0, 0, 1, 1]
WEIGHTS = [1.0, 2.0, 3.0, 1.5, 0.5]

# (function, the array the hostile argument changes, a call given the three
# arrays and the hostile argument, the hostile argument's plain value).
LATER_CONVERSIONS = [
    ("shortest_paths_rust", "edges", lambda e, l, w, h: kw.shortest_paths_rust(4, e, h, False), 1),
    ("rewire_degree_preserving_rust", "edges",
     lambda e, l, w, h: kw.rewire_degree_preserving_rust(4, e, 2, 3, 50, h), 9),
    ("louvain_rust", "edges", lambda e, l, w, h: kw.louvain_rust(4, e, w, h, 3, 20), 1.0),
    ("louvain_rust", "weights", lambda e, l, w, h: kw.louvain_rust(4, e, w, 1.0, h, 20), 3),
    ("louvain_rust", "weights", lambda e, l, w, h: kw.louvain_rust(4, e, w, h, 3, 20), 1.0),
    ("label_propagation_rust", "edges", lambda e, l, w, h: kw.label_propagation_rust(4, e, w, h, 100), 5),
    ("label_propagation_rust", "weights", lambda e, l, w, h: kw.label_propagation_rust(4, e, w, 5, h), 100),
    ("modularity_rust", "edges", lambda e, l, w, h: kw.modularity_rust(4, e, l, w, h), 1.0),
    ("modularity_rust", "labels", lambda e, l, w, h: kw.modularity_rust(4, e, l, w, h), 1.0),
    ("modularity_rust", "weights", lambda e, l, w, h: kw.modularity_rust(4, e, l, w, h), 1.0),
]


@pytest.mark.parametrize("change", [to_scalar, to_flat, to_empty, to_other_dtype])
@pytest.mark.parametrize("name, which, call, value", LATER_CONVERSIONS,
                         ids=[f"{c[0]}-{c[1]}-{i}" for i, c in enumerate(LATER_CONVERSIONS)])
def test_later_conversion_cannot_change_an_earlier_array(name, which, call, value, change):
    arrays = {"edges": E(PATH), "labels": np.array(LABELS, np.uint64), "weights": np.array(WEIGHTS)}
    expected = call(arrays["edges"].copy(), arrays["labels"].copy(), arrays["weights"].copy(), value)
    victim = arrays[which]
    got = call(arrays["edges"], arrays["labels"], arrays["weights"], Mutates(lambda: change(victim), value))
    assert same(got, expected)


def test_shape_reported_as_converted():
    # A [6, 8] array flattened by a later conversion is still reported with
    # the shape it had, not with its stride.
    edges = np.zeros((6, 8), np.uint64)
    with pytest.raises(ValueError) as info:
        kw.shortest_paths_rust(3, edges, Mutates(lambda: to_flat(edges), 0), False)
    assert str(info.value) == "edges must have shape [m, 2], got [6, 8]"


# --------------------------------------------------------------------------
# A signal handler frees the array while a function that keeps the lock reads
# it. Handlers run at the call's polls, so no poll may come while caller
# memory is still being read: the call must see the array as it was. Each
# call runs in a fresh process, so a crash is reported, not suffered.

SIGNAL_CHILD = r"""
import signal, sys, time
import numpy as np
import knotwell_rs as kw
name = sys.argv[1]
n = 1000
rng = np.random.default_rng(3)
good = rng.integers(0, n, size=(4_000_000, 2), dtype=np.uint64)
weights = rng.random(len(good)) + 0.5
labels = np.arange(n, dtype=np.uint64) % 7  # made here: nothing may run between the timer and the call
calls = {
    "degree_rust": lambda e, w: kw.degree_rust(n, e, False),
    "strength_rust": lambda e, w: kw.strength_rust(n, e, w, False),
    "degree_rust n>2m": lambda e, w: kw.degree_rust(9_000_000, e, True),
    "strength_rust n>2m": lambda e, w: kw.strength_rust(9_000_000, e, w, True),
    "shortest_paths_rust": lambda e, w: kw.shortest_paths_rust(n, e, 3, False),
    "mean_shortest_path_rust": lambda e, w: kw.mean_shortest_path_rust(n, e),
    "connected_components_rust": lambda e, w: kw.connected_components_rust(n, e),
    "core_numbers_rust": lambda e, w: kw.core_numbers_rust(n, e),
    "modularity_rust": lambda e, w: kw.modularity_rust(n, e, labels, w),
}
call = calls[name]
expected = call(good.copy(), weights.copy())
for delay in (0.0002, 0.001, 0.005, 0.01, 0.025):
    e, w = good.copy(), weights.copy()
    time.sleep(0.05)  # past the poll interval: the call's first poll is due at once
    def free(*_):
        e.resize((1, 2), refcheck=False)
        w.resize((1,), refcheck=False)
    signal.signal(signal.SIGALRM, free)
    signal.setitimer(signal.ITIMER_REAL, delay)
    try:
        got = call(e, w)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
    if isinstance(got, tuple):
        ok = got[0] == expected[0] and np.array_equal(got[1], expected[1])
    else:
        ok = np.array_equal(np.asarray(got), np.asarray(expected), equal_nan=True)
    assert ok, (name, delay)
print("ok")
"""

IN_PLACE_READERS = ["degree_rust", "strength_rust", "degree_rust n>2m", "strength_rust n>2m", "shortest_paths_rust", "mean_shortest_path_rust",
                    "connected_components_rust", "core_numbers_rust", "modularity_rust"]


@pytest.mark.parametrize("name", IN_PLACE_READERS)
def test_signal_handler_frees_the_array_mid_call(name):
    import subprocess
    import sys

    out = subprocess.run([sys.executable, "-X", "faulthandler", "-c", SIGNAL_CHILD, name],
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0 and out.stdout.strip() == "ok", out.stderr[-3000:]
