"""Market data: the tick path from a simulator event to process_orderbook, and bar
retrieval with repair (get_subscribe_bars_data), each against a pure-Python version of
the same steps; the tick path also against the floor of the Python calls it must make, the
bar repair against the floor of reading each bar value once from C++ (bench/native)."""

from __future__ import annotations

import random
import sys
import threading
import time
from dataclasses import replace
from datetime import datetime, timedelta

from common import Figure, floors, ratio_figure

from morvex_trader.core.data import Bar, OrderBook
from morvex_trader.core.security import Futures
from morvex_trader.gateways.cqg.cqg_gateway import CqgGateway
from morvex_trader.gateways.cqg.wrapper import comhost, tradelink
from morvex_trader.platform import cqgcel

TICKS = 20_000
BARS = 10_000
INVALID_SHARE = 0.10
SYMBOL = "F.US.EP"
SECURITY = Futures("EP", "E-mini S&P 500")
FIELDS = ("open", "high", "low", "close", "volume")
INVALID = -2147483648


class BenchGateway(CqgGateway):
    def __init__(self) -> None:
        super().__init__({SYMBOL: SECURITY})
        self.delivered = 0

    def process_orderbook(self, orderbook) -> None:
        self.delivered += 1


# -- tick path ---------------------------------------------------------------------------
TICK_NAMES = {
    comhost.tptAsk: "Ask price",
    comhost.tptBid: "Bid price",
    comhost.tptSettlement: "Settlement price",
    comhost.tptTrade: "Trade price",
}


class PythonOrderBookSink(comhost.CELSinkBase):
    """The order-book steps of OnTicksAdded written in Python."""

    gateway = None

    def OnTicksAdded(self, cqgTicks, addedTicksCount):
        gateway = self.gateway
        count = cqgTicks.Count
        symbol = cqgTicks.Request.Symbol
        for index in range(count - addedTicksCount, count):
            tick = cqgTicks.Item(index)
            security = gateway.get_mx_security_from_cqg_symbol(symbol)
            book = gateway.cqg_orderbooks.get(security)
            if book is None:
                book = OrderBook(security=security, exchange=security.exchange, datetime=datetime.now())
            name = TICK_NAMES[tick.PriceType]
            if name == "Ask price":
                book = replace(book, ask_volume_1=tick.Volume, ask_price_1=tick.Price, datetime=datetime.now())
            elif name == "Bid price":
                book = replace(book, bid_volume_1=tick.Volume, bid_price_1=tick.Price, datetime=datetime.now())
            gateway.cqg_orderbooks[security] = book
            if book.bid_price_1 and book.ask_price_1 and book.bid_volume_1 and book.ask_volume_1:
                gateway.process_orderbook(book)


def _ticks_collection():
    # An ask then a bid: every event hands over the bid, with a complete first level.
    return cqgcel.make_ticks(SYMBOL, [(comhost.tptAsk, 100.25, 5), (comhost.tptBid, 100.0, 7)])


def _tick_ns(sink_type) -> tuple[float, int]:
    """ns per tick on the COM thread, from the event to process_orderbook."""
    gateway = BenchGateway()
    host = comhost.ComHost()
    sink = host.Init(sink_type, None)
    try:
        if isinstance(sink, tradelink.TradeLink):
            gateway.comHost = host
            sink.Init(gateway)
        else:
            sink.gateway = gateway
        ticks = _ticks_collection()
        cqgcel.fire_many("OnTicksAdded", 1, ticks, 2)  # creates the record
        best = min(cqgcel.fire_many("OnTicksAdded", TICKS, ticks, 1) for _ in range(3))
    finally:
        host.Shutdown()
    return best / TICKS, gateway.delivered


def _floor_ns() -> float:
    """The Python calls the contract needs per tick, in a plain loop: security look-up, map
    get, the current time, dataclasses.replace, map store, process_orderbook."""
    gateway = BenchGateway()
    books = gateway.cqg_orderbooks
    books[SECURITY] = OrderBook(
        security=SECURITY, exchange=SECURITY.exchange, datetime=datetime.now(), ask_price_1=100.25, ask_volume_1=5
    )
    lookup, process, now = gateway.get_mx_security_from_cqg_symbol, gateway.process_orderbook, datetime.now
    best = float("inf")
    for _ in range(3):
        start = time.perf_counter_ns()
        for _ in range(TICKS):
            security = lookup(SYMBOL)
            book = books.get(security)
            book = replace(book, bid_volume_1=7, bid_price_1=100.0, datetime=now())
            books[security] = book
            process(book)
        best = min(best, (time.perf_counter_ns() - start) / TICKS)
    return best


