"""What the simulator can send besides plain values, and what the host makes of it:
zone-aware date-times (a DATE is wall time in the server's zone), tick fields of any kind
(fractional volumes, the invalid marker as a price) and pushes aimed at one of several
live requests of a symbol."""

from __future__ import annotations

from datetime import datetime, timedelta, timezone
from zoneinfo import ZoneInfo

import pytest

from comhost_helpers import TraceReader
from tradelink_helpers import EP, INVALID, T0, RecordingGateway, cqg_bar, gateway  # noqa: F401 (gateway is a fixture)
from morvex_trader.engine.clock import SessionClock
from morvex_trader.gateways.cqg.wrapper import comhost, tradelink
from morvex_trader.platform import cqgcel

pytestmark = pytest.mark.timeout(30)

C = comhost.constants
ASK, BID = comhost.tptAsk, comhost.tptBid
SHANGHAI = ZoneInfo("Asia/Shanghai")
NEW_YORK = ZoneInfo("America/New_York")

# 01:30:05 UTC on a winter day: 09:30:05 in Shanghai (tzChina, what the host configures),
# 20:30:05 the day before in New York.
INSTANT = datetime(2024, 1, 15, 1, 30, 5, tzinfo=timezone.utc)
AWARE = {
    "utc": INSTANT,
    "new-york": INSTANT.astimezone(NEW_YORK),
    "fixed-offset": INSTANT.astimezone(timezone(timedelta(hours=-3, minutes=-30))),
}


def shanghai_wall(when: datetime) -> datetime:
    return when.astimezone(SHANGHAI).replace(tzinfo=None)


# --- zone-aware date-times ---------------------------------------------------------------


@pytest.mark.parametrize("when", AWARE.values(), ids=AWARE.keys())
def test_an_aware_time_scripted_before_the_simulator_starts_is_in_the_configured_zone(
    fresh_simulator, monkeypatch, when
):
    # Scripted with no simulator running: the zone of tzChina, the one the COM host configures.
    cqgcel.set_ticks("F.US.EP", [(BID, 1.0, 1, when)])
    cqgcel.set_timed_bars("F.US.EP", [(when, 1.0, 1.0, 1.0, 1.0, 1), (when, 1.0, 1.0, 1.0, 1.0, 1)])
    monkeypatch.setattr(tradelink, "TIMEOUT", 2.0)
    gw = RecordingGateway()
    gw.connect()
    try:
        gw.tradelink.subscribe_orderbook("F.US.EP")
        gw.tradelink.subscribe_bar("F.US.EP", 1)
        cel = gw.comHost.cqgCEL
        assert cel.AllTicks.Item(0).Item(0).Timestamp == datetime(2024, 1, 15, 9, 30, 5)
        assert cel.AllTimedBars.Item(0).Item(0).Timestamp == datetime(2024, 1, 15, 9, 30, 5)
    finally:
        gw.close()


@pytest.mark.parametrize(
    "code, zone",
    [
        ("tzChina", SHANGHAI),
        ("tzEastern", NEW_YORK),
        ("tzJapan", ZoneInfo("Asia/Tokyo")),
        ("tzGreenwich", ZoneInfo("Europe/London")),
    ],
    ids=["china", "eastern", "japan", "greenwich"],
)
def test_the_server_zone_follows_the_live_simulators_time_zone_code(gateway, code, zone):
    cqgcel.simulator().APIConfiguration.TimeZoneCode = getattr(comhost, code)
    summer = datetime(2024, 7, 1, 12, 0, tzinfo=timezone.utc)  # a zone with summer time moves
    order = cqgcel.make_order(guid="z", timestamp=summer)
    fill = cqgcel.make_fill(order, 1, 10.0, timestamp=INSTANT)
    assert order.Properties(comhost.opEventServerTimestamp).Value == summer.astimezone(zone).replace(tzinfo=None)
    assert fill.Timestamp == INSTANT.astimezone(zone).replace(tzinfo=None)


def test_a_naive_time_is_taken_as_it_is(gateway):
    cqgcel.simulator().APIConfiguration.TimeZoneCode = comhost.tzEastern
    fill = cqgcel.make_fill(cqgcel.make_order(guid="n"), 1, 10.0, timestamp=datetime(2024, 1, 15, 1, 30, 5))
    assert fill.Timestamp == datetime(2024, 1, 15, 1, 30, 5)


def test_an_aware_time_the_host_writes_through_cqgcel_is_converted_too(gateway):
    request = gateway.comHost.cqgCEL.CreateTimedBarsRequest()
    request.RangeStart = AWARE["new-york"]
    assert request.RangeStart == datetime(2024, 1, 15, 9, 30, 5)


