"""How the account store links its rows: positions and orders to the balance snapshot
before them, fills to their order's row, and, in a file that keeps every session, each
session to its own rows even when the broker reuses an order id."""

from __future__ import annotations

from datetime import datetime
from types import SimpleNamespace

import pytest

from morvex_trader.core.balance import AccountBalance
from morvex_trader.core.constants import Direction, Offset, OrderStatus, OrderType
from morvex_trader.core.order import Order
from morvex_trader.core.position import PositionData
from morvex_trader.core.security import Futures
from morvex_trader.engine.store import AccountIdentity, AccountStore

EP = Futures("EP", "E-mini S&P 500")
NQ = Futures("NQ", "E-mini Nasdaq-100")
IDENTITY = AccountIdentity("CQG", "SIMULATE", 1001, "1001")
T = datetime(2026, 12, 7, 9, 30)


@pytest.fixture
def database(tmp_path, config_module):
    from morvex_trader.plugins.sqlite3 import db as db_module

    config_module(DB={"sqlite3": str(tmp_path)})
    db = db_module.DB()
    yield db
    db.close()


def new_session(database, cached_orders: int = 4096) -> AccountStore:
    return AccountStore(database, IDENTITY, cached_orders=cached_orders)


def order(order_id: str, security=EP, direction=Direction.LONG, quantity: int = 1) -> Order:
    return Order(
        security=security,
        price=4500.0,
        quantity=quantity,
        direction=direction,
        order_type=OrderType.LIMIT,
        offset=Offset.OPEN,
        order_id=order_id,
        status=OrderStatus.SUBMITTED,
        create_time=T,
    )


def fill(deal_id: str, order_id: str, quantity: int = 1, price: float = 4500.0) -> dict:
    return {
        "deal_id": deal_id,
        "order_id": order_id,
        "filled_quantity": quantity,
        "filled_avg_price": price,
        "updated_time": T,
    }


def update(order_id: str, status: OrderStatus, filled: int) -> dict:
    return {
        "order_id": order_id,
        "status": status,
        "filled_avg_price": 4500.0,
        "filled_quantity": filled,
        "updated_time": T,
    }


def rows(database, table: str, columns: list[str], **where) -> list[tuple]:
    return database.select_records(table, columns, where).rows()


def test_positions_orders_and_fills_link_to_the_snapshot_before_them(database):
    store = new_session(database)
    early = store.record_order(order("A"), T)  # before any snapshot: no balance to link to
    first = store.snapshot_balance(
        AccountBalance(cash=100.0),
        [PositionData(EP, Direction.LONG, 4500.0, 2.0), PositionData(NQ, Direction.SHORT, 15000.0, 1.0)],
        T,
    )
    placed = store.record_order(order("B"), T)
    second = store.snapshot_balance(AccountBalance(cash=90.0), [PositionData(EP, Direction.LONG, 4501.0, 3.0)], T)
    deal = store.record_deal(fill("D1", "B"), None)
    assert first != second and store.balance_id == second
    assert rows(database, "position", ["balance_id", "security_code", "direction", "quantity"]) == [
        (first, "EP", "LONG", 2),
        (first, "NQ", "SHORT", 1),
        (second, "EP", "LONG", 3),
    ]
    assert rows(database, "trading_order", ["id", "balance_id"]) == [(early, 0), (placed, first)]
    assert rows(database, "trading_deal", ["id", "order_id", "balance_id"]) == [(deal, placed, second)]


@pytest.mark.parametrize("with_order", [True, False], ids=["order-in-hand", "order-from-its-row"])
def test_a_fill_copies_its_order_row_and_links_to_it(database, with_order):
    store = new_session(database)
    store.snapshot_balance(AccountBalance(), [], T)
    placed = order("A", security=NQ, direction=Direction.SHORT)
    row = store.record_order(placed, T)
    store.record_order(order("B"), T)  # another order between: the link is not "the last row"
    store.record_deal(fill("D1", "A"), placed if with_order else None)
    assert rows(
        database,
        "trading_deal",
        [
            "broker_deal_id",
            "broker_order_id",
            "order_id",
            "security_code",
            "direction",
            "offset",
            "order_type",
            "filled_quantity",
        ],
    ) == [("D1", "A", row, "NQ", "SHORT", "OPEN", "LIMIT", 1)]


