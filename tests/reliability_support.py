"""Shared machinery of the reliability tests.

- PARAMETERS: the nineteen functions' parameters (name, kind, default) in
  signature order.
- `predict`: a Python model of one call's boundary (binding, conversion in
  parameter order, edge shape, copies, the content checks in each function's
  order, and the memory a result needs); it says which exception a call must
  raise, or that it must succeed.
- `reference` / `validate`: what a successful call must return; networkx is
  the oracle where the result is deterministic, invariants and replay from the
  same seed where it is random.
- `snapshot`: byte-exact copies of the inputs, to prove they are not changed.
"""

import math
from collections import Counter
import operator
from dataclasses import dataclass

import networkx as nx
import numpy as np

import knotwell_rs as kw
from conftest import E, REQUIRED, TABLE, per_function

U64_MAX = 2**64 - 1
UNREACHABLE = U64_MAX
# Results or copies above this many bytes cannot exist on any test machine:
# they must fail with MemoryError (quickly, without touching the memory).
HUGE_BYTES = 2**40

REQ = object()  # marks a required parameter


@dataclass(frozen=True)
class Param:
    name: str
    kind: str  # count, opt_count, flag, real, edges, ids, weights, opt_weights
    default: object = REQ


# From the module's signature table (conftest.TABLE), in signature order.
PARAMETERS = {name: [Param(p.name, p.kind, REQ if p.default is REQUIRED else p.default) for p in f.params]
              for name, f in TABLE.items()}
ALL_FUNCTIONS = list(PARAMETERS)
RANDOMISED = {"rewire_degree_preserving_rust", "configuration_model_rust", "erdos_renyi_rust", "louvain_rust",
              "label_propagation_rust"}
assert RANDOMISED <= set(ALL_FUNCTIONS)
DETERMINISTIC = [f for f in ALL_FUNCTIONS if f not in RANDOMISED]


# --------------------------------------------------------------------------
# The outcome model.


class Outcome:
    """What a call must do: succeed ('ok'), raise `exc` (with `message` when
    it is fixed; `messages` when one of several is allowed), or run out of
    memory ('memory', where `small_result_ok` says a success is acceptable
    too, because the result itself is tiny)."""

    def __init__(self, kind, exc=None, message=None, messages=None, small_result_ok=False, also=()):
        self.kind, self.exc, self.message, self.messages = kind, exc, message, messages
        self.small_result_ok, self.also = small_result_ok, also

    def __repr__(self):
        return f"Outcome({self.kind}, {self.exc and self.exc.__name__}, {self.message!r})"


class Predicted(Exception):
    def __init__(self, outcome):
        self.outcome = outcome


# Set while a call's per-node tables cannot exist: the order of that
# MemoryError and the remaining content checks is not settled.
_node_tables_impossible = False


def fail(exc, message=None, also=(), **kw_):
    if _node_tables_impossible:
        also = tuple(also) + (MemoryError,)
    raise Predicted(Outcome("raise", exc, message, also=also, **kw_))


def memory(small_result_ok=False):
    raise Predicted(Outcome("memory", MemoryError, small_result_ok=small_result_ok))


def bind(name, args, kwargs):
    params = PARAMETERS[name]
    names = [p.name for p in params]
    total, required = len(params), sum(p.default is REQ for p in params)
    if len(args) > total:
        takes = str(total) if required == total else f"from {required} to {total}"
        was = "was" if len(args) == 1 else "were"
        fail(TypeError, f"{name}() takes {takes} positional arguments but {len(args)} {was} given")
    slots = dict(zip(names, args))
    for key, value in kwargs.items():
        if key not in names:
            fail(TypeError, f"{name}() got an unexpected keyword argument '{key}'")
        if key in slots:
            fail(TypeError, f"{name}() got multiple values for argument '{key}'")
        slots[key] = value
    missing = [p.name for p in params if p.default is REQ and p.name not in slots]
    if missing:
        quoted = [f"'{m}'" for m in missing]
        listed = quoted[0] if len(quoted) == 1 else (
            " and ".join(quoted) if len(quoted) == 2 else ", ".join(quoted[:-1]) + ", and " + quoted[-1])
        word = "argument" if len(missing) == 1 else "arguments"
        fail(TypeError, f"{name}() missing {len(missing)} required positional {word}: {listed}")
    return slots


