"""One TradeLink event overridden in a Python subclass that calls super(), delivered by the
simulator on the COM thread. Run in a child interpreter by test_tradelink_subclass.py, so
that a crash fails that test instead of ending pytest.

    subclass_session.py <event name>

The child drives the scripted simulator until the event has been delivered, checks that
TradeLink's own handling ran through super() (the wait it ends returned in time, the host
saw the record, the bar window moved...), and prints one JSON line: the event, how many
times the override ran, on which threads, and what TradeLink's handling left behind.
"""

from __future__ import annotations

import json
import sys
import threading
import time
from datetime import datetime, timedelta

from morvex_trader.core.constants import Direction, Exchange, OrderStatus, OrderType
from morvex_trader.core.order import Order
from morvex_trader.core.security import Futures
from morvex_trader.gateways.cqg.cqg_gateway import CqgGateway
from morvex_trader.gateways.cqg.wrapper import comhost, tradelink
from morvex_trader.platform import cqgcel

C = comhost.constants
EP = Futures("EP", "E-mini S&P 500", exchange=Exchange.SMART)
ACCOUNT = 100001
T0 = datetime(2024, 5, 6, 9, 30)
# Long enough for a loaded machine, far below the default: a wait that TradeLink's handler
# failed to end shows up as a time-out.
tradelink.TIMEOUT = 2.0
tradelink.ACCOUNT_SWITCH_PAUSE = 0.0


def bar(minute: int, close: float) -> tuple:
    return (T0 + timedelta(minutes=minute), close - 0.5, close + 1.0, close - 1.0, close, 10)


def make_link_class(event: str) -> type:
    """TradeLink with `event` overridden: records the call, then super()."""

    def override(self, *args):
        self.calls.append(threading.get_ident())
        getattr(super(cls, self), event)(*args)

    def init(self):
        super(cls, self).__init__()
        self.calls = []

    cls = type("SuperCallingLink", (tradelink.TradeLink,), {"__init__": init, event: override})
    return cls


class Host(CqgGateway):
    def __init__(self, sink_class: type) -> None:
        super().__init__({"F.US.EP": EP}, sink_class=sink_class)
        self.quotes: list = []
        self.books: list = []
        self.orders: list = []
        self.fills: list = []

    def process_quote(self, quote) -> None:
        self.quotes.append(quote)

    def process_orderbook(self, orderbook) -> None:
        self.books.append(orderbook)

    def process_order(self, update) -> None:
        self.orders.append(update)

    def process_deal(self, deal) -> None:
        self.fills.append(deal)


def timed(action) -> float:
    started = time.monotonic()
    action()
    return time.monotonic() - started


def logged_on(host: Host) -> tradelink.TradeLink:
    host.logon("trader", "secret")
    host.subscribe_account(ACCOUNT)
    return host.tradelink


# Each scenario delivers its event and returns what TradeLink's handling left behind.
def gw_connection(host):
    return {"logon_seconds": timed(lambda: host.logon("trader", "secret"))}


def data_connection(host):
    cqgcel.raise_event("OnDataConnectionStatusChanged", C.csConnectionUp)
    return {}


def data_error(host):
    cqgcel.raise_event("OnDataError", cqgcel.make_error(77, "feed lost"), "feed lost")
    return {}


def instrument_resolved(host):
    seconds = timed(lambda: host.tradelink.subscribe_quote("EP"))
    return {"subscribe_seconds": seconds, "level": cqgcel.instrument("EP").DataSubscriptionLevel == C.dsQuotesAndBBA}


def instrument_changed(host):
    host.tradelink.subscribe_quote("EP")
    cqgcel.push_quotes("EP", [(C.qtBid, 99.5), (C.qtAsk, 100.25)])
    return {
        "handed_over": [(q.bid_price, q.ask_price) for q in host.quotes],
        "stored_bid": host.cqg_quotes[EP].bid_price,
    }


def account_changed(host):
    host.logon("trader", "secret")
    seconds = timed(lambda: host.subscribe_account(ACCOUNT))
    return {"subscribe_seconds": seconds, "account": host.tradelink.GWAccountID}


