"""Ctrl-C during long sweeps.

The test process starts a child that makes a long call, sends it SIGINT from
outside (a thread of the child could not: a call that keeps the interpreter
lock would stop it from running), and expects the call to end in
KeyboardInterrupt soon after the signal; the child must stay healthy (the
next call gives the uninterrupted result, memory does not pile up over
repeated interrupts).
"""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from reliability_support import built

SANITIZE = bool(os.environ.get("KNOTWELL_SANITIZE"))
INTERRUPTS = int(os.environ.get("KNOTWELL_INTERRUPTS", "3"))

CHILD = textwrap.dedent("""
    import json, os, sys, time
    import numpy as np
    import knotwell_rs as kw

    name, n, m, rounds = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
    rng = np.random.default_rng(0)
    edges = rng.integers(0, n, size=(m, 2)).astype(np.uint64)
    calls = {
        "betweenness_rust": lambda: kw.betweenness_rust(n, edges),
        "betweenness_weighted": lambda: kw.betweenness_rust(n, edges, np.linspace(1.0, 2.0, m)),
        "mean_shortest_path_rust": lambda: kw.mean_shortest_path_rust(n, edges),
        "shortest_paths_multi_rust": lambda: kw.shortest_paths_multi_rust(
            n, edges, np.arange(256, dtype=np.uint64), False),
    }
    k = n // 50
    small_edges = edges[: m // 50] % np.uint64(k)
    small = {
        "betweenness_rust": lambda: kw.betweenness_rust(k, small_edges),
        "betweenness_weighted": lambda: kw.betweenness_rust(k, small_edges, np.linspace(1.0, 2.0, m // 50)),
        "mean_shortest_path_rust": lambda: kw.mean_shortest_path_rust(k, small_edges),
        "shortest_paths_multi_rust": lambda: kw.shortest_paths_multi_rust(
            k, small_edges, np.arange(k, dtype=np.uint64), False),
    }

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    def say(**fields):
        print(json.dumps(fields), flush=True)

    reference = small[name]()
    for r in range(rounds):
        say(event="go", at=time.monotonic())
        try:
            calls[name]()
            say(event="finished", at=time.monotonic())
            sys.exit(0)
        except KeyboardInterrupt:
            stopped = time.monotonic()
        again = small[name]()
        same = bool(np.array_equal(np.asarray(again), np.asarray(reference), equal_nan=True))
        say(event="interrupted", at=stopped, healthy=same, rss=rss())
    say(event="done")
""")

# Sizes whose full call runs for many seconds, so the signal lands mid-sweep.
CASES = [
    ("betweenness_rust", "betweenness_rust", 15000, 45000),
    ("betweenness_weighted", "betweenness_rust", 15000, 45000),
    ("mean_shortest_path_rust", "mean_shortest_path_rust", 60000, 180000),
    ("shortest_paths_multi_rust", "shortest_paths_multi_rust", 150000, 450000),
]


def interrupt_rounds(case, n, m, rounds, delay=0.5):
    child = subprocess.Popen([sys.executable, "-c", CHILD, case, str(n), str(m), str(rounds)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    events, latencies = [], []
    try:
        for line in child.stdout:
            event = json.loads(line)
            events.append(event)
            if event["event"] == "go":
                time.sleep(delay)
                sent = time.monotonic()
                child.send_signal(signal.SIGINT)
            elif event["event"] == "interrupted":
                latencies.append(event["at"] - sent)
            elif event["event"] in ("finished", "done"):
                break
        child.wait(timeout=600)
    finally:
        if child.poll() is None:
            child.kill()
    return child, events, latencies


@pytest.mark.parametrize("case, function, n, m", CASES, ids=[c[0] for c in CASES])
def test_sigint_stops_a_long_sweep(case, function, n, m):
    if not built(function):
        pytest.skip(f"{function} not built")
    if SANITIZE:
        n, m = n // 4, m // 4
    child, events, latencies = interrupt_rounds(case, n, m, INTERRUPTS)
    assert child.returncode == 0, child.stderr.read()[-3000:]
    stops = [e for e in events if e["event"] == "interrupted"]
    assert len(stops) == INTERRUPTS, events
    assert all(e["healthy"] for e in stops), events
    # Polls come every 20 ms; then running pieces finish their current index
    # (or their whole piece, where the body does not look at the stop flag).
    assert max(latencies) < (10.0 if SANITIZE else 2.0), latencies
    if not SANITIZE:
        assert stops[-1]["rss"] - stops[0]["rss"] < 64 * 2**20, stops
    log = os.environ.get("KNOTWELL_INTERRUPT_REPORT")
    if log:
        with open(log, "a") as f:
            f.write(json.dumps({"case": case, "latencies": latencies}) + "\n")