def _type_name(obj):
    return type(obj).__qualname__


def convert(param, value):
    kind, name = param.kind, param.name
    if kind == "opt_count" and value is None:
        return None
    if kind in ("count", "opt_count"):
        try:
            index = operator.index(value)
        except TypeError as e:
            fail(TypeError, f"argument '{name}': {e}")
        if index < 0 or index > U64_MAX:
            fail(OverflowError)
        return index
    if kind == "flag":
        if type(value) is not bool:
            fail(TypeError, f"argument '{name}': '{_type_name(value)}' object cannot be converted to 'PyBool'")
        return value
    if kind == "real":
        if type(value) is float:
            return value
        try:
            return math.ldexp(value, 0)  # the interpreter's own float conversion (PyFloat_AsDouble)
        except TypeError as e:
            fail(TypeError, f"argument '{name}': {e}")
        except OverflowError:
            fail(OverflowError)
    if kind == "opt_weights" and value is None:
        return None
    ndim, wanted = {"edges": (2, np.uint64), "ids": (1, np.uint64), "weights": (1, np.float64),
                    "opt_weights": (1, np.float64)}[kind]
    if not isinstance(value, np.ndarray):
        fail(TypeError, f"argument '{name}': '{_type_name(value)}' object cannot be converted to 'PyArray<T, D>'")
    if value.ndim != ndim:
        fail(TypeError, f"argument '{name}': dimensionality mismatch:\n from={value.ndim}, to={ndim}")
    if value.dtype != np.dtype(wanted):
        fail(TypeError, f"argument '{name}': type mismatch:\n from={value.dtype}, to={np.dtype(wanted)}")
    # Each array is copied as it is converted, before the next argument is
    # looked at: a huge broadcast fails here, ahead of later arguments' errors.
    # An edge array that is not [m, 2] is not read at all: its shape error
    # comes after the conversions.
    if kind == "edges" and value.shape[1] != 2:
        return value
    _need(value.size * value.itemsize)
    return value


def _edge_message(i, s, t, n):
    return f"edge {i} ({s}, {t}) names a node id outside [0, {n})"


def _range(n, edges):
    bad = np.nonzero((edges[:, 0] >= n) | (edges[:, 1] >= n))[0] if n <= U64_MAX else []
    if len(bad):
        i = int(bad[0])
        fail(ValueError, _edge_message(i, int(edges[i, 0]), int(edges[i, 1]), n))


def fmt_weight(x):
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    if x == 0:
        return "-0" if math.copysign(1.0, x) < 0 else "0"
    if x == int(x):
        return str(int(x))
    from decimal import Decimal
    return format(Decimal(repr(x)), "f")


def _weights(weights, m, distance):
    if weights is None:
        return
    if len(weights) != m:
        fail(ValueError, f"weights length ({len(weights)}) must match edges length ({m})")
    rule = ("weights are distances and must be finite and strictly positive" if distance
            else "weights must be finite and non-negative")
    for i, w in enumerate(weights.tolist()):
        bad = (not math.isfinite(w)) or (w <= 0 if distance else w < 0)
        if bad:
            fail(ValueError, f"weight {i} is {fmt_weight(w)}, but {rule}")


def _resolution(g):
    if not (math.isfinite(g) and g > 0):
        fail(ValueError, "resolution must be finite and strictly positive")


def _need(nbytes, small_result_ok=False):
    if nbytes > HUGE_BYTES:
        memory(small_result_ok)


_small_result_ok = True


def _node_tables(n, small_result_ok=False):
    """Per-node tables of n entries; when they cannot exist, the remaining
    checks still run (see `content`)."""
    global _small_result_ok
    if _node_tables_impossible:
        _small_result_ok = _small_result_ok and small_result_ok
        return
    _need(8 * n)


def _copies(a):
    """The shape check, then the copies of the array arguments in parameter
    order (a copy of a huge broadcast array cannot be made)."""
    e = a.get("edges")
    if e is not None:
        if e.shape[1] != 2:
            fail(ValueError, f"edges must have shape [m, 2], got [{e.shape[0]}, {e.shape[1]}]")
        _need(16 * e.shape[0])
    for key in ("sources", "degrees", "labels", "weights"):
        v = a.get(key)
        if isinstance(v, np.ndarray):
            _need(8 * v.size)


