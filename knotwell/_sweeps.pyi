"""Source sweeps cut into pieces, for sweeps spread over processes and machines."""

import numpy as np
import numpy.typing as npt

def piece_count(length: int) -> int: ...
def betweenness_pieces(
    n: int,
    edges: npt.NDArray[np.uint64],
    first: int,
    last: int,
    weights: npt.NDArray[np.float64] | None = None,
    directed: bool = False,
    use_pool: bool = True,
) -> npt.NDArray[np.float64]: ...
def betweenness_moments(
    n: int,
    edges: npt.NDArray[np.uint64],
    sources: npt.NDArray[np.uint64],
    first: int,
    last: int,
    weights: npt.NDArray[np.float64] | None = None,
    directed: bool = False,
    use_pool: bool = True,
) -> npt.NDArray[np.float64]: ...
def distance_sums(
    n: int, edges: npt.NDArray[np.uint64], first: int, last: int, directed: bool = False, use_pool: bool = True
) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.uint64], npt.NDArray[np.float64]]: ...
def mean_path_batches(n: int) -> int: ...
def mean_path_sums(
    n: int, edges: npt.NDArray[np.uint64], first: int, last: int, use_pool: bool = True
) -> tuple[int, int]: ...
def sample_sources(n: int, samples: int, seed: int) -> npt.NDArray[np.uint64]: ...
