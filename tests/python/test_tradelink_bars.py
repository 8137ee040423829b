"""TradeLink's timed bars: subscribe_bar, unsubscribe_bar, the timed-bar events, dumpBar."""

from __future__ import annotations

from datetime import timedelta

import pytest

from comhost_helpers import TraceReader
from tradelink_helpers import EP, NQ, T0, cqg_bar, gateway, journal_of  # noqa: F401 (gateway is a fixture)
from morvex_trader.gateways.cqg.wrapper import comhost, tradelink
from morvex_trader.platform import cqgcel

pytestmark = pytest.mark.timeout(30)


def resolve(symbol: str, rows: list, error=None) -> None:
    cqgcel.raise_event("OnTimedBarsResolved", cqgcel.make_timed_bars(symbol, rows), error)


def stored(link, security=EP) -> list:
    return link.subscribe_bars_data.get(security)


@pytest.mark.parametrize(
    "freq, lookback, period",
    [
        ("1Min", 100, ("IntradayPeriod", comhost.pfds1Min)),
        ("1Day", 20, ("HistoricalPeriod", comhost.hpDaily)),
    ],
    ids=["1Min", "1Day"],
)
def test_subscribe_sets_the_request_in_order(gateway, capfd, freq, lookback, period):
    cqgcel.clear_journal()
    trace = TraceReader(capfd)
    gateway.tradelink.subscribe_bar("F.US.EP", lookback, freq)
    assert journal_of("CQGTimedBarsRequest", cqgcel.journal()) == [
        ("Symbol", ("F.US.EP",)),
        ("RangeStart", (0,)),
        ("RangeEnd", (-lookback - 1,)),
        (period[0], (period[1],)),
        ("DailyBarClose", (comhost.dbcLastQuoteOrSettlement,)),
        ("UpdatesEnabled", (True,)),
        ("IncludeOutput", (comhost.tbrContractVolume, True)),
        ("IncludeOutput", (comhost.tbrCommodityVolume, True)),
        ("SessionsFilter", ("all",)),
    ]
    assert [m for m, _ in journal_of("CQGCEL", cqgcel.journal())] == ["CreateTimedBarsRequest", "RequestTimedBars"]
    assert trace.texts() == [
        f"Create {freq} timed bars request for F.US.EP",
        "Waiting for eventBarDone in subscribe_bar(F.US.EP)...",
        "eventBarDone is done.",
    ]
    assert len(stored(gateway.tradelink)) == lookback + 1  # all but the forming bar


def test_the_default_frequency_is_one_minute(gateway):
    gateway.tradelink.subscribe_bar("F.US.EP", 3)
    assert ("IntradayPeriod", (comhost.pfds1Min,)) in journal_of("CQGTimedBarsRequest", cqgcel.journal())
    assert tradelink.FREQ_ALLOWED == ("1Day", "1Min")


@pytest.mark.parametrize(
    "freq", ["1min", "1MIN", "5Min", "", "1Day "], ids=["lower", "upper", "5Min", "empty", "blank"]
)
def test_any_other_freq_fails_before_any_line_or_request(gateway, capfd, freq):
    cqgcel.clear_journal()
    trace = TraceReader(capfd)
    with pytest.raises(ValueError) as caught:
        gateway.tradelink.subscribe_bar("F.US.EP", 10, freq)
    assert str(caught.value) == f"Parameter freq={freq} is Not supported. Only ('1Day', '1Min') are allowed."
    assert trace.texts() == [] and cqgcel.journal() == []


@pytest.mark.parametrize(
    "args, error, text",
    [
        ((7, 10), TypeError, "cqg_symbol"),
        (("F.US.EP", "10"), TypeError, "lookback_period"),
        (("F.US.EP", None), TypeError, "lookback_period"),
        (("F.US.EP", 10, 1), TypeError, "freq"),
        (("F.US.EP", -1), ValueError, "lookback_period must be from 0 to 100000, not -1"),
        (("F.US.EP", 10**9), ValueError, "lookback_period must be from 0 to 100000, not 1000000000"),
    ],
    ids=["symbol", "lookback-text", "lookback-none", "freq", "negative", "absurd"],
)
def test_arguments_of_the_wrong_kind_or_range_are_refused_before_anything_is_sent(gateway, args, error, text):
    cqgcel.clear_journal()
    with pytest.raises(error, match=text):
        gateway.tradelink.subscribe_bar(*args)
    assert cqgcel.journal() == []


def test_a_fractional_lookback_is_converted_to_an_integer(gateway):
    gateway.tradelink.subscribe_bar("F.US.EP", 4.9)
    assert ("RangeEnd", (-5,)) in journal_of("CQGTimedBarsRequest", cqgcel.journal())


