"""The machine's memory limits, measured with numpy, against which the
streaming and traversal functions are judged.

- Sequential read: bytes per second of a sum over an array far larger than
  the caches (one core; and all cores, one thread per core on a slice each:
  numpy releases the interpreter lock inside the reduction).
- Random reads: 8-byte elements per second gathered from such an array at
  uniformly random positions (`np.take`, whose index stream is itself read in
  order, so this is the rate a traversal that looks up one neighbour's entry
  per edge can reach), per core and for all cores.

Each figure is the best of a few runs: a limit is what the machine can do,
and a busy neighbour only ever makes a run slower.
"""

from __future__ import annotations

import os
import threading
import time

import numpy as np

# 256 MiB arrays: 8-32 times the last-level cache of current server parts.
TABLE_BYTES = 1 << 28
GATHERS = 1 << 23
RUNS = 3


def _best(fn, runs: int = RUNS) -> float:
    best = float("inf")
    for _ in range(runs):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def _on_threads(work, parts: int):
    """Run work(i) for i in range(parts) on `parts` threads at once."""
    threads = [threading.Thread(target=work, args=(i,)) for i in range(parts)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def sequential_read(data: np.ndarray, threads: int = 1) -> float:
    """Bytes per second of summing `data` (float64) on `threads` threads,
    each over its own contiguous slice."""
    chunks = np.array_split(data, threads)
    if threads == 1:
        seconds = _best(lambda: float(np.add.reduce(data)))
    else:
        seconds = _best(lambda: _on_threads(lambda i: np.add.reduce(chunks[i]), threads))
    return data.nbytes / seconds


def random_reads(table: np.ndarray, index: np.ndarray, threads: int = 1) -> float:
    """8-byte elements per second gathered from `table` at `index`, the
    index split over `threads` threads."""
    chunks = np.array_split(index, threads)
    outs = [np.empty(len(c), dtype=table.dtype) for c in chunks]

    def gather(i):
        np.take(table, chunks[i], out=outs[i])

    seconds = _best(lambda: _on_threads(gather, threads) if threads > 1 else gather(0))
    return len(index) / seconds


def measure(table_bytes: int = TABLE_BYTES, gathers: int = GATHERS, cores: int | None = None) -> dict:
    """The four limits (per core and for `cores` cores, default all) and
    the array sizes they were measured with."""
    cores = cores or os.cpu_count() or 1
    rng = np.random.default_rng(1)
    table = np.arange(table_bytes // 8, dtype=np.float64)
    index = rng.integers(0, len(table), gathers)
    return {
        "seq_read_bytes_per_s": sequential_read(table),
        "seq_read_bytes_per_s_all": sequential_read(table, cores),
        "random_reads_per_s": random_reads(table, index),
        "random_reads_per_s_all": random_reads(table, index, cores),
        "cores": cores,
        "array_bytes": table.nbytes,
        "gathers": gathers,
    }
