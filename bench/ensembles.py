"""Benchmark of the knotwell ensembles: `python -m bench.ensembles [--quick]`.

Case: rewired samples of a heavy-tailed graph (Barabasi-Albert, 20,000 nodes,
about 100,000 edges; quick: 2,000 nodes, 10,000 edges) measured by three
statistics at once (average clustering, transitivity, degree assortativity).

- local: `null_model` with its default threads, 1,000 samples (quick: 100);
- Dask: the same call on a LocalCluster of 2 worker processes x 1 thread;
- layer overhead: `null_model(workers=1)` against a hand-written loop of
  knotwell_rs calls doing the same work (same seeds, same statistics),
  interleaved runs on a few hundred samples, best of each;
- networkx: a hand-written loop of `double_edge_swap` + the same statistics,
  timed on a few samples; rates are compared per sample;
- memory: peak resident-set growth and peak traced (Python + NumPy) memory of
  a local run of 100 and of 1,000 samples, each in a fresh process.

Every run checks that its null values equal the local run's. Results go to
docs/ensembles_benchmarks.md (quick: bench/results/ensembles-quick.md).
"""

from __future__ import annotations

import argparse
import gc
import hashlib
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent

FULL = dict(nodes=20_000, attach=5, samples=1000, memory=(100, 1000), overhead=150, nx_samples=2, reps=2)
QUICK = dict(nodes=2_000, attach=5, samples=100, memory=(20, 100), overhead=40, nx_samples=1, reps=1)


def graph(nodes, attach):
    import networkx as nx

    g = nx.barabasi_albert_graph(nodes, attach, seed=1)
    return nodes, np.array(sorted(g.edges()), dtype=np.uint64)


def statistic():
    from knotwell import statistics as st

    return st.Combined(st.average_clustering, st.transitivity, st.degree_assortativity)


def digest(values) -> str:
    return hashlib.sha256(np.ascontiguousarray(values).tobytes()).hexdigest()[:16]


def run_layer(n, edges, samples, spe, **kwargs):
    import knotwell as ke

    start, cpu = time.perf_counter(), time.process_time()
    res = ke.null_model(n, edges, statistic(), samples=samples, swaps_per_edge=spe, seed=0, progress=False,
                        **kwargs)
    return time.perf_counter() - start, time.process_time() - cpu, res.null


def run_hand_loop(n, edges, samples, spe):
    """What a user writes with knotwell_rs alone: one native sample and three statistics per seed."""
    import knotwell as ke
    import knotwell_rs as kw
    from knotwell import statistics as st

    target = spe * len(edges)
    start, cpu = time.perf_counter(), time.process_time()
    null = np.empty((samples, 3))
    for i, seed in enumerate(ke.sample_seeds(0, samples)):
        sample = kw.rewire_degree_preserving_rust(n, edges, 1, target, 10 * target, int(seed))[0][0]
        null[i] = (st.average_clustering(n, sample), st.transitivity(n, sample), st.degree_assortativity(n, sample))
    return time.perf_counter() - start, time.process_time() - cpu, null


def run_networkx(n, edges, samples, spe):
    import networkx as nx

    g = nx.Graph()
    g.add_nodes_from(range(n))
    g.add_edges_from(edges.tolist())
    target = spe * len(edges)
    start, cpu = time.perf_counter(), time.process_time()
    for i in range(samples):
        h = g.copy()
        nx.double_edge_swap(h, nswap=target, max_tries=10 * target, seed=i)
        nx.average_clustering(h), nx.transitivity(h), nx.degree_assortativity_coefficient(h)
    return (time.perf_counter() - start) / samples, (time.process_time() - cpu) / samples


def run_dask(n, edges, samples, spe):
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None,
                      env={"RAYON_NUM_THREADS": "1"}) as cluster, Client(cluster) as client:
        run_layer(n, edges, 4, spe, client=client)  # workers import and warm up
        return run_layer(n, edges, samples, spe, client=client)


def rss_now():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_child(nodes, attach, samples, spe):
    """Runs in a fresh process: peak growth of the resident set and of traced memory during one run."""
    import ctypes
    import tracemalloc

    n, edges = graph(nodes, attach)
    run_layer(n, edges, 2, spe)
    gc.collect()
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # reset the high-water mark VmHWM to the current resident set
    base = rss_now()
    tracemalloc.start()
    seconds, cpu, null = run_layer(n, edges, samples, spe)
    traced = tracemalloc.get_traced_memory()[1]
    with open("/proc/self/status") as f:
        hwm = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))
    print(json.dumps(dict(seconds=seconds, cpu=cpu, rss_growth=hwm - base, traced_peak=traced,
                          digest=digest(null))))