def content(name, a):
    """Content checks and memory needs of a bound, converted call, in the
    function's order; returns normally when the call must succeed."""
    global _node_tables_impossible
    _copies(a)
    n, e = a.get("n"), a.get("edges")
    # With n beyond memory a function may size its per-node tables before (or
    # after) any of its content checks: either failure is sound.
    _node_tables_impossible = (name not in ("rewire_degree_preserving_rust", "erdos_renyi_rust",
                                            "configuration_model_rust") and 8 * n > HUGE_BYTES)
    global _small_result_ok
    _small_result_ok = True
    try:
        _content(name, a, n, e)
    finally:
        impossible, _node_tables_impossible = _node_tables_impossible, False
    if impossible:  # every content check passed, but the tables cannot exist
        memory(_small_result_ok)


def _content(name, a, n, e):
    m = 0 if e is None else e.shape[0]
    w = a.get("weights")
    if name in ("degree_rust", "in_degree_rust", "out_degree_rust", "triangles_per_node_rust",
                "clustering_local_rust", "mean_shortest_path_rust", "connected_components_rust",
                "core_numbers_rust"):
        _range(n, e)
        _node_tables(n)
    elif name == "strength_rust":
        _range(n, e)
        _weights(w, m, distance=False)
        _node_tables(n)
    elif name == "clustering_avg_rust":
        if n == 0:
            return
        _range(n, e)
        _node_tables(n)
    elif name == "shortest_paths_rust":
        _range(n, e)
        _node_tables(n)
        s = a["source"]
        if s >= n:
            fail(ValueError, _edge_message(0, s, s, n))
    elif name == "shortest_paths_multi_rust":
        _range(n, e)
        sources = a["sources"]
        _node_tables(n, small_result_ok=sources.size == 0)
        bad = sorted({int(s) for s in sources.tolist() if s >= n})
        if bad:
            fail(ValueError, messages=[_edge_message(0, s, s, n) for s in bad])
        _need(8 * n * sources.size)
    elif name == "betweenness_rust":
        _range(n, e)
        _weights(w, m, distance=True)
        if n == 0:
            return
        _node_tables(n)
    elif name == "rewire_degree_preserving_rust":
        k = a["n_samples"]
        if k == 0:
            return
        _range(n, e)
        if a["max_attempts"] < a["target_swaps"]:
            fail(ValueError, "max_attempts must be at least target_swaps, or no run could succeed")
        seen = set()
        for u, v in e.tolist():
            if u == v:
                fail(ValueError, "edges must not contain self-loops; degree-preserving randomization samples "
                     "simple graphs")
            pair = (min(u, v), max(u, v))
            if pair in seen:
                fail(ValueError, "edges must not repeat an edge; degree-preserving randomization samples simple "
                     "graphs")
            seen.add(pair)
        # validated once, before any per-sample table is allocated
        _need(8 * k)
        _need(16 * k * m)
    elif name == "configuration_model_rust":
        total = sum(int(d) for d in a["degrees"].tolist())
        if total > U64_MAX:
            # A sum beyond 64 bits is the implementer's to refuse: MemoryError
            # or a ValueError of its own; never the wrapped sum.
            raise Predicted(Outcome("memory", MemoryError, also=(ValueError,)))
        if total % 2:
            fail(ValueError, "degrees must sum to an even number; no graph has an odd degree sum")
        _need(8 * total)
    elif name == "erdos_renyi_rust":
        n, mm = a["n"], a["m"]
        # n (n - 1) saturates at 2^64 - 1 before the halving.
        pairs = min(n * (n - 1) if n > 0 else 0, U64_MAX) // 2
        if mm > pairs:
            fail(ValueError, "m must not exceed the number of distinct node pairs")
        _need(16 * mm)
    elif name == "louvain_rust":
        _range(n, e)
        _weights(w, m, distance=False)
        _resolution(a["resolution"])
        if a["max_levels"] == 0:
            fail(ValueError, "max_levels must be at least 1")
        _node_tables(n)
    elif name == "label_propagation_rust":
        _range(n, e)
        _weights(w, m, distance=False)
        if a["max_iter"] == 0:
            fail(ValueError, "max_iter must be at least 1")
        _node_tables(n)
    elif name == "modularity_rust":
        _range(n, e)
        _weights(w, m, distance=False)
        _resolution(a["resolution"])
        labels = a["labels"]
        if labels.size != n:
            fail(ValueError, f"labels length ({labels.size}) must equal the node count ({n})")
        _node_tables(n)
        if labels.size and int(labels.max()) >= 2**32:
            # Sizing accumulators by the largest id is the implementer's
            # choice: a compact mapping (exact result), MemoryError or a
            # ValueError of its own are all sound; a crash is not.
            raise Predicted(Outcome("ok", also=(MemoryError, ValueError)))
    else:
        raise AssertionError(name)


