"""Helpers shared by the COM host tests: reading trace lines from the captured stdout,
waiting for a condition, and running a call in a thread of its own."""

from __future__ import annotations

import threading
import time


class TraceReader:
    """Accumulates what capfd captured and splits it into (thread id, text) lines.

    Read only while no other thread writes: capfd's snapshot (read, then truncate) loses a
    line that another thread writes in between.
    """

    def __init__(self, capfd):
        self.capfd = capfd
        self.text = ""

    def read(self) -> list[tuple[int | None, str]]:
        self.text += self.capfd.readouterr().out
        lines = []
        for raw in self.text.splitlines():
            head, sep, rest = raw.partition(": ")
            if sep and head.isdigit():
                lines.append((int(head), rest))
            else:
                lines.append((None, raw))
        return lines

    def texts(self) -> list[str]:
        return [text for _, text in self.read()]


def wait_until(predicate, timeout: float = 5.0, what: str = "condition") -> None:
    """Polls `predicate` until it holds; fails the test after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"{what} did not happen within {timeout} s")
        time.sleep(0.002)


def run_in_thread(fn, *args):
    """Starts fn(*args) in a thread; returns (thread, box) where box gets 'result'/'error'."""
    box = {}

    def body():
        try:
            box["result"] = fn(*args)
        except BaseException as error:  # handed to the test
            box["error"] = error

    thread = threading.Thread(target=body)
    thread.start()
    return thread, box
