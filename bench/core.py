"""The data model of the harness: implementations, cases, targets, checks.

A *case* is one function of knotwell_rs on one named graph with fixed
parameters.  It names the call of ours, the peers that compute the same thing
(each as an optional timed graph build plus the timed algorithm), how each
result is brought to a common form, how the forms are compared, and the
performance targets set for it.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Callable

import numpy as np

from .graphs import GraphSpec

UNREACHABLE = np.uint64(2**64 - 1)
Ctx = dict  # per-case inputs prepared outside the timed region


@dataclass(frozen=True)
class Build:
    """A peer's graph construction that several cases on the same graph can
    share: built (and timed) once per graph and key, then handed to each
    case's algorithm.  Algorithms that change their graph must not use it."""

    key: str
    fn: Callable[[Ctx], Any]

    def __call__(self, ctx: Ctx) -> Any:
        return self.fn(ctx)


@dataclass
class Impl:
    """One way of computing a case's result.

    The end-to-end time covers `build` (the library's graph from the edge
    array) plus `algo`; the algorithm-only time covers `algo` alone.  `canon`
    (untimed) turns the raw result into the form the case's check compares.
    """

    name: str
    library: str
    algo: Callable[[Ctx, Any], Any]
    build: "Build | Callable[[Ctx], Any] | None" = None
    canon: Callable[[Any, Ctx], Any] | None = None
    threads: int | None = None  # NetworKit's own thread count for this run
    max_m: int | None = None  # not run on graphs with more edges
    note: str = ""
    checked: bool = True  # False: the result is not comparable (timed only)
    # Cases on one graph whose peer makes the very same call (igraph's local
    # transitivity serves both triangles and local clustering) name it by
    # one key: the call then runs and is timed once per graph, and each case
    # reads its own form from the shared raw result.
    same_call: str | None = None


@dataclass
class Target:
    """A speed goal: ours end to end at least `ratio` times faster than the
    fastest of `peers` (impl names); a worker-scaling goal names the impl
    "knotwell_rs[1w]"."""

    peers: tuple[str, ...]
    ratio: float
    area: str  # the family of functions the goal was set for, e.g. "paths"
    text: str


@dataclass
class MemoryTarget:
    """A memory goal: ours' peak RSS growth at most bound(ctx) bytes."""

    bound: Callable[[Ctx], float]
    area: str
    text: str


@dataclass
class Case:
    name: str
    func: str
    graph: GraphSpec | None
    setup: Callable[[Ctx], None]  # fills ctx (from n, edges) with the inputs
    ours: Callable[[Any, Ctx], Any]  # (module, ctx) -> raw result
    check: "Check"
    peers: list[Impl] = field(default_factory=list)
    ours_canon: Callable[[Any, Ctx], Any] | None = None
    params: dict = field(default_factory=dict)  # shown in the report
    targets: list[Target] = field(default_factory=list)
    memory: MemoryTarget | None = None
    workers: tuple[int, ...] = ()  # extra runs of ours with these pool sizes
    rate: tuple[str, Callable[[Ctx], float]] | None = None  # ("edges/s", amount of work)
    size: int | None = None  # x value of the plot when there is no input graph
    note: str = ""


# ---------------------------------------------------------------- checks --

@dataclass
class Verdict:
    status: str  # "ok", "DIFF", "n/a", "error"
    detail: str = ""


class Check:
    """Compares a peer's canonical result with ours'."""

    kind = "none"

    def compare(self, ours: Any, peer: Any, ctx: Ctx) -> Verdict:
        return Verdict("n/a")

    def self_check(self, ours: Any, ctx: Ctx) -> Verdict | None:
        return None


class Exact(Check):
    kind = "exact"

    def compare(self, ours, peer, ctx):
        a, b = np.asarray(ours), np.asarray(peer)
        if a.shape != b.shape:
            return Verdict("DIFF", f"shape {a.shape} vs {b.shape}")
        bad = int(np.count_nonzero(a != b))
        if bad:
            i = np.flatnonzero((a != b).ravel())[0]
            return Verdict("DIFF", f"{bad} entries differ, first at {i}: {a.ravel()[i]} vs {b.ravel()[i]}")
        return Verdict("ok", "identical")


