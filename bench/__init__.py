"""Benchmark harness for knotwell_rs: `python -m bench` (see docs/benchmarks.md).

Modules: `graphs` (seeded generators and the named graphs), `peers` (graph
construction for the peer libraries), `core` (cases, implementations, checks),
`cases` (the registry), `runner` (timing, memory, checks, subprocess variants),
`report` (terminal, JSON, markdown and plot).
"""
