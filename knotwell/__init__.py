"""knotwell: graph measures and null-model ensembles over NumPy edge arrays.

The front door to the native module `knotwell_rs`: converters from the graphs
users have (networkx, igraph, scipy.sparse, pandas, pairs of names) to its
arrays and back to node names, small classic datasets, null-model ensembles
with z-scores and empirical p-values, and the sweeps over all sources
(betweenness, closeness, harmonic centrality, the mean shortest path), run on
this machine's cores or, given a Dask ``client``, on a cluster with the same
results; ``betweenness_estimate`` samples the sources instead and reports
error bars.

Examples
--------
>>> import knotwell, knotwell_rs
>>> g = knotwell.datasets.florentine_families()
>>> cores = knotwell_rs.core_numbers_rust(g.n, g.edges)
>>> g.by_name(cores)["Medici"]
2
"""

from __future__ import annotations

from pkgutil import extend_path

# Run from a source checkout (tests, benchmarks), this directory comes first
# on sys.path but holds no compiled module; the installed copy of the package
# does, so its directory joins the search path of the submodules.
__path__ = extend_path(__path__, __name__)

from . import datasets, statistics  # noqa: E402
from ._convert import from_edges, from_igraph, from_networkx, from_pandas, from_scipy  # noqa: E402
from ._graph import Graph  # noqa: E402
from ._models import MODELS  # noqa: E402
from ._null import NonFiniteNullWarning, SwapShortfallWarning, null_model, sample  # noqa: E402
from ._result import NullModelResult  # noqa: E402
from ._seeds import sample_seed, sample_seeds  # noqa: E402
from ._sweeps_api import (  # noqa: E402
    BetweennessEstimate,
    betweenness,
    betweenness_estimate,
    closeness,
    harmonic,
    mean_shortest_path,
)
from ._version import __version__  # noqa: E402

__all__ = [
    "BetweennessEstimate",
    "Graph",
    "MODELS",
    "NonFiniteNullWarning",
    "NullModelResult",
    "SwapShortfallWarning",
    "__version__",
    "betweenness",
    "betweenness_estimate",
    "closeness",
    "datasets",
    "from_edges",
    "from_igraph",
    "from_networkx",
    "from_pandas",
    "from_scipy",
    "harmonic",
    "mean_shortest_path",
    "null_model",
    "sample",
    "sample_seed",
    "sample_seeds",
    "statistics",
]
