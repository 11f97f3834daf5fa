"""Type stubs for the knotwell_rs extension module."""

import numpy as np
from numpy.typing import NDArray

__all__: list[str]

def degree_rust(n: int, edges: NDArray[np.uint64], directed: bool) -> NDArray[np.uint64]:
    """Compute degree sequence"""

def in_degree_rust(n: int, edges: NDArray[np.uint64]) -> NDArray[np.uint64]:
    """Compute in-degree sequence"""

def out_degree_rust(n: int, edges: NDArray[np.uint64]) -> NDArray[np.uint64]:
    """Compute out-degree sequence"""

def strength_rust(
    n: int, edges: NDArray[np.uint64], weights: NDArray[np.float64], directed: bool
) -> NDArray[np.float64]:
    """Compute strength sequence (weighted degree)"""

def triangles_per_node_rust(n: int, edges: NDArray[np.uint64]) -> NDArray[np.uint64]:
    """Count triangles per node"""

def clustering_avg_rust(n: int, edges: NDArray[np.uint64]) -> float:
    """Compute average clustering coefficient"""

def clustering_local_rust(n: int, edges: NDArray[np.uint64]) -> NDArray[np.float64]:
    """Compute local clustering coefficients"""

def mean_shortest_path_rust(n: int, edges: NDArray[np.uint64]) -> float:
    """Compute mean shortest path length"""

def shortest_paths_rust(n: int, edges: NDArray[np.uint64], source: int, directed: bool) -> NDArray[np.uint64]:
    """Compute shortest paths from source"""

def shortest_paths_multi_rust(
    n: int, edges: NDArray[np.uint64], sources: NDArray[np.uint64], directed: bool
) -> NDArray[np.uint64]:
    """Compute shortest paths from several sources at once

    Builds the adjacency list once and sweeps the sources in parallel, so this
    costs far less than one `shortest_paths_rust` call per source. Row `i` holds
    the distances from `sources[i]`.
    """

def connected_components_rust(n: int, edges: NDArray[np.uint64]) -> tuple[int, NDArray[np.uint64]]:
    """Compute connected components"""

def betweenness_rust(
    n: int,
    edges: NDArray[np.uint64],
    weights: NDArray[np.float64] | None = None,
    directed: bool = False,
    normalized: bool = True,
) -> NDArray[np.float64]:
    """Compute betweenness centrality (Brandes)"""

def core_numbers_rust(n: int, edges: NDArray[np.uint64]) -> NDArray[np.uint64]:
    """Compute k-core numbers"""

def rewire_degree_preserving_rust(
    n: int,
    edges: NDArray[np.uint64],
    n_samples: int,
    target_swaps: int,
    max_attempts: int,
    seed: int,
) -> tuple[NDArray[np.uint64], list[int], list[int]]:
    """Generate degree-preserving null models by double edge swap

    Returns (edges, swaps, attempts): an [n_samples, n_edges, 2] array of
    rewired edge lists, plus what each sample actually achieved. A sample whose
    swap count falls short of `target_swaps` is too constrained to randomize —
    the caller decides whether that is usable, but it is never hidden.
    """

def configuration_model_rust(degrees: NDArray[np.uint64], seed: int) -> tuple[NDArray[np.uint64], int]:
    """Sample a simple graph with the given degree sequence

    Returns (edges, discarded_pairings). Pairings that would self-loop or
    repeat an edge are dropped, so the realized degrees can fall short of the
    requested ones by twice the discarded count.
    """

def erdos_renyi_rust(n: int, m: int, seed: int) -> NDArray[np.uint64]:
    """Sample a uniformly random simple graph with n nodes and m edges"""

def louvain_rust(
    n: int,
    edges: NDArray[np.uint64],
    weights: NDArray[np.float64] | None = None,
    resolution: float = 1.0,
    seed: int | None = None,
    max_levels: int = 20,
) -> tuple[NDArray[np.uint64], float, int, int]:
    """Detect communities with the Louvain method

    Returns (labels, modularity, n_communities, n_levels).
    """

def label_propagation_rust(
    n: int,
    edges: NDArray[np.uint64],
    weights: NDArray[np.float64] | None = None,
    seed: int = 0,
    max_iter: int = 100,
) -> NDArray[np.uint64]:
    """Detect communities by asynchronous label propagation"""

def modularity_rust(
    n: int,
    edges: NDArray[np.uint64],
    labels: NDArray[np.uint64],
    weights: NDArray[np.float64] | None = None,
    resolution: float = 1.0,
) -> float:
    """Compute the modularity of a partition"""
