"""Ctrl-C during long calls.

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

from conftest import SANITIZE, run_native

INTERRUPTS = int(os.environ.get("KNOTWELL_INTERRUPTS", "3"))

CHILD = textwrap.dedent("""
    import json, os, sys, time
    import numpy as np
    import knotwell_rs as kw

    case = sys.argv[1]
    rounds = int(sys.argv[2])
    rng = np.random.default_rng(0)

    def edges(n, m):
        return rng.integers(0, n, size=(m, 2), dtype=np.uint64)

    # case: (long call, small call of the same function). Every long call
    # runs for many seconds on any machine (its size says so, not a timing),
    # so the signal always lands inside it.
    def cases():
        if case in ("betweenness_rust", "betweenness_weighted", "mean_shortest_path_rust"):
            n = 400000 if case == "mean_shortest_path_rust" else 150000
            e = edges(n, n)
            w = np.linspace(1.0, 2.0, n) if case == "betweenness_weighted" else None
            small = e[: n // 50] % np.uint64(n // 50)
            if case == "mean_shortest_path_rust":
                return lambda: kw.mean_shortest_path_rust(n, e), lambda: kw.mean_shortest_path_rust(n // 50, small)
            ws = None if w is None else w[: n // 50]
            return lambda: kw.betweenness_rust(n, e, w), lambda: kw.betweenness_rust(n // 50, small, ws)
        if case == "shortest_paths_multi_rust":
            # directed: every search walks all 2M arcs; 2048 of them
            e = edges(10000, 2_000_000)
            return (lambda: kw.shortest_paths_multi_rust(10000, e, np.arange(2048, dtype=np.uint64), True),
                    lambda: kw.shortest_paths_multi_rust(10000, e[:5000], np.arange(8, dtype=np.uint64), True))
        if case == "erdos_renyi_rust":
            # the complete graph by rejection: a coupon collector's tail
            return (lambda: kw.erdos_renyi_rust(3000, 3000 * 2999 // 2, 1),
                    lambda: kw.erdos_renyi_rust(300, 2000, 1))
        if case == "configuration_model_rust":
            return (lambda: kw.configuration_model_rust(np.full(3_000_000, 10, np.uint64), 1),
                    lambda: kw.configuration_model_rust(np.full(3000, 10, np.uint64), 1))
        if case == "label_propagation_rust":
            e = edges(1_000_000, 4_000_000)
            return (lambda: kw.label_propagation_rust(1_000_000, e, seed=1),
                    lambda: kw.label_propagation_rust(1000, e[:4000] % np.uint64(1000), seed=1))
        if case == "louvain_rust":
            e = edges(200_000, 1_000_000)
            return (lambda: kw.louvain_rust(200_000, e, seed=1),
                    lambda: kw.louvain_rust(1000, e[:5000] % np.uint64(1000), seed=1))
        if case == "triangles_per_node_rust":
            e = edges(20000, 8_000_000)
            return lambda: kw.triangles_per_node_rust(20000, e), lambda: kw.triangles_per_node_rust(200, e[:4000] % np.uint64(200))
        if case == "core_numbers_rust":
            # the build's arc passes over 32M arcs, between which nothing polled
            e = edges(2_000_000, 16_000_000)
            return (lambda: kw.core_numbers_rust(2_000_000, e),
                    lambda: kw.core_numbers_rust(2000, e[:16000] % np.uint64(2000)))
        if case == "connected_components_rust":
            # the graph build is the whole call
            e = edges(8_000_000, 16_000_000)
            return (lambda: kw.connected_components_rust(8_000_000, e),
                    lambda: kw.connected_components_rust(8000, e[:16000] % np.uint64(8000)))
        raise SystemExit(f"unknown case {case}")

    long_call, small_call = cases()

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    def say(**fields):
        print(json.dumps(fields), flush=True)

    def same(x, y):
        if isinstance(x, tuple):
            return all(same(p, q) for p, q in zip(x, y))
        return bool(np.array_equal(np.asarray(x), np.asarray(y), equal_nan=True))

    reference = small_call()
    for r in range(rounds):
        say(event="go", at=time.monotonic())
        try:
            long_call()
            say(event="finished", at=time.monotonic())
            sys.exit(0)
        except KeyboardInterrupt:
            stopped = time.monotonic()
        say(event="interrupted", at=stopped, healthy=same(small_call(), reference), rss=rss())
    say(event="done")
""")

# Pool sweeps (whose pieces, 1/256 of the sources, each take seconds while one
# source takes milliseconds, so a prompt stop shows that workers end after
# their current source), then the long loops on the calling thread, with the
# lock released (generators, communities) or held (triangles, the graph build
# of components).
CASES = [
    ("betweenness_rust", "betweenness_rust"),
    ("betweenness_weighted", "betweenness_rust"),
    ("mean_shortest_path_rust", "mean_shortest_path_rust"),
    ("shortest_paths_multi_rust", "shortest_paths_multi_rust"),
    ("erdos_renyi_rust", "erdos_renyi_rust"),
    ("configuration_model_rust", "configuration_model_rust"),
    ("label_propagation_rust", "label_propagation_rust"),
    ("louvain_rust", "louvain_rust"),
    ("triangles_per_node_rust", "triangles_per_node_rust"),
    ("connected_components_rust", "connected_components_rust"),
    ("core_numbers_rust", "core_numbers_rust"),
]


def interrupt_rounds(case, rounds, delay=0.5):
    # Without the scratch cache, which keeps up to 64 MiB of freed blocks by
    # design and fills over the first rounds: the resident size then shows
    # the call's own buffers only.
    env = {**os.environ, "KNOTWELL_SCRATCH_CACHE": "0"}
    child = subprocess.Popen([sys.executable, "-c", CHILD, case, str(rounds)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
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


@pytest.mark.parametrize("case, function", CASES, ids=[c[0] for c in CASES])
def test_sigint_stops_a_long_call(case, function):
    child, events, latencies = interrupt_rounds(case, INTERRUPTS)
    assert child.returncode == 0, child.stderr.read()[-3000:]
    stops = [e for e in events if e["event"] == "interrupted"]
    assert len(stops) == INTERRUPTS, events
    assert all(e["healthy"] for e in stops), events
    # Polls come every 20 ms; then running pieces finish their current index
    # and the call's buffers are freed.
    assert max(latencies) < (10.0 if SANITIZE else 1.0), latencies
    if not SANITIZE:
        assert stops[-1]["rss"] - stops[0]["rss"] < 64 * 2**20, stops
    log = os.environ.get("KNOTWELL_INTERRUPT_REPORT")
    if log:
        with open(log, "a") as f:
            f.write(json.dumps({"case": case, "latencies": latencies}) + "\n")


# ------------------------------------------------------------ native checks

POLLED = ["erdos_renyi", "configuration_model", "label_propagation", "louvain", "weighted_graph", "adjacency",
          "triangles", "core_numbers", "components", "shortest_paths_multi", "mean_shortest_path", "betweenness",
          "rewire", "rewire_one"]


def test_every_long_loop_stops_at_any_poll(native_checkers):
    """Each algorithm, run under a poll hook: never stopping gives the same bits
    as no hook; stopping at the first, a middle or the last poll throws
    Interrupted from wherever that poll is; the next run is unaffected."""
    out = run_native(native_checkers, "interrupt_check")
    polls = {line.split()[0]: int(line.split()[1]) for line in out.splitlines()}
    assert sorted(polls) == sorted(POLLED)
    assert all(count >= 2 for count in polls.values()), polls


# ------------------------------------------------ cancelling calls on other threads

def _long_calls():
    """name -> (long call, small call of the same function): each long call
    runs for many seconds on any machine; a lock-releasing loop on the
    calling thread (louvain, G(n, m)) or a pool sweep waited on by the
    calling thread (betweenness, rewiring)."""
    import numpy as np
    import knotwell_rs as kw
    rng = np.random.default_rng(5)
    e = rng.integers(0, 200_000, size=(1_000_000, 2), dtype=np.uint64)
    b = rng.integers(0, 150_000, size=(150_000, 2), dtype=np.uint64)
    r = rng.integers(0, 100_000, size=(400_000, 2), dtype=np.uint64)
    s = np.unique(np.sort(r[r[:, 0] != r[:, 1]], axis=1), axis=0)
    small = e[:5000] % np.uint64(1000)
    return {
        "louvain_rust": (lambda: kw.louvain_rust(200_000, e, seed=1), lambda: kw.louvain_rust(1000, small, seed=1)),
        "erdos_renyi_rust": (lambda: kw.erdos_renyi_rust(3000, 3000 * 2999 // 2, 1),
                             lambda: kw.erdos_renyi_rust(300, 2000, 1)),
        "betweenness_rust": (lambda: kw.betweenness_rust(150_000, b), lambda: kw.betweenness_rust(1000, small)),
        "rewire_degree_preserving_rust": (lambda: kw.rewire_degree_preserving_rust(100_000, s, 4, 10**12, 10**12, 1),
                                          lambda: kw.rewire_degree_preserving_rust(100_000, s[:2000], 2, 500, 5000, 1)),
    }


@pytest.mark.parametrize("name", ["louvain_rust", "erdos_renyi_rust", "betweenness_rust",
                                  "rewire_degree_preserving_rust"])
def test_cancel_scope_stops_a_call_on_its_thread(name):
    """A call on a thread of its own, inside a cancel scope, ends in
    KeyboardInterrupt within a second of `cancel()`; a bystander thread making
    the same kind of call in a scope of its own is not affected; both threads
    then get the right answers from small calls, and the main thread too."""
    import threading
    from reliability_support import same
    from knotwell._cancel import CancelScope

    long_call, small_call = _long_calls()[name]
    reference = small_call()
    victim, bystander = CancelScope(), CancelScope()
    inside = threading.Barrier(3)
    outcome = {}

    def run(label, scope, call):
        with scope:
            inside.wait()
            try:
                call()
                outcome[label] = ("finished", time.monotonic())
            except KeyboardInterrupt:
                outcome[label] = ("cancelled", time.monotonic())
        outcome[label + "/after"] = same(small_call(), reference)

    # The bystander's call is short but long enough to poll many times.
    threads = [threading.Thread(target=run, args=("victim", victim, long_call), daemon=True),
               threading.Thread(target=run, args=("bystander", bystander, lambda: [small_call() for _ in range(20)]),
                                daemon=True)]
    for t in threads:
        t.start()
    inside.wait()
    time.sleep(0.5)
    sent = time.monotonic()
    victim.cancel()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads)
    assert outcome["victim"][0] == "cancelled", outcome
    assert outcome["victim"][1] - sent < (10.0 if SANITIZE else 1.0), outcome
    assert outcome["bystander"][0] == "finished" and not bystander.cancelled, outcome
    assert outcome["victim/after"] and outcome["bystander/after"], outcome
    assert same(small_call(), reference)


def test_cancel_scope_rules():
    """Cancelling before entry stops the first poll; a closed scope cannot be
    cancelled into anything; scopes close innermost first, on their thread."""
    import threading
    import knotwell_rs as kw
    from knotwell._cancel import CancelScope

    early = CancelScope()
    early.cancel()
    with early, pytest.raises(KeyboardInterrupt):
        kw.erdos_renyi_rust(3000, 3000 * 2999 // 2, 1)
    early.cancel()  # closed: no effect
    assert kw.erdos_renyi_rust(10, 20, 1).shape == (20, 2)

    outer, inner = CancelScope(), CancelScope()
    with outer:
        with inner:
            outer.cancel()  # an outer scope covers the calls of the inner ones
            with pytest.raises(KeyboardInterrupt):
                kw.erdos_renyi_rust(3000, 3000 * 2999 // 2, 1)
        with pytest.raises(RuntimeError):
            inner.__enter__()  # entered once only
    mixed, other = CancelScope(), CancelScope()
    mixed.__enter__()
    other.__enter__()
    with pytest.raises(RuntimeError):
        mixed.__exit__(None, None, None)  # not the innermost
    errors = []
    t = threading.Thread(target=lambda: errors.append(pytest.raises(RuntimeError, other.__exit__, None, None, None)))
    t.start()
    t.join()
    other.__exit__(None, None, None)
    mixed.__exit__(None, None, None)
    assert len(errors) == 1
    assert kw.erdos_renyi_rust(10, 20, 1).shape == (20, 2)


# ------------------------------------------- signals during a call on the main thread

SIGNALLED = textwrap.dedent("""
    import json, signal, socket, sys, threading, time, _thread
    import numpy as np
    import knotwell_rs as kw

    case = sys.argv[1]
    rng = np.random.default_rng(0)
    e = rng.integers(0, 200_000, size=(1_000_000, 2), dtype=np.uint64)
    long_call = lambda: kw.louvain_rust(200_000, e, seed=1)

    class Alarm(Exception):
        pass

    def raise_alarm(*args):
        raise Alarm()

    report = {}
    if case == "interrupt_main":
        threading.Timer(0.3, _thread.interrupt_main).start()
    elif case == "handler_runs_during_call":
        hits = []
        signal.signal(signal.SIGALRM, lambda *a: hits.append(time.monotonic()))
        signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
        # Long enough for several ticks of the timer (Louvain on a G(n, m)
        # graph of this size takes about a second).
        small = e[:600_000] % np.uint64(60_000)
        start = time.monotonic()
        labels = kw.louvain_rust(60_000, small, seed=1)
        end = time.monotonic()
        signal.setitimer(signal.ITIMER_REAL, 0)
        report["during"] = sum(start < t < end - 0.01 for t in hits)
        report["elapsed"] = end - start
        report["same"] = bool(np.array_equal(labels[0], kw.louvain_rust(60_000, small, seed=1)[0]))
        print(json.dumps(report))
        sys.exit(0)
    else:
        signal.signal(signal.SIGALRM, raise_alarm)
        if case == "own_wakeup_fd":
            r, w = socket.socketpair()
            r.setblocking(False)
            w.setblocking(False)
            signal.set_wakeup_fd(w.fileno(), warn_on_full_buffer=False)
        signal.setitimer(signal.ITIMER_REAL, 0.3)
    start = time.monotonic()
    try:
        long_call()
        report["outcome"] = "finished"
    except (Alarm, KeyboardInterrupt) as err:
        report["outcome"] = type(err).__name__
    report["late"] = time.monotonic() - start - 0.3
    if case == "own_wakeup_fd":
        report["restored"] = signal.set_wakeup_fd(-1) == w.fileno()
        report["bytes"] = list(r.recv(16))
    print(json.dumps(report))
""")


@pytest.mark.parametrize("case, outcome", [("alarm", "Alarm"), ("interrupt_main", "KeyboardInterrupt"),
                                           ("own_wakeup_fd", "Alarm"), ("handler_runs_during_call", None)])
def test_signals_reach_a_released_call_on_the_main_thread(case, outcome):
    """The main thread's lock-releasing call learns of every signal with a
    Python handler (not only SIGINT), and of interrupt_main(), without
    polling the lock: a raising handler ends the call promptly; a wakeup fd
    the program set keeps getting its bytes and is put back; a handler that
    does not raise runs during the call, which then completes unchanged."""
    out = subprocess.run([sys.executable, "-c", SIGNALLED, case], capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stderr[-3000:]
    got = json.loads(out.stdout)
    if outcome is None:
        assert got["same"] and got["during"] >= 3, got
        return
    assert got["outcome"] == outcome, got
    assert got["late"] < (10.0 if SANITIZE else 1.0), got
    if case == "own_wakeup_fd":
        assert got["restored"] and got["bytes"] == [14], got  # SIGALRM's number, passed on