def order_changed(host):
    link = logged_on(host)
    link.subscribe_quote("EP")
    order = Order(security=EP, price=0.0, quantity=2, direction=Direction.LONG, order_type=OrderType.MARKET)
    guid = link.place_order(order)
    cqgcel.fill_order(guid, 2, 101.0)
    deadline = time.monotonic() + 5
    while not (host.fills and any(u["status"] == OrderStatus.FILLED for u in host.orders)):
        if time.monotonic() > deadline:
            break
        time.sleep(0.002)
    return {
        "guid_matches": all(u["order_id"] == guid for u in host.orders),
        "statuses": [u["status"].value for u in host.orders],
        "fills": [(d["order_id"] == guid, d["filled_quantity"], d["filled_avg_price"]) for d in host.fills],
    }


def ticks_resolved(host):
    cqgcel.set_ticks("F.US.EP", [])
    return {"subscribe_seconds": timed(lambda: host.tradelink.subscribe_orderbook("F.US.EP"))}


def ticks_added(host):
    cqgcel.set_ticks("F.US.EP", [])
    host.tradelink.subscribe_orderbook("F.US.EP")
    cqgcel.push_ticks("F.US.EP", [(C.tptAsk, 100.25, 4), (C.tptBid, 100.0, 3)])
    book = host.cqg_orderbooks[EP]
    return {
        "book": [book.bid_price_1, book.bid_volume_1, book.ask_price_1, book.ask_volume_1],
        "handed_over": len(host.books),
    }


def ticks_removed(host):
    cqgcel.raise_event("OnTicksRemoved", cqgcel.make_ticks("F.US.EP", [(C.tptBid, 1.0, 1)]), 0)
    return {"books": len(host.cqg_orderbooks)}


def bars_resolved(host):
    cqgcel.set_timed_bars("F.US.EP", [bar(i, 100.0 + i) for i in range(4)])
    seconds = timed(lambda: host.tradelink.subscribe_bar("F.US.EP", 3))
    stored = host.tradelink.get_subscribe_bars_data(EP)
    return {"subscribe_seconds": seconds, "closes": [b.close for b in stored or []]}


def subscribed_bars(host):
    cqgcel.set_timed_bars("F.US.EP", [bar(i, 100.0 + i) for i in range(4)])
    host.tradelink.subscribe_bar("F.US.EP", 3)


def bars_added(host):
    subscribed_bars(host)
    cqgcel.push_timed_bar("F.US.EP", bar(4, 104.0))
    return {"closes": [b.close for b in host.tradelink.get_subscribe_bars_data(EP)]}


def bars_updated(host):
    subscribed_bars(host)
    cqgcel.update_timed_bar("F.US.EP", 3, bar(3, 150.0))
    return {"closes": [b.close for b in host.tradelink.get_subscribe_bars_data(EP)]}


def bars_removed(host):
    subscribed_bars(host)
    cqgcel.remove_timed_bar("F.US.EP", 0)
    return {"closes": [b.close for b in host.tradelink.get_subscribe_bars_data(EP)]}


SCENARIOS = {
    "OnGWConnectionStatusChanged": gw_connection,
    "OnDataConnectionStatusChanged": data_connection,
    "OnDataError": data_error,
    "OnInstrumentResolved": instrument_resolved,
    "OnInstrumentChanged": instrument_changed,
    "OnAccountChanged": account_changed,
    "OnOrderChanged": order_changed,
    "OnTicksResolved": ticks_resolved,
    "OnTicksAdded": ticks_added,
    "OnTicksRemoved": ticks_removed,
    "OnTimedBarsResolved": bars_resolved,
    "OnTimedBarsAdded": bars_added,
    "OnTimedBarsUpdated": bars_updated,
    "OnTimedBarsRemoved": bars_removed,
}


def main(event: str) -> None:
    cqgcel.reset()
    host = Host(make_link_class(event))
    host.connect()
    try:
        outcome = SCENARIOS[event](host)
        link = host.tradelink
        calls = list(link.calls)
    finally:
        host.close()
    main_thread = threading.get_ident()
    sys.stdout.flush()
    print(
        json.dumps(
            {
                "event": event,
                "calls": len(calls),
                "on_caller_thread": sum(1 for t in calls if t == main_thread),
                "outcome": outcome,
            }
        ),
        flush=True,
    )


if __name__ == "__main__":
    main(sys.argv[1])
