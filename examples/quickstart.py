"""Every knotwell_rs function on Zachary's karate club (34 members, 78 friendships)."""

from pathlib import Path

import numpy as np

import knotwell_rs as kw

DATA = Path(__file__).parent / "data" / "karate.csv"

edges = np.loadtxt(DATA, delimiter=",", dtype=np.uint64, comments="#")
n = int(edges.max()) + 1
weights = np.ones(len(edges))
print(f"karate club: {n} nodes, {len(edges)} edges\n")


def show(label, value):
    print(f"{label:<28} {value}")


np.set_printoptions(precision=3, suppress=True, linewidth=100)
show("degree_rust", kw.degree_rust(n, edges, False))
show("in_degree_rust", kw.in_degree_rust(n, edges))
show("out_degree_rust", kw.out_degree_rust(n, edges))
show("strength_rust", kw.strength_rust(n, edges, weights, False))
