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
parent watches the child's resident size and stops it above the memory limit
(``--max-gib``, lowered to what the machine has available minus
``--reserve-gib`` when a call starts, so that a run never pushes other users
into the out-of-memory killer) or after its time limit; either counts as not
completed, as does a crash.  The time limit is ``--timeout`` plus, for the
peers, ``--peer-seconds-per-row`` per row: igraph and NetworKit convert a
NumPy edge array row by row at a few microseconds a row, so a fixed limit
would stop them in the conversion and a stop would say nothing about memory.

Each result is merged into docs/scale.json as soon as it is known (the file is
read again before every write, so partial runs with ``--only`` or ``--libs``
keep every other record); a call that stops marks the larger scales of the
same run "not run" rather than leaving an older result standing for them.
The report always covers every function.

    python -m bench.scale [--scales 22 23 ...] [--max-gib 20] [--only FUNC ...]

writes docs/scale.json (merged with earlier runs), docs/scale.md and
docs/scale.png.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from . import graphs as G

ROOT = Path(__file__).resolve().parent.parent
EDGE_FACTOR = 16
PEERS = ("scipy", "igraph", "networkit")
LIBS = ("knotwell_rs", *PEERS)
_CHUNK = 1 << 22
# Seconds per row a peer's call may take beyond --timeout: igraph's
# Graph(edges=array) and NetworKit's GraphFromCoo convert the array in a
# per-row loop (about 2 us a row on one free core, up to 10 us on this shared
# machine), before the algorithm even starts.
PEER_SECONDS_PER_ROW = 2e-5
# The scale whose bytes per row the report and the plot lead with, and the
# largest scale run (2^29 rows, an 8 GiB input).
REPORT_SCALE = 22
TOP_SCALE = 25


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

def _pair_keys(e):
    """low << 32 | high of every row that is not a self-loop, chunk by chunk."""
    keys = np.empty(len(e), dtype=np.uint64)
    kept = 0
    for first in range(0, len(e), _CHUNK):
        chunk = e[first:first + _CHUNK]
        lo, hi = np.minimum(chunk[:, 0], chunk[:, 1]), np.maximum(chunk[:, 0], chunk[:, 1])
        k = ((lo << np.uint64(32)) | hi)[lo != hi]
        keys[kept:kept + len(k)] = k
        kept += len(k)
    return keys[:kept]


def _unique_in_place(keys):
    """The distinct values of sorted `keys`, compacted to its front: a chunk's
    survivors land at or before the chunk's own start, once it has been read."""
    unique, prev = 0, None
    for first in range(0, len(keys), _CHUNK):
        chunk = keys[first:first + _CHUNK]
        fresh = np.empty(len(chunk), dtype=bool)
        fresh[0] = prev is None or chunk[0] != prev
        fresh[1:] = chunk[1:] != chunk[:-1]
        prev = chunk[-1].copy()
        k = chunk[fresh]
        keys[unique:unique + len(k)] = k
        unique += len(k)
    return keys[:unique]


def _simple(ctx):
    """The rows without self-loops and repeated pairs (for rewiring), sorted
    by (low, high).  Built in place, chunk by chunk, the raw rows freed as
    soon as their keys are taken: at scale 25 the process holds at most the
    raw rows and one key per row (12 GiB), then the keys and the simple rows
    (under 12 GiB), where whole-array steps needed several times the input."""
    keys = _pair_keys(ctx.pop("edges"))
    keys.sort()
    keys = _unique_in_place(keys)
    out = np.empty((len(keys), 2), dtype=np.uint64)
    for first in range(0, len(keys), _CHUNK):
        k = keys[first:first + _CHUNK]
        out[first:first + len(k), 0] = k >> np.uint64(32)
        out[first:first + len(k), 1] = k & np.uint64(0xFFFFFFFF)
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


