"""TradeLink: the quote path (simulator event to process_quote) and the place_order round
trip, each against a pure-Python version of the same steps; the quote path also against
the floor (the Python calls the contract itself requires per quote), the round trip
against a marshalled call measured in the same session, with the median of each of its
steps (from TradeLink's timing hook)."""

from __future__ import annotations

import contextlib
import dataclasses
import threading
import time
from datetime import datetime

from common import Figure, absolute_figure, best_ns_per_op, median, percentile, ratio_figure, stdout_to_devnull

from morvex_trader.core.constants import Direction, Exchange, OrderType
from morvex_trader.core.data import Quote
from morvex_trader.core.order import Order
from morvex_trader.core.security import Futures
from morvex_trader.gateways.cqg.wrapper import comhost, tradelink
from morvex_trader.platform import cqgcel

QUOTES = 50_000
ORDERS = 2_000
C = comhost.constants
EP = Futures("EP", "E-mini S&P 500", exchange=Exchange.SMART)


class Host:
    """The host gateway the contract asks for, with callbacks that do nothing."""

    def __init__(self) -> None:
        self.comHost = None
        self.cqg_quotes: dict = {}
        self.cqg_orderbooks: dict = {}
        self._securities = {"EP": EP, "F.US.EP": EP}

    def get_mx_security_from_cqg_symbol(self, symbol):
        return self._securities.get(symbol)

    def get_cqg_symbol_from_mx_security(self, security):
        return "F.US.EP"

    def process_quote(self, quote):
        pass

    def process_orderbook(self, orderbook):
        pass

    def process_order(self, update):
        pass

    def process_deal(self, deal):
        pass


# -- the same steps in pure Python -----------------------------------------------------

FIELDS = {
    C.qtTrade: "last_price",
    C.qtBid: "bid_price",
    C.qtAsk: "ask_price",
    C.qtDayOpen: "open_price",
    C.qtDayHigh: "high_price",
    C.qtDayLow: "low_price",
    C.qtYesterdaySettlement: "prev_close_price",
}


class PyLink(comhost.CELSinkBase):
    """Quote path and order placing written in Python over the late-bound objects."""

    def __init__(self):
        super().__init__()
        self.placed = threading.Event()
        self.order_id = None
        self.placing = None

    def Init(self, gateway):
        self.gateway = gateway
        self.cel = gateway.comHost.cqgCEL

    def OnInstrumentChanged(self, cqgInstrument, cqgQuotes, cqgInstrumentProperties):
        gateway = self.gateway
        for quote in cqgQuotes:
            if not quote.IsValid:
                continue
            symbol = cqgInstrument.FullName.split(".")[-1]
            security = gateway.get_mx_security_from_cqg_symbol(symbol)
            if security is None:
                continue
            record = gateway.cqg_quotes.get(security)
            if record is None:
                record = Quote(security=security, exchange=security.exchange, datetime=datetime.now())
            field = FIELDS.get(quote.Type)
            if field is not None:
                record = dataclasses.replace(record, **{field: quote.Price, "datetime": datetime.now()})
            gateway.cqg_quotes[security] = record
            if record.last_price or (record.bid_price and record.ask_price):
                gateway.process_quote(record)

    def place_order(self, order):
        gateway = self.gateway
        symbol = gateway.get_cqg_symbol_from_mx_security(order.security)
        instrument = next((i for i in self.cel.Instruments if symbol in i.FullName), None)
        account = None
        for a in self.cel.Accounts:
            comhost.Trace(f"GW Account id: {a.GWAccountID} name: {a.GWAccountName}")
            if a.GWAccountID == 100001:
                account = a
                break
        cqg_order = self.cel.CreateOrder(C.otLimit, instrument, account, order.quantity, C.osdBuy, order.price)
        cqg_order.Manual = 0
        self.placing = cqg_order.GUID
        self.placed.clear()
        cqg_order.Place()
        comhost.AssertMessage(self.placed.wait(10), "Order placing timeout!")
        order_id, self.order_id = self.order_id, None
        return order_id

    def OnOrderChanged(self, changeType, cqgOrder, oldProperties, cqgFill, cqgError):
        if cqgError is not None:
            return
        guid = cqgOrder.Properties(C.opGUID).Value
        if changeType == C.ctAdded and guid == self.placing and not self.placed.is_set():
            self.order_id = guid
            self.placed.set()


@contextlib.contextmanager
def started(sink_class):
    host = comhost.ComHost()
    gateway = Host()
    gateway.comHost = host
    link = host.Init(sink_class, None)
    try:
        link.Init(gateway)
        host.cqgCEL.GWLogon("bench", "bench")
        host.cqgCEL.NewInstrument("EP")
        deadline = time.monotonic() + 5
        while not any("EP" in i.FullName for i in host.cqgCEL.Instruments):
            if time.monotonic() > deadline:
                raise RuntimeError("EP did not resolve")
            time.sleep(0.001)
        yield link, gateway
    finally:
        host.Shutdown()


