"""Memory at scale: the peak memory each call needs beyond the caller's
array, in bytes per edge row, for every function of knotwell_rs and the
peers that compute the same thing, and the largest R-MAT scale each completes.

Input: raw Graph500 R-MAT rows (edge factor 16, 2^scale nodes, ids scrambled),
self-loops and repeated pairs kept, as a user's edge list would have them;
one cached .npy file per scale.  Rewiring needs a simple graph, so its case
removes them first (outside the measurement).

Every call runs in a fresh process: the input (and whatever a case derives
from it, such as a degree sequence or labels) is loaded, the kernel's peak
resident set counter is reset (``/proc/self/clear_refs``), the resident size
is taken as the baseline, the call runs, and the peak (``VmHWM``) minus the
baseline is the call's memory, divided by the number of rows.  The
parent watches the child's resident size and stops it above ``--max-gib``
(so a run stays within what the machine can spare) or after ``--timeout``
seconds; either counts as not completed.

    python -m bench.scale [--scales 22 23 ...] [--max-gib 20] [--only FUNC ...]

writes docs/scale.json (merged with earlier runs), docs/scale.md and
docs/scale.png.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

from . import graphs as G

ROOT = Path(__file__).resolve().parent.parent
EDGE_FACTOR = 16
PEERS = ("scipy", "igraph", "networkit")
_CHUNK = 1 << 22


# ------------------------------------------------------------------ input --

def input_path(scale: int) -> Path:
    return G.CACHE_DIR / f"rmat-raw-{scale}-ef{EDGE_FACTOR}-v{G.GENERATOR_VERSION}.npy"


def make_input(scale: int) -> Path:
    """Raw R-MAT rows written chunk by chunk straight into the file, so that
    even the 8 GiB input of scale 25 never needs twice its size."""
    path = input_path(scale)
    if path.exists():
        return path
    path.parent.mkdir(parents=True, exist_ok=True)
    rows = EDGE_FACTOR << scale
    rng = G._rng(1000 + scale)
    perm = rng.permutation(1 << scale).astype(np.uint32 if scale <= 32 else np.uint64)
    tmp = path.with_suffix(".tmp.npy")
    out = np.lib.format.open_memmap(tmp, mode="w+", dtype=np.uint64, shape=(rows, 2))
    for first in range(0, rows, _CHUNK):
        k = min(_CHUNK, rows - first)
        u, v = G.kronecker_rows(scale, k, rng)
        out[first:first + k, 0] = perm[u]
        out[first:first + k, 1] = perm[v]
    out.flush()
    del out
    tmp.rename(path)
    return path


# ------------------------------------------------------------------ cases --
# Each case: prepare(ctx) runs before the baseline (derived inputs the
# caller would already hold); run(ctx) is measured and returns the result,
# kept alive until the peak is read.

def _simple(ctx):
    """The rows without self-loops and repeated pairs (for rewiring)."""
    e = ctx["edges"]
    lo, hi = np.minimum(e[:, 0], e[:, 1]), np.maximum(e[:, 0], e[:, 1])
    keys = np.unique((lo << np.uint64(32)) | hi)
    del lo, hi
    keys = keys[(keys >> np.uint64(32)) != (keys & np.uint64(0xFFFFFFFF))]
    out = np.empty((len(keys), 2), dtype=np.uint64)
    out[:, 0] = keys >> np.uint64(32)
    out[:, 1] = keys & np.uint64(0xFFFFFFFF)
    ctx["edges"] = out


def _degrees(ctx):
    ctx["degrees"] = np.bincount(ctx["edges"].ravel().view(np.int64), minlength=ctx["n"]).astype(np.uint64)
    if ctx["degrees"].sum() % 2:
        ctx["degrees"][0] += 1
    del ctx["edges"]


def _labels(ctx):
    # A partition of 4096-node blocks of ids: any partition costs the same.
    ctx["labels"] = (np.arange(ctx["n"], dtype=np.uint64) >> np.uint64(12)).astype(np.uint64)


def _ig(ctx):
    import igraph as ig

    return ig.Graph(n=ctx["n"], edges=ctx["edges"].view(np.int64))


def _nk(ctx):
    import networkit as nk

    e = ctx["edges"].view(np.int64)
    return nk.GraphFromCoo((e[:, 0], e[:, 1]), ctx["n"], weighted=False, directed=False)


def _csr(ctx):
    import scipy.sparse as sp

    e = ctx["edges"].view(np.int64)
    n = ctx["n"]
    return sp.csr_array((np.ones(len(e), dtype=np.int8), (e[:, 0], e[:, 1])), shape=(n, n))


def _nk_run(algo):
    algo.run()
    return algo


def _ours(name, *extra, **kw):
    def run(ctx):
        import knotwell_rs as k

        return getattr(k, name)(ctx["n"], ctx["edges"], *[ctx[x] if isinstance(x, str) else x for x in extra], **kw)

    return run


def _cases():
    import_nk = "networkit"
    return {
        "degree_rust": {"knotwell_rs": (None, _ours("degree_rust", False)),
                        "scipy": (None, lambda c: np.bincount(c["edges"].ravel().view(np.int64), minlength=c["n"])),
                        "igraph": (None, lambda c: _ig(c).degree()),
                        "networkit": (None, lambda c: _nk_run(__import__(import_nk).centrality.DegreeCentrality(
                            _nk(c))).scores())},
        "in_degree_rust": {"knotwell_rs": (None, _ours("in_degree_rust"))},
        "out_degree_rust": {"knotwell_rs": (None, _ours("out_degree_rust"))},
        "strength_rust": {"knotwell_rs": (lambda c: c.__setitem__("w", np.ones(len(c["edges"]))),
                                          _ours("strength_rust", "w", False))},
        "triangles_per_node_rust": {
            "knotwell_rs": (None, _ours("triangles_per_node_rust")),
            "igraph": (None, lambda c: _ig(c).simplify().transitivity_local_undirected(mode="zero")),
            "networkit": (None, lambda c: _nk_run(__import__(import_nk).centrality.LocalClusteringCoefficient(
                _nk_simple(c), turbo=True)).scores())},
        "clustering_avg_rust": {"knotwell_rs": (None, _ours("clustering_avg_rust")),
                                "igraph": (None, lambda c: _ig(c).simplify().transitivity_avglocal_undirected(
                                    mode="zero"))},
        "clustering_local_rust": {"knotwell_rs": (None, _ours("clustering_local_rust"))},
        "shortest_paths_rust": {
            "knotwell_rs": (None, _ours("shortest_paths_rust", 0, False)),
            "scipy": (None, lambda c: __import__("scipy.sparse.csgraph").sparse.csgraph.breadth_first_order(
                _csr(c), 0, directed=False, return_predecessors=False)),
            "igraph": (None, lambda c: _ig(c).distances(source=[0])),
            "networkit": (None, lambda c: _nk_run(__import__(import_nk).distance.BFS(_nk(c), 0)).getDistances())},
        "shortest_paths_multi_rust": {"knotwell_rs": (lambda c: c.__setitem__("src", np.arange(4, dtype=np.uint64)),
                                                      _ours("shortest_paths_multi_rust", "src", False))},
        "connected_components_rust": {
            "knotwell_rs": (None, _ours("connected_components_rust")),
            "scipy": (None, lambda c: __import__("scipy.sparse.csgraph").sparse.csgraph.connected_components(
                _csr(c), directed=False)),
            "igraph": (None, lambda c: _ig(c).connected_components().membership),
            "networkit": (None, lambda c: _nk_run(__import__(import_nk).components.ConnectedComponents(
                _nk(c))).getComponents())},
        "core_numbers_rust": {
            "knotwell_rs": (None, _ours("core_numbers_rust")),
            "igraph": (None, lambda c: _ig(c).simplify().coreness()),
            "networkit": (None, lambda c: _nk_run(__import__(import_nk).centrality.CoreDecomposition(
                _nk_simple(c))).scores())},
        "rewire_degree_preserving_rust": {
            "knotwell_rs": (_simple, lambda c: __import__("knotwell_rs").rewire_degree_preserving_rust(
                c["n"], c["edges"], 1, len(c["edges"]), 2 * len(c["edges"]), 1)),
            "igraph": (_simple, lambda c: _ig(c).rewire(n=len(c["edges"]), mode="simple"))},
        "configuration_model_rust": {
            "knotwell_rs": (_degrees, lambda c: __import__("knotwell_rs").configuration_model_rust(c["degrees"], 1)),
            "igraph": (_degrees, lambda c: __import__("igraph").Graph.Degree_Sequence(
                c["degrees"].tolist(), method="configuration").simplify())},
        "erdos_renyi_rust": {
            "knotwell_rs": (None, lambda c: __import__("knotwell_rs").erdos_renyi_rust(c["n"], c["m"], 1)),
            "igraph": (None, lambda c: __import__("igraph").Graph.Erdos_Renyi(c["n"], m=c["m"]))},
        "louvain_rust": {
            "knotwell_rs": (None, _ours("louvain_rust", seed=1)),
            "igraph": (None, lambda c: _ig(c).simplify().community_multilevel()),
            "networkit": (None, lambda c: _nk_run(__import__(import_nk).community.PLM(
                _nk_simple(c), refine=False)).getPartition())},
        "label_propagation_rust": {
            "knotwell_rs": (None, _ours("label_propagation_rust")),
            "igraph": (None, lambda c: _ig(c).simplify().community_label_propagation()),
            "networkit": (None, lambda c: _nk_run(__import__(import_nk).community.PLP(
                _nk_simple(c))).getPartition())},
        "modularity_rust": {
            "knotwell_rs": (_labels, _ours("modularity_rust", "labels")),
            "igraph": (_labels, lambda c: _ig(c).modularity(c["labels"].tolist()))},
    }


def _nk_simple(ctx):
    g = _nk(ctx)
    g.removeSelfLoops()
    g.removeMultiEdges()
    return g


# Quadratic in the graph's size: no scale of this benchmark completes in
# reasonable time, so they are listed but not run.
NOT_RUN = {"mean_shortest_path_rust": "all-pairs search: O(n m)",
           "betweenness_rust": "all-sources search: O(n m)"}


# ------------------------------------------------------------------ child --

def _status(field: str, pid: str = "self") -> int:
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/{pid}/status")


def child(func: str, lib: str, scale: int) -> None:
    prepare, run = _cases()[func][lib]
    if lib == "igraph":
        import igraph  # noqa: F401
    elif lib == "networkit":
        import networkit  # noqa: F401
    elif lib == "scipy":
        import scipy.sparse.csgraph  # noqa: F401
    import knotwell_rs  # noqa: F401

    ctx = {"n": 1 << scale, "m": EDGE_FACTOR << scale}
    if func != "erdos_renyi_rust":
        ctx["edges"] = np.load(input_path(scale))
    if prepare is not None:
        prepare(ctx)
    rows = len(ctx["edges"]) if "edges" in ctx else ctx["m"]
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM to the current resident size
    base = _status("VmRSS")
    print(json.dumps({"baseline": base, "rows": rows}), flush=True)
    t0 = time.perf_counter()
    result = run(ctx)
    seconds = time.perf_counter() - t0
    peak = _status("VmHWM")
    print(json.dumps({"peak": peak, "seconds": seconds}), flush=True)
    del result


# ----------------------------------------------------------------- parent --

def measure(func: str, lib: str, scale: int, max_bytes: int, timeout: float) -> dict:
    proc = subprocess.Popen([sys.executable, "-m", "bench.scale", "--child", func, lib, str(scale)],
                            cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    start, hwm, stopped = time.monotonic(), 0, None
    while proc.poll() is None:
        try:
            hwm = max(hwm, _status("VmHWM", str(proc.pid)))
            rss = _status("VmRSS", str(proc.pid))
        except (OSError, RuntimeError, ValueError):
            rss = 0
        if rss > max_bytes:
            stopped = f"stopped above {max_bytes / 2**30:.0f} GiB resident"
        elif time.monotonic() - start > timeout:
            stopped = f"stopped after {timeout:.0f} s"
        if stopped:
            proc.kill()
            break
        time.sleep(0.1)
    out, err = proc.communicate()
    record = {"func": func, "lib": lib, "scale": scale}
    for line in out.splitlines():
        if line.startswith("{"):
            record.update(json.loads(line))
    if stopped or proc.returncode != 0 or "peak" not in record:
        record["completed"] = False
        record["why"] = stopped or (err.strip().splitlines() or [f"exit {proc.returncode}"])[-1][-160:]
        if "baseline" in record and hwm > record["baseline"]:
            # The peak until the call was stopped: a lower bound.
            record["bytes_per_row_at_least"] = (hwm - record["baseline"]) / record["rows"]
    else:
        record["completed"] = True
        record["bytes_per_row"] = (record["peak"] - record["baseline"]) / record["rows"]
    return record


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(prog="python -m bench.scale")
    ap.add_argument("--child", nargs=3, metavar=("FUNC", "LIB", "SCALE"), help=argparse.SUPPRESS)
    ap.add_argument("--scales", type=int, nargs="+", default=[22, 23, 24, 25])
    ap.add_argument("--only", nargs="+", help="functions to run (default: all)")
    ap.add_argument("--libs", nargs="+", default=["knotwell_rs", *PEERS])
    ap.add_argument("--max-gib", type=float, default=20.0, help="resident size at which a call is stopped")
    ap.add_argument("--timeout", type=float, default=300.0, help="seconds after which a call is stopped")
    ap.add_argument("--budget-minutes", type=float, default=30.0,
                    help="no call is started after this long; the rest are recorded as not run")
    ap.add_argument("--out", type=Path, default=ROOT / "docs")
    args = ap.parse_args(argv)
    if args.child:
        child(args.child[0], args.child[1], int(args.child[2]))
        return 0

    import knotwell_rs

    cases = _cases()
    funcs = [f for f in knotwell_rs.__all__ if args.only is None or f in args.only]
    results_path = args.out / "scale.json"
    results = json.loads(results_path.read_text()) if results_path.exists() else {}
    for scale in sorted(args.scales):
        make_input(scale)
    deadline = time.monotonic() + 60 * args.budget_minutes
    # Scale by scale, so that the budget goes to the measured scale first.
    stopped: set[tuple[str, str]] = set()
    for scale in sorted(args.scales):
        for func in funcs:
            for lib in args.libs:
                if lib not in cases.get(func, {}) or (func, lib) in stopped:
                    continue
                if time.monotonic() > deadline:
                    stopped.add((func, lib))
                    continue
                r = measure(func, lib, scale, int(args.max_gib * 2**30), args.timeout)
                results[f"{func}/{lib}/{scale}"] = r
                print(f"{func:32} {lib:12} scale {scale}: " +
                      (f"{r['bytes_per_row']:7.1f} B/row {r['seconds']:8.1f} s" if r["completed"] else
                       r["why"] + (f" (>= {r['bytes_per_row_at_least']:.1f} B/row until then)"
                                   if "bytes_per_row_at_least" in r else "")),
                      flush=True)
                results_path.write_text(json.dumps(results, indent=1, sort_keys=True))
                if not r["completed"]:
                    stopped.add((func, lib))
    write_report(results, args.out, funcs)
    return 0


def write_report(results: dict, out: Path, funcs: list[str]) -> None:
    libs = ["knotwell_rs", *PEERS]
    scales = sorted({r["scale"] for r in results.values()})
    lines = ["# Memory at scale", "",
             "Peak memory above the caller's array, in bytes per edge row, on raw R-MAT graphs "
             f"(edge factor {EDGE_FACTOR}, self-loops and repeats kept; scale s: 2^s nodes, {EDGE_FACTOR} x 2^s "
             "rows), each call in a fresh process, and the largest scale each call completed. Made by "
             "`make bench-scale` (bench/scale.py, whose docstring gives the method); `>=` marks a call stopped "
             "before it finished, with the peak it had reached by then.", "",
             f"Scales in this run: {', '.join(map(str, scales))}; a blank cell was not run at that scale, and a "
             "library missing for a function has no equivalent call (or was not run).", "",
             "| function | library | " + " | ".join(f"bytes per row, scale {s}" for s in scales) +
             " | largest scale completed | first stop |",
             "|---|---|" + "---:|" * len(scales) + "---:|---|"]
    for func in funcs:
        if func in NOT_RUN:
            lines.append(f"| {func} | all |" + " |" * len(scales) + f" not run | {NOT_RUN[func]} |")
            continue
        for lib in libs:
            runs = {r["scale"]: r for r in results.values() if r["func"] == func and r["lib"] == lib}
            if not runs:
                continue
            cells = []
            for s in scales:
                r = runs.get(s)
                if r is None:
                    cells.append("")
                elif r["completed"]:
                    cells.append(f"{r['bytes_per_row']:.1f}")
                else:
                    cells.append(f">= {r['bytes_per_row_at_least']:.1f}" if "bytes_per_row_at_least" in r else "-")
            done = [s for s, r in runs.items() if r["completed"]]
            failed = sorted((r for r in runs.values() if not r["completed"]), key=lambda r: r["scale"])
            why = f"scale {failed[0]['scale']}: {failed[0]['why']}" if failed else ""
            lines.append(f"| {func} | {lib} | " + " | ".join(cells) +
                         f" | {max(done) if done else '-'} | {why} |")
    (out / "scale.md").write_text("\n".join(lines) + "\n\n![bytes per row](scale.png)\n")
    # The plot shows the scale with the most completed calls.
    shown = max(scales, key=lambda s: sum(r["completed"] for r in results.values() if r["scale"] == s))
    _plot(results, out / "scale.png", funcs, libs, shown)


def _plot(results: dict, path: Path, funcs: list[str], libs: list[str], scale: int) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    shown = [f for f in funcs if any(r["func"] == f and r.get("completed") and r["scale"] == scale
                                      for r in results.values())]
    fig, ax = plt.subplots(figsize=(11, 5))
    width = 0.8 / len(libs)
    for i, lib in enumerate(libs):
        ys = [results.get(f"{f}/{lib}/{scale}", {}).get("bytes_per_row", np.nan) for f in shown]
        ax.bar(np.arange(len(shown)) + i * width, ys, width, label=lib)
    ax.set_xticks(np.arange(len(shown)) + 0.4 - width / 2)
    ax.set_xticklabels([f.removesuffix("_rust") for f in shown], rotation=40, ha="right")
    ax.set_ylabel(f"peak bytes per edge row, R-MAT scale {scale}")
    ax.axhline(20, color="grey", lw=0.8, ls="--")
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)


if __name__ == "__main__":
    sys.exit(main())
