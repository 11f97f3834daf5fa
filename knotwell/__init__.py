"""knotwell: graph measures and null-model ensembles over NumPy edge arrays.

The front door to the native module `knotwell_rs`: converters from the graphs
users have (networkx, igraph, scipy.sparse, pandas, pairs of names) to its
arrays and back to node names, small classic datasets, and null-model
ensembles with z-scores and empirical p-values, run locally or on Dask.

Examples
--------
>>> import knotwell, knotwell_rs
>>> g = knotwell.datasets.florentine_families()
>>> cores = knotwell_rs.core_numbers_rust(g.n, g.edges)
>>> g.by_name(cores)["Medici"]
2
"""

from __future__ import annotations

from . import datasets, statistics
from ._convert import from_edges, from_igraph, from_networkx, from_pandas, from_scipy
from ._graph import Graph
from ._models import MODELS
from ._null import NonFiniteNullWarning, SwapShortfallWarning, null_model, sample
from ._result import NullModelResult
from ._seeds import sample_seed, sample_seeds
from ._version import __version__

__all__ = [
    "Graph",
    "MODELS",
    "NonFiniteNullWarning",
    "NullModelResult",
    "SwapShortfallWarning",
    "__version__",
    "datasets",
    "from_edges",
    "from_igraph",
    "from_networkx",
    "from_pandas",
    "from_scipy",
    "null_model",
    "sample",
    "sample_seed",
    "sample_seeds",
    "statistics",
]