class Close(Check):
    kind = "close"

    def __init__(self, rtol: float = 1e-9, atol: float = 1e-12):
        self.rtol, self.atol = rtol, atol

    def compare(self, ours, peer, ctx):
        a, b = np.asarray(ours, dtype=np.float64), np.asarray(peer, dtype=np.float64)
        if a.shape != b.shape:
            return Verdict("DIFF", f"shape {a.shape} vs {b.shape}")
        both_nan = np.isnan(a) & np.isnan(b)
        err = np.abs(a - b)
        scale = np.maximum(np.abs(a), np.abs(b))
        bad = ~both_nan & ~(err <= self.atol + self.rtol * scale)
        rel = float(np.max(np.where(both_nan | (scale == 0), 0.0, err / np.where(scale == 0, 1, scale)), initial=0.0))
        if np.any(bad):
            return Verdict("DIFF", f"{int(np.count_nonzero(bad))} values beyond rtol {self.rtol:g}; max rel {rel:.2e}")
        return Verdict("ok", f"max rel diff {rel:.1e}")


class Components(Check):
    """(count, labels) with labels renumbered by first appearance, which is
    how ours numbers them; peers' numbering is arbitrary."""

    kind = "exact"

    def compare(self, ours, peer, ctx):
        (ca, la), (cb, lb) = ours, peer
        if ca != cb:
            return Verdict("DIFF", f"{ca} vs {cb} components")
        return Exact().compare(la, lb, ctx)


class Quality(Check):
    """Community detection: results differ by design, so the modularity of
    each partition is recomputed by one reference formula and ours must not
    be more than `tolerance` (relative) below the peer's, nor more than
    `floor` below it where modularity is near zero (label propagation often
    ends in one giant community)."""

    kind = "modularity"

    def __init__(self, tolerance: float, floor: float = 0.005):
        self.tolerance, self.floor = tolerance, floor

    def compare(self, ours, peer, ctx):
        qa, qb = ours["q"], peer["q"]
        detail = f"Q {qa:.4f} vs {qb:.4f} ({ours['k']} vs {peer['k']} communities)"
        if qa < qb - max(self.tolerance * abs(qb), self.floor):
            return Verdict("LOWER", detail)
        return Verdict("ok", detail)

    def self_check(self, ours, ctx):
        reported = ours.get("reported")
        if reported is None:
            return None
        if not np.isclose(reported, ours["q"], rtol=1e-9, atol=1e-12):
            return Verdict("DIFF", f"reported Q {reported!r} but its labels give {ours['q']!r}")
        if ours.get("reported_k") is not None and ours["reported_k"] != ours["k"]:
            return Verdict("DIFF", f"reported {ours['reported_k']} communities, labels hold {ours['k']}")
        return Verdict("ok", f"reported Q matches its labels ({reported:.4f})")


class Valid(Check):
    """Random generators: each result is judged on its own (canon returns
    (problems, summary)); summaries are compared loosely (`within`, relative)."""

    kind = "valid"

    def __init__(self, within: float | None = None, what: str = "edges"):
        self.within, self.what = within, what

    def _judge(self, res):
        problems, summary = res
        if problems:
            return Verdict("DIFF", "; ".join(problems))
        return None

    def compare(self, ours, peer, ctx):
        bad = self._judge(peer)
        if bad:
            return bad
        a, b = ours[1], peer[1]
        if not isinstance(a, int) or not isinstance(b, int):
            return Verdict("ok", str(b))
        detail = f"{self.what} {a:,} vs {b:,}"
        if self.within is not None and abs(a - b) > self.within * max(a, b, 1):
            return Verdict("DIFF", detail + f" (more than {self.within:.0%} apart)")
        return Verdict("ok", detail)

    def self_check(self, ours, ctx):
        bad = self._judge(ours)
        if bad:
            return bad
        summary = f"{self.what} {ours[1]:,}" if isinstance(ours[1], int) else str(ours[1])
        return Verdict("ok", "valid; " + summary)


# ------------------------------------------------------- canonical forms --

def as_u64(x, ctx=None) -> np.ndarray:
    return np.asarray(x).astype(np.uint64)


