"""A live session through faults, on the scripted simulator: connection drops, duplicate,
malformed, busted and corrected fills, orders the engine does not know, a restart that
finds working orders at the broker, one time zone, and /status. Each test counts what
was lost, booked twice or left waiting, and expects zero."""

from __future__ import annotations

import threading
from datetime import datetime
from types import SimpleNamespace

import pytest

from comhost_helpers import wait_until
from morvex_trader.core.constants import Direction, OrderStatus, OrderType
from morvex_trader.core.order import Order
from morvex_trader.core.security import Futures
from morvex_trader.engine import session_guard
from morvex_trader.engine.main_engine import MainEngine, SessionSettings
from morvex_trader.engine.store import AccountIdentity, AccountStore
from morvex_trader.engine.watch_settings import WatchSettings
from morvex_trader.gateways.cqg.cqg_gateway import CqgGateway
from morvex_trader.gateways.cqg.wrapper import comhost, tradelink
from morvex_trader.platform import cqgcel
from test_engine import ChatRecord

pytestmark = pytest.mark.timeout(60)
C = comhost.constants
ACCOUNT = 100001
EP = Futures("EP", "E-mini S&P 500")
HK_TIME = datetime(2026, 12, 7, 22, 30, 5)


class Strategy:
    def __init__(self):
        self.calls = 0

    def on_timer(self, host, security):
        self.calls += 1


@pytest.fixture
def start(tmp_path, config_module, monkeypatch):
    """start(**watch settings) -> a started engine on the scripted simulator."""
    from morvex_trader.plugins.sqlite3 import db as db_module

    config_module(DB={"sqlite3": str(tmp_path)})
    monkeypatch.setattr(tradelink, "TIMEOUT", 2.0)
    monkeypatch.setattr(tradelink, "ACCOUNT_SWITCH_PAUSE", 0.0)
    cqgcel.reset()
    made = []

    def make(orders_kept=1000, **watch):
        watch = {"QUOTE_SILENCE": 0, "PENDING_GRACE": 0.0, "NOTIFY_RATE": 1000.0, **watch}
        database = db_module.DB()
        chat = ChatRecord()
        engine = MainEngine(
            CqgGateway({"F.US.EP": EP}),
            AccountStore(database, AccountIdentity("CQG", "SIMULATE", ACCOUNT, str(ACCOUNT))),
            SessionSettings(
                account_id=ACCOUNT,
                symbols=("F.US.EP",),
                bar_lookback=3,
                orders_kept=orders_kept,
                watch=WatchSettings(**watch),
            ),
            strategy=Strategy(),
            bot=chat,
            log=lambda text: None,
        )
        engine.start()
        s = SimpleNamespace(engine=engine, chat=chat, db=database, guard=engine.guard, gateway=engine.gateway)
        made.append(s)
        return s

    yield make
    for s in made:
        s.engine.shutdown()
        s.db.close()
    cqgcel.reset()


def settle(s):
    """Events drained and stored, notices sent."""
    s.engine.drain_events()
    s.guard.poll()
    assert s.engine.store.flush(5)
    assert s.guard.notifier.flush(5)


def place(s, price=4400.0, quantity=1):
    order = Order(security=EP, price=price, quantity=quantity, direction=Direction.LONG, order_type=OrderType.LIMIT)
    guid = s.engine.submit(order)
    assert guid
    return guid


def broker_order(guid, quantity, side, account=ACCOUNT):
    """A limit order for F.US.EP in the broker's book, made there directly."""
    cqgcel.make_order(
        guid=guid,
        status=C.osInOrderBook,
        quantity=quantity,
        side=side,
        order_type=C.otLimit,
        instrument_name="F.US.EP",
        gw_account_id=account,
    )


def rows(s, table, columns, **where):
    return [tuple(r) for r in s.db.select_records(table, columns, where)]


