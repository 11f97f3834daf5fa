"""Timing, memory and checking of one case.

Procedure for a case:

1. Load the graph (cached on disk) and prepare the inputs (untimed).
2. Warm-up: every implementation runs once.  This run is also the memory
   measurement (peak resident-set growth, below) and yields the result that is
   checked against ours.
3. Timed runs, interleaved: round r runs every implementation once, in an
   order rotated by r, so that drifts of a shared machine hit all alike.  An
   implementation gets `reps` runs (default 5); one whose warm-up took long
   gets fewer, so that a case stays within its time budget, and one slower
   than `warm_only` seconds is not run again: its warm-up is its one sample.
   Ours, the figure every ratio divides by, gets `ours_factor` times the
   budget and the warm-only bound.  The figure reported is the median.
4. Worker variants of ours (e.g. RAYON_NUM_THREADS=1) run in a fresh
   subprocess, since the pool size is fixed when the pool is first created.

Peak memory: the kernel's high-water mark of the resident set (VmHWM) is reset
through /proc/self/clear_refs just before the warm-up call, after a garbage
collection and malloc_trim, and the growth over the resident set at that point
is reported.  It covers native allocations (tracemalloc sees only Python's),
including the result and a peer's graph object.
"""

from __future__ import annotations

import ctypes
import dataclasses
import gc
import json
import os
import signal
import statistics
import struct
import subprocess
import sys
import time
from dataclasses import asdict, dataclass, field
from pathlib import Path

from . import graphs as G
from .core import Build, Case, Impl, Verdict
from .peers import available, with_threads

OURS = "knotwell_rs"
ROOT = Path(__file__).resolve().parent.parent


@dataclass
class Settings:
    reps: int = 5
    budget_s: float = 2.0  # timed runs per implementation and case, beyond the warm-up
    warm_only_s: float = 5.0  # a warm-up slower than this is the only sample
    ours_factor: float = 2.0  # ours: that many times the budget and the warm-only bound
    timeout_s: float = 90.0  # Python-level peers are interrupted after this (seconds)
    quick: bool = False


@dataclass
class ImplResult:
    name: str
    library: str
    status: str = "ok"  # ok, error, timeout, skipped
    detail: str = ""
    threads: int | None = None
    workers: int | None = None
    e2e: list[float] = field(default_factory=list)  # whole calls (build + algorithm)
    algo: list[float] = field(default_factory=list)
    build: list[float] = field(default_factory=list)  # shared builds, timed on their own
    warmup_s: float | None = None
    peak_bytes: int | None = None
    check: str = ""
    check_detail: str = ""
    note: str = ""
    digest: str | None = None  # of ours' raw result, to compare pool sizes

    @property
    def median(self) -> float | None:
        """End to end: the median whole call, or, when the graph build was
        shared between cases, the median build plus the median algorithm."""
        if self.build:
            return statistics.median(self.build) + statistics.median(self.algo) if self.algo else None
        return statistics.median(self.e2e) if self.e2e else None

    @property
    def algo_median(self) -> float | None:
        return statistics.median(self.algo) if self.algo else None

    def to_json(self) -> dict:
        d = asdict(self)
        d["e2e_median_s"] = self.median
        d["algo_median_s"] = self.algo_median
        d["build_median_s"] = statistics.median(self.build) if self.build else None
        d["runs"] = len(self.algo) if self.build else len(self.e2e)
        return d


@dataclass
class CaseResult:
    name: str
    func: str
    graph: dict | None
    params: dict
    status: str = "ok"  # ok, not built, error
    detail: str = ""
    impls: list[ImplResult] = field(default_factory=list)
    targets: list[dict] = field(default_factory=list)
    memory_target: dict | None = None
    rate: dict | None = None
    size: int | None = None
    seconds: float = 0.0
    note: str = ""

    def ours(self) -> ImplResult | None:
        return next((r for r in self.impls if r.name == OURS), None)

    def to_json(self) -> dict:
        d = {k: v for k, v in asdict(self).items() if k != "impls"}
        ours = self.ours()
        d["impls"] = []
        for r in self.impls:
            j = r.to_json()
            j["ratio"] = (r.median / ours.median) if (ours and ours.median and r.median and r is not ours) else None
            d["impls"].append(j)
        return d


