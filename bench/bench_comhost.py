"""COM host: event delivery from the simulator to C++ and Python sinks, and the round trip
of a call through the marshalled CQGCEL reference."""

from __future__ import annotations

import os
import re
import time
from typing import Optional

from common import ROOT, Figure, absolute_figure, median, percentile, ratio_figure

from morvex_trader.gateways.cqg.wrapper import comhost
from morvex_trader.platform import cqgcel

EVENTS = 200_000
CALLS = 20_000


class PythonSink(comhost.CELSinkBase):
    def OnLineTimeChanged(self, newLineTime):
        pass


def _events_per_second(sink_type) -> float:
    host = comhost.ComHost()
    host.Init(sink_type, None)
    try:
        best_ns = min(cqgcel.fire_many("OnLineTimeChanged", EVENTS, 7) for _ in range(3))
    finally:
        host.Shutdown()
    return EVENTS / (best_ns / 1e9)


def _python_loop_ns() -> float:
    sink = PythonSink()
    best = float("inf")
    for _ in range(3):
        method_owner = sink
        start = time.perf_counter_ns()
        for _ in range(EVENTS):
            method_owner.OnLineTimeChanged(7)
        best = min(best, (time.perf_counter_ns() - start) / EVENTS)
    return best


def run() -> list[Figure]:
    cqgcel.reset()
    cqgcel.set_journal_enabled(False)
    figures: list[Figure] = []
    cpp_rate = _events_per_second(comhost.CELSinkBase)
    figures.append(Figure("events to a C++ sink", cpp_rate, "events/s", None, None, "-", None))
    py_rate = _events_per_second(PythonSink)
    figures.append(Figure("events to a Python sink", py_rate, "events/s", None, None, "-", None))
    figures.append(
        ratio_figure(
            "Python-sink delivery vs calling the method in a loop",
            1e9 / py_rate,
            _python_loop_ns(),
            "ns/event",
            1.3,
            what="delivery/loop",
        )
    )

    host = comhost.ComHost()
    host.Init(comhost.CELSinkBase, None)
    try:
        cel = host.cqgCEL
        samples = []
        for _ in range(CALLS):
            start = time.perf_counter_ns()
            cel.IsStarted
            samples.append(time.perf_counter_ns() - start)
        native = cqgcel.time_marshalled_calls(cel, "IsStarted", CALLS)
    finally:
        host.Shutdown()
    us = [s / 1000 for s in samples]
    native_us = [s / 1000 for s in native]
    figures.append(absolute_figure("marshalled call from Python, median", median(us), "us", 20))
    figures.append(Figure("marshalled call from Python, p99", percentile(us, 99), "us", None, None, "-", None))
    figures.append(absolute_figure("marshalled call from C++, median", median(native_us), "us", 20))
    figures.append(Figure("marshalled call from C++, p99", percentile(native_us, 99), "us", None, None, "-", None))
    wine = wine_marshalled_call()
    if wine is not None:  # for information: the same call through wine's real COM proxy
        figures.append(Figure("marshalled call under wine's COM, median", wine, "us", None, None, "-", None))
    cqgcel.reset()
    return figures


def wine_marshalled_call() -> Optional[float]:
    """The figure `./run test --windows` measured last (build/windows/bench_wine.txt), or
    None when the Windows side has not run on this machine."""
    path = os.path.join(ROOT, "build", "windows", "bench_wine.txt")
    try:
        with open(path) as fh:
            text = fh.read()
    except OSError:
        return None
    match = re.search(r"marshalled call under wine's COM: ([0-9.]+) us", text)
    return float(match.group(1)) if match else None
