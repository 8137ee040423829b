"""The replies the trader reads in the chat, exactly as sent: balance, positions, orders,
deals, status, and what /send_order answers, for an engine on a gateway that is not
connected to CQG (its trading calls are scripted here, its symbol look-ups are real)."""

from __future__ import annotations

import re
import time
from datetime import datetime

import pytest

from morvex_trader.core.balance import AccountBalance
from morvex_trader.core.constants import Direction, Offset, OrderStatus, OrderType
from morvex_trader.core.order import Order
from morvex_trader.core.position import PositionData
from morvex_trader.core.security import Futures
from morvex_trader.engine.main_engine import MainEngine, SessionSettings
from morvex_trader.engine.watch_settings import NOTIFICATION_KINDS, WatchSettings
from morvex_trader.gateways.cqg.cqg_gateway import CqgGateway
from morvex_trader.gateways.cqg.wrapper import comhost

from test_engine import ChatRecord

EP = Futures("EP", "E-mini S&P 500")
NQ = Futures("NQ", "E-mini Nasdaq-100")
WHEN = datetime(2026, 12, 7, 9, 31, 5)


class ScriptedGateway(CqgGateway):
    """The real gateway's books and look-ups; orders, balance and positions from the test."""

    def __init__(self) -> None:
        super().__init__({"F.US.EP": EP, "F.US.ENQ": NQ})
        self.balance = AccountBalance(
            cash=100.0,
            available_cash=90.0,
            net_cash_power=95.0,
            maintenance_margin=5.0,
            realized_pnl=12.5,
            unrealized_pnl=-3.25,
        )
        self.positions: list[PositionData] = []
        self.placed: list[Order] = []
        self.refusal = ""

    def place_order(self, order: Order) -> str:
        if self.refusal:
            raise RuntimeError(self.refusal)
        self.placed.append(order)
        order.order_id = f"O{len(self.placed)}"
        return order.order_id

    def cancel_order(self, order_id: str) -> None:
        pass

    def get_balance(self) -> AccountBalance:
        return self.balance

    def get_positions(self) -> list[PositionData]:
        return list(self.positions)


@pytest.fixture
def chat():
    """(engine, gateway, ask): ask(**request) sets the bot's request and returns the reply."""
    gateway = ScriptedGateway()
    record = ChatRecord()
    quiet = WatchSettings(TIMEZONE="Asia/Shanghai", NOTIFICATIONS=dict.fromkeys(NOTIFICATION_KINDS, "off"))
    engine = MainEngine(
        gateway, None, SessionSettings(watch=quiet), bot=record, now=lambda: WHEN, log=lambda text: None
    )

    def ask(**request) -> str:
        for name, value in request.items():
            setattr(record, name, value)
        engine.remote.poll()
        return record.replies[-1]

    return engine, gateway, ask


def deal(deal_id: str, order_id: str, quantity: float, price: float) -> dict:
    return {
        "deal_id": deal_id,
        "order_id": order_id,
        "filled_quantity": quantity,
        "filled_avg_price": price,
        "updated_time": WHEN,
    }


def test_balance_and_positions_replies(chat):
    engine, gateway, ask = chat
    assert ask(get_balance=True) == (
        "Balance (CQG): cash=100.00 available=90.00 net=95.00 margin=5.00 " "realized_pnl=12.50 unrealized_pnl=-3.25"
    )
    assert ask(get_positions=True) == "No open positions (CQG)."
    gateway.positions = [
        PositionData(EP, Direction.LONG, holding_price=4500.125, quantity=2.0),
        PositionData(NQ, Direction.SHORT, holding_price=15000.0, quantity=1.5),
    ]
    assert ask(get_positions=True) == ("Positions (CQG):\n" "EP LONG 2 @ 4500.1250\n" "NQ SHORT 1.5 @ 15000.0000")


