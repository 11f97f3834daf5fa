"""Benchmark of the knotwell sweeps: `python -m bench.sweeps [--quick]`.

Throughput case: exact betweenness of a G(n, m) graph of 200,000 nodes and
600,000 edges (quick: 20,000 and 60,000), on the first `pieces` pieces of the
sweep's fixed division (each 1/256 of the sources), since the whole sweep
takes hours:

- local, one core: the pieces one after another on the calling thread;
- local, all cores: the pieces on the module's worker pool, as
  `betweenness_rust` runs them;
- Dask: the same pieces as tasks on a LocalCluster of 2 worker processes x 1
  thread, the graph scattered first, the rows folded in piece order on the
  client (scatter, transfers and fold included in the time).

Runs are interleaved, best of `reps` per way; every Dask fold is checked
against the local one bit for bit. Rates are sources per second.

Estimate case: `betweenness_estimate` on a Barabasi-Albert graph of 2,000
nodes (quick: 500) for a range of sample sizes and several seeds each: the
relative error of the values against the exact ones, the mean reported
relative standard error, and the share of nodes whose error lies within two
reported standard errors. Plot: docs/sweeps_estimate.png.

Results go to docs/sweeps_benchmarks.md (quick: bench/results/sweeps-quick.md).
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent

FULL = dict(nodes=200_000, edges=600_000, pieces=4, reps=2, est_nodes=2_000, est_attach=3,
            samples=(20, 50, 100, 200, 500, 1000, 1500, 2000), seeds=8)
QUICK = dict(nodes=20_000, edges=60_000, pieces=8, reps=2, est_nodes=500, est_attach=3,
             samples=(10, 50, 200, 500), seeds=4)


def fold(n, rows):
    total = np.zeros(n)
    for row in rows.reshape(-1, n):
        np.add(total, row, out=total)
    return total


def local_rate(n, edges, pieces, use_pool):
    """Wall seconds and the fold of the pieces; on one core also the calling
    thread's CPU seconds, a per-core rate that other load on the machine
    does not dilute."""
    from knotwell import _sweeps

    start, cpu = time.perf_counter(), time.thread_time()
    rows = _sweeps.betweenness_pieces(n, edges, 0, pieces, None, False, use_pool)
    seconds, cpu = time.perf_counter() - start, time.thread_time() - cpu
    return (seconds, fold(n, rows)) if use_pool else (seconds, cpu, fold(n, rows))


def dask_rate(client, n, edges, pieces):
    from knotwell import _sweeps_api as api

    total = np.zeros(n)

    def consume(lo, hi, rows):
        for row in rows:
            np.add(total, row, out=total)

    start = time.perf_counter()
    api._run_on_cluster(client, api._betweenness_task, (n, edges, None, False), pieces, 1, consume)
    return time.perf_counter() - start, total


def throughput(cfg):
    import distributed

    import knotwell_rs as kw
    from knotwell import _sweeps

    n = cfg["nodes"]
    edges = kw.erdos_renyi_rust(n, cfg["edges"], 1)
    pieces = cfg["pieces"]
    sources = n * pieces // _sweeps.piece_count(n)
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                       dashboard_address="127.0.0.1:0", env={"RAYON_NUM_THREADS": "1"})
    times = {"one core": [], "all cores": [], "dask 2x1": []}
    with cluster, distributed.Client(cluster) as client:
        dask_rate(client, 300, kw.erdos_renyi_rust(300, 900, 2), 2)  # warm the workers' imports
        reference = None
        for _ in range(cfg["reps"]):
            seconds, ref = local_rate(n, edges, pieces, True)
            times["all cores"].append(seconds)
            reference = ref if reference is None else reference
            seconds, got = dask_rate(client, n, edges, pieces)
            times["dask 2x1"].append(seconds)
            assert got.tobytes() == reference.tobytes(), "the cluster's fold differs from the local one"
    per_core = per_core_rate(n, edges, max(1, pieces // 4))
    times["one core"].append(sources / per_core["wall rate"])
    rates = {k: sources / min(v) for k, v in times.items()}
    return dict(nodes=n, edges=int(len(edges)), pieces=pieces, sources=sources, cpus=os.cpu_count(),
                times={k: [round(t, 3) for t in v] for k, v in times.items()}, rates=rates,
                cpu_rate=per_core["cpu rate"], ratio=rates["dask 2x1"] / rates["all cores"],
                load=os.getloadavg()[0])


def per_core_rate(n, edges, pieces):
    """Sources per second of one core on the first `pieces` pieces, by wall
    clock and by the thread's CPU time."""
    from knotwell import _sweeps

    sources = n * pieces // _sweeps.piece_count(n)
    seconds, cpu, _ = local_rate(n, edges, pieces, False)
    return {"wall rate": sources / seconds, "cpu rate": sources / cpu}