@pytest.mark.parametrize("mode", ["fail", "hold"])
def test_subscribe_returns_normally_on_an_error_or_no_answer(gateway, monkeypatch, capfd, mode):
    monkeypatch.setattr(tradelink, "TIMEOUT", 0.2 if mode == "hold" else 5.0)
    cqgcel.set_answer("RequestTimedBars", mode, code=4, description="no history")
    gateway.tradelink.subscribe_bar("F.US.EP", 10)
    assert TraceReader(capfd).texts()[-1] == "eventBarDone is done."
    assert stored(gateway.tradelink) is None


def test_an_answer_stores_every_bar_but_the_forming_one_oldest_first(gateway):
    link = gateway.tradelink
    rows = [cqg_bar(i, 100.0 + i, volume=10 + i, microsecond=999_999) for i in range(5)]
    link.eventBarDone.clear()
    resolve("F.US.EP", rows)
    assert link.eventBarDone.is_set()
    bars = stored(link)
    assert [(b.datetime, b.close, b.volume) for b in bars] == [
        (T0 + timedelta(minutes=i), 100.0 + i, 10 + i) for i in range(4)
    ]
    assert (bars[0].security, bars[0].open, bars[0].high, bars[0].low) == (EP, 99.5, 101.0, 99.0)


def test_a_single_bar_answer_stores_an_empty_sequence_that_a_later_answer_fills(gateway):
    link = gateway.tradelink
    resolve("F.US.EP", [cqg_bar(0)])
    assert stored(link) == [] and link.eventBarDone.is_set()
    resolve("F.US.EP", [cqg_bar(0), cqg_bar(1), cqg_bar(2)])
    assert [b.datetime.minute for b in stored(link)] == [30, 31]


@pytest.mark.parametrize(
    "second",
    [
        [cqg_bar(5), cqg_bar(6), cqg_bar(7)],
        [],
        "error",
    ],
    ids=["other-bars", "empty", "error"],
)
def test_a_second_answer_changes_nothing_but_ends_the_handshake(gateway, second):
    link = gateway.tradelink
    resolve("F.US.EP", [cqg_bar(0), cqg_bar(1), cqg_bar(2)])
    first = stored(link)
    link.eventBarDone.clear()
    if second == "error":
        resolve("F.US.EP", [cqg_bar(5), cqg_bar(6)], cqgcel.make_error(2, "late"))
    else:
        resolve("F.US.EP", second)
    assert link.eventBarDone.is_set()
    assert stored(link) is first and [b.datetime.minute for b in first] == [30, 31]


def test_an_error_answer_creates_no_entry(gateway):
    resolve("F.US.EP", [cqg_bar(0), cqg_bar(1)], cqgcel.make_error(7, "denied"))
    assert gateway.tradelink.subscribe_bars_data == {}
    assert gateway.tradelink.eventBarDone.is_set()


def test_added_bars_shift_the_window_only_for_a_later_time(gateway, capfd):
    link = gateway.tradelink
    resolve("F.US.EP", [cqg_bar(i) for i in range(6)])  # stores minutes 0..4
    bars = stored(link)
    trace = TraceReader(capfd)
    # Count 6: the bar at index 4 is the one completed; minute 4 is already the newest.
    cqgcel.raise_event("OnTimedBarsAdded", cqgcel.make_timed_bars("F.US.EP", [cqg_bar(i) for i in range(6)]))
    cqgcel.raise_event("OnTimedBarsAdded", cqgcel.make_timed_bars("F.US.EP", [cqg_bar(3), cqg_bar(9)]))
    assert [b.datetime.minute for b in bars] == [30, 31, 32, 33, 34] and trace.texts() == []
    later = [cqg_bar(i, close=200.0) for i in range(7)]
    cqgcel.raise_event("OnTimedBarsAdded", cqgcel.make_timed_bars("F.US.EP", later))
    assert stored(link) is bars
    assert [b.datetime.minute for b in bars] == [31, 32, 33, 34, 35] and bars[-1].close == 200.0
    assert trace.read() == [(None, f"[2] OnTimedBarsAdded: {bars[-1]}")]  # plain output


def test_bars_pushed_by_the_simulator_reach_the_window(gateway):
    link = gateway.tradelink
    cqgcel.set_timed_bars("F.US.EP", [cqg_bar(i) for i in range(4)])
    link.subscribe_bar("F.US.EP", 2)
    cqgcel.push_timed_bar("F.US.EP", cqg_bar(4))
    cqgcel.update_timed_bar("F.US.EP", -1, cqg_bar(4, close=1.0))  # the forming bar: ignored
    cqgcel.remove_timed_bar("F.US.EP", 0)  # ignored
    assert [b.datetime.minute for b in stored(link)] == [31, 32, 33]


