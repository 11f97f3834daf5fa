"""Rewiring validates its input once, before it allocates anything for the
samples: bad input is reported as such however many samples were asked for."""

import os

import numpy as np
import pytest

import knotwell_rs as kw
from conftest import E


SELF_LOOP = "edges must not contain self-loops; degree-preserving randomization samples simple graphs"
REPEAT = "edges must not repeat an edge; degree-preserving randomization samples simple graphs"
BUDGET = "max_attempts must be at least target_swaps, or no run could succeed"


@pytest.mark.parametrize("n_samples", [1, 7, 2**40, 2**63, 2**64 - 1])
@pytest.mark.parametrize(
    "n, rows, target, attempts, message",
    [
        (4, [(2, 2)], 1, 1, SELF_LOOP),
        (4, [(0, 1), (1, 0)], 1, 1, REPEAT),
        (4, [(0, 1), (2, 3)], 5, 4, BUDGET),
        (4, [(0, 1), (2, 9)], 5, 4, "edge 1 (2, 9) names a node id outside [0, 4)"),
    ],
)
def test_bad_input_reported_before_sample_memory(n, rows, target, attempts, message, n_samples):
    with pytest.raises(ValueError) as info:
        kw.rewire_degree_preserving_rust(n, E(rows), n_samples, target, attempts, 0)
    assert str(info.value) == message


# Under the sanitizer only sizes that fail before reaching the allocator (it
# aborts on absurd requests instead of failing them).
IMPOSSIBLE = [2**63] + ([] if os.environ.get("KNOTWELL_SANITIZE") else [2**40])


@pytest.mark.parametrize("n_samples", IMPOSSIBLE)
def test_good_input_with_impossible_block_is_memory_error(n_samples):
    with pytest.raises(MemoryError):
        kw.rewire_degree_preserving_rust(4, E([(0, 1), (2, 3)]), n_samples, 1, 10, 0)


def test_no_samples_checks_nothing():
    block, swaps, attempts = kw.rewire_degree_preserving_rust(4, E([(2, 2), (2, 2)]), 0, 5, 0, 0)
    assert block.shape == (0, 2, 2) and swaps == [] and attempts == []