# -- bar repair --------------------------------------------------------------------------
class PythonBars:
    """get_subscribe_bars_data written in Python, with the same lock and steps."""

    def __init__(self) -> None:
        self.subscribe_bars_data: dict = {}
        self.lock = threading.Lock()

    def get_subscribe_bars_data(self, security):
        with self.lock:
            bars = self.subscribe_bars_data.get(security)
            if not bars:
                return None
            for i in range(1, len(bars)):
                bar, previous = bars[i], bars[i - 1]
                for field in FIELDS:
                    if getattr(bar, field) == INVALID and getattr(previous, field) != INVALID:
                        setattr(bar, field, getattr(previous, field))
            for i in range(len(bars) - 2, -1, -1):
                bar, following = bars[i], bars[i + 1]
                for field in FIELDS:
                    if getattr(bar, field) == INVALID and getattr(following, field) != INVALID:
                        setattr(bar, field, getattr(following, field))
            newest = bars[-1]
            for field in FIELDS:
                if getattr(newest, field) == INVALID:
                    raise ValueError(f"The latest bar is INVALID: {newest}.")
            return bars


def _bars(seed: int) -> tuple[list, list]:
    """BARS one-minute bars and the (bar, field) places that hold INVALID_SHARE invalid
    values (integer and float markers alike); the newest bar stays valid."""
    rng = random.Random(seed)
    start = datetime(2024, 5, 6, 9, 30)
    bars = [
        Bar(
            datetime=start + timedelta(minutes=i),
            security=SECURITY,
            open=100.0 + i % 7,
            high=101.0 + i % 5,
            low=99.0 - i % 3,
            close=100.5 + i % 4,
            volume=10 + i % 50,
        )
        for i in range(BARS)
    ]
    places = [(i, f) for i in range(BARS - 1) for f in FIELDS if rng.random() < INVALID_SHARE]
    return bars, places


def _invalidate(bars: list, places: list) -> None:
    for n, (i, field) in enumerate(places):
        setattr(bars[i], field, INVALID if n % 2 else float(INVALID))


def _repair_us(reader, bars: list, places: list) -> float:
    best = float("inf")
    for _ in range(15):
        _invalidate(bars, places)
        start = time.perf_counter_ns()
        reader.get_subscribe_bars_data(SECURITY)
        best = min(best, (time.perf_counter_ns() - start) / 1000)
    return best


def _read_floor_us(bars: list, places: list) -> float:
    """Reading each of the bars' five values once through the attribute protocol, from C++,
    timed as the repair is (same bars, same invalid places, one call from Python)."""
    read = floors().read_bar_values
    best = float("inf")
    for _ in range(15):
        _invalidate(bars, places)
        start = time.perf_counter_ns()
        count = read(bars)
        best = min(best, (time.perf_counter_ns() - start) / 1000)
    assert count == len(bars) * len(FIELDS), count
    return best


def _write_floor_us(bars: list, places: list, repaired: list) -> float:
    """Writing the repaired values into the invalid places from C++ (no reads, no checks):
    the part of the repair's time that writes take."""
    best = float("inf")
    for _ in range(15):
        _invalidate(bars, places)
        writes = [(bars[i], sys.intern(field), getattr(repaired[i], field)) for i, field in places]
        best = min(best, floors().write_values(writes) * 1e6)
    return best


def run() -> list[Figure]:
    cqgcel.reset()
    cqgcel.set_journal_enabled(False)
    figures: list[Figure] = []

    native_ns, delivered = _tick_ns(tradelink.TradeLink)
    python_ns, python_delivered = _tick_ns(PythonOrderBookSink)
    assert delivered == python_delivered > 0, (delivered, python_delivered)
    floor_ns = _floor_ns()
    figures.append(
        Figure(
            "ticks to process_orderbook (TradeLink)",
            1e9 / native_ns,
            "ticks/s",
            1e9 / python_ns,
            native_ns / python_ns,
            "-",
            None,
        )
    )
    figures.append(
        ratio_figure("tick path vs pure-Python sink", native_ns, python_ns, "ns/tick", 1.0, what="TradeLink/Python")
    )
    figures.append(
        ratio_figure(
            "tick path vs floor (the Python calls alone)", native_ns, floor_ns, "ns/tick", 1.3, what="TradeLink/floor"
        )
    )

    link = tradelink.TradeLink()
    reference = PythonBars()
    ours, places = _bars(seed=5)
    theirs, _ = _bars(seed=5)
    link.subscribe_bars_data[SECURITY] = ours
    reference.subscribe_bars_data[SECURITY] = theirs
    native_us = _repair_us(link, ours, places)
    python_us = _repair_us(reference, theirs, places)
    assert [vars(b) for b in ours] == [vars(b) for b in theirs]
    floor_us = _read_floor_us(ours, places)
    writes_us = _write_floor_us(ours, places, theirs)
    # Against pure Python as a figure; the goal is set against the floor below.
    figures.append(
        Figure(
            f"get_subscribe_bars_data, {BARS} bars, 10% invalid, vs pure Python",
            native_us,
            "us",
            python_us,
            native_us / python_us,
            "-",
            None,
        )
    )
    figures.append(
        ratio_figure(
            "bar repair vs floor (each value read once, from C++)", native_us, floor_us, "us", 1.3, what="repair/floor"
        )
    )
    figures.append(
        Figure(
            "bar repair: the reads + writes alone, from C++",
            floor_us + writes_us,
            "us",
            floor_us,
            (floor_us + writes_us) / floor_us,
            "-",
            None,
        )
    )
    cqgcel.reset()
    return figures
