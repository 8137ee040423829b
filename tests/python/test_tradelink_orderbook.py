"""TradeLink's order book: tick requests, the tick events and TickType2String."""

from __future__ import annotations

import pytest

from comhost_helpers import TraceReader
from tradelink_helpers import EP, gateway, journal_of  # noqa: F401 (gateway is a fixture)
from morvex_trader.gateways.cqg.wrapper import comhost, tradelink
from morvex_trader.platform import cqgcel

pytestmark = pytest.mark.timeout(30)

ASK, BID, TRADE, SETTLEMENT = comhost.tptAsk, comhost.tptBid, comhost.tptTrade, comhost.tptSettlement


@pytest.fixture
def subscribed(gateway):
    cqgcel.set_ticks("F.US.EP", [])  # resolves with no current ticks
    gateway.tradelink.subscribe_orderbook("F.US.EP")
    return gateway


def first_level(book) -> tuple:
    return (book.bid_price_1, book.bid_volume_1, book.ask_price_1, book.ask_volume_1)


def test_ask_alone_is_stored_and_kept_back_until_a_bid_completes_the_level(subscribed):
    assert cqgcel.push_ticks("F.US.EP", [(ASK, 100.25, 5)]) == 1
    stored = subscribed.cqg_orderbooks[EP]
    assert (stored.security, stored.exchange) == (EP, EP.exchange)
    assert first_level(stored) == (0, 0, 100.25, 5)
    assert subscribed.orderbooks == []

    cqgcel.push_ticks("F.US.EP", [(BID, 100.0, 7)])
    assert [first_level(b) for b in subscribed.orderbooks] == [(100.0, 7, 100.25, 5)]
    assert subscribed.orderbooks[0] is subscribed.cqg_orderbooks[EP]
    assert stored.ask_price_1 == 100.25 and stored.bid_price_1 == 0  # copies, never changed in place


def test_zero_bid_volume_keeps_the_record_back_until_a_bid_has_volume(subscribed):
    cqgcel.push_ticks("F.US.EP", [(ASK, 100.25, 5), (BID, 100.0, 0)])
    assert subscribed.orderbooks == []
    assert first_level(subscribed.cqg_orderbooks[EP]) == (100.0, 0, 100.25, 5)
    cqgcel.push_ticks("F.US.EP", [(BID, 100.0, 3)])
    assert [first_level(b) for b in subscribed.orderbooks] == [(100.0, 3, 100.25, 5)]


def test_trade_and_settlement_ticks_hand_the_unchanged_record_over_again(subscribed):
    cqgcel.push_ticks("F.US.EP", [(ASK, 100.25, 5), (BID, 100.0, 7)])
    complete = subscribed.cqg_orderbooks[EP]
    cqgcel.push_ticks("F.US.EP", [(TRADE, 100.25, 1)])
    cqgcel.push_ticks("F.US.EP", [(SETTLEMENT, 99.0, 0)])
    assert subscribed.orderbooks == [complete, complete, complete]
    assert subscribed.orderbooks[-1].datetime == complete.datetime


def test_only_the_newly_added_ticks_are_handled_in_order(subscribed):
    # Ten ticks, three of them new: the first seven would leave other prices behind.
    old = [(ASK, 1.0 + i, 1) for i in range(7)]
    new = [(ASK, 100.0, 1), (BID, 99.0, 2), (ASK, 101.0, 3)]
    ticks = cqgcel.make_ticks("F.US.EP", old + new)
    cqgcel.raise_event("OnTicksAdded", ticks, 3)
    assert [first_level(b) for b in subscribed.orderbooks] == [(99.0, 2, 100.0, 1), (99.0, 2, 101.0, 3)]


def test_an_unknown_tick_type_ends_the_event_after_the_ticks_before_it(subscribed, capfd):
    cqgcel.push_ticks("F.US.EP", [(ASK, 100.25, 5), (BID, 100.0, 7), (999, 1.0, 1), (BID, 1.0, 1)])
    assert [first_level(b) for b in subscribed.orderbooks] == [(100.0, 7, 100.25, 5)]
    assert first_level(subscribed.cqg_orderbooks[EP]) == (100.0, 7, 100.25, 5)
    assert "Exception in OnTicksAdded: KeyError: 999" in TraceReader(capfd).texts()


