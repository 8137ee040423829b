"""The host engine against the simulator's market: subscriptions, chat requests served and
cleared, orders and deals stored with their links, and the ways a session ends.

The bot's request record is stood in for by a plain object with the same fields (the
bot module itself is exercised in test_bot.py and in the stress run), so each request
can be raised exactly as a chat command would leave it.
"""

from __future__ import annotations

import threading
from datetime import datetime
from types import SimpleNamespace

import pytest

from comhost_helpers import wait_until
from morvex_trader.core.constants import Direction, OrderStatus, OrderType
from morvex_trader.core.order import Order
from morvex_trader.core.security import Futures
from morvex_trader.engine.main_engine import MainEngine, SessionSettings
from morvex_trader.engine.report_texts import format_summary
from morvex_trader.engine.store import AccountIdentity, AccountStore
from morvex_trader.engine.watch_settings import NOTIFICATION_KINDS, WatchSettings
from morvex_trader.gateways.cqg.cqg_gateway import CqgGateway
from morvex_trader.gateways.cqg.wrapper import tradelink
from morvex_trader.platform import cqgcel

pytestmark = pytest.mark.timeout(60)

ACCOUNT = 300001
# Each request here gets exactly its reply; notifications are tested in test_session_faults.py.
NO_NOTIFICATIONS = WatchSettings(NOTIFICATIONS={kind: "off" for kind in NOTIFICATION_KINDS})
EP = Futures("EP", "E-mini S&P 500")


class ChatRecord(SimpleNamespace):
    """The bot's request record as the engine sees it, plus the replies it sent."""

    def __init__(self) -> None:
        super().__init__(
            morvex_trader_status="Running",
            get_balance=False,
            get_positions=False,
            get_orders=False,
            num_orders_displayed=1,
            active_orders=False,
            get_deals=False,
            num_deals_displayed=1,
            cancel_order=False,
            cancel_order_id=None,
            gateway_name=None,
            cancel_orders=False,
            send_order=False,
            order_string="",
            close_positions=False,
            close_positions_gateway_name=None,
            get_status=False,
        )
        self.replies: list[str] = []

    def send_message(self, text: str) -> None:
        self.replies.append(text)


@pytest.fixture
def session(tmp_path, config_module, monkeypatch):
    from morvex_trader.plugins.sqlite3 import db as db_module

    config_module(DB={"sqlite3": str(tmp_path)})
    monkeypatch.setattr(tradelink, "TIMEOUT", 3.0)
    monkeypatch.setattr(tradelink, "ACCOUNT_SWITCH_PAUSE", 0.0)
    cqgcel.reset()
    cqgcel.configure_market(
        seed=11,
        speed=0.0,
        start_time=datetime(2026, 12, 7, 9, 30),
        history_days=0.1,
        instruments=[{"full_name": "F.US.EP", "tick_size": 0.25, "multiplier": 50.0, "start_price": 4500.0}],
        accounts=[{"gw_account_id": ACCOUNT, "name": "ENGINE", "balance": 500_000.0}],
    )
    database = db_module.DB()
    record = ChatRecord()
    engine = MainEngine(
        CqgGateway({"F.US.EP": EP}),
        AccountStore(database, AccountIdentity("CQG", "SIMULATE", ACCOUNT, str(ACCOUNT))),
        SessionSettings(account_id=ACCOUNT, symbols=("F.US.EP",), bar_lookback=5, watch=NO_NOTIFICATIONS),
        bot=record,
    )
    engine.start()
    cqgcel.advance_market(120)
    yield SimpleNamespace(engine=engine, record=record, db=database)
    engine.shutdown()
    database.close()
    cqgcel.reset()


def serve(s, **request) -> str:
    for name, value in request.items():
        setattr(s.record, name, value)
    before = len(s.record.replies)
    s.engine.remote.poll()
    assert len(s.record.replies) == before + 1
    return s.record.replies[-1]


def settle(s) -> None:
    """Lets the market move and the engine store what arrived."""
    cqgcel.advance_market(5)
    s.engine.drain_events()