def test_orders_and_deals_replies_show_the_newest_up_to_the_count(chat):
    engine, gateway, ask = chat
    assert ask(get_orders=True, num_orders_displayed=5) == "No orders."
    assert ask(get_orders=True, active_orders=True) == "No active orders."
    assert ask(get_deals=True, num_deals_displayed=5) == "No deals."
    first = engine.submit(Order(EP, price=0.0, quantity=2, direction=Direction.LONG, order_type=OrderType.MARKET))
    second = engine.submit(Order(NQ, price=15000.5, quantity=1, direction=Direction.SHORT, order_type=OrderType.LIMIT))
    gateway.events.put(
        (
            "order",
            {
                "order_id": first,
                "status": OrderStatus.FILLED,
                "filled_avg_price": 4500.25,
                "filled_quantity": 2,
                "updated_time": WHEN,
            },
        )
    )
    gateway.events.put(("deal", deal("D1", first, 1, 4500.0)))
    gateway.events.put(("deal", deal("D2", first, 1, 4500.5)))
    engine.drain_events()

    assert ask(get_orders=True, active_orders=False, num_orders_displayed=10) == (
        "Orders (2 of 2):\n"
        "O1 EP LONG MARKET 2@0.0 filled 2 FILLED\n"
        "O2 NQ SHORT LIMIT 1@15000.5 filled 0 SUBMITTED"
    )
    assert (
        ask(get_orders=True, num_orders_displayed=1)
        == "Orders (1 of 2):\nO2 NQ SHORT LIMIT 1@15000.5 filled 0 SUBMITTED"
    )
    assert ask(get_orders=True, active_orders=True, num_orders_displayed=10) == (
        "Orders (1 of 1):\nO2 NQ SHORT LIMIT 1@15000.5 filled 0 SUBMITTED"
    )
    assert ask(get_deals=True, num_deals_displayed=10) == (
        "Deals (2 of 2):\n" "D1 order O1 1@4500.0 2026-12-07 09:31:05\n" "D2 order O1 1@4500.5 2026-12-07 09:31:05"
    )
    assert ask(get_deals=True, num_deals_displayed=1) == "Deals (1 of 2):\nD2 order O1 1@4500.5 2026-12-07 09:31:05"
    assert second == "O2"


@pytest.mark.parametrize(
    "text, reply",
    [
        ("EP,2,l,o,m,CQG,None,None", "Order O1 sent: LONG 2 EP MARKET."),
        ("NQ,1,s,c,l,CQG,15000.25,None", "Order O1 sent: SHORT 1 NQ LIMIT."),
        ("ES,1,l,o,m,CQG,None,None", "Order not sent: unknown security_code 'ES'"),
        ("EP,1,l,o,m,IB,None,None", "Order not sent: unknown gateway 'IB' (known: CQG)"),
        ("EP,0,l,o,m,CQG,None,None", "Order not sent: quantity must be positive, got 0"),
    ],
    ids=["market", "limit", "unknown-security", "unknown-gateway", "zero-quantity"],
)
def test_send_order_replies(chat, text, reply):
    engine, gateway, ask = chat
    assert ask(send_order=True, order_string=text) == reply
    placed = [(o.security.code, o.quantity, o.direction, o.order_type, o.offset, o.price) for o in gateway.placed]
    if reply.startswith("Order O1 sent"):
        code, quantity, direction, _, order_type, _, price, _ = [p.strip() for p in text.split(",")]
        assert placed == [
            (
                code,
                int(quantity),
                {"l": Direction.LONG, "s": Direction.SHORT}[direction],
                {"m": OrderType.MARKET, "l": OrderType.LIMIT}[order_type],
                {"o": Offset.OPEN, "c": Offset.CLOSE}[text.split(",")[3]],
                0.0 if price == "None" else float(price),
            )
        ]
    else:
        assert placed == []  # a refused instruction places nothing


