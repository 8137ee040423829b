"""The write-behind store against the real `db` plug-in while another program (a plain
sqlite3 connection with a read transaction open) holds the database file: nothing is lost,
nothing is written twice, order is kept, the caller never waits for the lock, the trader
is told once each way, and what shutdown cannot write is saved and replayed."""

from __future__ import annotations

import sqlite3
import threading
import time
from contextlib import contextmanager
from datetime import datetime

import pytest

from morvex_trader.core.constants import Direction, Offset, OrderStatus, OrderType
from morvex_trader.core.order import Order
from morvex_trader.core.security import Futures
from morvex_trader.engine import pending_writes
from morvex_trader.engine.store import AccountIdentity, AccountStore
from morvex_trader.engine.write_behind import DurableStore, is_busy

pytestmark = pytest.mark.timeout(60)

EP = Futures("EP", "E-mini S&P 500")
T0 = datetime(2026, 12, 7, 9, 30)


@pytest.fixture
def folder(tmp_path, config_module):
    config_module(DB={"sqlite3": str(tmp_path)})
    return tmp_path


@contextmanager
def reader_holding(path):
    """A plain sqlite3 connection with a read transaction open on the file."""
    conn = sqlite3.connect(path, isolation_level=None)
    conn.execute("BEGIN")
    conn.execute("SELECT count(*) FROM trading_deal").fetchall()
    try:
        yield conn
    finally:
        conn.execute("COMMIT")
        conn.close()


class Notices(list):
    def __call__(self, kind, text):
        self.append((kind, text))

    def kinds(self):
        return [k for k, _ in self]


def open_store(folder, notices, wrap=lambda db: db, **kw):
    from morvex_trader.plugins.sqlite3 import db as db_module

    database = db_module.DB()
    store = AccountStore(wrap(database), AccountIdentity("CQG", "SIMULATE", 7, "7"))
    durable = DurableStore(
        store,
        pending_path=str(folder / "pending.jsonl"),
        on_notice=notices,
        busy_timeout=0.05,
        backoff=(0.01, 0.05),
        **kw,
    )
    return durable, database


def order(n):
    return Order(
        security=EP,
        price=4500.0 + n,
        quantity=1,
        direction=Direction.LONG,
        order_type=OrderType.LIMIT,
        offset=Offset.OPEN,
        order_id=f"G{n}",
        status=OrderStatus.SUBMITTED,
        create_time=T0,
    )


def deal(n, order_id):
    return {
        "deal_id": f"D{n}",
        "order_id": order_id,
        "updated_time": T0,
        "filled_avg_price": 4500.25,
        "filled_quantity": 1,
    }


def rows(database, table, columns):
    return [tuple(r) for r in database.select_records(table, columns, {})]


def test_a_busy_database_delays_writes_in_order_and_loses_nothing(folder):
    notices = Notices()
    store, database = open_store(folder, notices)
    try:
        store.record_order(order(0), T0)  # written at once: nothing waits
        assert rows(database, "trading_order", ["broker_order_id"]) == [("G0",)]
        with reader_holding(str(folder / "morvex_trader.db")):
            started = time.monotonic()
            for n in range(1, 6):
                store.record_order(order(n), T0)
                store.record_deal(deal(n, f"G{n}"), order(n))
                store.update_order(
                    {
                        "order_id": f"G{n}",
                        "updated_time": T0,
                        "filled_avg_price": 4500.25,
                        "filled_quantity": 1,
                        "status": OrderStatus.FILLED,
                    }
                )
            assert time.monotonic() - started < 1.0, "the caller waited for the lock"
            assert store.depth == 15
            time.sleep(0.2)  # the writer retries meanwhile
            assert store.depth == 15 and store.counts["retries"] > 0
            assert notices.kinds() == ["delayed"]
        assert store.flush(10)
        assert notices.kinds() == ["delayed", "through"]
        order_rows = rows(database, "trading_order", ["id", "broker_order_id", "status"])
        assert [r[1] for r in order_rows] == [f"G{n}" for n in range(6)]
        assert [r[2] for r in order_rows] == ["SUBMITTED"] + ["FILLED"] * 5
        ids = {r[1]: r[0] for r in order_rows}
        assert rows(database, "trading_deal", ["broker_deal_id", "order_id"]) == [
            (f"D{n}", ids[f"G{n}"]) for n in range(1, 6)
        ]
        assert store.close(5) == [] and not (folder / "pending.jsonl").exists()
    finally:
        database.close()


def test_an_operation_interrupted_midway_is_resumed_not_repeated(folder):
    """A snapshot is several statements; the lock arrives between two of them."""
    from morvex_trader.core.balance import AccountBalance
    from morvex_trader.core.position import PositionData

    holder = {}

    class ReaderArrivesAfterTheBalanceRow:
        def __init__(self, db):
            self.db = db

        def __getattr__(self, name):
            return getattr(self.db, name)

        def insert_and_get_id(self, table, values):
            row_id = self.db.insert_and_get_id(table, values)
            if table == "balance" and "conn" not in holder:
                holder["conn"] = sqlite3.connect(str(folder / "morvex_trader.db"), isolation_level=None)
                holder["conn"].execute("BEGIN")
                holder["conn"].execute("SELECT 1 FROM balance").fetchall()
            return row_id

    store, database = open_store(folder, Notices(), wrap=ReaderArrivesAfterTheBalanceRow)
    try:
        positions = [PositionData(EP, Direction.LONG, 4500.0, 2), PositionData(EP, Direction.SHORT, 4501.0, 1)]
        store.snapshot_balance(AccountBalance(cash=1000.0, available_cash=900.0), positions, T0)
        assert store.depth == 1
        holder["conn"].execute("COMMIT")
        assert store.flush(10)
        (balance_id,) = [r[0] for r in rows(database, "balance", ["id"])]
        assert sorted(rows(database, "position", ["direction", "quantity", "balance_id"])) == [
            ("LONG", 2, balance_id),
            ("SHORT", 1, balance_id),
        ]  # the id the first run got
    finally:
        store.close(5)
        database.close()


