"""Shared pieces of the benchmarks: the figure record and timing helpers.

Each `bench_<area>.py` module exposes `run() -> list[Figure]`; `run_bench.py` runs
them all, prints one table and writes build/bench.json.
"""

from __future__ import annotations

import contextlib
import importlib
import os
import sys
import statistics
import time
from dataclasses import asdict, dataclass
from typing import Callable, Optional


@dataclass
class Figure:
    name: str  # what was measured
    value: float  # ours
    unit: str  # e.g. "ns/op", "us", "ops/s"
    reference: Optional[float]  # the reference's figure in the same unit (None: no reference)
    ratio: Optional[float]  # the ratio the goal speaks of (see `goal`)
    goal: str  # e.g. "ratio <= 1.0 (ours/dataclass time)"
    met: Optional[bool]  # whether the goal holds

    def to_json(self) -> dict:
        return asdict(self)


ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def floors():
    """The bench-only extension module that measures floors from C++ (bench/native), as
    built by `./run bench` (the release build)."""
    folder = os.path.join(ROOT, "build", "release", "bench")
    if folder not in sys.path:
        sys.path.insert(0, folder)
    return importlib.import_module("mx_bench_floors")


def best_ns_per_op(fn: Callable[[], object], number: int, repeat: int = 5) -> float:
    """Best-of-`repeat` time per call of `fn`, in nanoseconds (`fn` is called `number` times)."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter_ns()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter_ns() - start) / number)
    return best


def percentile(samples: list[float], p: float) -> float:
    ordered = sorted(samples)
    index = min(len(ordered) - 1, max(0, round(p / 100.0 * (len(ordered) - 1))))
    return ordered[index]


def median(samples: list[float]) -> float:
    return statistics.median(samples)


def ratio_figure(
    name: str,
    ours: float,
    reference: float,
    unit: str,
    goal_ratio: float,
    lower_is_better: bool = True,
    what: str = "ours/reference",
) -> Figure:
    """A figure whose goal is `ours/reference <= goal_ratio` (or >= when higher is better)."""
    ratio = ours / reference if reference else float("inf")
    if lower_is_better:
        return Figure(name, ours, unit, reference, ratio, f"{what} <= {goal_ratio:g}", ratio <= goal_ratio)
    return Figure(name, ours, unit, reference, ratio, f"{what} >= {goal_ratio:g}", ratio >= goal_ratio)


def absolute_figure(name: str, ours: float, unit: str, limit: float) -> Figure:
    """A figure whose goal is an absolute upper bound."""
    return Figure(name, ours, unit, None, None, f"< {limit:g} {unit}", ours < limit)


@contextlib.contextmanager
def stdout_to_devnull():
    """Trace lines (written to file descriptor 1) go to /dev/null while timing: their cost is
    the terminal's, not ours, and they would bury the table."""
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, 1)
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(null)