@pytest.mark.parametrize(
    "instruction, reason",
    [
        ("EP,x,l,o,m,CQG,None,None", "quantity must be a whole number"),
        ("EP,1,up,o,m,CQG,None,None", "direction must be one of l/s"),
        ("EP,1,l,o,m,IB,None,None", "unknown gateway 'IB'"),
        ("ZZ,1,l,o,m,CQG,None,None", "unknown security_code 'ZZ'"),
        ("EP,1,l,o,m,CQG,None", "8 comma-separated pieces"),
    ],
    ids=["quantity", "direction", "gateway", "security", "pieces"],
)
def test_a_malformed_chat_order_is_answered_and_places_nothing(session, instruction, reason):
    reply = serve(session, send_order=True, order_string=instruction)
    assert reply.startswith("Order not sent: ") and reason in reply
    assert session.engine.counts.placed == 0
    assert session.record.send_order is False and session.record.order_string == ""
    assert len(session.db.select_records("trading_order")) == 0


def test_a_chat_order_is_placed_filled_and_stored_with_its_links(session):
    reply = serve(session, send_order=True, order_string="EP,2,l,o,m,CQG,None,None")
    assert reply.startswith("Order ") and "sent: LONG 2 EP MARKET" in reply
    settle(session)
    snapshot = cqgcel.market_snapshot()
    ((guid, state),) = snapshot["orders"].items()
    assert state["status"] == "osFilled"
    orders = session.db.select_records("trading_order", ["id", "broker_order_id", "status", "filled_quantity"])
    ((order_row_id, broker_order_id, status, filled),) = list(orders)
    assert (broker_order_id, status, filled) == (guid, "FILLED", 2)
    deals = list(session.db.select_records("trading_deal", ["broker_deal_id", "order_id", "balance_id"]))
    assert sorted(d[0] for d in deals) == sorted(f["id"] for f in snapshot["fills"])
    assert {d[1] for d in deals} == {order_row_id}
    assert {d[2] for d in deals} == {session.engine.store.balance_id}


def test_requests_are_served_and_cleared(session):
    serve(session, send_order=True, order_string="EP,1,s,o,l,CQG,9999,None")  # rests far away
    settle(session)
    reply = serve(session, get_orders=True, active_orders=True, num_orders_displayed=5)
    assert reply.startswith("Orders (1 of 1):") and "SHORT LIMIT" in reply and "SUBMITTED" in reply
    assert (session.record.get_orders, session.record.active_orders, session.record.num_orders_displayed) == (
        False,
        False,
        1,
    )
    assert serve(session, get_balance=True).startswith("Balance (CQG): cash=500000.00")
    assert session.record.get_balance is False
    assert (
        serve(session, cancel_order=True, cancel_order_id="nope", gateway_name="CQG")
        == "Order nope is not an active order; nothing cancelled."
    )
    assert (session.record.cancel_order, session.record.cancel_order_id, session.record.gateway_name) == (
        False,
        None,
        None,
    )
    assert serve(session, cancel_orders=True) == "Cancel sent for 1 active order(s)."
    settle(session)
    assert [s["status"] for s in cqgcel.market_snapshot()["orders"].values()] == ["osCanceled"]
    assert serve(session, get_orders=True, active_orders=True) == "No active orders."


def test_close_positions_sends_the_opposite_orders(session):
    serve(session, send_order=True, order_string="EP,3,s,o,m,CQG,None,None")
    settle(session)
    reply = serve(session, close_positions=True)
    assert reply == "Closing orders sent: EP LONG 3 (closes SHORT)"
    settle(session)
    assert [p["quantity"] for p in cqgcel.market_snapshot()["positions"].values()] == [0]
    assert session.record.close_positions is False


def test_stop_from_the_chat_ends_the_run_and_the_summary_counts(session):
    session.record.morvex_trader_status = "Terminated"
    session.engine.run(duration=30)  # returns at once: the stop request is seen on the first poll
    assert session.engine.stop_requested
    summary = format_summary(session.engine, "/tmp/x.db", session.engine.store.row_counts())
    assert "orders placed      0" in summary and "rows balance       " in summary


def test_a_symbol_the_market_does_not_know_is_refused_at_subscription(session):
    with pytest.raises(ValueError, match=r"CQG refused the symbol 'F.US.ZZ': Unknown symbol"):
        session.engine.gateway.subscribe_market_data("F.US.ZZ", 5)


def test_orders_submitted_from_another_thread_keep_their_updates(session):
    placed = []
    order = Order(security=EP, price=0.0, quantity=1, direction=Direction.LONG, order_type=OrderType.MARKET)
    worker = threading.Thread(target=lambda: placed.append(session.engine.submit(order)))
    worker.start()
    worker.join(10)
    settle(session)
    wait_until(lambda: session.engine.orders[placed[0]].status is OrderStatus.FILLED, what="the fill stored")
    assert list(session.db.select_records("trading_order", ["status"])) == [("FILLED",)]