def test_ticks_of_a_symbol_without_security_leave_no_record(subscribed, capfd):
    ticks = cqgcel.make_ticks("F.US.ZZ", [(ASK, 1.0, 1), (BID, 1.0, 1)])
    cqgcel.raise_event("OnTicksAdded", ticks, 2)
    assert list(subscribed.cqg_orderbooks) == [] and subscribed.orderbooks == []
    assert "OnTicksAdded: no security for F.US.ZZ, 2 tick(s) ignored" in TraceReader(capfd).texts()


@pytest.mark.parametrize(
    "tick_type, name",
    [(ASK, "Ask price"), (BID, "Bid price"), (SETTLEMENT, "Settlement price"), (TRADE, "Trade price")],
    ids=["ask", "bid", "settlement", "trade"],
)
def test_tick_type_names(tick_type, name):
    assert tradelink.TickType2String(tick_type) == name


@pytest.mark.parametrize(
    "value", [comhost.qtAsk, -1, "Ask price", None], ids=["quote-type", "negative", "text", "none"]
)
def test_any_other_tick_type_is_a_lookup_error(value):
    with pytest.raises(LookupError):
        tradelink.TickType2String(value)


@pytest.mark.parametrize("cap, limit", [(None, "10"), (5, "5")], ids=["kept", "capped-by-cqg"])
def test_subscribe_sets_the_request_in_order_and_traces_the_limit_read_back(gateway, capfd, cap, limit):
    cqgcel.set_max_tick_limit(cap)
    cqgcel.clear_journal()
    trace = TraceReader(capfd)
    gateway.tradelink.subscribe_orderbook("F.US.EP")
    assert journal_of("CQGTicksRequest", cqgcel.journal()) == [
        ("Symbol", ("F.US.EP",)),
        ("Type", (comhost.trtCurrentNotify,)),
        ("TickFilter", (comhost.tfAll,)),
        ("SessionsFilter", (31,)),
        ("Limit", (10,)),
    ]
    assert [m for m, _ in journal_of("CQGCEL", cqgcel.journal())] == ["CreateTicksRequest", "RequestTicks"]
    assert trace.texts()[-3:] == [
        f"Limit: {limit}",
        "Waiting for eventOrderbookDone in subscribe_orderbook(F.US.EP)...",
        "eventOrderbookDone is done.",
    ]
    assert gateway.tradelink.eventOrderbookDone.is_set()


@pytest.mark.parametrize("mode", ["fail", "hold"])
def test_subscribe_returns_normally_on_a_failed_or_missing_answer(gateway, monkeypatch, capfd, mode):
    monkeypatch.setattr(tradelink, "TIMEOUT", 0.2 if mode == "hold" else 5.0)
    cqgcel.set_answer("RequestTicks", mode, code=3, description="no entitlement")
    gateway.tradelink.subscribe_orderbook("F.US.EP")
    assert TraceReader(capfd).texts()[-1] == "eventOrderbookDone is done."
    assert gateway.tradelink.eventOrderbookDone.is_set() is (mode == "fail")


def test_unsubscribe_removes_the_request_and_keeps_the_record(subscribed, capfd):
    cqgcel.push_ticks("F.US.EP", [(ASK, 100.25, 5)])
    link = subscribed.tradelink
    assert link.get_ticks_from_cqg_symbol("US.EP") is not None  # any part of the symbol
    trace = TraceReader(capfd)
    link.unsubscribe_orderbook("F.US.NQ")  # no such request: nothing at all
    assert trace.texts() == []
    link.unsubscribe_orderbook("F.US.EP")
    assert trace.texts() == ["Successfully unsubscribe orderbook for F.US.EP"]
    assert link.get_ticks_from_cqg_symbol("F.US.EP") is None
    assert not link.eventOrderbookDone.is_set()
    assert cqgcel.push_ticks("F.US.EP", [(BID, 1.0, 1)]) == 0
    assert subscribed.cqg_orderbooks[EP].ask_price_1 == 100.25


@pytest.mark.parametrize("operation", ["subscribe_orderbook", "unsubscribe_orderbook", "get_ticks_from_cqg_symbol"])
def test_a_symbol_that_is_not_text_is_a_type_error_before_anything_is_sent(gateway, operation):
    cqgcel.clear_journal()
    with pytest.raises(TypeError, match="cqg_symbol"):
        getattr(gateway.tradelink, operation)(b"F.US.EP")
    assert cqgcel.journal() == []
