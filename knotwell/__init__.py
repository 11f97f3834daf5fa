"""knotwell: graph measures and null-model ensembles over NumPy edge arrays."""
