"""Results do not depend on the number of pool workers: each function that
sweeps on the pool (and the generators whose draws must not see the pool) runs
in fresh processes with 1, 2 and 3 workers and gives the same bits, float sums
included (a sweep's division depends only on its length)."""

import os
import subprocess
import sys
import textwrap

import pytest

PRELUDE = """
import hashlib
import numpy as np
import knotwell_rs as kw
h = hashlib.sha256()
def take(x):
    h.update(np.asarray(x).tobytes())
"""

# One body per function: the calls whose outputs are hashed.
CALLS = {
    "shortest_paths_multi_rust": """
        rng = np.random.default_rng(9)
        n = 1500
        edges = rng.integers(0, n, size=(4000, 2), dtype=np.uint64)
        sources = rng.integers(0, n, size=300, dtype=np.uint64)
        for directed in (False, True):
            take(kw.shortest_paths_multi_rust(n, edges, sources, directed))
    """,
    "mean_shortest_path_rust": """
        rng = np.random.default_rng(9)
        n = 1500
        edges = rng.integers(0, n, size=(4000, 2), dtype=np.uint64)
        take(np.float64(kw.mean_shortest_path_rust(n, edges)))
    """,
    "betweenness_rust": """
        rng = np.random.default_rng(11)
        n = 700
        edges = rng.integers(0, n, size=(2500, 2), dtype=np.uint64)
        w = rng.uniform(0.5, 3.0, size=len(edges))
        for weights in (None, w, np.ceil(w)):
            for directed in (False, True):
                take(kw.betweenness_rust(n, edges, weights, directed, True))
                # small components: pieces hand over sparse sums
                take(kw.betweenness_rust(20 * n, edges, weights, directed, True))
    """,
    "rewire_degree_preserving_rust": """
        import networkx as nx
        g = nx.gnm_random_graph(300, 1500, seed=5)
        edges = np.array(list(g.edges()), dtype=np.uint64)
        block, swaps, attempts = kw.rewire_degree_preserving_rust(300, edges, 7, 3000, 30000, 42)
        take(block)
        take([swaps, attempts])
    """,
    "configuration_model_rust": """
        cm, dropped = kw.configuration_model_rust(np.arange(42, dtype=np.uint64) % 7 + 1, 3)
        take(cm)
        take([dropped])
    """,
    "erdos_renyi_rust": """
        take(kw.erdos_renyi_rust(100, 400, 8))
    """,
}


def digest(body, workers):
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    env["RAYON_NUM_THREADS"] = str(workers)
    code = PRELUDE + textwrap.dedent(body) + "print(h.hexdigest())\n"
    proc = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return proc.stdout.strip()


@pytest.mark.parametrize("function", sorted(CALLS))
def test_same_bits_for_any_pool_size(function):
    digests = [digest(CALLS[function], workers) for workers in (1, 2, 3)]
    assert len(digests[0]) == 64
    assert digests[0] == digests[1] == digests[2]