def quote_path_ns(sink_class) -> float:
    with started(sink_class) as (link, gateway):
        instrument = cqgcel.instrument("EP")
        quotes = cqgcel.make_quotes([(C.qtTrade, 4321.25)])
        cqgcel.fire_many("OnInstrumentChanged", 1000, instrument, quotes, None)  # warm up
        best = min(cqgcel.fire_many("OnInstrumentChanged", QUOTES, instrument, quotes, None) for _ in range(5))
        assert gateway.cqg_quotes[EP].last_price == 4321.25
    return best / QUOTES


def floor_ns() -> float:
    gateway = Host()
    gateway.cqg_quotes[EP] = Quote(security=EP, exchange=EP.exchange, datetime=datetime.now())
    now = datetime.now()
    lookup = gateway.get_mx_security_from_cqg_symbol
    process = gateway.process_quote
    quotes = gateway.cqg_quotes
    replace = dataclasses.replace

    def one():
        security = lookup("EP")
        record = replace(quotes.get(security), last_price=4321.25, datetime=now)
        quotes[security] = record
        process(record)

    return best_ns_per_op(one, QUOTES)


# place_order's steps, in the order of TradeLink._place_timeline() after its start. The
# COM thread's steps may come before the caller's (the answer to Place is often handed
# over before the caller has woken from the task), so each is shown as its median time
# from the start of the call, not as a difference to the step before.
STEPS = (
    "host's order read (caller, GIL held)",
    "task started (COM thread)",
    "Place returned (COM thread)",
    "caller back from the task",
    "ctAdded handed over (COM thread)",
    "caller woken from the wait",
    "GIL held again, returning",
)


def place_order_us(sink_class) -> tuple[list[float], list[float]]:
    """place_order round trips and, interleaved with them in the same session, round trips
    of one marshalled call (cqgCEL.IsStarted) from Python."""
    order = Order(EP, 4300.0, 1, Direction.LONG, OrderType.LIMIT)
    samples, marshalled = [], []
    with started(sink_class) as (link, gateway):
        if sink_class is tradelink.TradeLink:
            link.GWAccountID = 100001
        cel = gateway.comHost.cqgCEL
        with stdout_to_devnull():
            for _ in range(50):
                link.place_order(order)  # warm up
            for _ in range(ORDERS):
                start = time.perf_counter_ns()
                link.place_order(order)
                samples.append((time.perf_counter_ns() - start) / 1000)
                start = time.perf_counter_ns()
                cel.IsStarted
                marshalled.append((time.perf_counter_ns() - start) / 1000)
    return samples, marshalled


def place_order_steps_us() -> list[float]:
    """Median time from the start of place_order to each of its steps (see STEPS), from
    the timing hook."""
    order = Order(EP, 4300.0, 1, Direction.LONG, OrderType.LIMIT)
    per_step: list[list[float]] = [[] for _ in STEPS]
    with started(tradelink.TradeLink) as (link, gateway):
        link.GWAccountID = 100001
        tradelink._set_place_timing(True)
        try:
            with stdout_to_devnull():
                for i in range(50 + ORDERS // 2):
                    link.place_order(order)
                    if i < 50:
                        continue
                    stamps = link._place_timeline()
                    for step in range(len(STEPS)):
                        per_step[step].append(stamps[step + 1] / 1000)
        finally:
            tradelink._set_place_timing(False)
    return [median(d) for d in per_step]


def run() -> list[Figure]:
    cqgcel.reset()
    cqgcel.set_journal_enabled(False)
    figures: list[Figure] = []
    ours = quote_path_ns(tradelink.TradeLink)
    python = quote_path_ns(PyLink)
    floor = floor_ns()
    figures.append(Figure("quote path, TradeLink", 1e9 / ours, "quotes/s", None, None, "-", None))
    figures.append(ratio_figure("quote path vs the contract's floor", ours, floor, "ns/quote", 1.3, what="ours/floor"))
    figures.append(
        ratio_figure(
            "quote path vs pure Python", python, ours, "ns/quote", 2.0, lower_is_better=False, what="python/ours"
        )
    )

    ours_us, marshalled_us = place_order_us(tradelink.TradeLink)
    python_us, _ = place_order_us(PyLink)
    figures.append(absolute_figure("place_order round trip, median", median(ours_us), "us", 50))
    figures.append(
        Figure(
            "place_order round trip, p99",
            percentile(ours_us, 99),
            "us",
            percentile(python_us, 99),
            percentile(ours_us, 99) / percentile(python_us, 99),
            "- (ours/python)",
            None,
        )
    )
    figures.append(
        ratio_figure(
            "place_order vs a marshalled call (same session), median",
            median(ours_us),
            median(marshalled_us),
            "us",
            5.0,
            what="place_order/call",
        )
    )
    figures.append(
        ratio_figure(
            "place_order vs pure Python over threading.Event, median",
            median(ours_us),
            median(python_us),
            "us",
            1.0,
            what="ours/python",
        )
    )
    for name, us in zip(STEPS, place_order_steps_us()):
        figures.append(Figure(f"  place_order at: {name}", us, "us", None, None, "-", None))
    cqgcel.reset()
    return figures