def _nk_run(ctx, algo, result, simple=False):
    """Build the NetworKit graph, run algo(graph) and return result(algo)
    together with the graph.  Some NetworKit algorithms (ConnectedComponents
    among them) keep only a C++ pointer to the graph, not the Python object:
    a graph built inline as their argument is freed before run() reads it."""
    g = _nk_simple(ctx) if simple else _nk(ctx)
    a = algo(g)
    a.run()
    return g, a, result(a)


def _ours(name, *extra, **kw):
    def run(ctx):
        import knotwell_rs as k

        return getattr(k, name)(ctx["n"], ctx["edges"], *[ctx[x] if isinstance(x, str) else x for x in extra], **kw)

    return run


def _nk_mod():
    import networkit

    return networkit


def _cases():
    return {
        "degree_rust": {"knotwell_rs": (None, _ours("degree_rust", False)),
                        "scipy": (None, lambda c: np.bincount(c["edges"].ravel().view(np.int64), minlength=c["n"])),
                        "igraph": (None, lambda c: _ig(c).degree()),
                        "networkit": (None, lambda c: _nk_run(c, _nk_mod().centrality.DegreeCentrality,
                                                            lambda a: a.scores()))},
        "in_degree_rust": {"knotwell_rs": (None, _ours("in_degree_rust"))},
        "out_degree_rust": {"knotwell_rs": (None, _ours("out_degree_rust"))},
        "strength_rust": {"knotwell_rs": (lambda c: c.__setitem__("w", np.ones(len(c["edges"]))),
                                          _ours("strength_rust", "w", False))},
        "triangles_per_node_rust": {
            "knotwell_rs": (None, _ours("triangles_per_node_rust")),
            "igraph": (None, lambda c: _ig(c).simplify().transitivity_local_undirected(mode="zero")),
            "networkit": (None, lambda c: _nk_run(c, lambda g: _nk_mod().centrality.LocalClusteringCoefficient(
                g, turbo=True), lambda a: a.scores(), simple=True))},
        "clustering_avg_rust": {"knotwell_rs": (None, _ours("clustering_avg_rust")),
                                "igraph": (None, lambda c: _ig(c).simplify().transitivity_avglocal_undirected(
                                    mode="zero"))},
        "clustering_local_rust": {"knotwell_rs": (None, _ours("clustering_local_rust"))},
        "shortest_paths_rust": {
            "knotwell_rs": (None, _ours("shortest_paths_rust", 0, False)),
            "scipy": (None, lambda c: __import__("scipy.sparse.csgraph").sparse.csgraph.breadth_first_order(
                _csr(c), 0, directed=False, return_predecessors=False)),
            "igraph": (None, lambda c: _ig(c).distances(source=[0])),
            "networkit": (None, lambda c: _nk_run(c, lambda g: _nk_mod().distance.BFS(g, 0),
                                                  lambda a: a.getDistances()))},
        "shortest_paths_multi_rust": {"knotwell_rs": (lambda c: c.__setitem__("src", np.arange(4, dtype=np.uint64)),
                                                      _ours("shortest_paths_multi_rust", "src", False))},
        "connected_components_rust": {
            "knotwell_rs": (None, _ours("connected_components_rust")),
            "scipy": (None, lambda c: __import__("scipy.sparse.csgraph").sparse.csgraph.connected_components(
                _csr(c), directed=False)),
            "igraph": (None, lambda c: _ig(c).connected_components().membership),
            "networkit": (None, lambda c: _nk_run(c, _nk_mod().components.ConnectedComponents,
                                             lambda a: a.getComponents()))},
        "core_numbers_rust": {
            "knotwell_rs": (None, _ours("core_numbers_rust")),
            "igraph": (None, lambda c: _ig(c).simplify().coreness()),
            "networkit": (None, lambda c: _nk_run(c, _nk_mod().centrality.CoreDecomposition, lambda a: a.scores(),
                                             simple=True))},
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
            "networkit": (None, lambda c: _nk_run(c, lambda g: _nk_mod().community.PLM(g, refine=False),
                                             lambda a: a.getPartition(), simple=True))},
        "label_propagation_rust": {
            "knotwell_rs": (None, _ours("label_propagation_rust")),
            "igraph": (None, lambda c: _ig(c).simplify().community_label_propagation()),
            "networkit": (None, lambda c: _nk_run(c, _nk_mod().community.PLP, lambda a: a.getPartition(),
                                                  simple=True))},
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

