"""Sweeps on Dask clusters on the loopback interface: the bits of one local call."""

import _thread
import os
import signal
import threading
import time

import numpy as np
import pytest

import knotwell
import knotwell_rs as kw

distributed = pytest.importorskip("distributed")
# Dask orchestration, Python code alone: the calls the workers make are the
# local tests' calls, so the sanitizer and wheel runs skip these.
pytestmark = pytest.mark.heavy

RNG = np.random.default_rng(5)
N = 500
EDGES = np.vstack([kw.erdos_renyi_rust(N - 20, 900, 4), [[3, 3], [N - 5, 1], [N - 5, 1]]]).astype(np.uint64)
WEIGHTS = RNG.choice([0.25, 0.5, 1.0, 3.0], size=len(EDGES))


def cluster(workers, threads):
    return distributed.LocalCluster(n_workers=workers, threads_per_worker=threads, processes=True,
                                    host="127.0.0.1", dashboard_address="127.0.0.1:0", env={"RAYON_NUM_THREADS": "1"})


@pytest.fixture(scope="module")
def client():
    with cluster(2, 1) as c, distributed.Client(c) as cl:
        yield cl


# Every variant of betweenness at the default batch; two at the others.
VARIANTS = [(w, d, z) for w in (None, WEIGHTS) for d in (False, True) for z in (True, False)]
FEW_VARIANTS = [(None, False, True), (WEIGHTS, True, False)]


def local_results(variants):
    return {
        "betweenness": [kw.betweenness_rust(N, EDGES, w, directed=d, normalized=z) for w, d, z in variants],
        "closeness": knotwell.closeness(N, EDGES, directed=True),
        "harmonic": knotwell.harmonic(N, EDGES),
        "mean": kw.mean_shortest_path_rust(N, EDGES),
        "estimate": knotwell.betweenness_estimate(N, EDGES, WEIGHTS, samples=77, seed=12),
    }


def cluster_results(cl, batch, variants):
    # Closeness and harmonic count their batch in sources, not pieces.
    sources = None if batch is None else 41 * batch
    return {
        "betweenness": [knotwell.betweenness(N, EDGES, w, directed=d, normalized=z, client=cl, batch=batch,
                                             progress=False) for w, d, z in variants],
        "closeness": knotwell.closeness(N, EDGES, directed=True, client=cl, batch=sources),
        "harmonic": knotwell.harmonic(N, EDGES, client=cl, batch=sources),
        "mean": knotwell.mean_shortest_path(N, EDGES, client=cl, batch=batch),
        "estimate": knotwell.betweenness_estimate(N, EDGES, WEIGHTS, samples=77, seed=12, client=cl, batch=batch),
    }


def assert_same_bits(got, expected):
    for a, b in zip(got["betweenness"], expected["betweenness"]):
        assert a.tobytes() == b.tobytes()
    for key in ("closeness", "harmonic"):
        assert got[key].tobytes() == expected[key].tobytes()
    assert got["mean"] == expected["mean"]
    assert got["estimate"].values.tobytes() == expected["estimate"].values.tobytes()
    assert got["estimate"].stderr.tobytes() == expected["estimate"].stderr.tobytes()


@pytest.mark.parametrize("batch", [None, 1, 7])
def test_cluster_gives_the_bits_of_one_call(client, batch):
    variants = VARIANTS if batch is None else FEW_VARIANTS
    assert_same_bits(cluster_results(client, batch, variants), local_results(variants))


def test_another_cluster_size_gives_the_same_bits():
    with cluster(1, 3) as c, distributed.Client(c) as cl:
        assert_same_bits(cluster_results(cl, 3, FEW_VARIANTS), local_results(FEW_VARIANTS))


def test_a_worker_killed_mid_run_changes_nothing(client):
    n = 4000
    edges = kw.erdos_renyi_rust(n, 20000, 9)
    pids = sorted(client.run(os.getpid).values())
    killed = []

    def kill():
        os.kill(pids[0], signal.SIGKILL)
        killed.append(time.monotonic())

    timer = threading.Timer(0.5, kill)
    timer.start()
    try:
        got = knotwell.betweenness(n, edges, client=client, batch=1, progress=False)
        finished = time.monotonic()
    finally:
        timer.cancel()
    assert killed and killed[0] < finished, "the run ended before the worker was killed"
    assert got.tobytes() == kw.betweenness_rust(n, edges).tobytes()
    client.wait_for_workers(2, timeout=60)


def test_a_graph_lost_with_every_worker_is_scattered_again(client):
    # Every worker killed mid-run takes every copy of the graph with it.
    n = 4000
    edges = kw.erdos_renyi_rust(n, 20000, 9)
    pids = list(client.run(os.getpid).values())
    kill = threading.Timer(0.5, lambda: [os.kill(pid, signal.SIGKILL) for pid in pids])
    kill.start()
    try:
        got = knotwell.betweenness(n, edges, client=client, batch=1, progress=False)
    finally:
        kill.join()
    client.wait_for_workers(2, timeout=60)
    assert got.tobytes() == kw.betweenness_rust(n, edges).tobytes()


def test_ctrl_c_cancels_the_pending_tasks(client):
    n = 20000
    edges = kw.erdos_renyi_rust(n, 100000, 2)
    timer = threading.Timer(1.0, _thread.interrupt_main)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            knotwell.betweenness(n, edges, client=client, batch=1, progress=False)
    finally:
        timer.cancel()

    def ours(dask_scheduler):
        return [key for key in dask_scheduler.tasks if str(key).startswith("knotwell-sweep-")]

    deadline = time.monotonic() + 30
    while client.run_on_scheduler(ours) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert client.run_on_scheduler(ours) == []


def test_bad_input_fails_before_any_task(client):
    with pytest.raises(ValueError, match="names a node id outside"):
        knotwell.betweenness(5, np.array([[0, 9]], dtype=np.uint64), client=client, progress=False)
    with pytest.raises(ValueError, match="names a node id outside"):
        knotwell.mean_shortest_path(5, np.array([[0, 9]], dtype=np.uint64), client=client)
