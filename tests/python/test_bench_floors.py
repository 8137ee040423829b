"""The bench-only floors (bench/native) do all the work they stand for: a floor that skipped
a read or a commit would make every goal measured against it meaningless."""

from __future__ import annotations

import importlib
import os
import sqlite3
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


@pytest.fixture(scope="module")
def floors():
    with open(os.path.join(ROOT, "python", "morvex_trader", ".built-variant")) as fh:
        variant = fh.read().strip()
    sys.path.insert(0, os.path.join(ROOT, "build", variant, "bench"))
    try:
        yield importlib.import_module("mx_bench_floors")
    finally:
        sys.path.pop(0)


class CountingBar:
    """Counts every read of a bar value."""

    def __init__(self, reads: dict) -> None:
        self._reads = reads

    def __getattr__(self, name: str):
        if name not in ("open", "high", "low", "close", "volume"):
            raise AttributeError(name)
        self._reads[name] = self._reads.get(name, 0) + 1
        return 1.0


def test_reading_bars_reads_every_value_once(floors):
    reads: dict = {}
    bars = [CountingBar(reads) for _ in range(7)]
    assert floors.read_bar_values(bars) == 35
    assert reads == {name: 7 for name in ("open", "high", "low", "close", "volume")}


def test_reading_a_bar_without_a_value_raises(floors):
    class NoVolume:
        open = high = low = close = 1.0

    with pytest.raises(AttributeError):
        floors.read_bar_values([NoVolume()])


def test_writes_reach_every_object(floors):
    class Box:
        value = 0

    boxes = [Box() for _ in range(3)]
    assert floors.write_values([(box, "value", i) for i, box in enumerate(boxes)]) >= 0
    assert [box.value for box in boxes] == [0, 1, 2]


def test_the_commit_loop_commits_every_statement(floors, tmp_path):
    path = str(tmp_path / "floor.db")
    with sqlite3.connect(path) as conn:
        conn.execute("CREATE TABLE t (x INTEGER)")
    conn.close()
    texts = [f"INSERT INTO t (x) VALUES ({i})" for i in range(5)]
    assert floors.sqlite_commit_loop(path, texts) >= 0
    # another connection sees every row: each statement was committed
    with sqlite3.connect(path) as conn:
        assert [r[0] for r in conn.execute("SELECT x FROM t ORDER BY x")] == list(range(5))
    conn.close()
    with pytest.raises(RuntimeError, match="no such table"):
        floors.sqlite_commit_loop(path, ["INSERT INTO missing VALUES (1)"])