@pytest.mark.parametrize(
    "when", [*AWARE.values(), datetime(2024, 1, 15, 9, 30, 5, 250000)], ids=[*AWARE.keys(), "naive"]
)
def test_a_fill_stamped_with_an_aware_time_gives_the_host_the_local_time(gateway, when):
    gateway.logon("trader", "secret")
    gateway.tradelink.subscribe_account_and_positions(100001)
    order = cqgcel.make_order(guid="t", timestamp=when)
    fill = cqgcel.make_fill(order, 1, 10.0, timestamp=when)
    cqgcel.raise_event("OnOrderChanged", C.ctChanged, order, None, fill, None)
    deal = gateway.deals[next(iter(gateway.deals))]
    update = gateway.order_updates["t"]
    assert deal["updated_time"] == update["updated_time"] == datetime(2024, 1, 15, 9, 30, 5)
    # The engine's clock reads CQG's naive times in tradelink.TIMEZONE: the same instant.
    if when.tzinfo is not None:
        london = SessionClock("Europe/London").from_cqg(deal["updated_time"])
        assert london == INSTANT.astimezone(ZoneInfo("Europe/London")).replace(tzinfo=None)


def test_bars_stamped_with_aware_times_are_stored_at_the_local_time(gateway):
    start = T0.replace(tzinfo=NEW_YORK)
    rows = [(start + timedelta(minutes=i), 1.0, 2.0, 0.5, 1.5, 10) for i in range(4)]
    cqgcel.set_timed_bars("F.US.EP", rows)
    gateway.tradelink.subscribe_bar("F.US.EP", 2)
    stored = gateway.tradelink.subscribe_bars_data[EP]
    assert [b.datetime for b in stored] == [shanghai_wall(r[0]) for r in rows[:3]]
    assert stored[0].datetime == datetime(2024, 5, 6, 21, 30)


# --- tick fields of any kind --------------------------------------------------------------


@pytest.mark.parametrize(
    "price, volume",
    [
        (100.25, 2.5),
        (100.25, 7),
        (INVALID, 3),
        (float(INVALID), 0.125),
        (99.0, INVALID),
    ],
    ids=["fractional-volume", "whole-volume", "invalid-int-price", "invalid-float-price", "invalid-volume"],
)
def test_tick_fields_are_kept_as_given(gateway, price, volume):
    tick = cqgcel.make_ticks("F.US.EP", [(ASK, price, volume)]).Item(0)
    assert (tick.Price, tick.Volume) == (price, volume)
    assert (type(tick.Price), type(tick.Volume)) == (type(price), type(volume))


@pytest.mark.parametrize(
    "tick, text",
    [
        ((ASK, "100", 1), "a tick's Price must be a number, got '100'"),
        ((ASK, 100.0, None), "a tick's Volume must be a number, got None"),
        ((ASK, True, 1), "a tick's Price must be a number, got 'True'"),
    ],
    ids=["text-price", "no-volume", "bool-price"],
)
def test_a_tick_field_that_is_no_number_is_refused(fresh_simulator, tick, text):
    with pytest.raises(TypeError, match=text):
        cqgcel.set_ticks("F.US.EP", [tick])


@pytest.fixture
def book(gateway):
    cqgcel.set_ticks("F.US.EP", [])
    gateway.tradelink.subscribe_orderbook("F.US.EP")
    return gateway


def first_level(b) -> tuple:
    return (b.bid_price_1, b.bid_volume_1, b.ask_price_1, b.ask_volume_1)


def test_a_fractional_volume_reaches_the_order_book_exactly(book):
    cqgcel.push_ticks("F.US.EP", [(ASK, 100.25, 2.5), (BID, 100.0, 0.125)])
    assert [first_level(b) for b in book.orderbooks] == [(100.0, 0.125, 100.25, 2.5)]


@pytest.mark.parametrize(
    "bad",
    [(BID, INVALID, 3), (ASK, float(INVALID), 1), (BID, 99.5, INVALID), (ASK, 100.5, float(INVALID))],
    ids=["int-price", "float-price", "int-volume", "float-volume"],
)
def test_a_tick_with_the_invalid_marker_is_skipped_and_traced(book, capfd, bad):
    cqgcel.push_ticks("F.US.EP", [(ASK, 100.25, 5), (BID, 100.0, 7)])
    complete = book.cqg_orderbooks[EP]
    trace = TraceReader(capfd)
    cqgcel.push_ticks("F.US.EP", [bad, bad, (ASK, 100.5, 4)])
    assert [first_level(b) for b in book.orderbooks] == [(100.0, 7, 100.25, 5), (100.0, 7, 100.5, 4)]
    assert INVALID not in first_level(book.cqg_orderbooks[EP]) and complete.ask_price_1 == 100.25
    assert "OnTicksAdded: F.US.EP: 2 tick(s) with an invalid price or volume skipped" in trace.texts()