def estimate_errors(cfg):
    import networkx as nx

    import knotwell
    import knotwell_rs as kw

    g = nx.barabasi_albert_graph(cfg["est_nodes"], cfg["est_attach"], seed=3)
    n, edges = cfg["est_nodes"], np.array(sorted(g.edges()), dtype=np.uint64)
    exact = kw.betweenness_rust(n, edges)
    scale = np.linalg.norm(exact)
    rows = []
    for k in cfg["samples"]:
        errors, reported, covered = [], [], []
        for seed in range(cfg["seeds"]):
            est = knotwell.betweenness_estimate(n, edges, samples=k, seed=seed)
            errors.append(np.linalg.norm(est.values - exact) / scale)
            reported.append(np.linalg.norm(est.stderr) / scale)
            busy = exact > 0
            covered.append(float(np.mean(np.abs(est.values - exact)[busy] <= 2 * est.stderr[busy] + 1e-15)))
        rows.append(dict(samples=k, error=float(np.mean(errors)), stderr=float(np.mean(reported)),
                         coverage=float(np.mean(covered))))
    return dict(nodes=n, edges=int(len(edges)), seeds=cfg["seeds"], rows=rows)


def plot(est, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    # Every source sampled is the exact sweep (error 0): off a log scale.
    rows = [r for r in est["rows"] if r["samples"] < est["nodes"]]
    k = np.array([r["samples"] for r in rows], dtype=float)
    fig, ax = plt.subplots(figsize=(6, 4))
    ax.loglog(k, [r["error"] for r in rows], "o-", label="measured error")
    ax.loglog(k, [r["stderr"] for r in rows], "s--", label="reported standard error")
    ax.loglog(k, rows[0]["error"] * np.sqrt(k[0] / k), ":", color="gray", label="1 / sqrt(samples)")
    ax.set_xlabel("sampled sources")
    ax.set_ylabel("relative L2 error of the values")
    ax.set_title(f"betweenness_estimate, BA graph of {est['nodes']} nodes ({est['seeds']} seeds)")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def report(tp, est, quick):
    r = tp["rates"]
    lines = [
        "# Sweep benchmarks" + (" (quick)" if quick else ""),
        "",
        f"Made by `python -m bench.sweeps{' --quick' if quick else ''}` on {platform.machine()}, "
        f"{tp['cpus']} logical CPUs, load average {tp['load']:.1f} at the end of the throughput runs "
        "(a shared machine: other processes took part of the cores).",
        "",
        "## Exact betweenness throughput",
        "",
        f"G(n, m) with {tp['nodes']:,} nodes and {tp['edges']:,} edges, the first {tp['pieces']} pieces of the "
        f"sweep ({tp['sources']:,} sources); best of the interleaved runs.",
        "",
        "| Way | Seconds per run | Sources per second |",
        "|---|---|---|",
    ]
    for key in ("one core", "all cores", "dask 2x1"):
        lines.append(f"| {key} | {', '.join(f'{t:.2f}' for t in tp['times'][key])} | {r[key]:.0f} |")
    lines += [
        "",
        f"Dask (2 workers x 1 thread) against one local call on all cores: **{tp['ratio']:.2f}x**. "
        "Every Dask fold equalled the local one bit for bit. One core by its thread's CPU time (not diluted by "
        f"other load): **{tp['cpu_rate']:.1f} sources per CPU-second**.",
        "",
        "## Estimate error against samples",
        "",
        f"Barabasi-Albert graph, {est['nodes']:,} nodes, {est['edges']:,} edges, {est['seeds']} seeds per size; "
        "errors relative to the L2 norm of the exact values.",
        "",
        "| Samples | Measured error | Reported standard error | Nodes within 2 standard errors |",
        "|---|---|---|---|",
    ]
    for row in est["rows"]:
        lines.append(f"| {row['samples']} | {row['error']:.4f} | {row['stderr']:.4f} | {row['coverage']:.1%} |")
    lines += ["", "![estimate error](sweeps_estimate.png)", ""]
    return "\n".join(lines)


def main(argv=None):
    p = argparse.ArgumentParser(prog="python -m bench.sweeps", description=__doc__.splitlines()[0])
    p.add_argument("--quick", action="store_true", help="small graphs (about a minute)")
    p.add_argument("--out", type=Path, help="markdown report (default: docs/sweeps_benchmarks.md, "
                                            "quick: bench/results/sweeps-quick.md)")
    args = p.parse_args(argv)
    cfg = QUICK if args.quick else FULL
    out = args.out or (ROOT / "bench" / "results" / "sweeps-quick.md" if args.quick
                       else ROOT / "docs" / "sweeps_benchmarks.md")
    out.parent.mkdir(parents=True, exist_ok=True)
    est = estimate_errors(cfg)
    plot(est, out.parent / "sweeps_estimate.png")
    tp = throughput(cfg)
    out.write_text(report(tp, est, args.quick))
    out.with_suffix(".json").write_text(json.dumps(dict(throughput=tp, estimate=est), indent=1))
    print(out.read_text())


if __name__ == "__main__":
    main()
