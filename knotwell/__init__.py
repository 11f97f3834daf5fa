"""knotwell: graph measures over NumPy edge arrays, on one machine or a Dask cluster.

The sweeps over all sources (betweenness, closeness, harmonic centrality, the
mean shortest path) run on this machine's cores or, given a Dask ``client``,
on a cluster, with the same results; ``betweenness_estimate`` samples the
sources instead and reports error bars.
"""

from ._sweeps_api import (
    BetweennessEstimate,
    betweenness,
    betweenness_estimate,
    closeness,
    harmonic,
    mean_shortest_path,
)

__all__ = [
    "BetweennessEstimate",
    "betweenness",
    "betweenness_estimate",
    "closeness",
    "harmonic",
    "mean_shortest_path",
]