def raise_status(kind, status):
    event = "OnGWConnectionStatusChanged" if kind == "gateway" else "OnDataConnectionStatusChanged"
    cqgcel.raise_event(event, getattr(C, status))


# -- connections --------------------------------------------------------------------------------


def test_gateway_down_refuses_orders_with_the_reason_and_up_reselects_and_reconciles(start):
    s = start()
    raise_status("gateway", "csConnectionDown")
    raise_status("gateway", "csConnectionDown")  # a repeated status is not a new change
    settle(s)
    assert s.engine.submit(Order(EP, 4400.0, 1, Direction.LONG, OrderType.LIMIT)) is None
    assert "CQG gateway connection is down: order not sent" in s.engine.last_refusal
    s.chat.send_order, s.chat.order_string = True, "EP,1,l,o,m,CQG,None,None"
    s.engine.remote.poll()
    settle(s)
    lost = [m for m in s.chat.replies if "connection lost" in m]
    assert lost == ["CQG gateway connection lost (down): new orders are refused until it is back."]
    assert any(
        m.startswith("Order not sent: the gateway refused EP: CQG gateway connection is down") for m in s.chat.replies
    )
    assert not [e for e in cqgcel.journal() if e[1] == "Place"]
    assert not s.guard.strategy_allowed(EP)

    cqgcel.clear_journal()
    runs = s.guard.reconciler.counts["runs"]
    raise_status("gateway", "csConnectionUp")
    settle(s)
    assert s.guard.watchdog.counts["reconnects"] == 1
    assert ("AccountSubscriptionLevel", C.aslAccountUpdatesAndOrders) in [
        (e[1], e[3][0]) for e in cqgcel.journal() if e[2] == "put"
    ]
    assert s.guard.reconciler.counts["runs"] == runs + 1
    assert any("connection is back" in m for m in s.chat.replies)
    assert place(s)  # orders go out again
    assert s.guard.strategy_allowed(EP)


def test_not_logged_on_is_logged_on_again(start):
    s = start(RELOGON_INTERVAL=0.0)
    cqgcel.clear_journal()
    raise_status("gateway", "csConnectionNotLoggedOn")
    settle(s)  # the watchdog calls GWLogon; the simulator answers Up
    wait_until(lambda: (settle(s), s.guard.watchdog.counts["reconnects"] == 1)[1], what="log-on again")
    assert [e for e in cqgcel.journal() if e[1] == "GWLogon"]
    assert s.guard.watchdog.counts["relogons"] >= 1


def test_data_down_stops_the_strategy_and_data_up_resubscribes_and_rereads_bars(start):
    s = start()
    s.engine.run(0.15)
    before = s.engine.strategy.calls
    assert before > 0
    raise_status("data", "csConnectionDown")
    s.engine.run(0.15)
    assert s.engine.strategy.calls == before  # stopped while data is down
    cqgcel.clear_journal()
    raise_status("data", "csConnectionUp")
    settle(s)
    calls = [e[1] for e in cqgcel.journal()]
    assert calls.count("NewInstrument") == 1 and "RemoveTimedBars" in calls
    assert calls.index("RemoveTimedBars") < calls.index("RequestTimedBars")
    assert s.guard.watchdog.counts["resubscriptions"] == 1
    assert s.engine.bars(EP)
    s.engine.run(0.15)
    assert s.engine.strategy.calls > before
    assert [m for m in s.chat.replies if "data connection" in m] == [
        "CQG data connection lost (down): strategy stopped.",
        "CQG data connection is back: 1 subscription(s) renewed, bars read again, strategy resumed.",
    ]


