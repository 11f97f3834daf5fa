"""Is a network's clustering, or its rich club, more than its degrees explain?

Runs degree-preserving null models on Zachary's karate club and on a larger
heavy-tailed graph, prints z-scores and p-values, and draws docs/null_models.png:
average clustering against its null histogram, and the rich-club coefficient
rho(k) = phi(k) / mean null phi(k) with the null's 95% band.

    python examples/null_models.py                       # local threads
    python examples/null_models.py --scheduler tcp://scheduler:8786   # a Dask cluster
"""

import argparse
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import knotwell as ke  # noqa: E402
import knotwell_rs as kw  # noqa: E402
from knotwell import statistics as st  # noqa: E402

HERE = Path(__file__).parent
OUT = HERE.parent / "docs" / "null_models.png"


def karate():
    g = ke.datasets.karate_club()
    return "karate club", g.n, g.edges


def heavy_tailed(n=5000, links=3, triad=0.7, seed=4):
    """Preferential attachment with triad formation (Holme & Kim 2002): heavy-tailed and clustered.

    Each new node makes `links` links: the first to a node drawn in proportion
    to degree, each further one, with probability `triad`, to a random
    neighbour of the previous target (closing a triangle), else again in
    proportion to degree.
    """
    rng = np.random.default_rng(seed)
    neighbours = [set(range(links + 1)) - {v} for v in range(links + 1)]  # a small clique to start from
    ends = [v for v in range(links + 1) for _ in range(links)]  # every edge end once: degree-proportional draws
    for new in range(links + 1, n):
        targets, last = set(), None
        while len(targets) < links:
            if last is not None and rng.random() < triad and neighbours[last] - targets:
                pool = sorted(neighbours[last] - targets)
                last = pool[rng.integers(len(pool))]
            else:
                last = ends[rng.integers(len(ends))]
            if last not in targets:
                targets.add(last)
        neighbours.append(set(targets))
        for t in targets:
            neighbours[t].add(new)
            ends += [t, new]
    edges = np.array([(u, v) for u in range(n) for v in neighbours[u] if u < v], dtype=np.uint64)
    return f"Holme-Kim graph, {n} nodes", n, edges


def study(name, n, edges, samples, client):
    print(f"{name}: {n} nodes, {len(edges)} edges, {samples} rewired samples each")
    clustering = ke.null_model(n, edges, st.average_clustering, samples=samples, client=client, progress=False)
    print(f"  average clustering {clustering.observed:.4f}, null {clustering.mean:.4f} +- {clustering.std:.4f}, "
          f"z = {clustering.zscore:.1f}, p = {clustering.pvalue:.3g}")
    rich = ke.null_model(n, edges, st.RichClub.for_graph(n, edges), samples=samples, client=client,
                         progress=False)
    top = int(np.nanargmax(np.where(rich.pvalue < 0.05, rich.rho, np.nan))) if (rich.pvalue < 0.05).any() else None
    print(f"  rich club: rho(k) for k = 0 .. {len(rich.rho) - 1}; " +
          ("no k with p < 0.05" if top is None else f"largest significant rho({top}) = {rich.rho[top]:.2f}"))
    return clustering, rich


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scheduler", help="address of a Dask scheduler (default: run locally)")
    parser.add_argument("--samples", type=int, default=500)
    args = parser.parse_args()
    client = None
    if args.scheduler:
        from distributed import Client

        client = Client(args.scheduler)
    fig, axes = plt.subplots(2, 2, figsize=(11, 8))
    for row, (name, n, edges) in zip(axes, (karate(), heavy_tailed())):
        clustering, rich = study(name, n, edges, args.samples, client)
        clustering.plot(ax=row[0])
        row[0].set_title(f"{name}: average clustering\n" + row[0].get_title(), fontsize=10)
        rich.plot(ax=row[1], normalized=True)
        row[1].set_xlabel("k (degree above which a node is rich)")
        row[1].set_ylabel("rho(k) = phi(k) / mean null phi(k)")
        row[1].set_title(f"{name}: normalised rich-club coefficient", fontsize=10)
    fig.tight_layout()
    fig.savefig(OUT, dpi=110)
    print(f"wrote {OUT.relative_to(HERE.parent)}")


if __name__ == "__main__":
    main()