def test_shutdown_under_a_held_lock_saves_exactly_what_was_not_written_and_the_next_start_replays_it(folder):
    notices = Notices()
    store, database = open_store(folder, notices)
    store.record_order(order(1), T0)
    with reader_holding(str(folder / "morvex_trader.db")):
        store.record_deal(deal(1, "G1"), None)  # a late fill, written without the order in hand
        store.record_order(order(2), T0)
        store.update_order(
            {
                "order_id": "G2",
                "updated_time": T0,
                "filled_avg_price": 0.0,
                "filled_quantity": 0,
                "status": OrderStatus.CANCELLED,
            }
        )
        left = store.close(0.3)
    database.close()
    assert [(w.op, w.describe()) for w in left] == [
        ("record_deal", "record_deal(deal D1 of order G1)"),
        ("record_order", "record_order(order G2, 2026-12-07 09:30:00)"),
        ("update_order", "update_order(order G2 CANCELLED)"),
    ]
    assert all("locked" in w.error for w in left)
    saved = pending_writes.load(str(folder / "pending.jsonl"))
    assert [w.op for w in saved] == ["record_deal", "record_order", "update_order"]
    assert saved[1].args[0].security == EP and saved[2].args[0]["status"] is OrderStatus.CANCELLED

    for attempt in range(2):  # a second replay of the same file writes nothing twice
        if attempt:
            pending_writes.save(str(folder / "pending.jsonl"), saved)
        store, database = open_store(folder, Notices())  # a new store: it knows no order row yet
        assert len(store.replay()) == 3
        assert store.flush(10)
        assert not (folder / "pending.jsonl").exists()
        g1_row = rows(database, "trading_order", ["id"])[0][0]
        assert rows(database, "trading_deal", ["broker_deal_id", "order_id", "security_code", "direction"]) == [
            ("D1", g1_row, "EP", "LONG")
        ]
        assert rows(database, "trading_order", ["broker_order_id", "status"]) == [
            ("G1", "SUBMITTED"),
            ("G2", "CANCELLED"),
        ]
        store.close(5)
        database.close()


def test_an_error_other_than_busy_is_reported_and_kept_not_retried(folder):
    notices = Notices()
    store, database = open_store(folder, notices)
    try:
        store.submit("bad", 1)
        store.add_operation("bad", lambda s, n: s.db.insert_records("balance", {"cash": 1.0}))  # NOT NULL fails
        store.submit("bad", 2)
        assert store.flush(5)
        assert [w.op for w in store.failed] == ["bad", "bad"]
        assert notices.kinds() == ["error", "error"]
        assert "IntegrityError" in store.failed[1].error
        left = store.close(1)
        assert [w.args for w in left] == [(1,), (2,)]
    finally:
        database.close()


def test_writes_from_several_threads_are_all_written_once(folder):
    store, database = open_store(folder, Notices())
    try:

        def writer(base):
            for n in range(base, base + 20):
                store.record_order(order(n), T0)

        with reader_holding(str(folder / "morvex_trader.db")):
            threads = [threading.Thread(target=writer, args=(b,)) for b in (0, 100, 200)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(10)
        assert store.flush(10)
        ids = [r[0] for r in rows(database, "trading_order", ["broker_order_id"])]
        assert sorted(ids) == sorted(f"G{n}" for b in (0, 100, 200) for n in range(b, b + 20))
    finally:
        store.close(5)
        database.close()


def test_with_wal_a_reader_holds_nothing_up(folder):
    notices = Notices()
    store, database = open_store(folder, notices, wal=True)
    try:
        with reader_holding(str(folder / "morvex_trader.db")):
            for n in range(5):
                store.record_order(order(n), T0)
            assert store.depth == 0 and notices == []
        assert len(rows(database, "trading_order", ["id"])) == 5
    finally:
        store.close(5)
        database.close()
    conn = sqlite3.connect(str(folder / "morvex_trader.db"))
    assert conn.execute("PRAGMA journal_mode").fetchone() == ("wal",)
    conn.close()


@pytest.mark.parametrize(
    "error, busy",
    [
        (sqlite3.OperationalError("database is locked"), True),
        (sqlite3.OperationalError("database table is locked"), True),
        (sqlite3.OperationalError("no such table: x"), False),
        (sqlite3.IntegrityError("database is locked"), False),
    ],
    ids=["locked", "table-locked", "other", "not-operational"],
)
def test_busy_errors_are_told_apart(error, busy):
    assert is_busy(error) is busy


def test_busy_by_error_name(folder):
    """The plug-in's own error for a held file carries SQLite's error name."""
    from morvex_trader.plugins.sqlite3 import db as db_module

    database = db_module.DB()
    database.execute("PRAGMA busy_timeout = 10")
    with reader_holding(str(folder / "morvex_trader.db")):
        with pytest.raises(sqlite3.OperationalError) as caught:
            database.insert_records(
                "position",
                {
                    "balance_id": 1,
                    "security_name": "a",
                    "security_code": "b",
                    "direction": "LONG",
                    "holding_price": 1.0,
                    "quantity": 1,
                    "update_time": T0,
                },
            )
    database.close()
    assert is_busy(caught.value)