def predict(name, args, kwargs):
    """(Outcome, bound-and-converted arguments or None)."""
    try:
        slots = bind(name, args, kwargs)
        a = {}
        for p in PARAMETERS[name]:
            a[p.name] = convert(p, slots[p.name]) if p.name in slots else p.default
        content(name, a)
        return Outcome("ok"), a
    except Predicted as p:
        return p.outcome, (a if p.outcome.kind in ("ok", "memory") else None)


# --------------------------------------------------------------------------
# Canonical inputs and the references.


def canonical(a):
    """The same logical values as plain contiguous native arrays and ints."""
    out = {}
    for key, v in a.items():
        if isinstance(v, np.ndarray):
            out[key] = np.array(v, dtype=v.dtype.newbyteorder("="), order="C", copy=True)
        elif isinstance(v, bool) or v is None or isinstance(v, float):
            out[key] = v
        else:
            out[key] = int(v)
    return out


def undirected_simple(n, edges, weights=None, keep_loops=False, combine="first"):
    """nx.Graph of the edge rows; repeats summed ('sum') or min-weighted ('min')."""
    g = nx.Graph()
    g.add_nodes_from(range(n))
    for i, (u, v) in enumerate(edges.tolist()):
        if u == v and not keep_loops:
            continue
        w = 1.0 if weights is None else float(weights[i])
        if g.has_edge(u, v):
            if combine == "sum":
                g[u][v]["weight"] += w
            elif combine == "min":
                g[u][v]["weight"] = min(g[u][v]["weight"], w)
        else:
            g.add_edge(u, v, weight=w)
    return g


def directed_simple(n, edges, weights=None):
    g = nx.DiGraph()
    g.add_nodes_from(range(n))
    for i, (u, v) in enumerate(edges.tolist()):
        if u == v:
            continue
        w = 1.0 if weights is None else float(weights[i])
        if g.has_edge(u, v):
            g[u][v]["weight"] = min(g[u][v]["weight"], w)
        else:
            g.add_edge(u, v, weight=w)
    return g


def _distances(g, n, source):
    row = [UNREACHABLE] * n
    for t, d in nx.single_source_shortest_path_length(g, source).items():
        row[t] = d
    return row


def clustering_values(n, edges):
    g = undirected_simple(n, edges)
    tri = nx.triangles(g)
    cl = []
    for i in range(n):
        d = g.degree(i)
        cl.append(0.0 if d < 2 else float(tri[i] + tri[i]) / float(d * (d - 1)))
    return [tri[i] for i in range(n)], cl


def mean_of_clustering(cl):
    """S / n with the eight-lane summation order of clustering_avg_rust."""
    lanes = [0.0] * 8
    k = 0
    while len(cl) - k >= 8:
        for j in range(8):
            lanes[j] += cl[k + j]
        k += 8
    acc = 0.0 + (lanes[0] + lanes[4])
    acc = acc + (lanes[1] + lanes[5])
    acc = acc + (lanes[2] + lanes[6])
    acc = acc + (lanes[3] + lanes[7])
    for x in cl[k:]:
        acc += x
    return acc / float(len(cl))