def test_a_silent_quote_stream_counts_as_data_down_until_quotes_return(start):
    s = start(QUOTE_SILENCE=0.1)
    cqgcel.push_quotes("F.US.EP", [(C.qtTrade, 4500.0)])
    settle(s)
    assert s.guard.strategy_allowed(EP)
    cqgcel.clear_journal()
    wait_until(lambda: (settle(s), EP in s.guard.watchdog.silent)[1], what="silence noticed")
    assert not s.guard.strategy_allowed(EP)
    assert "NewInstrument" in [e[1] for e in cqgcel.journal()]
    cqgcel.push_quotes("F.US.EP", [(C.qtTrade, 4501.0)])
    settle(s)
    assert s.guard.strategy_allowed(EP) and s.guard.watchdog.counts["silences"] == 1
    assert [m for m in s.chat.replies if "EP" in m and "quote" in m.lower()][-1] == "Quotes for EP are back."


# -- fills --------------------------------------------------------------------------------------


def test_a_fill_delivered_twice_is_booked_once_in_memory_position_and_database(start):
    s = start()
    guid = place(s)
    cqgcel.fill_order(guid, 1, 4400.0)
    settle(s)
    (deal,) = [d for d in s.gateway.deals.values()]
    s.gateway.process_deal(dict(deal))  # the broker sends it again
    s.gateway.process_deal(dict(deal, deal_id=str(deal["deal_id"])))
    settle(s)
    assert len(s.engine.deals) == 1 and s.engine.net_position(EP) == 1
    assert len(rows(s, "trading_deal", ["id"])) == 1
    assert s.guard.ledger.counts.duplicates == 2
    assert [m for m in s.chat.replies if m.startswith("Fill:")] == [f"Fill: EP LONG 1 @ 4400 (order {guid})"]


def test_a_malformed_fill_is_reported_and_never_booked(start):
    s = start()
    guid = place(s)
    s.gateway.process_deal(
        {"deal_id": "X1", "order_id": guid, "updated_time": HK_TIME, "filled_avg_price": 4400.0, "filled_quantity": 0}
    )
    settle(s)
    assert list(s.engine.deals) == [] and rows(s, "trading_deal", ["id"]) == []
    assert any(
        m.startswith("Malformed fill from the broker skipped (quantity 0 is not a positive number)")
        for m in s.chat.replies
    )


def test_busted_and_corrected_fills_reverse_or_correct_the_booking(start):
    s = start()
    guid = place(s, quantity=3)
    cqgcel.fill_order(guid, 2, 4400.0)
    cqgcel.fill_order(guid, 1, 4401.0)
    settle(s)
    first, second = sorted(s.gateway.deals.values(), key=lambda d: d["filled_avg_price"])
    assert s.engine.net_position(EP) == 3
    s.gateway.process_fill_correction(dict(first, kind="busted"))
    s.gateway.process_fill_correction(dict(second, kind="corrected", filled_quantity=2, filled_avg_price=4400.5))
    settle(s)
    assert s.engine.net_position(EP) == 2
    assert [(d["deal_id"], d["filled_quantity"]) for d in s.engine.deals] == [(second["deal_id"], 2)]
    stored = {
        r[0]: r[1:]
        for r in rows(s, "trading_deal", ["broker_deal_id", "filled_quantity", "filled_avg_price", "remark"])
    }
    assert stored[str(first["deal_id"])] == (0, 4400.0, "busted by the broker")
    assert stored[str(second["deal_id"])] == (2, 4400.5, "corrected by the broker")
    s.gateway.process_deal(dict(first))  # the busted fill delivered again: not booked
    settle(s)
    assert s.engine.net_position(EP) == 2 and s.guard.ledger.counts.busted == 1


def test_fill_statuses_other_than_normal_reach_the_engine_through_the_watching_sink(start):
    s = start()
    guid = place(s)
    cqgcel.fill_order(guid, 1, 4400.0)
    settle(s)
    order = cqgcel.order(guid)
    busted = cqgcel.make_fill(order, 1, 4400.0, status=C.fsBusted)
    cqgcel.raise_event("OnOrderChanged", C.ctChanged, order, None, busted, None)
    assert s.gateway.counts["fill_correction"] == 1
    kind, correction = list(iter_events(s.gateway))[-1]
    assert kind == "fill_correction" and correction["kind"] == "busted" and correction["order_id"] == guid


