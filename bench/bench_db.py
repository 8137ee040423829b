"""db plug-in: insert_records and select_records against Python's sqlite3 module.

Both sides write the same SQL text (the reference runs the texts our builder produced,
prepared before its clock starts) and commit after every statement, on a database in a
RAM-backed folder (/dev/shm) and on disk (a temporary folder under build/). The floor for
inserts is SQLite's own commit loop: the same texts run and committed one at a time from
C++ through SQLite's C API (bench/native). Python's sqlite3 as a host would use it
(implicit transaction, then commit()) stays as a figure without a goal: both sit on the
same commit floor.
"""

from __future__ import annotations

import datetime as dt
import os
import shutil
import sqlite3
import sys
import tempfile
import time
import types

from common import Figure, floors, ratio_figure

ROWS = 10_000
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _orders(count: int) -> list[dict]:
    now = dt.datetime(2024, 5, 6, 7, 8, 9)
    return [
        dict(
            broker_order_id=f"B{i:08d}",
            balance_id=1,
            security_name="Tencent",
            security_code="HK.00700",
            price=350.2 + i * 0.01,
            quantity=100 + i % 7,
            direction="LONG",
            offset="OPEN",
            order_type="LIMIT",
            create_time=now,
            update_time=now,
            filled_avg_price=0.0,
            filled_quantity=0,
            status="SUBMITTED",
            remark="N/A",
        )
        for i in range(count)
    ]


class _Config:
    """Points morvex_trader_config.DB["sqlite3"] at a folder for the duration of a block."""

    def __init__(self, folder: str):
        self.folder = folder

    def __enter__(self):
        self.saved = sys.modules.get("morvex_trader_config")
        module = types.ModuleType("morvex_trader_config")
        module.DB = {"sqlite3": self.folder}
        sys.modules["morvex_trader_config"] = module

    def __exit__(self, *exc):
        if self.saved is None:
            sys.modules.pop("morvex_trader_config", None)
        else:
            sys.modules["morvex_trader_config"] = self.saved


def _fresh(folder: str) -> str:
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    return folder


def _measure(base: str, label: str, rows: list[dict], repeat: int) -> list[Figure]:
    from morvex_trader.plugins.sqlite3 import db

    ours_folder = os.path.join(base, "ours")
    ref_folder = os.path.join(base, "reference")
    best = {"ours": float("inf"), "python": float("inf"), "floor": float("inf")}
    texts: list[str] = []
    handle = None
    for _ in range(repeat):
        if handle is not None:
            handle.close()
        # ours: build the SQL from the values and run it, one commit per statement
        with _Config(_fresh(ours_folder)):
            handle = db.DB()
        start = time.perf_counter()
        for row in rows:
            handle.insert_records("trading_order", row)
        best["ours"] = min(best["ours"], time.perf_counter() - start)
        if not texts:
            db.start_journal()
            handle.insert_records("trading_order", rows[0])
            first = db.stop_journal()
            texts = [
                "INSERT INTO trading_order ("
                + ",".join(row)
                + ") VALUES ("
                + ",".join(handle._parse_sql_value(v) for v in row.values())
                + ")"
                for row in rows
            ]
            assert first == texts[:1], "the reference must run the text our builder sends"
            handle.execute("DELETE FROM trading_order WHERE id > ?", [len(rows)])
        schema = [
            r[0]
            for r in sqlite3.connect(os.path.join(ours_folder, "morvex_trader.db")).execute(
                "SELECT sql FROM sqlite_master WHERE name='trading_order'"
            )
        ]

        # Python's sqlite3 as a host would use it: implicit BEGIN, the statement, commit()
        path = os.path.join(_fresh(ref_folder), "python.db")
        conn = sqlite3.connect(path, isolation_level="")
        conn.execute(schema[0])
        conn.commit()
        cursor = conn.cursor()
        start = time.perf_counter()
        for text in texts:
            cursor.execute(text)
            conn.commit()
        best["python"] = min(best["python"], time.perf_counter() - start)
        conn.close()
        # SQLite's own commit loop, from C++: each text run and committed on its own
        path = os.path.join(_fresh(ref_folder), "floor.db")
        with sqlite3.connect(path) as conn:
            conn.execute(schema[0])
        conn.close()
        best["floor"] = min(best["floor"], floors().sqlite_commit_loop(path, texts))
        with sqlite3.connect(path) as conn:
            assert conn.execute("SELECT count(*) FROM trading_order").fetchone()[0] == len(texts)
        conn.close()
    # the select: every row to Python tuples, against cursor.fetchall()
    conn = sqlite3.connect(os.path.join(ours_folder, "morvex_trader.db"))
    cursor = conn.cursor()
    select_ours = select_python = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        ours_rows = handle.select_records("trading_order").rows()
        select_ours = min(select_ours, time.perf_counter() - start)
        start = time.perf_counter()
        cursor.execute("SELECT * FROM trading_order ")
        python_rows = cursor.fetchall()
        conn.commit()
        select_python = min(select_python, time.perf_counter() - start)
    assert ours_rows == python_rows
    conn.close()
    handle.close()
    shutil.rmtree(base, ignore_errors=True)

    n = len(rows)
    return [
        Figure(
            f"db insert_records x{n}, {label}, vs Python's sqlite3",
            n / best["ours"],
            "rows/s",
            n / best["python"],
            best["python"] / best["ours"],
            "-",
            None,
        ),
        ratio_figure(
            f"db insert_records x{n}, {label}, vs SQLite's C commit loop",
            n / best["ours"],
            n / best["floor"],
            "rows/s",
            0.95,
            lower_is_better=False,
            what="ours/C commit loop",
        ),
        ratio_figure(
            f"db select_records {n} rows to tuples, {label}",
            n / select_ours,
            n / select_python,
            "rows/s",
            1.0,
            lower_is_better=False,
            what="ours/cursor.fetchall",
        ),
    ]


def run() -> list[Figure]:
    rows = _orders(ROWS)
    figures = []
    if os.path.isdir("/dev/shm"):
        figures += _measure(tempfile.mkdtemp(prefix="mx_bench_db_", dir="/dev/shm"), "RAM", rows, 3)
    build = os.path.join(ROOT, "build")
    os.makedirs(build, exist_ok=True)
    figures += _measure(tempfile.mkdtemp(prefix="bench_db_", dir=build), "disk", rows, 1)
    return figures


if __name__ == "__main__":
    for figure in run():
        print(figure)