@pytest.mark.parametrize(
    "entry, text",
    [
        (None, "KeyError"),
        ("none", "RuntimeError: We should have initiated data in OnTimedBarsResolved first!"),
        ("empty", "IndexError"),
    ],
    ids=["no-entry", "entry-without-sequence", "empty-sequence"],
)
def test_added_bars_without_a_filled_entry_fail_and_change_nothing(gateway, capfd, entry, text):
    link = gateway.tradelink
    if entry == "none":
        link.subscribe_bars_data[EP] = None
    elif entry == "empty":
        link.subscribe_bars_data[EP] = []
    before = dict(link.subscribe_bars_data)
    cqgcel.raise_event("OnTimedBarsAdded", cqgcel.make_timed_bars("F.US.EP", [cqg_bar(0), cqg_bar(1)]))
    assert any(t.startswith(f"Exception in OnTimedBarsAdded: {text}") for t in TraceReader(capfd).texts())
    assert link.subscribe_bars_data == before


def test_bars_of_a_symbol_without_security_leave_no_entry(gateway, capfd):
    resolve("F.US.ZZ", [cqg_bar(0), cqg_bar(1)])
    cqgcel.raise_event("OnTimedBarsAdded", cqgcel.make_timed_bars("F.US.ZZ", [cqg_bar(0), cqg_bar(1)]))
    assert gateway.tradelink.subscribe_bars_data == {}
    texts = TraceReader(capfd).texts()
    assert "OnTimedBarsResolved: no security for F.US.ZZ, bars ignored" in texts
    assert "OnTimedBarsAdded: no security for F.US.ZZ, bar ignored" in texts


def test_look_up_by_any_part_of_the_symbol_takes_the_first_in_order(gateway):
    link = gateway.tradelink
    link.subscribe_bar("F.US.NQ", 1)
    link.subscribe_bar("F.US.EP", 1)
    link.subscribe_bar("F.US.EPU", 1)
    found = link.get_timedbars_from_cqg_symbol("US.EP")  # the tail of two request symbols
    assert found.Request.Symbol == "F.US.EP"
    assert link.get_timedbars_from_cqg_symbol("EPU").Request.Symbol == "F.US.EPU"
    assert link.get_timedbars_from_cqg_symbol("f.us.ep") is None  # case counts


def test_unsubscribe_removes_the_request_and_the_entry(gateway, capfd):
    link = gateway.tradelink
    link.subscribe_bar("F.US.EP", 3)
    link.subscribe_bar("F.US.NQ", 3)
    trace = TraceReader(capfd)
    trace.read()
    assert link.unsubscribe_bar("F.US.EP") is None
    assert trace.texts()[-1] == "Successfully unsubscribe timedbar for F.US.EP"
    assert list(link.subscribe_bars_data) == [NQ]
    assert link.get_timedbars_from_cqg_symbol("F.US.EP") is None
    assert not link.eventBarDone.is_set()
    count = len(trace.texts())
    link.unsubscribe_bar("F.US.ES")  # nothing at CQG: nothing at all
    assert len(trace.texts()) == count


def test_unsubscribe_failures_go_to_the_hosts_safe_call(gateway, capfd):
    link = gateway.tradelink
    link.subscribe_bar("F.US.EP", 3)
    cqgcel.set_answer("RemoveTimedBars", "fail", code=9, description="cannot remove")
    assert link.unsubscribe_bar("F.US.EP") is None
    assert link.unsubscribe_bar(42) is None
    err = capfd.readouterr().err
    assert "unsubscribe_bar failed: ComError('cannot remove')" in err
    assert "unsubscribe_bar failed: TypeError('cqg_symbol must be str, not int')" in err
    assert list(link.subscribe_bars_data) == [EP]


def test_dump_bar_traces_the_cqg_bar(gateway, capfd):
    bars = cqgcel.make_timed_bars(
        "F.US.EP",
        [
            {
                "Timestamp": T0,
                "Open": 1.5,
                "High": 2.0,
                "Low": 1.0,
                "Close": 1.75,
                "ActualVolume": 30,
                "ActualVolumeFractional": 30.5,
                "CommodityVolumeFractional": 31.0,
                "ContractVolumeFractional": 32.25,
                "TickVolume": 12,
            }
        ],
    )
    trace = TraceReader(capfd)
    gateway.tradelink.dumpBar(bars.Item(0), 0)
    assert trace.texts() == [
        "Bar index: 0 Timestamp 2024-05-06 09:30:00 Open 1.5 High 2 Low 1 Close 1.75 "
        "ActualVolumeFractional 30.5 CommodityVolumeFractional 31 ContractVolumeFractional 32.25 TickVolume 12"
    ]