def nx_modularity(n, edges, labels, weights, resolution):
    g = undirected_simple(n, edges, weights, keep_loops=True, combine="sum")
    total = g.size(weight="weight")
    if n == 0 or total <= 0:
        return 0.0
    if (2 * total) ** 2 == 0.0:
        # networkx divides by the squared degree sum, which underflows for
        # subnormal weights: it has no answer to compare with.
        return None
    groups = {}
    for i, c in enumerate(labels.tolist()):
        groups.setdefault(c, set()).add(i)
    return nx.community.modularity(g, list(groups.values()), weight="weight", resolution=resolution)


def _absorbs_a_length(g):
    """Whether some edge adds nothing to a distance it extends (d + w == d
    in floating point, w > 0). Nodes at equal distance can then precede one
    another: the search takes whichever is final first, while networkx also
    adds paths into a node already final, counting some pairs more than once,
    so it has no answer to compare with."""
    for s in g.nodes:
        dist = nx.single_source_dijkstra_path_length(g, s, weight="weight")
        for v, d in dist.items():
            if any(d + data["weight"] == d for _, data in g[v].items()):
                return True
    return False


def reference(name, a):
    """The exact expected result of a deterministic function (floats that the
    contract fixes bit for bit are exact; betweenness and modularity go
    through networkx's own float order and are compared with a tolerance)."""
    n, e = a.get("n"), a.get("edges")
    if name == "degree_rust":
        out = [0] * n
        for u, v in e.tolist():
            out[u] += 1
            if not a["directed"] and v != u:
                out[v] += 1
        return np.array(out, dtype=np.uint64)
    if name in ("in_degree_rust", "out_degree_rust"):
        col = 1 if name == "in_degree_rust" else 0
        return np.bincount(e[:, col].astype(np.int64), minlength=n).astype(np.uint64)
    if name == "strength_rust":
        out = [0.0] * n
        for (u, v), w in zip(e.tolist(), a["weights"].tolist()):
            out[u] += w
            if not a["directed"] and v != u:
                out[v] += w
        return np.array(out, dtype=np.float64)
    if name in ("triangles_per_node_rust", "clustering_local_rust", "clustering_avg_rust"):
        if name == "clustering_avg_rust" and n == 0:
            return 0.0
        tri, cl = clustering_values(n, e)
        if name == "triangles_per_node_rust":
            return np.array(tri, dtype=np.uint64)
        if name == "clustering_local_rust":
            return np.array(cl, dtype=np.float64)
        return mean_of_clustering(cl)
    if name == "mean_shortest_path_rust":
        g = undirected_simple(n, e)
        total = count = 0
        for s, row in nx.all_pairs_shortest_path_length(g):
            for t, d in row.items():
                if t > s:
                    total, count = total + d, count + 1
        return float(total) / float(count) if count else math.nan
    if name == "shortest_paths_rust":
        g = directed_simple(n, e) if a["directed"] else undirected_simple(n, e)
        return np.array(_distances(g, n, a["source"]), dtype=np.uint64)
    if name == "shortest_paths_multi_rust":
        g = directed_simple(n, e) if a["directed"] else undirected_simple(n, e)
        rows = [_distances(g, n, int(s)) for s in a["sources"].tolist()]
        return np.array(rows, dtype=np.uint64).reshape(len(rows), n)
    if name == "connected_components_rust":
        labels = [None] * n
        comps = sorted(nx.connected_components(undirected_simple(n, e)), key=min)
        for c, comp in enumerate(comps):
            for v in comp:
                labels[v] = c
        return (len(comps), np.array(labels, dtype=np.uint64))
    if name == "core_numbers_rust":
        core = nx.core_number(undirected_simple(n, e))
        return np.array([core[i] for i in range(n)], dtype=np.uint64)
    if name == "betweenness_rust":
        w = a["weights"]
        g = directed_simple(n, e, w) if a["directed"] else undirected_simple(n, e, w, combine="min")
        if w is not None and _absorbs_a_length(g):
            return None
        bc = nx.betweenness_centrality(g, normalized=a["normalized"], weight=None if w is None else "weight")
        return np.array([bc[i] for i in range(n)], dtype=np.float64)
    if name == "modularity_rust":
        return nx_modularity(n, e, a["labels"], a["weights"], a["resolution"])
    raise AssertionError(name)