def time_limit(lib: str, rows: int, timeout: float, per_row: float = PEER_SECONDS_PER_ROW) -> float:
    """Seconds a call may run: the peers get their conversion's time on top."""
    return timeout + (rows * per_row if lib != "knotwell_rs" else 0.0)


def mem_available() -> int:
    """The kernel's estimate of memory available to a new process, in bytes."""
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no MemAvailable in /proc/meminfo")


def _exit_reason(code: int, err: str) -> tuple[str, str]:
    """(stop kind, message) for a child that ended without a result."""
    if code < 0:
        try:
            name = signal.Signals(-code).name
        except ValueError:
            name = f"signal {-code}"
        # SIGKILL not sent by this parent is the kernel's out-of-memory killer.
        return ("memory", "killed by the system (SIGKILL, out of memory)") if code == -signal.SIGKILL else \
            ("crash", f"crashed ({name})")
    last = (err.strip().splitlines() or [f"exit {code}"])[-1][-160:]
    return ("memory", last) if "MemoryError" in last else ("error", last)


def measure(func: str, lib: str, scale: int, max_bytes: int, timeout: float, reserve: int = 4 << 30) -> dict:
    """Run one call in a fresh process and return its record.  The child is
    stopped above max_bytes resident (or above what the machine had available
    at the start minus `reserve`), after `timeout` seconds, or when the machine
    as a whole runs out of room (others' memory grew)."""
    try:
        limit = min(max_bytes, mem_available() - reserve)
    except (OSError, RuntimeError):
        limit = max_bytes
    # stderr goes to a file: a child that writes a lot to a pipe nobody reads
    # until it exits would block and look like a slow call.
    with tempfile.TemporaryFile("w+") as errf:
        proc = subprocess.Popen([sys.executable, "-m", "bench.scale", "--child", func, lib, str(scale)],
                                cwd=ROOT, stdout=subprocess.PIPE, stderr=errf, text=True)
        start, hwm, stopped, kind = time.monotonic(), 0, None, None
        while proc.poll() is None:
            try:
                hwm = max(hwm, _status("VmHWM", str(proc.pid)))
                rss = _status("VmRSS", str(proc.pid))
                avail = mem_available()
            except (OSError, RuntimeError, ValueError):
                rss, avail = 0, reserve
            if rss > limit:
                stopped, kind = f"stopped above {limit / 2**30:.1f} GiB resident", "memory"
            elif avail < min(reserve, 1 << 30) // 2:
                stopped, kind = (f"stopped at {rss / 2**30:.1f} GiB resident: the machine ran out of "
                                 "available memory"), "machine"
            elif time.monotonic() - start > timeout:
                stopped, kind = f"stopped after {timeout:.0f} s", "timeout"
            if stopped:
                proc.kill()
                break
            time.sleep(0.1)
        out, _ = proc.communicate()
        errf.seek(0)
        err = errf.read()
    record = {"func": func, "lib": lib, "scale": scale, "limit_bytes": limit, "time_limit": timeout}
    for line in out.splitlines():
        if line.startswith("{"):
            record.update(json.loads(line))
    if stopped or proc.returncode != 0 or "peak" not in record:
        record["completed"] = False
        if not stopped:
            kind, stopped = _exit_reason(proc.returncode, err)
        record["stop"], record["why"] = kind, stopped
        if "baseline" in record and hwm > record["baseline"]:
            # The peak until the call was stopped: a lower bound.
            record["bytes_per_row_at_least"] = (hwm - record["baseline"]) / record["rows"]
    else:
        record["completed"] = True
        record["bytes_per_row"] = (record["peak"] - record["baseline"]) / record["rows"]
    return record


