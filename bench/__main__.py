"""Command line: `python -m bench [--quick] [--only REGEX] ...`."""

from __future__ import annotations

import argparse
import dataclasses
import importlib
import os
import json
import re
import sys
import time
from pathlib import Path

from . import report as R
from .cases import build_cases
from .limits import measure as measure_limits
from .runner import ROOT, BuildCache, Settings, child_main, run_case


def parse(argv):
    p = argparse.ArgumentParser(prog="python -m bench", description="Benchmark knotwell_rs against its peers.")
    p.add_argument("--quick", action="store_true", help="small graphs only (a couple of minutes)")
    p.add_argument("--only", metavar="REGEX", help="run the cases whose name matches")
    p.add_argument("--list", action="store_true", help="list the cases and exit")
    p.add_argument("--reps", type=int, default=5, help="timed runs per implementation (default 5)")
    p.add_argument("--budget", type=float, metavar="SECONDS",
                   help="time for the timed runs of one peer on one case (default 2; ours twice that); "
                        "slower implementations get fewer runs")
    p.add_argument("--max-minutes", type=float, default=None,
                   help="past 75%% of this, cut the timed runs to about 1 s per implementation "
                        "(default 15 for a full run, none with --quick or --only)")
    p.add_argument("--out", type=Path,
                   help="JSON output (default: docs/benchmarks.json beside the page when the docs are written, "
                        "else bench/results/quick.json, only.json or full.json)")
    p.add_argument("--docs", dest="docs", action="store_true", default=None,
                   help="write docs/benchmarks.md, its plot and its JSON (default: only for a full run of every "
                        "case)")
    p.add_argument("--no-docs", dest="docs", action="store_false")
    p.add_argument("--render", type=Path, metavar="JSON", help="only rewrite the docs from an existing result file")
    p.add_argument("--child", metavar="CASE", help=argparse.SUPPRESS)
    return p.parse_args(argv)


def load_module():
    # KNOTWELL_BENCH_MODULE names a stand-in module with the same functions
    # (for developing the harness itself); subprocess variants inherit it.
    name = os.environ.get("KNOTWELL_BENCH_MODULE", "knotwell_rs")
    try:
        return importlib.import_module(name)
    except ImportError as exc:
        print(f"{name} cannot be imported ({exc}); every case is reported as not built", file=sys.stderr)
        return None


def main(argv=None) -> int:
    args = parse(sys.argv[1:] if argv is None else argv)
    if args.render:
        data = json.loads(args.render.read_text())
        md = R.write_docs(data, ROOT / "docs")
        print(f"wrote {md.relative_to(ROOT)}")
        return 0
    settings = Settings(reps=args.reps, quick=args.quick)
    if args.quick:
        settings.budget_s, settings.warm_only_s, settings.ours_factor = 2.0, 4.0, 1.0
    if args.budget is not None:
        settings.budget_s = args.budget
        settings.warm_only_s = max(settings.warm_only_s, args.budget)
    if args.max_minutes is None and not args.quick and not args.only:
        args.max_minutes = 15.0
    cases = build_cases(args.quick)
    if args.child:
        # ours alone: no peer is imported
        case = next(c for c in cases if c.name == args.child)
        print(json.dumps(child_main(case, load_module(), settings)))
        return 0
    if args.only:
        rx = re.compile(args.only)
        cases = [c for c in cases if rx.search(c.name)]
    if args.list:
        for c in cases:
            print(c.name)
        return 0

    module = load_module()
    _import_peers()
    machine = R.machine_info()
    started, t0 = R.now_iso(), time.monotonic()
    print("measuring the machine's memory limits ...", flush=True)
    limits = measure_limits(**({"table_bytes": 1 << 26, "gathers": 1 << 21} if args.quick else {}))
    results = run_all(cases, module, settings, args.max_minutes, t0)
    report = {"started": started, "duration_s": time.monotonic() - t0, "mode": "quick" if args.quick else "full",
              "filter": args.only, "machine": machine, "limits": limits, "settings": dataclasses.asdict(settings),
              "cases": results}
    print("\n" + R.summary_table(report))
    docs = args.docs if args.docs is not None else (not args.quick and not args.only)
    mode = "quick" if args.quick else "only" if args.only else "full"
    out = args.out or (None if docs else ROOT / "bench" / "results" / f"{mode}.json")
    if out is not None:
        R.write_json(report, out)
        print(f"\nwrote {out.relative_to(ROOT) if out.is_relative_to(ROOT) else out}")
    if docs:
        md = R.write_docs(report, ROOT / "docs")
        print(f"wrote {md.relative_to(ROOT)} and its JSON")
    print(f"({report['duration_s'] / 60:.1f} minutes)")
    return 0


def run_all(cases, module, settings: Settings, max_minutes: float | None, t0: float) -> list[dict]:
    """Every case, graph by graph so that each peer builds each graph once
    (BuildCache), the graphs that carry targets first; results in registry
    order."""
    progress = R.Progress(len(cases))
    groups: dict[str, list] = {}
    for case in cases:
        groups.setdefault(case.graph.name if case.graph else case.name, []).append(case)
    order = sorted(groups, key=lambda g: (not any(c.targets for c in groups[g]) and g != "karate", g != "karate"))
    builds = BuildCache()
    by_name = {}
    limit = max_minutes * 60 if max_minutes else None
    for case in (c for g in order for c in groups[g]):
        if limit and time.monotonic() - t0 > 0.75 * limit and settings.budget_s > 1.0:
            # Running late (a slow or busy machine): fewer timed runs from here on.
            settings.budget_s, settings.warm_only_s = 1.0, 2.0
            print(f"[{(time.monotonic() - t0) / 60:.1f} min: past 75% of --max-minutes, "
                  f"fewer timed runs from here on]", flush=True)
        progress.update(case.name, "loading graph")
        cr = run_case(case, module, settings, progress=progress.update, builds=builds)
        progress.step()
        progress.clear()
        data = cr.to_json()
        data["settings"] = {"budget_s": settings.budget_s, "warm_only_s": settings.warm_only_s}
        by_name[case.name] = data
        print(R.case_block(data), flush=True)
        if data["status"] == "ok":
            print(flush=True)
    builds.for_graph(None)
    progress.clear()
    return [by_name[c.name] for c in cases]


def _import_peers():
    """Import every installed peer up front, so that no import lands in a
    timed or memory-measured call."""
    from .peers import LIBRARIES, available

    import gc

    for lib in LIBRARIES:
        available(lib)
    # Move everything imported so far out of the collector's sight: a full
    # collection before each timed call then costs microseconds, not the
    # quarter second it takes to walk the peers' module objects.
    gc.collect()
    gc.freeze()


if __name__ == "__main__":
    sys.exit(main())
