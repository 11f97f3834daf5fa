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