def projected_need(results: dict, func: str, lib: str, scale: int) -> int | None:
    """Bytes the whole process is expected to reach at `scale`: its peak per
    row at the largest smaller scale it completed, times the rows."""
    done = [r for r in results.values() if r["func"] == func and r["lib"] == lib and r["completed"]
            and "peak" in r and r["scale"] < scale]
    if not done:
        return None
    r = max(done, key=lambda r: r["scale"])
    return int(r["peak"] / r["rows"] * (EDGE_FACTOR << scale))


def wait_for_memory(need: int, reserve: int, max_bytes: int, minutes: float, poll: float = 10.0) -> bool:
    """Wait (up to `minutes`) until the machine has room for a call expected
    to need `need` bytes plus the reserve, rather than start it under a limit
    that others' memory has lowered below that need.  A call that could not
    fit under max_bytes anyway starts at once.  True if there is room."""
    if need > max_bytes:
        return False
    end = time.monotonic() + 60 * minutes
    while mem_available() - reserve < need:
        if time.monotonic() > end:
            return False
        time.sleep(poll)
    return True


def record_key(func: str, lib: str, scale: int) -> str:
    return f"{func}/{lib}/{scale}"


def save_records(path: Path, records: list[dict]) -> dict:
    """Merge records into the results file and return all results.  The file
    is read again right before the write and replaced atomically, so runs of
    other functions or libraries (even concurrent ones) keep their records."""
    results = json.loads(path.read_text()) if path.exists() else {}
    for r in records:
        results[record_key(r["func"], r["lib"], r["scale"])] = r
    tmp = path.with_name(path.name + f".{os.getpid()}.tmp")
    tmp.write_text(json.dumps(results, indent=1, sort_keys=True))
    tmp.replace(path)
    return results


def _line(r: dict) -> str:
    head = f"{r['func']:32} {r['lib']:12} scale {r['scale']}: "
    if r["completed"]:
        return head + f"{r['bytes_per_row']:7.1f} B/row {r['seconds']:8.1f} s"
    return head + r["why"] + (f" (>= {r['bytes_per_row_at_least']:.1f} B/row until then)"
                              if "bytes_per_row_at_least" in r else "")


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(prog="python -m bench.scale")
    ap.add_argument("--child", nargs=3, metavar=("FUNC", "LIB", "SCALE"), help=argparse.SUPPRESS)
    ap.add_argument("--scales", type=int, nargs="+", default=[22, 23, 24, 25])
    ap.add_argument("--only", nargs="+", help="functions to run (default: all)")
    ap.add_argument("--libs", nargs="+", default=list(LIBS), choices=LIBS)
    ap.add_argument("--max-gib", type=float, default=20.0, help="resident size at which a call is stopped")
    ap.add_argument("--reserve-gib", type=float, default=4.0,
                    help="memory left to the machine's other users: a call is stopped above what was "
                         "available when it started minus this")
    ap.add_argument("--timeout", type=float, default=300.0, help="seconds after which a call is stopped")
    ap.add_argument("--peer-seconds-per-row", type=float, default=PEER_SECONDS_PER_ROW,
                    help="extra seconds per input row a peer's call may take (its conversion)")
    ap.add_argument("--wait-minutes", type=float, default=5.0,
                    help="how long a call waits for the memory its smaller scales project, when the "
                         "machine's other users hold it, before it starts under a lower limit")
    ap.add_argument("--budget-minutes", type=float, default=30.0,
                    help="no call is started after this long; the rest keep their earlier results")
    ap.add_argument("--out", type=Path, default=ROOT / "docs")
    args = ap.parse_args(argv)
    if args.child:
        child(args.child[0], args.child[1], int(args.child[2]))
        return 0

    import knotwell_rs

    cases = _cases()
    every = list(knotwell_rs.__all__)
    unknown = set(args.only or ()) - set(every)
    if unknown:
        ap.error(f"unknown functions: {', '.join(sorted(unknown))}")
    funcs = [f for f in every if args.only is None or f in args.only]
    results_path = args.out / "scale.json"
    for scale in sorted(args.scales):
        make_input(scale)
    deadline = time.monotonic() + 60 * args.budget_minutes
    # Scale by scale, so that the budget goes to the smaller scales first.
    stopped_at: dict[tuple[str, str], int] = {}
    for scale in sorted(args.scales):
        for func in funcs:
            for lib in args.libs:
                if lib not in cases.get(func, {}) or time.monotonic() > deadline:
                    continue
                if (func, lib) in stopped_at:
                    # An older result for this scale would contradict the stop.
                    save_records(results_path, [{"func": func, "lib": lib, "scale": scale, "completed": False,
                                                 "stop": "not run",
                                                 "why": f"not run: stopped at scale {stopped_at[func, lib]}"}])
                    continue
                rows = EDGE_FACTOR << scale
                results = json.loads(results_path.read_text()) if results_path.exists() else {}
                need = projected_need(results, func, lib, scale)
                if need is not None and not wait_for_memory(need, int(args.reserve_gib * 2**30),
                                                            int(args.max_gib * 2**30), args.wait_minutes):
                    print(f"{func} {lib} scale {scale}: starts without the {need / 2**30:.1f} GiB it projects",
                          flush=True)
                r = measure(func, lib, scale, int(args.max_gib * 2**30),
                            time_limit(lib, rows, args.timeout, args.peer_seconds_per_row),
                            int(args.reserve_gib * 2**30))
                save_records(results_path, [r])
                print(_line(r), flush=True)
                if not r["completed"]:
                    stopped_at[func, lib] = scale
    results = json.loads(results_path.read_text()) if results_path.exists() else {}
    write_report(results, args.out, every)
    return 0


