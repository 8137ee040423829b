"""The engine over a growing database: no statement it runs per event reads a whole table,
and a long session holds only its working orders and the last finished orders and deals,
while reports, counts and net positions still cover the whole session.
"""

from __future__ import annotations

import re
import sqlite3
from datetime import datetime
from types import SimpleNamespace

import pytest

from morvex_trader.core.constants import Direction, OrderStatus, OrderType
from morvex_trader.core.order import Order
from morvex_trader.core.security import Futures
from morvex_trader.engine.main_engine import MainEngine, SessionSettings
from morvex_trader.engine.report_texts import format_summary
from morvex_trader.engine.store import AccountIdentity, AccountStore
from morvex_trader.gateways.cqg.cqg_gateway import CqgGateway
from morvex_trader.gateways.cqg.wrapper import tradelink
from morvex_trader.platform import cqgcel
from morvex_trader.plugins.sqlite3 import db as db_module

from test_engine import ChatRecord

pytestmark = pytest.mark.timeout(60)

ACCOUNT = 300002
EP = Futures("EP", "E-mini S&P 500")


@pytest.fixture
def start(tmp_path, config_module, monkeypatch):
    """Returns start(orders_kept, deals_kept): an engine session on the seeded market."""
    config_module(DB={"sqlite3": str(tmp_path)})
    monkeypatch.setattr(tradelink, "TIMEOUT", 3.0)
    monkeypatch.setattr(tradelink, "ACCOUNT_SWITCH_PAUSE", 0.0)
    cqgcel.reset()
    opened = []

    def begin(orders_kept: int, deals_kept: int) -> SimpleNamespace:
        cqgcel.configure_market(
            seed=5,
            speed=0.0,
            start_time=datetime(2026, 12, 7, 9, 30),
            history_days=0.1,
            instruments=[{"full_name": "F.US.EP", "tick_size": 0.25, "multiplier": 50.0, "start_price": 4500.0}],
            accounts=[{"gw_account_id": ACCOUNT, "name": "STORE", "balance": 500_000.0}],
        )
        database = db_module.DB()
        record = ChatRecord()
        engine = MainEngine(
            CqgGateway({"F.US.EP": EP}),
            AccountStore(database, AccountIdentity("CQG", "SIMULATE", ACCOUNT, str(ACCOUNT))),
            SessionSettings(
                account_id=ACCOUNT, symbols=("F.US.EP",), bar_lookback=5, orders_kept=orders_kept, deals_kept=deals_kept
            ),
            bot=record,
        )
        engine.start()
        cqgcel.advance_market(60)
        session = SimpleNamespace(engine=engine, record=record, db=database, path=tmp_path / "morvex_trader.db")
        opened.append(session)
        return session

    yield begin
    for session in opened:
        session.engine.shutdown()
        session.db.close()
    cqgcel.reset()


def place(s, direction: Direction, quantity: int, order_type=OrderType.MARKET, price=0.0) -> str:
    order_id = s.engine.submit(
        Order(security=EP, price=price, quantity=quantity, direction=direction, order_type=order_type)
    )
    assert order_id
    cqgcel.advance_market(5)
    s.engine.drain_events()
    return order_id


def ask(s, **request) -> str:
    for name, value in request.items():
        setattr(s.record, name, value)
    s.engine.remote.poll()
    return s.record.replies[-1]


def stored_deals(s) -> list[tuple]:
    return s.db.select_records(
        "trading_deal",
        ["broker_deal_id", "broker_order_id", "order_id", "security_code", "direction", "filled_quantity"],
    ).rows()


def unbounded_reads(path, statements) -> list[tuple[str, str]]:
    """(statement, plan line) for every step of a plan whose cost grows with the table: a
    scan, or a walk along the row ids from some id on that no LIMIT stops (such a walk
    reads every row since that id, e.g. a whole session's)."""
    found = []
    with sqlite3.connect(path) as conn:
        for sql in statements:
            for _, _, _, detail in conn.execute("EXPLAIN QUERY PLAN " + sql):
                scan = detail.startswith("SCAN ") and detail != "SCAN CONSTANT ROW"
                open_range = re.search(r"\(rowid[<>]", detail) is not None and " LIMIT " not in sql
                if scan or open_range:
                    found.append((sql, detail))
    return found


