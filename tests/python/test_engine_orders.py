"""The engine's order book of record against the simulator's market: orders submitted from
several threads, and what a shutdown stores while the market keeps trading.

Each check counts what was lost, recorded twice or left waiting, and expects zero.
"""

from __future__ import annotations

import os
import random
import shutil
import tempfile
import threading
from datetime import datetime
from types import SimpleNamespace

import pytest

from comhost_helpers import wait_until
from morvex_trader.core.constants import Direction, OrderType
from morvex_trader.core.order import Order
from morvex_trader.core.security import Futures
from morvex_trader.engine.main_engine import MainEngine, SessionSettings
from morvex_trader.engine.store import AccountIdentity, AccountStore
from morvex_trader.gateways.cqg.cqg_gateway import CqgGateway
from morvex_trader.gateways.cqg.wrapper import tradelink
from morvex_trader.platform import cqgcel

pytestmark = pytest.mark.timeout(90)

ACCOUNT = 300002
EP = Futures("EP", "E-mini S&P 500")
SIDE = {Direction.LONG: "osdBuy", Direction.SHORT: "osdSell"}


@pytest.fixture
def open_engine(tmp_path, config_module, monkeypatch):
    """open(**market settings): a started engine on a fresh market and database. Every
    engine is shut down (if the test did not) and its database closed at the end. The
    database lives in memory-backed storage when the machine has it (a commit per row)."""
    from morvex_trader.plugins.sqlite3 import db as db_module

    folder = tempfile.mkdtemp(dir="/dev/shm") if os.path.isdir("/dev/shm") else str(tmp_path)
    config_module(DB={"sqlite3": folder})
    monkeypatch.setattr(tradelink, "TIMEOUT", 3.0)
    monkeypatch.setattr(tradelink, "ACCOUNT_SWITCH_PAUSE", 0.0)
    opened = []

    def open_(**market):
        cqgcel.reset()
        cqgcel.configure_market(
            seed=market.pop("seed", 5),
            start_time=datetime(2026, 12, 7, 9, 30),
            history_days=0.1,
            instruments=[{"full_name": "F.US.EP", "tick_size": 0.25, "multiplier": 50.0, "start_price": 4500.0}],
            accounts=[{"gw_account_id": ACCOUNT, "name": "ORDERS", "balance": 5_000_000.0}],
            **market,
        )
        database = db_module.DB()
        engine = MainEngine(
            CqgGateway({"F.US.EP": EP}),
            AccountStore(database, AccountIdentity("CQG", "SIMULATE", ACCOUNT, str(ACCOUNT))),
            SessionSettings(account_id=ACCOUNT, symbols=("F.US.EP",), bar_lookback=5),
        )
        opened.append((engine, database))
        engine.start()
        return SimpleNamespace(engine=engine, db=database, gateway=engine.gateway)

    yield open_
    for engine, database in opened:
        engine.shutdown()
        database.close()
    cqgcel.reset()
    shutil.rmtree(folder, ignore_errors=True)


def order_rows(database) -> dict[str, tuple]:
    rows = list(database.select_records("trading_order", ["broker_order_id", "status", "quantity", "direction"]))
    assert len(rows) == len({r[0] for r in rows}), "an order recorded twice"
    return {r[0]: tuple(r[1:]) for r in rows}


