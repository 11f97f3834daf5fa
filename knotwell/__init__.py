"""knotwell: graph measures over NumPy edge arrays, on one machine or a Dask cluster.

The sweeps over all sources (betweenness, closeness, harmonic centrality, the
mean shortest path) run on this machine's cores or, given a Dask ``client``,
on a cluster, with the same results; ``betweenness_estimate`` samples the
sources instead and reports error bars.
"""

from pkgutil import extend_path

# Run from a source checkout (tests, benchmarks), this directory comes first
# on sys.path but holds no compiled module; the installed copy of the package
# does, so its directory joins the search path of the submodules.
__path__ = extend_path(__path__, __name__)

from ._sweeps_api import (  # noqa: E402
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