def same(x, y, tol=False):
    if isinstance(x, tuple):
        return isinstance(y, tuple) and len(x) == len(y) and all(same(p, q, tol) for p, q in zip(x, y))
    if isinstance(x, np.ndarray):
        if not isinstance(y, np.ndarray) or x.dtype != y.dtype or x.shape != y.shape:
            return False
        if tol and x.dtype == np.float64:
            return bool(np.allclose(x, y, rtol=1e-9, atol=1e-12, equal_nan=True))
        return x.tobytes() == y.tobytes()
    if isinstance(x, float):
        if not isinstance(y, float):
            return False
        if math.isnan(x) or math.isnan(y):
            return math.isnan(x) and math.isnan(y)
        return math.isclose(x, y, rel_tol=1e-9, abs_tol=1e-12) if tol else x == y
    return type(x) is type(y) and x == y


TOLERANT = {"betweenness_rust", "modularity_rust"}


def check_fresh_array(arr, dtype, ndim):
    assert isinstance(arr, np.ndarray) and type(arr) is np.ndarray
    assert arr.dtype == np.dtype(dtype) and arr.ndim == ndim
    assert arr.flags.c_contiguous and arr.flags.writeable


def relabelled_by_first_appearance(labels):
    seen = {}
    for x in labels.tolist():
        seen.setdefault(x, len(seen))
    return labels.tolist() == [seen[x] for x in labels.tolist()]


def validate(name, a, result):
    """Asserts that `result` is a correct answer to the canonical call `a`."""
    if name in DETERMINISTIC:
        w = a.get("weights")
        if name == "modularity_rust" and w is not None and not math.isfinite(4 * float(np.sum(w))):
            # Strengths overflow: the float result is NaN or infinite by the
            # formula and networkx rounds differently; only the type is fixed.
            assert isinstance(result, float)
            return
        expected = reference(name, a)
        if expected is None and name == "betweenness_rust":
            # Each pair's dependencies are path fractions summing to at most
            # one per intermediate node, whatever ties the rounding made.
            n = a["n"]
            pairs = (n - 1) * (n - 2) if a["normalized"] and n >= 3 else 1
            bound = (n - 1) * (n - 2) / pairs / (1 if a["directed"] or a["normalized"] else 2)
            assert result.dtype == np.float64 and np.all(np.isfinite(result)), result
            assert np.all((result >= 0) & (result <= bound * (1 + 1e-12))), (bound, result)
            return
        if expected is None:
            assert isinstance(result, float)
            return
        assert same(expected, result, tol=name in TOLERANT), (name, expected, result)
        for arr in (result if isinstance(result, tuple) else (result,)):
            if isinstance(arr, np.ndarray):
                check_fresh_array(arr, arr.dtype, arr.ndim)
        return
    n, e = a.get("n"), a.get("edges")
    if name == "erdos_renyi_rust":
        check_fresh_array(result, np.uint64, 2)
        assert result.shape == (a["m"], 2)
        rows = [tuple(r) for r in result.tolist()]
        assert all(u < v < n for u, v in rows) and len(set(rows)) == len(rows)
    elif name == "configuration_model_rust":
        edges_out, discarded = result
        check_fresh_array(edges_out, np.uint64, 2)
        deg = [int(d) for d in a["degrees"].tolist()]
        rows = [tuple(r) for r in edges_out.tolist()]
        assert len(rows) + discarded == sum(deg) // 2
        assert all(u < v < len(deg) for u, v in rows) and len(set(rows)) == len(rows)
        real = [0] * len(deg)
        for u, v in rows:
            real[u] += 1
            real[v] += 1
        assert all(r <= d for r, d in zip(real, deg))
        assert sum(deg) - sum(real) == 2 * discarded
    elif name == "rewire_degree_preserving_rust":
        block, swaps, attempts = result
        k, m = a["n_samples"], e.shape[0]
        check_fresh_array(block, np.uint64, 3)
        assert block.shape == (k, m, 2) and len(swaps) == k and len(attempts) == k
        deg_in = Counter(e.ravel().tolist())
        for s in range(k):
            rows = [tuple(r) for r in block[s].tolist()]
            assert all(u < v < n for u, v in rows) and len(set(rows)) == len(rows)
            assert Counter(block[s].ravel().tolist()) == deg_in
            assert swaps[s] <= a["target_swaps"] and attempts[s] <= a["max_attempts"]
            assert swaps[s] == a["target_swaps"] or attempts[s] == a["max_attempts"] or m < 2
    elif name == "louvain_rust":
        labels, q, k, levels = result
        check_fresh_array(labels, np.uint64, 1)
        assert labels.shape == (n,) and relabelled_by_first_appearance(labels)
        assert k == (int(labels.max()) + 1 if n else 0)
        assert isinstance(q, float) and isinstance(levels, int) and levels <= a["max_levels"]
        expected_q = nx_modularity(n, e, labels, a["weights"], a["resolution"])
        if expected_q is not None and math.isfinite(expected_q):  # (extreme weights: no reference)
            assert math.isclose(q, expected_q, rel_tol=1e-9, abs_tol=1e-12), (q, expected_q)
    elif name == "label_propagation_rust":
        check_fresh_array(result, np.uint64, 1)
        assert result.shape == (n,) and relabelled_by_first_appearance(result)
        g = undirected_simple(n, e)
        for v in range(n):
            if g.degree(v) == 0:  # keeps its own community
                assert sum(1 for x in result.tolist() if x == result[v]) == 1
    else:
        raise AssertionError(f"no validation of {name}'s results")