def test_orders_submitted_from_four_threads_are_each_recorded_once_under_their_own_guid(open_engine):
    s = open_engine(speed=0.0)
    cqgcel.advance_market(60)
    threads, per_thread = 4, 40
    submitted: list[tuple[Order, str | None]] = []
    lock = threading.Lock()

    def trader(seed: int) -> None:
        rng = random.Random(seed)
        for _ in range(per_thread):
            order = Order(
                security=EP,
                price=0.0,
                quantity=rng.randint(1, 9),
                direction=rng.choice(list(Direction)),
                order_type=OrderType.MARKET,
            )
            guid = s.engine.submit(order)
            with lock:
                submitted.append((order, guid))

    workers = [threading.Thread(target=trader, args=(t,)) for t in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(60)
    cqgcel.advance_market(5)
    s.engine.drain_events()

    assert s.engine.counts.refused == 0
    assert [guid for _, guid in submitted if guid is None] == []
    at_broker = cqgcel.market_snapshot()["orders"]
    assert sorted(guid for _, guid in submitted) == sorted(at_broker)  # each once, none foreign
    rows = order_rows(s.db)
    assert set(rows) == set(at_broker)
    for order, guid in submitted:
        assert s.engine.orders[guid] is order
        assert (at_broker[guid]["quantity"], at_broker[guid]["side"]) == (order.quantity, SIDE[order.direction]), guid
        assert rows[guid][1:] == (order.quantity, order.direction.value), guid
        assert rows[guid][0] == s.gateway.order_updates[guid]["status"].value, guid
    assert dict(s.engine._pending) == {}, "events waiting for an order that is never recorded"


def stored_state(s) -> tuple[set, dict]:
    deals = {r[0] for r in s.db.select_records("trading_deal", ["broker_deal_id"])}
    return deals, {guid: row[0] for guid, row in order_rows(s.db).items()}


@pytest.mark.parametrize("logoff_delay", [0.0, 0.6], ids=["prompt-logoff", "slow-logoff"])
def test_shutdown_stores_every_event_the_gateway_received(open_engine, logoff_delay):
    s = open_engine(speed=120.0, tick_rate=400.0, seed=21)
    wait_until(
        lambda: (q := s.gateway.cqg_quotes.get(EP)) is not None and q.bid_price and q.ask_price,
        what="a two-sided quote",
    )
    quote = s.gateway.cqg_quotes[EP]
    for i in range(20):  # resting limits near the touch: the market keeps filling them
        direction = Direction.LONG if i % 2 == 0 else Direction.SHORT
        away = 0.25 * (i // 2)
        price = quote.bid_price - away if direction is Direction.LONG else quote.ask_price + away
        assert s.engine.submit(
            Order(security=EP, price=price, quantity=1 + i % 3, direction=direction, order_type=OrderType.LIMIT)
        )
    cqgcel.set_answer("GWLogoff", delay=logoff_delay)
    arrived = {}
    close = s.gateway.close

    def counting_close():
        arrived["before"] = dict(s.gateway.counts)
        close()
        arrived["after"] = dict(s.gateway.counts)

    s.gateway.close = counting_close
    s.engine.shutdown()
    if logoff_delay:  # the case is only a test when the market kept trading meanwhile
        assert (
            arrived["after"]["order"] + arrived["after"]["deal"]
            > arrived["before"]["order"] + arrived["before"]["deal"]
        )
    deals, statuses = stored_state(s)
    assert deals == {str(d) for d in s.gateway.deals}, "a fill that reached process_deal is not stored"
    for guid in s.engine.orders:
        last = s.gateway.order_updates.get(guid)
        assert statuses[guid] == (last["status"].value if last else "SUBMITTED"), guid
    assert s.gateway.events.empty()
    assert dict(s.engine._pending) == {}


def test_shutdown_waits_for_a_placement_under_way_and_stores_its_order(open_engine):
    s = open_engine(speed=0.0)
    cqgcel.advance_market(60)
    cqgcel.set_answer("Place", delay=0.4)
    order = Order(security=EP, price=0.0, quantity=2, direction=Direction.LONG, order_type=OrderType.MARKET)
    worker = threading.Thread(target=s.engine.submit, args=(order,))
    worker.start()
    wait_until(lambda: any(e[1] == "Place" for e in cqgcel.journal()), what="Place sent")
    s.engine.shutdown()
    deals, statuses = stored_state(s)  # read at once: nothing may be written after shutdown
    worker.join(10)
    assert order.order_id and statuses == {order.order_id: s.gateway.order_updates[order.order_id]["status"].value}
    assert deals == {str(d) for d in s.gateway.deals}
    later = Order(security=EP, price=0.0, quantity=1, direction=Direction.SHORT, order_type=OrderType.MARKET)
    assert s.engine.submit(later) is None


def test_shutdown_stores_fills_of_orders_the_engine_never_recorded(open_engine):
    s = open_engine(speed=0.0)
    cqgcel.advance_market(60)
    elsewhere = Order(security=EP, price=0.0, quantity=3, direction=Direction.SHORT, order_type=OrderType.MARKET)
    guid = s.gateway.place_order(elsewhere)  # placed around the engine, as by another program
    wait_until(lambda: any(d["order_id"] == guid for d in s.gateway.deals.values()), what="its fill")
    s.engine.shutdown()
    # The order is on the session's account at the broker: shutdown adopts it (one row,
    # marked as entered elsewhere) and its fills link to that row; nothing is lost.
    ((row_id, remark),) = list(s.db.select_records("trading_order", ["id", "remark"], {"broker_order_id": guid}))
    assert remark == "order entered elsewhere"
    rows = list(s.db.select_records("trading_deal", ["broker_deal_id", "broker_order_id", "order_id"]))
    assert sorted(rows) == sorted((str(d), guid, row_id) for d in s.gateway.deals)
    assert order_rows(s.db) == {guid: ("FILLED", 3, "SHORT")}