def measure_memory(cfg, samples, spe):
    out = subprocess.run([sys.executable, "-m", "bench.ensembles", "--memory-child", str(samples), "--spe", str(spe)]
                         + (["--quick"] if cfg is QUICK else []), cwd=ROOT, capture_output=True, text=True,
                         check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def mib(b):
    return f"{b / 2**20:.1f} MiB"


def main(argv=None):
    p = argparse.ArgumentParser(prog="python -m bench.ensembles", description=__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true", help="a small graph and few samples (under 30 s)")
    p.add_argument("--spe", type=int, default=1, help="swaps per edge of every sample (default 1)")
    p.add_argument("--out", type=Path, help="markdown report (default: docs/ensembles_benchmarks.md, "
                                            "bench/results/ensembles-quick.md with --quick)")
    p.add_argument("--memory-child", type=int, help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    cfg = QUICK if args.quick else FULL
    if args.memory_child:
        return memory_child(cfg["nodes"], cfg["attach"], args.memory_child, args.spe)
    began = time.perf_counter()
    n, edges = graph(cfg["nodes"], cfg["attach"])
    spe, samples = args.spe, cfg["samples"]
    print(f"graph: {n} nodes, {len(edges)} edges; {samples} samples of {spe * len(edges)} swaps, three statistics")

    memory = {s: measure_memory(cfg, s, spe) for s in cfg["memory"]}
    local = memory[samples]
    print(f"local: {local['seconds']:.1f} s ({samples / local['seconds']:.1f} samples/s)")

    dask_s, _, dask_null = run_dask(n, edges, samples, spe)
    print(f"dask, 2 workers: {dask_s:.1f} s ({samples / dask_s:.1f} samples/s)")

    k = cfg["overhead"]
    layer, hand = [], []
    for _ in range(cfg["reps"]):  # interleaved, so a drifting machine load hits both
        *times, layer_null = run_layer(n, edges, k, spe, workers=1)
        layer.append(times)
        *times, hand_null = run_hand_loop(n, edges, k, spe)
        hand.append(times)
    assert np.array_equal(layer_null, hand_null, equal_nan=True), "the layer and the hand loop disagree"
    (layer_wall, layer_cpu), (hand_wall, hand_cpu) = np.min(layer, axis=0), np.min(hand, axis=0)
    print(f"overhead on {k} samples, one thread: layer {layer_wall:.2f} s ({layer_cpu:.2f} s CPU), "
          f"hand loop {hand_wall:.2f} s ({hand_cpu:.2f} s CPU)")

    nx_wall, nx_cpu = run_networkx(n, edges, cfg["nx_samples"], spe)
    print(f"networkx: {nx_wall:.2f} s per sample")

    same = digest(dask_null) == local["digest"]
    rows = [
        ("networkx loop (`double_edge_swap` + the statistics), 1 thread", nx_wall, nx_cpu, cfg["nx_samples"]),
        ("knotwell_rs hand-written loop, 1 thread", hand_wall / k, hand_cpu / k, k),
        ("knotwell `null_model(workers=1)`", layer_wall / k, layer_cpu / k, k),
        ("knotwell `null_model` (local threads)", local["seconds"] / samples, local["cpu"] / samples,
         samples),
        ("knotwell `null_model(client=...)`, LocalCluster 2 x 1", dask_s / samples, None, samples),
    ]
    lines = [
        "# Null-model ensembles: benchmark",
        "",
        f"Written by `python -m bench.ensembles{' --quick' if args.quick else ''}` on "
        f"{time.strftime('%Y-%m-%d')}, {os.cpu_count()} logical processors. Graph: Barabasi-Albert, "
        f"{n} nodes, {len(edges)} edges; rewiring with {spe} swap(s) per edge ({spe * len(edges)} swaps, "
        "up to ten times as many attempts); every sample measured by average clustering, transitivity "
        "and degree assortativity.",
        "",
        f"Machine load while it ran (1-minute load average at the end): {os.getloadavg()[0]:.1f}. Wall "
        "times on a shared machine stretch with its load; CPU times (all threads of the calling process, "
        "so not for Dask, whose work runs in the worker processes) much less.",
        "",
        "| implementation | samples timed | wall s per sample | samples per s | vs networkx | CPU s per sample |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    for name, per, cpu, count in rows:
        cpu_text = "-" if cpu is None else f"{cpu:.4f}"
        lines.append(f"| {name} | {count} | {per:.4f} | {1 / per:.3g} | {nx_wall / per:.0f}x | {cpu_text} |")
    lines += [
        "",
        f"Layer overhead (one thread, best of {cfg['reps']} interleaved runs of {k} samples, same seeds and "
        f"null values) against the hand-written knotwell_rs loop: {layer_wall / hand_wall - 1:+.1%} wall, "
        f"{layer_cpu / hand_cpu - 1:+.1%} CPU.",
        f"Dask null identical to the local null: {'yes' if same else 'NO'}.",
        "",
        "Peak memory of a local run, each in a fresh process (resident-set growth over the process before "
        "the run, which holds the graph; traced = Python and NumPy allocations):",
        "",
        "| samples | resident-set growth | traced peak | wall seconds |",
        "|---:|---:|---:|---:|",
    ]
    for count, m in memory.items():
        lines.append(f"| {count} | {mib(m['rss_growth'])} | {mib(m['traced_peak'])} | {m['seconds']:.1f} |")
    held = max(cfg["memory"]) * len(edges) * 16
    lines += ["", f"Holding every sample of the largest run would take {mib(held)}.",
              "", f"Total benchmark time: {time.perf_counter() - began:.0f} s.", ""]
    out = args.out or (ROOT / ("bench/results/ensembles-quick.md" if args.quick else "docs/ensembles_benchmarks.md"))
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text("\n".join(lines))
    print(f"wrote {out.relative_to(ROOT) if out.is_relative_to(ROOT) else out}")
    if not same:
        print("the Dask null differs from the local null", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