# --------------------------------------------------------------------------
# Inputs left unchanged.


def snapshot(values):
    snap = []
    for v in values:
        if isinstance(v, np.ndarray):
            data = v.tobytes() if v.nbytes < 2**24 else None  # huge ones are read-only broadcasts
            snap.append((v, data, v.shape, v.strides, v.dtype, v.flags.writeable,
                         v.__array_interface__["data"][0]))
    return snap


def assert_unchanged(snap):
    for v, data, shape, strides, dtype, writeable, ptr in snap:
        assert (v.tobytes() if data is not None else None, v.shape, v.strides, v.dtype, v.flags.writeable,
                v.__array_interface__["data"][0]) == (data, shape, strides, dtype, writeable, ptr)


def call(name, a):
    """Calls `name` with the converted arguments `a` by keyword."""
    return getattr(kw, name)(**a)


# --------------------------------------------------------------------------
# Small valid calls, by function, for the thread and leak tests.

TRIANGLE_TAIL = E([(0, 1), (1, 2), (2, 0), (2, 3), (3, 4), (4, 5), (5, 3), (0, 0), (1, 0)])
SIMPLE = E([(0, 1), (1, 2), (2, 0), (2, 3), (3, 4), (4, 5), (5, 3), (1, 4)])


def sample_calls(n_nodes=6):
    """One valid call and one failing call (with its exception) per function."""
    e, w = TRIANGLE_TAIL, np.linspace(0.5, 2.0, len(TRIANGLE_TAIL))
    bad = E([(0, 1), (1, 99)])
    lab = np.array([0, 0, 0, 1, 1, 1], dtype=np.uint64)
    return per_function({
        "degree_rust": ((6, e, False), (6, bad, False)),
        "in_degree_rust": ((6, e), (6, bad)),
        "out_degree_rust": ((6, e), (6, bad)),
        "strength_rust": ((6, e, w, False), (6, e, -w, False)),
        "triangles_per_node_rust": ((6, e), (6, bad)),
        "clustering_avg_rust": ((6, e), (6, bad)),
        "clustering_local_rust": ((6, e), (6, bad)),
        "mean_shortest_path_rust": ((6, e), (6, bad)),
        "shortest_paths_rust": ((6, e, 0, True), (6, e, 6, False)),
        "shortest_paths_multi_rust": ((6, e, np.array([0, 3, 5], dtype=np.uint64), False),
                                      (6, e, np.array([0, 3, 9, 5], dtype=np.uint64), False)),
        "connected_components_rust": ((6, e), (6, bad)),
        "betweenness_rust": ((6, e, w, False, True), (6, e, w * 0.0, False, True)),
        "core_numbers_rust": ((6, e), (6, bad)),
        "rewire_degree_preserving_rust": ((6, SIMPLE, 3, 5, 50, 7), (6, e, 3, 5, 50, 7)),
        "configuration_model_rust": ((np.array([2, 2, 2, 3, 3, 2], dtype=np.uint64), 3),
                                     (np.array([2, 2, 1], dtype=np.uint64), 3)),
        "erdos_renyi_rust": ((6, 9, 11), (6, 16, 11)),
        "louvain_rust": ((6, e, w, 1.0, 5, 20), (6, e, w, 0.0, 5, 20)),
        "label_propagation_rust": ((6, e, w, 5, 100), (6, e, w, 5, 0)),
        "modularity_rust": ((6, e, lab, w, 1.0), (6, e, lab[:5], w, 1.0)),
    }, "sample_calls")


