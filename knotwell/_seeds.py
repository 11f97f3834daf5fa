"""The per-sample seeds of an ensemble: outputs of one SplitMix64 stream.

Sample i of an ensemble run with `seed` is the single sample that the native
generator returns when called with output number i (counting from 0) of a
SplitMix64 stream whose state starts at `seed`. That is the same stream the
native module uses for its own per-sample seeds, so sample i can be made again
with `knotwell_rs` alone, and it depends on nothing but (seed, i): not on the
batch size, the number of threads or the machines that ran the ensemble.

Output i is the mixing function applied to seed + (i + 1) * gamma (mod 2^64),
so any slice of the stream is computed directly, without stepping through the
outputs before it.
"""

from __future__ import annotations

import operator
from typing import Any

import numpy as np


GAMMA = 0x9E3779B97F4A7C15
MIX1 = 0xBF58476D1CE4E5B9
MIX2 = 0x94D049BB133111EB
MASK = (1 << 64) - 1

_U64 = np.uint64


def check_seed(seed: Any) -> int:
    """`seed` as a Python int in [0, 2^64), or a TypeError / ValueError."""
    if isinstance(seed, bool):
        # operator.index takes True as 1; `samples` refuses a bool, so does `seed`.
        raise TypeError("seed must be an integer, got bool")
    try:
        value = operator.index(seed)
    except TypeError:
        raise TypeError(f"seed must be an integer, got {type(seed).__name__}") from None
    if not 0 <= value <= MASK:
        raise ValueError(f"seed must lie in [0, 2**64), got {value}")
    return value


def sample_seed(seed: int, i: int) -> int:
    """Native seed of sample `i`: output number `i` of SplitMix64(`seed`).

    Parameters
    ----------
    seed : int
        The ensemble's seed, in ``[0, 2**64)``.
    i : int
        Sample index, from 0.

    Returns
    -------
    int
        The seed the native generator gets for sample `i`.

    Examples
    --------
    >>> import knotwell
    >>> hex(knotwell.sample_seed(0, 0))
    '0xe220a8397b1dcdaf'
    """
    seed = check_seed(seed)
    i = operator.index(i)
    if not 0 <= i < MASK:
        raise ValueError(f"sample index must lie in [0, 2**64 - 1), got {i}")
    z = (seed + (i + 1) * GAMMA) & MASK
    z = ((z ^ (z >> 30)) * MIX1) & MASK
    z = ((z ^ (z >> 27)) * MIX2) & MASK
    return z ^ (z >> 31)


def sample_seeds(seed: int, stop: int, start: int = 0) -> np.ndarray:
    """Native seeds of samples `start` .. `stop` - 1 as a uint64 array.

    Parameters
    ----------
    seed : int
        The ensemble's seed, in ``[0, 2**64)``.
    stop, start : int
        The sample range ``[start, stop)``.

    Returns
    -------
    numpy.ndarray
        ``uint64`` seeds, ``sample_seeds(seed, stop)[i] == sample_seed(seed, i)``.

    Examples
    --------
    >>> import knotwell
    >>> knotwell.sample_seeds(7, 3)[2] == knotwell.sample_seed(7, 2)
    np.True_
    """
    seed = check_seed(seed)
    start, stop = operator.index(start), operator.index(stop)
    if not 0 <= start <= stop < MASK:
        raise ValueError(f"sample range [{start}, {stop}) must lie within [0, 2**64 - 1)")
    # uint64 array arithmetic wraps modulo 2^64 without warnings, which is
    # exactly the stream's arithmetic.
    counters = np.arange(stop - start, dtype=_U64) + _U64(start + 1)
    z = _U64(seed) + counters * _U64(GAMMA)
    z = (z ^ (z >> _U64(30))) * _U64(MIX1)
    z = (z ^ (z >> _U64(27))) * _U64(MIX2)
    return z ^ (z >> _U64(31))