# ---------------------------------------------------------------- memory --

_LIBC = None


def _trim():
    global _LIBC
    try:
        if _LIBC is None:
            _LIBC = ctypes.CDLL("libc.so.6")
        _LIBC.malloc_trim(0)
    except OSError:
        pass


def _status_kb(key: str) -> int | None:
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except OSError:
        return None
    return None


def _reset_peak() -> int | None:
    """Reset VmHWM to the current RSS; returns that RSS in bytes, or None
    where the kernel does not offer it."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        return None
    rss = _status_kb("VmRSS")
    return rss * 1024 if rss is not None else None


def _peak_growth(base: int | None) -> int | None:
    hwm = _status_kb("VmHWM")
    if base is None or hwm is None:
        return None
    return max(0, hwm * 1024 - base)


# ---------------------------------------------------------------- timing --

class _Timeout(Exception):
    pass


def _on_alarm(signum, frame):
    raise _Timeout()


def _run_once(impl: Impl, ctx: dict, timeout: float | None, number: int = 1) -> tuple[object, float, float | None]:
    """One timed sample: (raw result, end-to-end seconds, algorithm seconds),
    averaged over `number` back-to-back calls (more than one only for calls
    too short for the clock).  The collector is off during the call; there is
    no full collection before it, since the live peer graphs (millions of
    networkx dicts) would make each one cost seconds."""
    use_alarm = timeout is not None and hasattr(signal, "setitimer")
    if use_alarm:
        old = signal.signal(signal.SIGALRM, _on_alarm)
        signal.setitimer(signal.ITIMER_REAL, timeout * number)
    gc.disable()
    total = algo_total = 0.0
    try:
        with with_threads(impl.library, impl.threads):
            for _ in range(number):
                out = None
                t0 = time.perf_counter()
                graph = impl.build(ctx) if impl.build is not None else None
                t1 = time.perf_counter()
                out = impl.algo(ctx, graph)
                t2 = time.perf_counter()
                total += t2 - t0
                algo_total += t2 - t1
                del graph
    finally:
        gc.enable()
        if use_alarm:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, old)
    return out, total / number, (algo_total / number) if impl.build is not None else None


# Calls shorter than this are repeated within one sample.
_MIN_SAMPLE_S = 2e-3


def _number_for(res: ImplResult) -> int:
    w = max(res.warmup_s or 0.0, 1e-7)
    return 1 if w >= _MIN_SAMPLE_S else min(1000, int(_MIN_SAMPLE_S / w) + 1)


def _warm_up(impl: Impl, ctx: dict, res: ImplResult, settings: Settings):
    """The first call: memory, result, and how long a call takes."""
    gc.collect()
    _trim()
    base = _reset_peak()
    try:
        out, e2e, algo = _run_once(impl, ctx, settings.timeout_s)
    except _Timeout:
        res.status, res.detail = "timeout", f"over {settings.timeout_s:.0f} s"
        return None
    except Exception as exc:  # a peer failing is reported, not fatal
        res.status, res.detail = "error", f"{type(exc).__name__}: {exc}"[:300]
        return None
    res.peak_bytes = _peak_growth(base)
    res.warmup_s = e2e
    if e2e > _bounds(res, settings)[1]:
        res.e2e.append(e2e)
        if algo is not None:
            res.algo.append(algo)
        res.detail = "one run (slow): warm-up is the sample"
    return out


def _bounds(res: ImplResult, settings: Settings) -> tuple[float, float]:
    """(budget of timed runs, warm-only bound) for this implementation."""
    factor = settings.ours_factor if res.library == OURS else 1.0
    return settings.budget_s * factor, settings.warm_only_s * factor


def _reps_for(res: ImplResult, settings: Settings) -> int:
    if res.status != "ok" or res.e2e or res.algo:  # failed, or warm-up already counted
        return 0
    w = max(res.warmup_s or 0.0, 1e-9)
    budget = _bounds(res, settings)[0]
    if w * settings.reps <= budget:
        return settings.reps
    return max(1, int(budget / w))


# ---------------------------------------------------------- shared builds --

@dataclass
class BuiltGraph:
    obj: object = None
    times: list[float] = field(default_factory=list)
    peak_bytes: int | None = None
    error: str = ""


@dataclass
class SameCall:
    """A peer call timed in an earlier case on the same graph (see
    Impl.same_call): its result row and raw result."""

    result: ImplResult
    raw: object
    case: str


class BuildCache:
    """What the cases of the current input graph share: its edge array,
    the peer graphs (each built and timed once: a warm-up build for memory,
    then up to `BUILD_REPS` more within the budget, keeping the last object
    for the cases' algorithms) and the peer calls made by several cases."""

    BUILD_REPS = 3
    SLOW_BUILD_S = 2.0

    def __init__(self):
        self.graph_name: str | None = None
        self.edges = None
        self.built: dict[str, BuiltGraph] = {}
        self.calls: dict[str, SameCall] = {}

    def for_graph(self, name: str | None):
        if name != self.graph_name:
            self.built.clear()
            self.calls.clear()
            self.edges = None
            gc.unfreeze()
            gc.collect()
            gc.freeze()
            _trim()
            self.graph_name = name

    def get(self, build: Build, ctx: dict, settings: Settings, progress=None, label: str = "") -> BuiltGraph:
        entry = self.built.get(build.key)
        if entry is not None:
            return entry
        entry = BuiltGraph()
        self.built[build.key] = entry
        impl = Impl(build.key, build.key.split("/")[0], algo=lambda c, _: build(c))
        probe = ImplResult(build.key, impl.library)
        if progress:
            progress(label, f"building {build.key}")
        obj = _warm_up(impl, ctx, probe, settings)
        if probe.status != "ok":
            entry.error = f"graph build: {probe.detail}"
            return entry
        entry.peak_bytes = probe.peak_bytes
        entry.times = [probe.warmup_s]
        # A build is a deterministic amount of work: a slow one is timed once.
        slow = probe.e2e or probe.warmup_s > self.SLOW_BUILD_S
        reps = 0 if slow else min(self.BUILD_REPS, _reps_for(probe, settings))
        for r in range(reps):
            if progress:
                progress(label, f"building {build.key} {r + 1}/{reps}")
            del obj
            obj, t, _ = _run_once(impl, ctx, settings.timeout_s, _number_for(probe))
            entry.times.append(t)
        if len(entry.times) > 1:
            entry.times = entry.times[1:]  # the first build was the warm-up
        entry.obj = obj
        # Keep the collector off the built graph: later full collections
        # (before each memory measurement) then stay cheap.
        gc.collect()
        gc.freeze()
        return entry


# ----------------------------------------------------------------- a case --

def ours_impl(case: Case, module) -> Impl:
    return Impl(OURS, OURS, algo=lambda ctx, _: case.ours(module, ctx), canon=case.ours_canon)


def prepare(case: Case, builds: BuildCache | None = None) -> dict:
    """The case's inputs; the edge array is loaded once per graph."""
    ctx: dict = {"graph": case.graph}
    if case.graph is not None:
        if builds is not None and builds.edges is not None:
            edges = builds.edges
        else:
            edges = G.load(case.graph)
            if builds is not None:
                builds.edges = edges
        ctx["edges"] = edges
        ctx["n"] = case.graph.n
    case.setup(ctx)
    return ctx


def graph_info(case: Case, ctx: dict | None = None) -> dict | None:
    """The input graph as reported: as requested until it is loaded, then
    with its real edge count."""
    if case.graph is None:
        return None
    g = case.graph
    m = int(len(ctx["edges"])) if ctx is not None else g.m
    return {"name": g.name, "kind": g.kind, "n": g.n, "m": m, "seed": g.seed, "description": g.description}


def select_peers(case: Case, ctx: dict) -> list[tuple[Impl, str | None]]:
    """(peer, reason it is skipped or None)."""
    m = len(ctx["edges"]) if "edges" in ctx else (case.size or 0)
    chosen = []
    for p in case.peers:
        if not available(p.library):
            chosen.append((p, "not installed"))
        elif p.max_m is not None and m > p.max_m:
            chosen.append((p, "not run at this size (time budget)"))
        else:
            chosen.append((p, None))
    return chosen


def _canon(impl: Impl, raw, ctx):
    return impl.canon(raw, ctx) if impl.canon is not None else raw


def run_case(case: Case, module, settings: Settings, progress=None, builds: BuildCache | None = None) -> CaseResult:
    """Load, warm up and check, time, then the worker variants: the
    procedure of the module docstring."""
    started = time.perf_counter()
    cr = CaseResult(name=case.name, func=case.func, graph=graph_info(case), params=dict(case.params), note=case.note)
    if module is None or not hasattr(module, case.func):
        cr.status = "not built"
        return cr
    builds = builds if builds is not None else BuildCache()
    builds.for_graph(case.graph.name if case.graph else None)
    try:
        ctx = prepare(case, builds)
    except Exception as exc:
        cr.status, cr.detail = "error", f"graph/inputs: {type(exc).__name__}: {exc}"
        return cr
    cr.graph = graph_info(case, ctx)
    cr.size = cr.graph["m"] if cr.graph else case.size
    run = _CaseRun(case, ctx, settings, progress, builds)
    run.gather(ours_impl(case, module))
    if run.warm_up_and_check():
        run.timed_rounds()
        run.worker_variants()
        cr.impls = list(run.results.values())
        _finish(case, cr, ctx)
    else:
        cr.status, cr.detail = "error", f"ours failed: {run.results[OURS].detail}"
        cr.impls = [run.results[OURS]]
    cr.seconds = time.perf_counter() - started
    return cr


class _CaseRun:
    """The phases of one case; `results` holds a row per implementation in
    registry order, `impls` the ones still to warm up and time."""

    def __init__(self, case: Case, ctx: dict, settings: Settings, progress, builds: BuildCache):
        self.case, self.ctx, self.settings, self.builds = case, ctx, settings, builds
        self.progress = progress or (lambda *_: None)
        self.results: dict[str, ImplResult] = {}
        self.impls: list[Impl] = []
        self.shared: dict[str, BuiltGraph] = {}  # impl name -> its shared graph
        self.reused: list[tuple[Impl, SameCall]] = []
        self.ours_form = None

    def gather(self, ours: Impl):
        """Our call and the peers that run on this graph, with their shared
        graphs built (or taken from the cache)."""
        self.impls.append(ours)
        self.results[OURS] = ImplResult(OURS, OURS)
        for p, skip in select_peers(self.case, self.ctx):
            r = ImplResult(p.name, p.library, threads=p.threads, note=p.note)
            self.results[p.name] = r
            if skip:
                r.status, r.detail = "skipped", skip
                continue
            earlier = self.builds.calls.get(p.same_call) if p.same_call else None
            if earlier is not None:
                self.reused.append((p, earlier))
                continue
            if isinstance(p.build, Build):
                entry = self.builds.get(p.build, self.ctx, self.settings, self.progress, self.case.name)
                if entry.error:
                    r.status, r.detail = "error", entry.error
                    continue
                self.shared[p.name] = entry
                r.build = list(entry.times)
                p = _on_built(p, entry)
            self.impls.append(p)

    def warm_up_and_check(self) -> bool:
        """Warm-up, memory and result of each implementation, then the
        checks against ours; False when ours failed."""
        for impl in self.impls:
            res = self.results[impl.name]
            self.progress(self.case.name, impl.name + " (warm-up)")
            raw = _warm_up(impl, self.ctx, res, self.settings)
            if impl.name in self.shared:
                _move_to_algo(res)
                if res.peak_bytes is not None and self.shared[impl.name].peak_bytes is not None:
                    res.peak_bytes += self.shared[impl.name].peak_bytes
            if res.status != "ok":
                if impl.name == OURS:
                    return False
                continue
            self._check(impl, raw, res)
            if impl.name == OURS:
                res.digest = digest(raw)
            if impl.same_call:
                self.builds.calls[impl.same_call] = SameCall(res, raw, self.case.name)
            del raw
        for peer, earlier in self.reused:
            res = self.results[peer.name]
            for key in ("status", "detail", "e2e", "algo", "build", "warmup_s", "peak_bytes"):
                value = getattr(earlier.result, key)
                setattr(res, key, list(value) if isinstance(value, list) else value)
            res.detail = "; ".join(x for x in (res.detail, f"the same call as in {earlier.case}, timed there") if x)
            self._check(peer, earlier.raw, res)
        return True

    def _check(self, impl: Impl, raw, res: ImplResult):
        is_ours = impl.name == OURS
        form = _check(self.case, impl, raw, self.ctx, res, self.ours_form, is_ours)
        if is_ours:
            self.ours_form = form

    def timed_rounds(self):
        """Interleaved timed runs: round r runs every implementation still
        due, in an order rotated by r."""
        impls = [i for i in self.impls if self.results[i.name].status == "ok"]
        reps = {impl.name: _reps_for(self.results[impl.name], self.settings) for impl in impls}
        for r in range(max(reps.values(), default=0)):
            for impl in impls[r % len(impls):] + impls[:r % len(impls)]:
                if reps[impl.name] > r and not self._one_timed_run(impl, r, reps):
                    reps[impl.name] = r

    def _one_timed_run(self, impl: Impl, r: int, reps: dict) -> bool:
        self.progress(self.case.name, f"{impl.name} run {r + 1}/{reps[impl.name]}")
        res = self.results[impl.name]
        try:
            out, e2e, algo = _run_once(impl, self.ctx, self.settings.timeout_s, _number_for(res))
            del out
        except _Timeout:
            res.detail = f"timed run over {self.settings.timeout_s:.0f} s"
            return False
        except Exception as exc:
            res.status, res.detail = "error", f"{type(exc).__name__}: {exc}"[:300]
            return False
        if impl.name in self.shared:
            res.algo.append(e2e)
        else:
            res.e2e.append(e2e)
            if algo is not None:
                res.algo.append(algo)
        return True

    def worker_variants(self):
        """Ours with other pool sizes, each in a fresh process, compared
        bit for bit with the main run. A case with a worker-scaling target
        also runs the default pool size that way, so that the two sides of
        the target are measured alike (a long-lived process that has run
        many other cases is not a fresh one)."""
        main = self.results[OURS]
        sizes = list(self.case.workers)
        if any(_is_scaling(t) for t in self.case.targets) and _pool_size() not in sizes:
            sizes.append(_pool_size())
        for w in sizes:
            self.progress(self.case.name, f"{OURS} with {w} worker(s), subprocess")
            variant = run_child(self.case.name, w, self.settings)
            if variant.status == "ok" and variant.digest and main.digest:
                same = variant.digest == main.digest
                variant.check = "ok" if same else "DIFF"
                variant.check_detail = (f"same result bits as with {_pool_size()} workers" if same
                                        else f"result differs from the one with {_pool_size()} workers")
            self.results[variant.name] = variant


def _on_built(peer: Impl, entry: BuiltGraph) -> Impl:
    """The peer's algorithm on its already built graph (timed as algorithm
    only; the build's own times are added to give the end-to-end figure)."""
    return dataclasses.replace(peer, algo=lambda c, _: peer.algo(c, entry.obj), build=None)


def _move_to_algo(res: ImplResult):
    # A warm-up that counted as the sample was a call of the algorithm alone.
    res.algo.extend(res.e2e)
    res.e2e.clear()


def _check(case: Case, impl: Impl, raw, ctx, res: ImplResult, ours_form, is_ours: bool):
    """Fill in res.check: ours judged on its own (where the check can),
    a peer compared with ours' form.  Returns this result's form."""
    try:
        form = _canon(impl, raw, ctx)
    except Exception as exc:
        res.check, res.check_detail = "error", f"cannot read result: {type(exc).__name__}: {exc}"[:300]
        return None
    if is_ours:
        v = case.check.self_check(form, ctx)
        if v is not None:
            res.check, res.check_detail = v.status, v.detail
        else:
            res.check = "ref"
        return form
    if not impl.checked:
        res.check, res.check_detail = "n/a", "not comparable"
        return form
    if ours_form is None:
        res.check, res.check_detail = "n/a", "no result of ours"
        return form
    try:
        v: Verdict = case.check.compare(ours_form, form, ctx)
    except Exception as exc:
        v = Verdict("error", f"{type(exc).__name__}: {exc}"[:300])
    res.check, res.check_detail = v.status, v.detail
    return form


def _is_scaling(target) -> bool:
    """A target against ours with another pool size ("knotwell_rs[1w]")."""
    return all(p.startswith(OURS + "[") for p in target.peers)


def _finish(case: Case, cr: CaseResult, ctx: dict):
    main = cr.ours()
    by_name = {r.name: r for r in cr.impls}
    for t in case.targets:
        ours = main
        alike = by_name.get(f"{OURS}[{_pool_size()}w]") if _is_scaling(t) else None
        if alike is not None and alike.median:
            ours = alike
        got = [by_name[p] for p in t.peers if p in by_name and by_name[p].median]
        entry = {"peers": list(t.peers), "ratio": t.ratio, "area": t.area, "text": t.text,
                 "achieved": None, "met": None}
        missing = [p for p in t.peers if p not in by_name or not by_name[p].median]
        if missing:
            entry["missing"] = missing
        if got and ours and ours.median:
            best = min(got, key=lambda r: r.median)
            entry["achieved"] = best.median / ours.median
            entry["against"] = best.name
            entry["met"] = entry["achieved"] >= t.ratio
        cr.targets.append(entry)
    ours = main
    if case.memory is not None:
        bound = float(case.memory.bound(ctx))
        peak = ours.peak_bytes if ours else None
        cr.memory_target = {"bound_bytes": bound, "peak_bytes": peak, "area": case.memory.area,
                            "text": case.memory.text, "met": (peak <= bound) if peak is not None else None}
    if case.rate is not None and ours and ours.median:
        label, amount = case.rate
        cr.rate = {"label": label, "value": float(amount(ctx)) / ours.median}


# ------------------------------------------------------------ subprocess --

def digest(raw) -> str:
    """A hash of a raw result (arrays by their bytes, floats by their bits),
    to tell whether two runs gave exactly the same answer."""
    import hashlib

    import numpy as np

    h = hashlib.sha256()

    def feed(x):
        if isinstance(x, np.ndarray):
            h.update(str((x.dtype.str, x.shape)).encode())
            h.update(np.ascontiguousarray(x).tobytes())
        elif isinstance(x, (list, tuple)):
            h.update(b"[")
            for item in x:
                feed(item)
            h.update(b"]")
        elif isinstance(x, float):
            h.update(struct.pack("<d", x))
        else:
            h.update(repr(x).encode())

    feed(raw)
    return h.hexdigest()[:16]


def _pool_size() -> int:
    env = os.environ.get("RAYON_NUM_THREADS") or os.environ.get("RAYON_RS_NUM_CPUS")
    try:
        return int(env) if env and int(env) > 0 else (os.cpu_count() or 1)
    except ValueError:
        return os.cpu_count() or 1


def run_child(case_name: str, workers: int, settings: Settings) -> ImplResult:
    """Time ours on one case in a fresh interpreter with a pool of `workers`."""
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    env.pop("RAYON_RS_NUM_CPUS", None)
    cmd = [sys.executable, "-m", "bench", "--child", case_name]
    if settings.quick:
        cmd.append("--quick")
    res = ImplResult(f"{OURS}[{workers}w]", OURS, workers=workers, note=f"RAYON_NUM_THREADS={workers}, own process")
    try:
        proc = subprocess.run(cmd, cwd=ROOT, env=env, capture_output=True, text=True,
                              timeout=settings.timeout_s * (settings.reps + 2))
    except subprocess.TimeoutExpired:
        res.status, res.detail = "timeout", "subprocess timed out"
        return res
    try:
        data = json.loads(proc.stdout.strip().splitlines()[-1])
    except (IndexError, json.JSONDecodeError):
        res.status, res.detail = "error", (proc.stderr.strip().splitlines() or ["no output"])[-1][:300]
        return res
    for key in ("status", "detail", "e2e", "warmup_s", "peak_bytes", "check", "check_detail", "digest"):
        setattr(res, key, data.get(key, getattr(res, key)))
    return res


def child_main(case: Case, module, settings: Settings) -> dict:
    """Body of `python -m bench --child NAME`: ours only, warm-up + runs."""
    ctx = prepare(case)
    impl = ours_impl(case, module)
    res = ImplResult(OURS, OURS)
    raw = _warm_up(impl, ctx, res, settings)
    if res.status == "ok":
        _check(case, impl, raw, ctx, res, None, is_ours=True)
        res.digest = digest(raw)
        del raw
        for _ in range(_reps_for(res, settings)):
            out, e2e, _ = _run_once(impl, ctx, settings.timeout_s, _number_for(res))
            del out
            res.e2e.append(e2e)
    return res.to_json()