# --------------------------------------------------------------------------
# Medium calls: big enough that every per-call buffer is hundreds of KiB, so
# a buffer leaked per call shows in the process size; small enough to take a
# few milliseconds. The failing call of each fails late (the last edge, the
# last weight, a source in the middle), after the copies have been made.


def random_simple_edges(n, m, seed):
    rng = np.random.default_rng(seed)
    pairs = rng.integers(0, n, size=(3 * m, 2))
    pairs = pairs[pairs[:, 0] != pairs[:, 1]]
    pairs = np.sort(pairs, axis=1)
    pairs = np.unique(pairs, axis=0)[:m]
    rng.shuffle(pairs)
    return pairs.astype(np.uint64)


def medium_calls():
    big = random_simple_edges(20000, 60000, 1)
    bad_big = big.copy()
    bad_big[-1, 1] = 20000
    small = random_simple_edges(600, 1800, 2)
    bad_small = small.copy()
    bad_small[-1, 0] = 600
    wb = np.linspace(0.1, 3.0, len(big))
    ws = np.linspace(0.1, 3.0, len(small))
    bad_wb, bad_ws = wb.copy(), ws.copy()
    bad_wb[-1] = -1.0
    bad_ws[-1] = 0.0
    sources = np.arange(0, 20000, 97, dtype=np.uint64)
    bad_sources = sources.copy()
    bad_sources[len(sources) // 2] = 20000
    labels = (np.arange(20000) % 37).astype(np.uint64)
    degrees = np.bincount(big.ravel().astype(np.int64), minlength=20000).astype(np.uint64)
    odd = degrees.copy()
    odd[-1] += 1
    loops = big.copy()
    loops[-1] = (5, 5)
    return per_function({
        "degree_rust": ((20000, big, False), (20000, bad_big, False)),
        "in_degree_rust": ((20000, big), (20000, bad_big)),
        "out_degree_rust": ((20000, big), (20000, bad_big)),
        "strength_rust": ((20000, big, wb, False), (20000, big, bad_wb, False)),
        "triangles_per_node_rust": ((20000, big), (20000, bad_big)),
        "clustering_avg_rust": ((20000, big), (20000, bad_big)),
        "clustering_local_rust": ((20000, big), (20000, bad_big)),
        "mean_shortest_path_rust": ((600, small), (600, bad_small)),
        "shortest_paths_rust": ((20000, big, 3, False), (20000, big, 20000, False)),
        "shortest_paths_multi_rust": ((20000, big, sources, True), (20000, big, bad_sources, True)),
        "connected_components_rust": ((20000, big), (20000, bad_big)),
        "betweenness_rust": ((600, small, ws, False, True), (600, small, bad_ws, False, True)),
        "core_numbers_rust": ((20000, big), (20000, bad_big)),
        "rewire_degree_preserving_rust": ((20000, big, 4, 2000, 20000, 3), (20000, loops, 4, 2000, 20000, 3)),
        "configuration_model_rust": ((degrees, 5), (odd, 5)),
        "erdos_renyi_rust": ((20000, 60000, 9), (300, 44851, 9)),
        "louvain_rust": ((20000, big, wb, 1.0, 3, 20), (20000, big, wb, 1.0, 3, 0)),
        "label_propagation_rust": ((20000, big, wb, 3, 100), (20000, big, bad_wb, 3, 100)),
        "modularity_rust": ((20000, big, labels, wb, 1.0), (20000, big, labels[:-1], wb, 1.0)),
    }, "medium_calls")