def test_no_statement_of_a_session_reads_a_whole_table(start):
    s = start(orders_kept=1, deals_kept=1)  # late events and reports go through the database
    db_module.start_journal()
    try:
        first = place(s, Direction.LONG, 2)
        place(s, Direction.SHORT, 1)
        resting = place(s, Direction.SHORT, 1, OrderType.LIMIT, price=9999.0)
        s.engine.cancel(resting)
        cqgcel.advance_market(5)
        s.engine.drain_events()
        s.engine.snapshot()
        s.engine.gateway.events.put(
            (
                "deal",
                {
                    "deal_id": "late-1",
                    "order_id": first,
                    "filled_avg_price": 1.0,
                    "filled_quantity": 1,
                    "updated_time": datetime(2026, 12, 7),
                },
            )
        )
        s.engine.drain_events()
        ask(s, get_orders=True, num_orders_displayed=10)
        ask(s, get_deals=True, num_deals_displayed=10)
        statements = db_module.journal()
    finally:
        db_module.stop_journal()
    kinds = {" ".join(sql.split()[:3]) for sql in statements}
    assert {
        "INSERT INTO balance",
        "INSERT INTO position",
        "INSERT INTO trading_order",
        "UPDATE trading_order SET",
        "INSERT INTO trading_deal",
    } <= kinds
    looked_up = [sql for sql in statements if sql.startswith("SELECT") and "broker_order_id=" in sql]
    reports = [sql for sql in statements if sql.startswith("SELECT") and "ORDER BY id DESC" in sql]
    assert looked_up and len(reports) == 2  # the late deal's order, and both reports reached the file
    assert unbounded_reads(s.path, statements) == []


def test_a_long_session_holds_only_working_and_recent_orders_yet_reports_them_all(start):
    s = start(orders_kept=2, deals_kept=2)
    resting = place(s, Direction.SHORT, 1, OrderType.LIMIT, price=9999.0)
    plan = [(Direction.LONG, 2), (Direction.SHORT, 1), (Direction.LONG, 3), (Direction.LONG, 1), (Direction.SHORT, 2)]
    filled = [place(s, direction, quantity) for direction, quantity in plan]
    engine = s.engine
    assert set(engine.orders) == {resting, *filled[-2:]}  # working, and the last two finished
    assert len(engine.deals) == 2
    assert engine.net_position(EP) == 2 + 3 + 1 - 1 - 2

    orders = ask(s, get_orders=True, num_orders_displayed=10).splitlines()
    assert orders[0] == "Orders (6 of 6):"
    assert [line.split()[0] for line in orders[1:]] == [resting, *filled]
    assert [line.split()[-1] for line in orders[1:]] == ["SUBMITTED"] + ["FILLED"] * 5
    assert orders[2].split()[1:5] == ["EP", "LONG", "MARKET", "2@0.0"]
    assert ask(s, get_orders=True, num_orders_displayed=2).splitlines()[1:] == orders[-2:]
    assert ask(s, get_orders=True, active_orders=True, num_orders_displayed=10).splitlines()[1:] == [orders[1]]

    deals = stored_deals(s)
    assert len(deals) >= 5 and {d[1] for d in deals} == set(filled)
    reply = ask(s, get_deals=True, num_deals_displayed=50).splitlines()
    assert reply[0] == f"Deals ({len(deals)} of {len(deals)}):"
    assert [line.split()[:3] for line in reply[1:]] == [[d[0], "order", d[1]] for d in deals]

    summary = format_summary(engine, None, None)
    assert "orders filled      5" in summary and "orders working     1" in summary
    assert f"deals              {len(deals)}" in summary