def iter_events(gateway):
    events = []
    while not gateway.events.empty():
        events.append(gateway.events.get_nowait())
    for e in events:
        gateway.events.put(e)
    return events


# -- orders the engine does not know ------------------------------------------------------------


def test_events_of_an_order_entered_elsewhere_are_adopted_and_of_an_unknown_one_recorded_as_foreign(start):
    s = start()
    broker_order("ELSEWHERE-1", 2, C.osdSell)
    cqgcel.set_order_status("ELSEWHERE-1", C.osInOrderBook)
    cqgcel.fill_order("ELSEWHERE-1", 2, 4500.0)
    s.gateway.process_order(
        {
            "order_id": "NOWHERE",
            "updated_time": HK_TIME,
            "filled_avg_price": 0.0,
            "filled_quantity": 0,
            "status": OrderStatus.CANCELLED,
        }
    )
    s.gateway.process_deal(
        {
            "deal_id": "NW-1",
            "order_id": "NOWHERE",
            "updated_time": HK_TIME,
            "filled_avg_price": 1.0,
            "filled_quantity": 1,
        }
    )
    settle(s)
    assert s.engine.pending_events == {} and s.guard.pending_since == {}
    adopted = s.engine.orders["ELSEWHERE-1"]
    assert (adopted.direction, adopted.quantity, adopted.status) == (Direction.SHORT, 2, OrderStatus.FILLED)
    assert s.engine.net_position(EP) == -2
    (row,) = rows(s, "trading_order", ["id", "status", "filled_quantity", "remark"], broker_order_id="ELSEWHERE-1")
    assert row[1:] == ("FILLED", 2, "order entered elsewhere")
    assert rows(s, "trading_deal", ["order_id"], broker_order_id="ELSEWHERE-1") == [(row[0],)]
    assert rows(s, "trading_deal", ["order_id", "remark"], broker_order_id="NOWHERE") == [
        (0, "foreign: order unknown to the engine and the broker's account")
    ]
    assert s.guard.counts["foreign_orders"] == 1
    assert any("Order NOWHERE is unknown here" in m for m in s.chat.replies)


def test_events_wait_for_an_order_being_placed_and_are_not_taken_for_foreign(start):
    s = start(PENDING_GRACE=0.0)
    placing, done = threading.Event(), threading.Event()

    def placement_under_way():
        with s.engine.placing_lock:
            placing.set()
            done.wait(10)

    worker = threading.Thread(target=placement_under_way)
    worker.start()
    placing.wait(5)
    s.gateway.process_order(
        {
            "order_id": "SOON",
            "updated_time": HK_TIME,
            "filled_avg_price": 0.0,
            "filled_quantity": 0,
            "status": OrderStatus.SUBMITTED,
        }
    )
    s.engine.drain_events()
    s.guard.resolve_pending(force=False)
    assert "SOON" in s.engine.pending_events
    done.set()
    worker.join(5)
    s.guard.resolve_pending(force=False)
    assert s.engine.pending_events == {}


# -- restart ------------------------------------------------------------------------------------


def test_a_start_adopts_broker_orders_matching_rows_by_broker_order_id(start):
    first = start()
    guid = place(first)
    settle(first)
    (row_id,) = [r[0] for r in rows(first, "trading_order", ["id"])]
    # The next session finds this order (its row exists) and one with no row at the broker.
    second = start()
    broker_order(guid, 1, C.osdBuy)
    broker_order("EARLIER-2", 4, C.osdSell)
    broker_order("OTHER-ACCOUNT", 1, C.osdSell, account=555)
    second.guard.reconcile("start")
    settle(second)
    assert set(second.engine.orders) == {guid, "EARLIER-2"}
    assert rows(second, "trading_order", ["id"], broker_order_id=guid) == [(row_id,)]
    assert rows(second, "trading_order", ["remark"], broker_order_id="EARLIER-2") == [("order of an earlier session",)]
    cqgcel.fill_order(guid, 1, 4400.0)
    settle(second)
    assert rows(second, "trading_deal", ["order_id"], broker_order_id=guid) == [(row_id,)]
    assert second.guard.reconciler.counts["adopted"] == 2
    assert sum("adopted" in line for m in second.chat.replies for line in m.splitlines()) == 2


