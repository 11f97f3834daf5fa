"""Degree against the bare scatter-increment loop on the same rows:
`python -m bench.scatter [--reps R]`.

The loop is the least any degree count can do once the rows are in memory:
`count[u] += 1; count[v] += 1` for every row, into 64-bit counters, compiled
here with the module's compiler and optimisation level (c++ -O3, no
machine-specific flags). Random increments into a table past the caches
bound it, not the reading of the rows. Both are timed on the benchmark's
R-MAT graphs of 2^20 and 2^22 nodes (16 rows a node), interleaved; the
minimum of `reps` runs each is kept. degree_rust is timed end to end,
argument binding and result array included.
"""

from __future__ import annotations

import argparse
import subprocess
import tempfile
import time
from pathlib import Path

import numpy as np

import knotwell_rs as kw

from . import cases
from . import graphs as G

LOOP = r"""
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

// argv: path of a raw little-endian uint64 (rows x 2) file, n, rows.
int main(int argc, char** argv) {
    if (argc != 4) return 2;
    const std::uint64_t n = std::strtoull(argv[2], nullptr, 10), rows = std::strtoull(argv[3], nullptr, 10);
    std::vector<std::uint64_t> e(2 * rows);
    std::FILE* f = std::fopen(argv[1], "rb");
    if (f == nullptr || std::fread(e.data(), 8, e.size(), f) != e.size()) return 3;
    std::fclose(f);
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<std::uint64_t> count(n, 0);
    for (std::uint64_t i = 0; i < rows; ++i) {
        ++count[e[2 * i]];
        ++count[e[2 * i + 1]];
    }
    const auto t1 = std::chrono::steady_clock::now();
    std::uint64_t check = 0;
    for (std::uint64_t c : count) check += c;
    std::printf("%.9f %llu\n", std::chrono::duration<double>(t1 - t0).count(), (unsigned long long)check);
    return 0;
}
"""


def compile_loop(directory: Path) -> Path:
    """The bare loop, built in `directory`; returns the executable."""
    source, binary = directory / "scatter.cpp", directory / "scatter"
    source.write_text(LOOP)
    subprocess.run(["c++", "-O3", "-std=c++20", "-o", str(binary), str(source)], check=True)
    return binary


def bare_loop(binary: Path, raw: Path, n: int, rows: int) -> float:
    """Seconds of the loop over the rows in `raw` (its reading excluded)."""
    out = subprocess.run([str(binary), str(raw), str(n), str(rows)], capture_output=True, text=True, check=True)
    seconds, check = out.stdout.split()
    assert int(check) == 2 * rows, "the loop lost increments"
    return float(seconds)


def ours(n: int, edges: np.ndarray) -> float:
    t0 = time.perf_counter()
    kw.degree_rust(n, edges, False)
    return time.perf_counter() - t0


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--reps", type=int, default=5)
    args = parser.parse_args()
    sets = cases.graph_sets(False)
    graphs = [g for g in sets["large_rmat"] + sets["huge"] if g.name in ("rmat-20", "rmat-22")]
    with tempfile.TemporaryDirectory() as tmp:
        binary = compile_loop(Path(tmp))
        for graph in graphs:
            edges = G.load(graph)
            n = graph.n
            raw = Path(tmp) / "rows.bin"
            np.ascontiguousarray(edges, dtype="<u8").tofile(raw)
            loop, mine = [], []
            for _ in range(args.reps):
                loop.append(bare_loop(binary, raw, n, len(edges)))
                mine.append(ours(n, edges))
            raw.unlink()
            print(f"{graph.name}: degree_rust {min(mine) * 1e3:.1f} ms, bare scatter loop {min(loop) * 1e3:.1f} ms, "
                  f"ours / loop {min(mine) / min(loop):.2f}", flush=True)


if __name__ == "__main__":
    main()