def test_reports_read_from_the_file_look_like_reports_from_memory(start):
    s = start(orders_kept=10, deals_kept=10)
    for direction, quantity in [(Direction.LONG, 2), (Direction.SHORT, 1), (Direction.LONG, 1)]:
        place(s, direction, quantity)
    held_orders = ask(s, get_orders=True, num_orders_displayed=50).splitlines()[1:]
    held_deals = ask(s, get_deals=True, num_deals_displayed=50).splitlines()[1:]
    assert len(held_orders) == 3 and 3 <= len(held_deals) < 10
    s.engine.settings.orders_kept = 0  # from the next finished order on, nothing is held
    s.engine.deals.clear()
    place(s, Direction.SHORT, 1)
    assert len(s.engine.orders) == 0
    from_file = ask(s, get_orders=True, num_orders_displayed=4).splitlines()
    assert from_file[0] == "Orders (4 of 4):" and from_file[1:4] == held_orders
    # deals: the stored time has whole seconds, the held one may have a fraction
    from_file = ask(s, get_deals=True, num_deals_displayed=50).splitlines()[1:]
    assert [line.split()[:4] for line in from_file[: len(held_deals)]] == [line.split()[:4] for line in held_deals]


def test_a_late_event_of_an_order_no_longer_held_reaches_its_row(start):
    s = start(orders_kept=0, deals_kept=0)
    first = place(s, Direction.LONG, 2)
    assert first not in s.engine.orders
    ((order_row, status),) = s.db.select_records("trading_order", ["id", "status"], {"broker_order_id": first}).rows()
    assert status == "FILLED"
    before = len(stored_deals(s))
    events = s.engine.gateway.events
    events.put(
        (
            "deal",
            {
                "deal_id": "late-1",
                "order_id": first,
                "filled_avg_price": 4500.0,
                "filled_quantity": 1,
                "updated_time": datetime(2026, 12, 7, 10),
            },
        )
    )
    events.put(
        (
            "order",
            {
                "order_id": first,
                "status": OrderStatus.CANCELLED,
                "filled_avg_price": 4500.0,
                "filled_quantity": 3,
                "updated_time": datetime(2026, 12, 7, 10),
            },
        )
    )
    s.engine.drain_events()
    assert s.engine.net_position(EP) == 3
    assert stored_deals(s)[before:] == [("late-1", first, order_row, "EP", "LONG", 1)]
    assert s.db.select_records("trading_order", ["status", "filled_quantity"], {"id": order_row}).rows() == [
        ("CANCELLED", 3)
    ]
    assert s.engine.status_counts() == {"CANCELLED": 1}
    assert s.engine.counts.deals == before + 1
    # an order of another session or another program is not taken for one of ours
    events.put(
        (
            "deal",
            {
                "deal_id": "foreign-1",
                "order_id": "{NOT-OURS}",
                "filled_avg_price": 1.0,
                "filled_quantity": 1,
                "updated_time": datetime(2026, 12, 7, 10),
            },
        )
    )
    s.engine.drain_events()
    assert len(stored_deals(s)) == before + 1 and s.engine.net_position(EP) == 3


def test_an_order_id_of_an_earlier_session_is_not_taken_for_this_one(start):
    # The broker's ids need not be unique across sessions (the simulator numbers its orders
    # afresh each time), and a file keeps every session's rows.
    earlier = start(orders_kept=0, deals_kept=0)
    reused, only_earlier = place(earlier, Direction.LONG, 1), place(earlier, Direction.LONG, 1)
    earlier.engine.shutdown()
    later = start(orders_kept=0, deals_kept=0)
    assert place(later, Direction.SHORT, 1) == reused
    rows = later.db.select_records("trading_order", ["id"], {"broker_order_id": reused}).rows()
    events = later.engine.gateway.events
    for deal_id, order_id in (("late-ours", reused), ("earlier-session", only_earlier)):
        events.put(
            (
                "deal",
                {
                    "deal_id": deal_id,
                    "order_id": order_id,
                    "filled_avg_price": 1.0,
                    "filled_quantity": 1,
                    "updated_time": datetime(2026, 12, 7),
                },
            )
        )
    later.engine.drain_events()
    booked = {d[0]: d[2] for d in stored_deals(later)}
    assert booked["late-ours"] == rows[-1][0]  # this session's row of the id, not the earlier one
    assert "earlier-session" not in booked
    assert later.engine.net_position(EP) == -1 - 1