def test_a_restart_knows_the_fills_booked_before(start):
    first = start()
    guid = place(first)
    cqgcel.fill_order(guid, 1, 4400.0)
    settle(first)
    (deal,) = first.gateway.deals.values()
    second = start()
    second.gateway.process_deal(dict(deal))
    settle(second)
    assert list(second.engine.deals) == [] and len(rows(second, "trading_deal", ["id"])) == 1


def test_a_position_difference_from_the_last_snapshot_is_reported_in_one_line(start):
    second = start()
    settle(second)  # its snapshot at start: no position
    cqgcel.set_positions(
        ACCOUNT,
        [
            {
                "InstrumentName": "F.US.EP",
                "Side": C.osdSell,
                "Quantity": -2,
                "AveragePrice": 4500.0,
                "OTE": 0.0,
                "ProfitLoss": 0.0,
            }
        ],
    )
    second.guard.last_positions = None  # as after a restart: the database's last snapshot
    second.guard.reconcile("start")
    settle(second)
    assert [m for m in second.chat.replies if "positions differ" in m] == [
        "Reconciliation (start): positions differ from the last snapshot: EP broker -2 vs stored +0"
    ]


# -- time zone and /status ----------------------------------------------------------------------


def test_times_are_stored_in_the_configured_zone(start):
    s = start(TIMEZONE="Europe/London")
    guid = place(s)
    s.gateway.process_deal(
        {"deal_id": "TZ-1", "order_id": guid, "updated_time": HK_TIME, "filled_avg_price": 4400.0, "filled_quantity": 1}
    )
    settle(s)
    assert rows(s, "trading_deal", ["update_time"]) == [("2026-12-07 14:30:05",)]


def test_status_answers_connections_quote_ages_orders_queue_and_pnl(start):
    s = start()
    cqgcel.push_quotes("F.US.EP", [(C.qtTrade, 4500.0)])
    place(s)
    raise_status("data", "csConnectionDown")
    settle(s)
    s.chat.get_status = True
    s.engine.remote.poll()
    assert s.chat.get_status is False
    text = s.chat.replies[-1]
    lines = text.splitlines()
    assert lines[0].startswith("Status (CQG) at ") and "(host local)" in lines[0]
    assert lines[1].startswith("gateway: up for ") and ", data: down for " in lines[1]
    assert lines[2].startswith("last quote: EP ") and lines[2].endswith(" s")
    assert lines[3:] == [
        "working orders: 1 (EP 1)",
        "write queue: 0 (ok)",
        "session P&L: realised 0.00, unrealised 0.00",
        "strategy: paused (data down)",
    ]


# -- one round trip on the COM thread while events flow -----------------------------------------

WALK_WHILE_EVENTS_FLOW = """
import time
from datetime import datetime
from morvex_trader.core.security import Futures
from morvex_trader.engine.reconcile import read_broker_orders
from morvex_trader.gateways.cqg.cqg_gateway import CqgGateway
from morvex_trader.platform import cqgcel
cqgcel.configure_market(seed=1, speed=600.0, start_time=datetime(2026, 12, 7, 9, 30), history_days=0.1,
                        update_interval=0.05, accounts=[dict(gw_account_id=77, name="S", balance=1e7)],
                        instruments=[dict(full_name="F.US.EP", tick_size=0.25, multiplier=50.0, start_price=4500.0)])
gw = CqgGateway({"F.US.EP": Futures("EP", "EP")})
gw.connect(); gw.logon("a", "b"); gw.subscribe_account(77); gw.subscribe_market_data("F.US.EP", 5)
walks, end = 0, time.monotonic() + 5.0
while time.monotonic() < end:
    read_broker_orders(gw.tradelink.comHost.cqgCEL)
    walks += 1
gw.close()
print("walks", walks, "quotes", gw.counts["quote"])
"""


