"""Null-model ensembles on a two-process Dask cluster on the loopback interface."""

import _thread
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import knotwell as ke
import knotwell_rs as kw
from knotwell import statistics as st

distributed = pytest.importorskip("distributed")
# Dask orchestration, Python code alone: the calls the workers make are the
# local tests' calls, so the sanitizer and wheel runs skip these.
pytestmark = pytest.mark.heavy

U64 = np.uint64
N = 60
EDGES = kw.erdos_renyi_rust(N, 240, 8)
STATISTIC = st.Combined(st.average_clustering, st.transitivity, st.degree_assortativity)


@pytest.fixture(scope="module")
def client():
    # One native pool thread per worker thread, so two workers do not oversubscribe two cores.
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                       dashboard_address=None, env={"RAYON_NUM_THREADS": "1"})
    with cluster, distributed.Client(cluster) as c:
        yield c


def pool_size_setting():
    return os.environ.get("RAYON_NUM_THREADS")


def test_workers_see_their_pool_size(client):
    assert set(client.run(pool_size_setting).values()) == {"1"}


@pytest.mark.parametrize("model", ke.MODELS)
@pytest.mark.parametrize("batch", [None, 1, 7])
def test_cluster_gives_the_local_null(client, model, batch):
    kwargs = dict(model=model, samples=30, seed=77, swaps_per_edge=2, progress=False)
    local = ke.null_model(N, EDGES, STATISTIC, **kwargs)
    remote = ke.null_model(N, EDGES, STATISTIC, client=client, batch=batch, **kwargs)
    assert np.array_equal(remote.null, local.null, equal_nan=True)
    assert remote.observed.tolist() == local.observed.tolist()
    for name in ("swaps", "attempts", "discarded"):
        assert np.array_equal(getattr(remote, name), getattr(local, name)) or getattr(local, name) is None


class KillWorkerOnce:
    """Kills the worker process it first runs in (in the middle of a task), then measures normally."""

    def __init__(self, marker):
        self.marker = str(marker)

    def __call__(self, n, edges):
        try:
            distributed.get_worker()
        except ValueError:
            pass  # the calling process: observed value and sample 0
        else:
            try:
                os.close(os.open(self.marker, os.O_CREAT | os.O_EXCL))
                os.kill(os.getpid(), signal.SIGKILL)
            except FileExistsError:
                pass
        return STATISTIC(n, edges)


def test_a_worker_killed_mid_run_changes_nothing(client, tmp_path):
    kwargs = dict(samples=40, seed=3, progress=False)
    before = set(client.run(os.getpid).values())
    remote = ke.null_model(N, EDGES, KillWorkerOnce(tmp_path / "killed"), client=client, batch=4, **kwargs)
    assert (tmp_path / "killed").exists()
    client.wait_for_workers(2, timeout=60)
    assert set(client.run(os.getpid).values()) != before
    local = ke.null_model(N, EDGES, STATISTIC, **kwargs)
    assert np.array_equal(remote.null, local.null, equal_nan=True)


def slow_clustering(n, edges):
    time.sleep(0.2)
    return kw.clustering_avg_rust(n, edges)


def test_a_payload_lost_with_every_worker_is_scattered_again(client):
    # Every worker killed mid-run takes every copy of the scattered edges:
    # the batches that needed them run again on a new copy.
    kwargs = dict(samples=30, seed=5, progress=False)
    pids = list(client.run(os.getpid).values())
    kill = threading.Timer(1.5, lambda: [os.kill(pid, signal.SIGKILL) for pid in pids])
    kill.start()
    try:
        remote = ke.null_model(N, EDGES, slow_clustering, client=client, batch=2, **kwargs)
    finally:
        kill.join()
    client.wait_for_workers(2, timeout=60)
    local = ke.null_model(N, EDGES, kw.clustering_avg_rust, **kwargs)
    assert np.array_equal(remote.null, local.null, equal_nan=True)


def ours_on_scheduler(dask_scheduler):
    return [key for key in dask_scheduler.tasks if str(key).startswith("knotwell-null-")]


def ours_on_worker(dask_worker):
    return [key for key in dask_worker.state.tasks if str(key).startswith("knotwell-null-")]


def timed_run(client, samples):
    began = time.perf_counter()
    ke.null_model(N, EDGES, slow_clustering, samples=samples, client=client, progress=False)
    return time.perf_counter() - began