def test_a_book_never_completed_by_invalid_ticks_is_never_handed_over(book):
    cqgcel.push_ticks("F.US.EP", [(ASK, 100.25, 5), (BID, INVALID, INVALID)])
    assert book.orderbooks == [] and first_level(book.cqg_orderbooks[EP]) == (0, 0, 100.25, 5)


# --- pushes aimed at one request -----------------------------------------------------------


def test_a_targeted_tick_push_reaches_only_that_request(book):
    book.tradelink.subscribe_orderbook("F.US.EP")  # a second live request of the symbol
    first, second = list(book.comHost.cqgCEL.AllTicks)
    assert cqgcel.push_ticks("F.US.EP", [(ASK, 100.25, 5)], request=1) == 1
    assert (first.Count, second.Count) == (0, 1)
    assert cqgcel.push_ticks("F.US.EP", [(BID, 100.0, 7)], request=0) == 1
    assert (first.Count, second.Count) == (1, 1)
    # Each event was read from its own collection: both sides arrived.
    assert [first_level(b) for b in book.orderbooks] == [(100.0, 7, 100.25, 5)]
    assert cqgcel.push_ticks("F.US.EP", [(BID, 99.75, 1)]) == 2  # untargeted: both


@pytest.mark.parametrize(
    "push",
    [
        lambda: cqgcel.push_ticks("F.US.EP", [(ASK, 1.0, 1)], request=1),
        lambda: cqgcel.push_timed_bar("F.US.EP", cqg_bar(9), request=1),
        lambda: cqgcel.update_timed_bar("F.US.EP", -1, cqg_bar(9), request=1),
        lambda: cqgcel.remove_timed_bar("F.US.EP", 0, request=1),
    ],
    ids=["ticks", "bar", "update", "remove"],
)
def test_a_push_to_a_request_that_does_not_exist_fails_and_changes_nothing(gateway, push):
    cqgcel.set_ticks("F.US.EP", [])
    cqgcel.set_timed_bars("F.US.EP", [cqg_bar(i) for i in range(3)])
    gateway.tradelink.subscribe_orderbook("F.US.EP")
    gateway.tradelink.subscribe_bar("F.US.EP", 1)
    before = [b.datetime for b in gateway.tradelink.subscribe_bars_data[EP]]
    with pytest.raises(comhost.ComError, match="has 1 live .* request\\(s\\), no request 1"):
        push()
    assert gateway.orderbooks == [] and gateway.comHost.cqgCEL.AllTicks.Item(0).Count == 0
    assert [b.datetime for b in gateway.tradelink.subscribe_bars_data[EP]] == before
    assert gateway.comHost.cqgCEL.AllTimedBars.Item(0).Count == 3


def test_the_host_takes_an_added_bar_from_the_request_it_came_from(gateway):
    link = gateway.tradelink
    cqgcel.set_timed_bars("F.US.EP", [cqg_bar(i) for i in range(4)])
    link.subscribe_bar("F.US.EP", 2)
    link.subscribe_bar("F.US.EP", 2)  # a second live request; the stored window stays
    window = link.subscribe_bars_data[EP]
    # Request 1's forming bar (minute 3) gets another close, then a new bar completes it.
    assert cqgcel.update_timed_bar("F.US.EP", -1, cqg_bar(3, close=333.0), request=1) == 1
    assert cqgcel.push_timed_bar("F.US.EP", cqg_bar(4), request=1) == 1
    assert [(b.datetime.minute, b.close) for b in window] == [(31, 100.0), (32, 100.0), (33, 333.0)]
    # Request 0 completes its own minute 3 later: not newer than the window, no shift.
    assert cqgcel.push_timed_bar("F.US.EP", cqg_bar(4), request=0) == 1
    assert [(b.datetime.minute, b.close) for b in window] == [(31, 100.0), (32, 100.0), (33, 333.0)]
    first, second = list(gateway.comHost.cqgCEL.AllTimedBars)
    assert [first.Item(i).Close for i in range(first.Count)] == [100.0, 100.0, 100.0, 100.0]
    assert [second.Item(i).Close for i in range(second.Count)] == [100.0, 100.0, 333.0, 100.0]
    assert cqgcel.remove_timed_bar("F.US.EP", 0, request=0) == 1
    assert (first.Count, second.Count) == (3, 4)