def test_broker_walks_while_the_com_thread_delivers_quotes_to_a_python_sink():
    """The walk's hold of the interpreter lock nests inside the COM thread's own hold
    (a crash here kills the child, not the test run)."""
    import subprocess
    import sys

    child = subprocess.run(
        [sys.executable, "-c", WALK_WHILE_EVENTS_FLOW],
        capture_output=True,
        text=True,
        timeout=60,
        env={**__import__("os").environ, "PYTHONFAULTHANDLER": ""},
    )
    assert child.returncode == 0, child.stderr[-2000:]
    words = child.stdout.strip().splitlines()[-1].split()
    assert words[0] == "walks" and int(words[1]) > 10 and int(words[3]) > 100


def test_a_busy_database_delays_writes_and_orders_stop_when_too_far_behind(start, tmp_path):
    import sqlite3

    s = start(WRITE_QUEUE_LIMIT=3)
    reader = sqlite3.connect(str(tmp_path / "morvex_trader.db"), isolation_level=None)
    reader.execute("BEGIN")
    reader.execute("SELECT count(*) FROM trading_order").fetchall()
    placed = [s.engine.submit(Order(EP, 4400.0, 1, Direction.LONG, OrderType.LIMIT)) for _ in range(6)]
    assert all(placed[:4]) and placed[4:] == [None, None]  # rows of 4 orders wait: more would be too many
    assert s.engine.last_refusal.startswith("database writes are behind (")
    s.engine.run(0.2)  # the session goes on meanwhile
    assert s.engine.store.depth > 0
    reader.execute("COMMIT")
    reader.close()
    settle(s)
    assert sorted(r[0] for r in rows(s, "trading_order", ["broker_order_id"])) == sorted(placed[:4])
    database_notices = [m for m in s.chat.replies if m.startswith("Database")]
    assert len(database_notices) == 2 and "through again" in database_notices[1]


# -- with the simulator's fault controls ----------------------------------------------------------


def test_fills_held_while_the_gateway_is_down_and_sent_again_are_booked_once(start):
    s = start()
    guid = place(s, quantity=3)
    cqgcel.set_connection("gateway", "csConnectionDown")
    cqgcel.fill_order(guid, 2, 4400.0)  # held by the broker while down
    settle(s)
    assert list(s.engine.deals) == [] and s.engine.submit(Order(EP, 4400.0, 1, Direction.LONG, OrderType.LIMIT)) is None
    cqgcel.set_connection("gateway", "csConnectionUp")  # the held fill arrives now
    settle(s)
    assert cqgcel.resend_fills(guid) == 1
    cqgcel.fill_order(guid, 1, 4401.0)
    assert cqgcel.resend_fills() == 2
    settle(s)
    assert sorted(d["filled_quantity"] for d in s.engine.deals) == [1, 2] and s.engine.net_position(EP) == 3
    assert len(rows(s, "trading_deal", ["id"])) == 2 and s.guard.ledger.counts.duplicates == 3
    assert rows(s, "trading_order", ["status", "filled_quantity"]) == [("FILLED", 3)]


def test_a_busted_and_a_corrected_fill_from_the_broker_move_the_books(start):
    s = start()
    guid = place(s, quantity=3)
    first = cqgcel.fill_order(guid, 2, 4400.0)
    second = cqgcel.fill_order(guid, 1, 4401.0)
    settle(s)
    cqgcel.bust_fill(guid, first.Id)
    cqgcel.correct_fill(guid, second.Id, 1, 4399.5)
    settle(s)
    assert [(str(d["deal_id"]), d["filled_quantity"], d["filled_avg_price"]) for d in s.engine.deals] == [
        (str(second.Id), 1, 4399.5)
    ]
    assert s.engine.net_position(EP) == 1
    stored = {r[0]: r[1:] for r in rows(s, "trading_deal", ["broker_deal_id", "filled_quantity", "filled_avg_price"])}
    assert stored == {str(first.Id): (0, 4400.0), str(second.Id): (1, 4399.5)}
    assert [p.quantity for p in s.gateway.get_positions()] == [1]