def test_a_refused_placement_says_why(chat):
    engine, gateway, ask = chat
    gateway.refusal = "CQG gateway connection is down: order not sent"
    assert ask(send_order=True, order_string="EP,1,l,o,m,CQG,None,None") == (
        "Order not sent: the gateway refused EP: CQG gateway connection is down: order not sent."
    )
    assert engine.counts.refused == 1 and engine.counts.placed == 0


def test_cancel_and_close_replies(chat):
    engine, gateway, ask = chat
    working = engine.submit(Order(EP, price=4400.0, quantity=1, direction=Direction.LONG, order_type=OrderType.LIMIT))
    assert ask(cancel_order=True, cancel_order_id="O9", gateway_name="CQG") == (
        "Order O9 is not an active order; nothing cancelled."
    )
    assert (
        ask(cancel_order=True, cancel_order_id=working, gateway_name="IB") == "Unknown gateway 'IB'; nothing cancelled."
    )
    assert ask(cancel_order=True, cancel_order_id=working, gateway_name="CQG") == f"Cancel sent for order {working}."
    assert ask(cancel_orders=True) == "Cancel sent for 1 active order(s)."
    assert ask(close_positions=True) == "No positions to close."
    gateway.positions = [
        PositionData(EP, Direction.LONG, quantity=2.0),
        PositionData(NQ, Direction.SHORT, quantity=1.0),
    ]
    assert ask(close_positions=True, close_positions_gateway_name="IB") == "Unknown gateway 'IB'; nothing closed."
    assert ask(close_positions=True, close_positions_gateway_name=None) == (
        "Closing orders sent: EP SHORT 2 (closes LONG), NQ LONG 1 (closes SHORT)"
    )
    closing = gateway.placed[-2:]
    assert [(o.direction, o.offset, o.order_type) for o in closing] == [
        (Direction.SHORT, Offset.CLOSE, OrderType.MARKET),
        (Direction.LONG, Offset.CLOSE, OrderType.MARKET),
    ]


def test_status_reply(chat):
    engine, gateway, ask = chat
    gateway.connection.record("gateway", comhost.csConnectionUp)
    # a symbol subscribed without a security record of the host is named as CQG knows it
    gateway.subscriptions = {"F.US.EP": (5, "1Min"), "F.US.ENQ": (5, "1Min"), "F.US.ZN": (5, "1Min")}
    gateway.quote_times[EP] = time.monotonic() - 2.0
    for security in (NQ, EP, NQ):
        engine.submit(Order(security, price=1.0, quantity=1, direction=Direction.SHORT, order_type=OrderType.LIMIT))
    lines = ask(get_status=True).splitlines()
    assert re.fullmatch(r"Status \(CQG\) at 2026-12-07 09:31:05 Asia/Shanghai", lines[0]), lines[0]
    assert re.fullmatch(r"gateway: up for \d+ s, data: unknown for \d+ s", lines[1]), lines[1]
    assert re.fullmatch(r"last quote: EP 2\.\d s, NQ none yet, F\.US\.ZN none yet", lines[2]), lines[2]
    assert lines[3:] == ["working orders: 3 (EP 1, NQ 2)", "session P&L: realised 12.50, unrealised -3.25"]


def test_the_quote_watch_passes_over_a_symbol_without_a_security_record(chat):
    engine, gateway, ask = chat
    engine.guard.settings.QUOTE_SILENCE = 1.0
    gateway.connection.record("gateway", comhost.csConnectionUp)
    gateway.connection.record("data", comhost.csConnectionUp)
    gateway.subscriptions = {"F.US.EP": (5, "1Min"), "F.US.ZN": (5, "1Min")}
    watchdog = engine.guard.watchdog
    watchdog._started_at -= 60.0  # a minute without a single quote
    watchdog.poll()
    assert list(watchdog.silent) == [EP]  # EP is silent; F.US.ZN has nothing to watch
    assert not engine.guard.strategy_allowed(EP)
