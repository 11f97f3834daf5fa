"""Cost of the exact betweenness sweep against the mean-path sweep on the
same graph: `python -m bench.betweenness_ratio [--reps R]`.

Both sweeps are cut into fixed pieces (betweenness: 1/256 of the sources in
id order, each a uniform sample of places; mean path: batches of 128
sources grown as balls), so a few pieces run on the calling thread stand for
the whole sweep. Times are the calling thread's CPU seconds, which other load
on the machine dilutes far less than wall time; the two sweeps' runs are
interleaved and the median of `reps` is kept. The whole-sweep estimates
scale each by its share of the sources.

Graphs: the benchmark's random geometric graph of 50,000 nodes (mean degree
about 8, diameter in the hundreds of hops, path counts past 2^1000) and a
200 x 200 lattice.
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np

from bench import cases
from bench import graphs as G


def cpu(fn):
    start = time.thread_time()
    fn()
    return time.thread_time() - start


def spread(count, total, width):
    """`count` ranges of `width` consecutive indices spread evenly over [0, total)."""
    return [min(total - width, (total * i) // count) for i in range(count)]


def measure(name, n, edges, reps, pieces, batch_ranges, batch_width):
    from knotwell import _sweeps

    n_pieces = _sweeps.piece_count(n)
    n_batches = _sweeps.mean_path_batches(n)
    firsts = spread(pieces, n_pieces, 1)
    batch_firsts = spread(batch_ranges, n_batches, batch_width)
    btw, mean = [], []
    for _ in range(reps):
        btw.append(sum(cpu(lambda k=k: _sweeps.betweenness_pieces(n, edges, k, k + 1, None, False, False))
                       for k in firsts))
        mean.append(sum(cpu(lambda b=b: _sweeps.mean_path_sums(n, edges, b, b + batch_width, False))
                        for b in batch_firsts))
    btw_sources = sum((n * (k + 1)) // n_pieces - (n * k) // n_pieces for k in firsts)
    mean_sources = min(n, batch_ranges * batch_width * 128)
    b, m = statistics.median(btw), statistics.median(mean)
    btw_full, mean_full = b / btw_sources * n, m / mean_sources * n
    print(f"{name}: betweenness {b:.2f} s CPU for {btw_sources} sources, "
          f"mean path {m:.2f} s CPU for {mean_sources} sources (median of {reps}); "
          f"whole sweeps about {btw_full:.0f} s and {mean_full:.1f} s CPU, ratio {btw_full / mean_full:.2f}",
          flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--pieces", type=int, default=3)
    args = parser.parse_args()
    rgg = cases._rgg(50_000)
    measure("rgg-50k", rgg.n, G.load(rgg), args.reps, args.pieces, 3, 8)
    side = 200
    measure("lattice-200", side * side, G.lattice(side, side), args.reps, args.pieces, 3, 8)


if __name__ == "__main__":
    main()