def test_an_update_changes_its_own_order_row_only(database):
    store = new_session(database)
    a, b = store.record_order(order("A"), T), store.record_order(order("B"), T)
    store.update_order(update("B", OrderStatus.FILLED, 1))
    store.update_order(update("ELSEWHERE", OrderStatus.FILLED, 1))  # an order entered elsewhere: no row
    assert rows(database, "trading_order", ["id", "status", "filled_quantity"]) == [
        (a, "SUBMITTED", 0),
        (b, "FILLED", 1),
    ]


def test_a_fill_of_an_order_this_engine_does_not_know_links_to_no_row(database):
    store = new_session(database)
    store.record_order(order("A"), T)
    store.record_deal(fill("D9", "FOREIGN"), None)
    assert rows(database, "trading_deal", ["broker_order_id", "order_id", "security_code", "direction"]) == [
        ("FOREIGN", 0, "", "")
    ]


@pytest.mark.parametrize("cached_orders", [4096, 1], ids=["cached", "found-through-the-index"])
def test_a_reused_broker_order_id_links_to_this_sessions_row(database, cached_orders):
    earlier = new_session(database)
    earlier.snapshot_balance(AccountBalance(), [], T)
    earlier_row = earlier.record_order(order("1", quantity=5), T)
    earlier.record_order(order("2"), T)
    earlier.record_deal(fill("D1", "1"), None)

    later = new_session(database, cached_orders=cached_orders)
    assert later.session_order("1") is None  # before this session wrote anything
    later.snapshot_balance(AccountBalance(), [], T)
    later_row = later.record_order(order("1", security=NQ, direction=Direction.SHORT), T)
    later.record_order(order("3"), T)  # with one cached order, "1" falls out of the cache
    later.update_order(update("1", OrderStatus.FILLED, 1))
    later.record_deal(fill("D1", "1"), None)  # the broker's fill ids start afresh too
    later.record_deal(fill("D2", "2"), None)  # "2" exists only in the earlier session

    assert rows(database, "trading_order", ["id", "status", "filled_quantity"], broker_order_id="1") == [
        (earlier_row, "SUBMITTED", 0),
        (later_row, "FILLED", 1),
    ]
    deals = rows(
        database, "trading_deal", ["broker_deal_id", "broker_order_id", "order_id", "security_code", "direction"]
    )
    assert deals == [
        ("D1", "1", earlier_row, "EP", "LONG"),
        ("D1", "1", later_row, "NQ", "SHORT"),
        ("D2", "2", 0, "", ""),
    ]
    assert later.session_order("2") is None
    assert later.session_order("1")["id"] == later_row


def test_reports_read_only_this_sessions_rows(database):
    earlier = new_session(database)
    earlier.record_order(order("1"), T)
    earlier.record_deal(fill("D1", "1"), None)
    later = new_session(database)
    assert later.recent_orders(10) == [] and later.recent_deals(10) == []
    later.record_order(order("1", quantity=2), T)
    later.record_order(order("2", quantity=3), T)
    later.record_deal(fill("D7", "2", quantity=3, price=4501.5), None)
    assert [(o["broker_order_id"], o["quantity"]) for o in later.recent_orders(10)] == [("1", 2), ("2", 3)]
    assert [o["broker_order_id"] for o in later.recent_orders(1)] == ["2"]  # the newest, oldest first
    assert [
        (d["broker_deal_id"], d["broker_order_id"], d["filled_quantity"], d["filled_avg_price"])
        for d in later.recent_deals(10)
    ] == [("D7", "2", 3, 4501.5)]


def test_an_order_taken_over_from_an_earlier_session_keeps_its_row(database):
    # A restart adopts a working order of an earlier session: the store remembers its row,
    # and its later fills and updates go there.
    earlier = new_session(database)
    row = earlier.record_order(order("7"), T)
    later = new_session(database)
    later.record_order(order("8"), T)
    later._remember("7", row)
    later.update_order(update("7", OrderStatus.FILLED, 1))
    later.record_deal(fill("D1", "7"), None)
    assert rows(database, "trading_order", ["status"], id=row) == [("FILLED",)]
    assert rows(database, "trading_deal", ["order_id", "security_code"]) == [(row, "EP")]


def test_a_snapshot_stores_missing_amounts_as_zero(database):
    store = new_session(database)
    balance = SimpleNamespace(
        cash=None,
        available_cash=1.5,
        net_cash_power=None,
        maintenance_margin=None,
        unrealized_pnl=-2.0,
        realized_pnl=None,
    )
    store.snapshot_balance(balance, [], T)
    assert rows(
        database,
        "balance",
        ["cash", "available_cash", "net_cash_power", "unrealized_pnl", "realized_pnl", "broker_account_id"],
    ) == [(0.0, 1.5, 0.0, -2.0, 0.0, 1001)]