def test_a_restart_adopts_working_orders_and_books_the_fills_made_meanwhile_once(start):
    cqgcel.keep_broker_state(True)
    first = start()
    guid = place(first, quantity=2)
    booked = str(cqgcel.fill_order(guid, 1, 4400.0).Id)
    settle(first)
    first.engine.shutdown()  # the order still works at the broker
    cqgcel.fill_order(guid, 1, 4402.0)  # no session: no event
    second = start()
    settle(second)
    (meanwhile,) = [str(f.Id) for f in cqgcel.order(guid).Fills if str(f.Id) != booked]
    order = second.engine.orders[guid]
    assert (order.status, order.filled_quantity) == (OrderStatus.FILLED, 2)
    assert [str(d["deal_id"]) for d in second.engine.deals] == [meanwhile]
    assert sorted(r[0] for r in rows(second, "trading_deal", ["broker_deal_id"])) == sorted([booked, meanwhile])
    assert len(rows(second, "trading_order", ["id"], broker_order_id=guid)) == 1
    assert rows(second, "trading_order", ["status", "filled_quantity"], broker_order_id=guid) == [("FILLED", 2)]
    cqgcel.resend_fills(guid)  # and the broker sending both again changes nothing
    settle(second)
    assert len(second.engine.deals) == 1 and len(rows(second, "trading_deal", ["id"])) == 2


@pytest.mark.parametrize("released_kept", [True, False], ids=["released-orders-kept", "released-orders-forgotten"])
def test_fills_made_meanwhile_on_more_orders_than_the_engine_keeps_link_to_their_rows(
    start, monkeypatch, released_kept
):
    # The restart adopts each finished order and lets all but the newest go at once, before
    # their fills are booked: the fills must still find the earlier session's rows, through
    # the orders let go or, once those are forgotten too, through the rows taken over.
    if not released_kept:
        monkeypatch.setattr(session_guard, "RECENT_ORDERS", 0)
    cqgcel.keep_broker_state(True)
    first = start()
    guids = [place(first, price=4400.0 - n) for n in range(4)]
    settle(first)
    first.engine.shutdown()
    for guid in guids:
        cqgcel.fill_order(guid, 1, 4400.0)  # no session: no event
    second = start(orders_kept=1)
    settle(second)
    order_rows = dict(rows(second, "trading_order", ["broker_order_id", "id"]))
    deals = rows(second, "trading_deal", ["broker_order_id", "order_id", "security_code", "direction"])
    assert sorted(deals) == sorted((g, order_rows[g], "EP", "LONG") for g in guids)
    if released_kept:  # a forgotten order's fill is stored; its security is not known in memory
        assert second.engine.net_position(EP) == 4


def test_a_restart_stores_the_final_status_the_first_session_never_heard(start):
    cqgcel.keep_broker_state(True)
    first = start()
    guid = place(first)
    settle(first)
    cqgcel.set_connection("gateway", "csConnectionDown")
    cqgcel.set_order_status(guid, C.osCanceled)  # held for a session that ends first
    settle(first)
    first.engine.shutdown()
    assert rows(first, "trading_order", ["status"]) == [("SUBMITTED",)]
    second = start()
    settle(second)
    assert rows(second, "trading_order", ["status"], broker_order_id=guid) == [("CANCELLED",)]
    assert second.guard.reconciler.counts["status_fixed"] == 1
    assert any(
        f"{guid} is CANCELLED at the broker, stored SUBMITTED" in line
        for m in second.chat.replies
        for line in m.splitlines()
    )
