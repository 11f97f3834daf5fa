"""Benchmark harness for knotwell_rs: `python -m bench` (see docs/benchmarks.md).

Modules: `graphs` (seeded generators and the named graphs), `peers` (graph
construction for the peer libraries), `core` (cases, implementations, checks),
`cases` (the registry), `runner` (timing, memory, checks, subprocess variants),
`limits` (the machine's memory limits), `report` (terminal, JSON, markdown and
plot).  A full run writes docs/benchmarks.md with its plot and JSON; quick and
partial runs write bench/results/ (not tracked).
"""