# A fixed batch of 50 takes 10 s: its running tasks must stop between samples.
@pytest.mark.parametrize("batch", [2, 50, None])
def test_ctrl_c_cancels_queued_and_running_work(client, batch):
    fresh = timed_run(client, 11)
    timer = threading.Timer(2.0, _thread.interrupt_main)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            ke.null_model(N, EDGES, slow_clustering, samples=400, batch=batch, client=client, progress=False)
        interrupted = time.monotonic()
    finally:
        timer.cancel()
    deadline = interrupted + 5
    while (client.run_on_scheduler(ours_on_scheduler) or any(client.run(ours_on_worker).values())) \
            and time.monotonic() < deadline:
        time.sleep(0.05)
    assert client.run_on_scheduler(ours_on_scheduler) == []
    assert not any(client.run(ours_on_worker).values())
    # The client is as quick as before: nothing of the cancelled run holds a thread.
    assert timed_run(client, 11) < 2 * fresh + 0.5


class Timeline:
    """Stands in for the progress bar and notes when each update came."""

    updates: list = []

    def __init__(self, *args, **kwargs):
        Timeline.updates = []

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def update(self, count):
        Timeline.updates.append((time.monotonic(), count))


def costly_clustering(n, edges):
    time.sleep(0.25)
    return kw.clustering_avg_rust(n, edges)


@pytest.mark.parametrize("statistic, most_seconds", [(costly_clustering, 2.5), (STATISTIC, 2.5)])
def test_tasks_last_about_a_second(client, monkeypatch, statistic, most_seconds):
    import tqdm.auto

    monkeypatch.setattr(tqdm.auto, "tqdm", Timeline)
    samples = 48 if statistic is costly_clustering else 3000
    with distributed.get_task_stream(client) as stream:
        ke.null_model(N, EDGES, statistic, samples=samples, client=client)
    tasks = [t for t in stream.data if str(t["key"]).startswith("knotwell-null-")]
    seconds = [sum(s["stop"] - s["start"] for s in t["startstops"] if s["action"] == "compute") for t in tasks]
    assert max(seconds) < most_seconds
    # The first remote update follows sample 0 (in the caller) within a task's time.
    (first, _), (second, _) = Timeline.updates[:2]
    assert second - first < 3.0
    assert sum(count for _, count in Timeline.updates) == samples
    if statistic is STATISTIC:
        assert len(tasks) < samples / 10  # cheap samples travel in batches, not one task each


TERMINAL_CHILD = """
    import os, sys, distributed, knotwell as ke, knotwell_rs as kw
    from knotwell import statistics as st

    class Marked:
        # Leaves a file once a worker measures a sample: the run is under way on the cluster.
        def __init__(self, marker):
            self.marker = marker

        def __call__(self, n, edges):
            try:
                distributed.get_worker()
                open(self.marker, "a").close()
            except ValueError:
                pass
            return st.average_clustering(n, edges)

    if __name__ == "__main__":
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                      dashboard_address=None, env={"RAYON_NUM_THREADS": "1"}) as cluster, \\
                distributed.Client(cluster) as client:
            edges = kw.erdos_renyi_rust(20000, 60000, 1)
            ke.null_model(20000, edges, Marked(sys.argv[1]), samples=3000, client=client, progress=False)
"""


def test_terminal_ctrl_c_is_just_a_keyboard_interrupt(tmp_path):
    # A terminal's Ctrl-C reaches its whole foreground process group: the
    # caller and the workers its LocalCluster started.
    script, marker = tmp_path / "child.py", tmp_path / "running"
    script.write_text(textwrap.dedent(TERMINAL_CHILD))
    child = subprocess.Popen([sys.executable, str(script), str(marker)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        deadline = time.monotonic() + 120
        while not marker.exists() and child.poll() is None and time.monotonic() < deadline:
            time.sleep(0.1)
        assert marker.exists(), "no worker measured a sample"
        time.sleep(1)
        os.killpg(child.pid, signal.SIGINT)
        _, err = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            os.killpg(child.pid, signal.SIGKILL)
            child.wait()
    # One traceback, the caller's, with no frame of distributed; no worker killed at shutdown.
    assert err.count("Traceback (most recent call last)") == 1 and "still alive" not in err, err[-3000:]
    traceback = err[err.index("Traceback (most recent call last)"):]
    assert traceback.rstrip().endswith("\nKeyboardInterrupt") and "distributed" not in traceback, traceback


def test_statistic_that_cannot_travel_fails_before_any_work(client):
    lock = threading.Lock()
    with pytest.raises(TypeError, match="statistic must be picklable to run on a Dask cluster"):
        ke.null_model(N, EDGES, lambda n, e: lock.locked(), client=client, progress=False)
