"""Null-model ensembles on a two-process Dask cluster on the loopback interface."""

import _thread
import os
import signal
import threading
import time

import numpy as np
import pytest

import knotwell as ke
import knotwell_rs as kw
from knotwell import statistics as st

distributed = pytest.importorskip("distributed")

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


def test_ctrl_c_cancels_the_pending_tasks(client):
    timer = threading.Timer(1.0, _thread.interrupt_main)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            ke.null_model(N, EDGES, slow_clustering, samples=400, batch=2, client=client, progress=False)
    finally:
        timer.cancel()

    def ours(dask_scheduler):
        return [key for key in dask_scheduler.tasks if str(key).startswith("knotwell-null-")]

    deadline = time.monotonic() + 20
    while client.run_on_scheduler(ours) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert client.run_on_scheduler(ours) == []


def test_statistic_that_cannot_travel_fails_before_any_work(client):
    lock = threading.Lock()
    with pytest.raises(TypeError, match="statistic must be picklable to run on a Dask cluster"):
        ke.null_model(N, EDGES, lambda n, e: lock.locked(), client=client, progress=False)