def distances_u64(x, ctx=None) -> np.ndarray:
    """Peer distances (float with inf or DBL_MAX, or -1) as uint64 with the
    unreachable marker."""
    a = np.asarray(x)
    if a.dtype.kind == "f":
        out = np.full(a.shape, UNREACHABLE, dtype=np.uint64)
        ok = np.isfinite(a) & (a < 1e300) & (a >= 0)
        out[ok] = a[ok].astype(np.uint64)
        return out
    if a.dtype.kind == "i":
        out = a.astype(np.uint64)
        out[a < 0] = UNREACHABLE
        return out
    return a.astype(np.uint64)


def first_appearance(labels) -> tuple[int, np.ndarray]:
    """(number of distinct labels, labels renumbered 0, 1, ... in order of
    first appearance)."""
    labels = np.asarray(labels)
    if labels.size == 0:
        return 0, labels.astype(np.uint64)
    uniq, first, inverse = np.unique(labels, return_index=True, return_inverse=True)
    rank = np.empty(len(uniq), dtype=np.uint64)
    rank[np.argsort(first, kind="stable")] = np.arange(len(uniq), dtype=np.uint64)
    return len(uniq), rank[inverse.ravel()]


def reference_modularity(n: int, edges: np.ndarray, labels, weights=None, resolution: float = 1.0) -> float:
    """Newman-Girvan modularity with resolution of an undirected weighted
    graph, vectorised: Q = sum_c L_c / W - gamma (d_c / 2W)^2, where a
    self-loop counts once in W and L_c and twice in a strength."""
    if n == 0 or len(edges) == 0:
        return 0.0
    u = edges[:, 0].astype(np.int64)
    v = edges[:, 1].astype(np.int64)
    w = np.ones(len(u)) if weights is None else np.asarray(weights, dtype=np.float64)
    total = float(w.sum())
    if total <= 0:
        return 0.0
    k, lab = first_appearance(labels)
    lab = lab.astype(np.int64)
    strength = np.bincount(u, w, n) + np.bincount(v, w, n)
    same = lab[u] == lab[v]
    internal = np.bincount(lab[u][same], w[same], k)
    degree_sum = np.bincount(lab, strength, k)
    return float(np.sum(internal / total - resolution * (degree_sum / (2 * total)) ** 2))


def community_form(labels, ctx, reported_q=None, reported_k=None) -> dict:
    k, lab = first_appearance(labels)
    q = reference_modularity(ctx["n"], ctx["edges"], lab, ctx.get("weights"), ctx.get("resolution", 1.0))
    return {"q": q, "k": k, "reported": reported_q, "reported_k": reported_k}


def simple_graph_problems(n: int, edges: np.ndarray, m: int | None = None,
                          degrees: np.ndarray | None = None, at_most: bool = False) -> list[str]:
    """What is wrong with an edge array meant to be a simple undirected graph
    on n nodes (with exactly m edges, and/or degree sequence `degrees`, or
    degrees at most `degrees` when at_most)."""
    problems = []
    e = np.asarray(edges).reshape(-1, 2).astype(np.uint64)
    if m is not None and len(e) != m:
        problems.append(f"{len(e)} edges, expected {m}")
    if len(e) and int(e.max()) >= n:
        problems.append("node id out of range")
        return problems
    lo, hi = np.minimum(e[:, 0], e[:, 1]), np.maximum(e[:, 0], e[:, 1])
    loops = int(np.count_nonzero(lo == hi))
    if loops:
        problems.append(f"{loops} self-loops")
    key = np.sort(lo * np.uint64(max(n, 1)) + hi)
    repeats = int(np.count_nonzero(key[1:] == key[:-1])) if len(key) > 1 else 0
    if repeats:
        problems.append(f"{repeats} repeated pairs")
    if degrees is not None:
        d = np.bincount(e.ravel().astype(np.int64), minlength=n)[:n].astype(np.int64)
        want = np.asarray(degrees, dtype=np.int64)
        if at_most:
            if np.any(d > want):
                problems.append(f"{int(np.count_nonzero(d > want))} nodes above their requested degree")
        elif not np.array_equal(d, want):
            problems.append(f"{int(np.count_nonzero(d != want))} degrees changed")
    return problems