def stop_kind(r: dict) -> str:
    """memory, timeout, crash, error, machine or not run; records written
    before the kind was stored are classified by their message."""
    if "stop" in r:
        return r["stop"]
    why = r.get("why", "")
    if why.startswith("stopped above"):
        return "memory"
    if why.startswith("stopped after"):
        return "timeout"
    return "crash" if why.startswith("exit -") else "error"


def summarize(runs: dict[int, dict]) -> tuple[int | None, str]:
    """The largest scale completed and where (and why) the function stops:
    the first measured failure; a later stop marker that merely repeats it is
    not a second reason."""
    done = [s for s, r in runs.items() if r["completed"]]
    failed = sorted((r for r in runs.values() if not r["completed"] and stop_kind(r) != "not run"),
                    key=lambda r: r["scale"])
    largest = max(done) if done else None
    if failed:
        first = failed[0]
        return largest, f"scale {first['scale']}: {stop_kind(first)} ({first['why']})"
    return largest, ""


def projected_gib(runs: dict[int, dict]) -> str:
    """The whole process's peak (input included) at TOP_SCALE, scaled by rows
    from the largest completed scale: what a call would need there, for the
    calls that were not (or could not be) run that far.  Blank once measured."""
    done = [s for s, r in runs.items() if r["completed"] and "peak" in r]
    if not done or max(done) >= TOP_SCALE:
        return ""
    r = runs[max(done)]
    return f"{r['peak'] / r['rows'] * (EDGE_FACTOR << TOP_SCALE) / 2**30:.1f}"


