"""Runs every bench/bench_*.py, prints one table and writes build/bench.json.

Areas in ON_REQUEST run only when named (`./run bench scale`): they take minutes or much
disk space, and would make every full run long.
"""

from __future__ import annotations

import argparse
import importlib
import json
import os
import sys
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

from common import Figure, stdout_to_devnull  # noqa: E402

ON_REQUEST = {"scale"}


def fmt(value) -> str:
    if value is None:
        return "-"
    if isinstance(value, bool):
        return "yes" if value else "NO"
    if isinstance(value, float):
        return f"{value:.4g}"
    return str(value)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("only", nargs="*", help="areas to run (e.g. security db); default all")
    args = parser.parse_args()
    areas = sorted(f[len("bench_") : -3] for f in os.listdir(HERE) if f.startswith("bench_") and f.endswith(".py"))
    if args.only:
        unknown = sorted(set(args.only) - set(areas))
        if unknown:
            parser.error(f"no benchmark area {', '.join(unknown)} (areas: {', '.join(areas)})")
        areas = [a for a in areas if a in args.only]
    else:
        skipped = sorted(set(areas) & ON_REQUEST)
        areas = [a for a in areas if a not in ON_REQUEST]
        if skipped:
            print(
                f"[bench] on request only: {', '.join(skipped)} (./run bench {' '.join(skipped)})",
                file=sys.stderr,
                flush=True,
            )
    figures: list[Figure] = []
    failed = []
    for area in areas:
        print(f"[bench] {area} ...", file=sys.stderr, flush=True)
        try:
            with stdout_to_devnull():
                figures.extend(importlib.import_module(f"bench_{area}").run())
        except Exception:
            traceback.print_exc()
            failed.append(area)
    header = ("figure", "ours", "unit", "reference", "ratio", "goal", "met")
    rows = [(f.name, fmt(f.value), f.unit, fmt(f.reference), fmt(f.ratio), f.goal, fmt(f.met)) for f in figures]
    widths = [max(len(str(r[i])) for r in [header, *rows]) for i in range(len(header))]
    for row in [header, tuple("-" * w for w in widths), *rows]:
        print("  ".join(str(c).ljust(w) for c, w in zip(row, widths)))
    os.makedirs(os.path.join(ROOT, "build"), exist_ok=True)
    out = os.path.join(ROOT, "build", "bench.json")
    with open(out, "w") as fh:
        json.dump([f.to_json() for f in figures], fh, indent=2)
    print(f"\nwrote {out}")
    if failed:
        print(f"benchmarks that failed: {', '.join(failed)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