def write_report(results: dict, out: Path, funcs: list[str]) -> None:
    libs = list(LIBS)
    scales = sorted({r["scale"] for r in results.values()})
    ref = REPORT_SCALE if REPORT_SCALE in scales else max(scales)
    lines = ["# Memory at scale", "",
             "Peak memory above the caller's array, in bytes per edge row, on raw R-MAT graphs "
             f"(edge factor {EDGE_FACTOR}, self-loops and repeats kept; scale s: 2^s nodes, {EDGE_FACTOR} x 2^s "
             "rows, so scale 25 is 2^29 rows, an 8 GiB input), each call in a fresh process, and the largest "
             "scale each call completed. A peer's memory includes its conversion from the NumPy edge array "
             "(igraph `Graph(n, edges=array)`, NetworKit `GraphFromCoo((u, v), n)`, scipy `csr_array((data, (u, "
             "v)))`), since that is what it needs to run at all. Made by `make bench-scale` (bench/scale.py, "
             "whose docstring gives the method).", "",
             "A cell is bytes per row; `>= x` marks a call stopped before it finished, with the peak it had "
             "reached by then; `stop` a call that failed before its baseline; `n/r` a call not run because a "
             "smaller scale had already stopped; a blank cell was not run at that scale. A library missing for a "
             "function has no equivalent call. The projected GiB is the whole process's peak per row at the "
             "largest scale completed times the rows of the largest scale, for calls not measured there. "
             "Stops: `memory` (the resident size crossed the run's limit, "
             "recorded in docs/scale.json, or the system's out-of-memory killer ended it), `timeout` "
             "(peers get seconds per row for their conversion), `crash`, `error`.", "",
             "| function | library | " + " | ".join(f"B/row, scale {s}" for s in scales) +
             f" | seconds, scale {ref} | largest scale completed | stops at | projected GiB, scale {TOP_SCALE} |",
             "|---|---|" + "---:|" * len(scales) + "---:|---:|---|---:|"]
    for func in funcs:
        if func in NOT_RUN:
            lines.append(f"| {func} | all |" + " |" * len(scales) + f" | not run | {NOT_RUN[func]} | |")
            continue
        if not any(r["func"] == func for r in results.values()):
            lines.append(f"| {func} | all |" + " |" * len(scales) + " | - | not measured yet | |")
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
                elif stop_kind(r) == "not run":
                    cells.append("n/r")
                else:
                    cells.append(f">= {r['bytes_per_row_at_least']:.1f}" if "bytes_per_row_at_least" in r
                                 else "stop")
            largest, why = summarize(runs)
            secs = runs.get(ref, {}).get("seconds")
            lines.append(f"| {func} | {lib} | " + " | ".join(cells) +
                         f" | {'' if secs is None else f'{secs:.0f}'} | {'-' if largest is None else largest}"
                         f" | {why} | {projected_gib(runs)} |")
    limits = {}
    for r in results.values():
        if "limit_bytes" in r:
            limits.setdefault(r["scale"], []).append(r["limit_bytes"] / 2**30)
    if limits:
        lines += ["", "Memory limits of these runs (resident GiB, the whole process including its input; lower "
                  "when the machine's other users held more): " +
                  "; ".join(f"scale {s}: {min(v):.1f}" + (f" to {max(v):.1f}" if max(v) - min(v) >= 0.1 else "")
                            for s, v in sorted(limits.items())) + "."]
    lines += ["", "## Where the peers stop", ""]
    for lib in PEERS:
        stops: dict[str, list[str]] = {}
        for func in funcs:
            runs = {r["scale"]: r for r in results.values() if r["func"] == func and r["lib"] == lib}
            if not runs:
                continue
            largest, why = summarize(runs)
            last = max(s for s, r in runs.items() if stop_kind(r) != "not run")
            key = (f"completes scale {largest}" if largest is not None else "completes no scale run") + \
                (f", stops at {why.split(' (')[0]}" if why else f", not run beyond scale {last}")
            stops.setdefault(key, []).append(func.removesuffix("_rust"))
        if stops:
            lines.append(f"- {lib}: " + "; ".join(f"{k}: {', '.join(v)}" for k, v in stops.items()) + ".")
    (out / "scale.md").write_text("\n".join(lines) + "\n\n![bytes per row](scale.png)\n")
    _plot(results, out / "scale.png", funcs, libs, ref)


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
    # From under one byte (degrees) to hundreds (a peer's converted graph).
    ax.set_yscale("log")
    ax.axhline(20, color="grey", lw=0.8, ls="--")
    ax.legend(loc="upper left", bbox_to_anchor=(1.0, 1.0))
    fig.tight_layout()
    fig.savefig(path, dpi=110)


if __name__ == "__main__":
    sys.exit(main())
