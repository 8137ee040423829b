"""TradeLink against the scripted CQGCEL simulator: session, quotes, account, orders.

TIMEOUT is shortened for every test; nothing here waits longer than about a second.
"""

from __future__ import annotations

import collections.abc
import dataclasses
import re
import threading
import time
from datetime import datetime

import pytest

from comhost_helpers import TraceReader, run_in_thread, wait_until
from morvex_trader.core.constants import Direction, OrderStatus, OrderType
from morvex_trader.core.data import Quote
from morvex_trader.core.order import Order
from morvex_trader.gateways.cqg.wrapper import comhost, tradelink
from morvex_trader.platform import cqgcel
from tradelink_helpers import CLE, ENQ, EP, RecordingGateway, new_texts

pytestmark = pytest.mark.timeout(30)
C = comhost.constants
SHORT_TIMEOUT = 0.3


@pytest.fixture(autouse=True)
def fresh(monkeypatch):
    cqgcel.reset()
    monkeypatch.setattr(tradelink, "TIMEOUT", SHORT_TIMEOUT)
    monkeypatch.setattr(tradelink, "ACCOUNT_SWITCH_PAUSE", 0.0)
    yield
    cqgcel.reset()


@pytest.fixture
def trace(capfd):
    return TraceReader(capfd)


@pytest.fixture
def gateway():
    gw = RecordingGateway()
    gw.connect()
    yield gw
    gw.close()


@pytest.fixture
def link(gateway):
    return gateway.tradelink


@pytest.fixture
def trading(gateway, link):
    """Logged on, account 100001 subscribed, EP quotes subscribed."""
    gateway.logon("trader", "secret")
    link.subscribe_account_and_positions(100001)
    link.subscribe_quote("EP")
    cqgcel.clear_journal()
    return link


def calls_named(member):
    return [e for e in cqgcel.journal() if e[1] == member]


# -- session ---------------------------------------------------------------------------


def test_logon_waits_for_the_gateway_to_come_up(link, trace):
    before = len(trace.read())
    link.Logon("trader", "secret")
    lines = trace.read()[before:]
    me = threading.get_ident()
    assert [t for tid, t in lines if tid == me] == ["Connecting to GW", "Waiting for GW connection..."]
    assert [t for tid, t in lines if tid != me] == ["GW connection is UP!"]
    assert calls_named("GWLogon") == [("CQGCEL", "GWLogon", "call", ("trader", "secret"))]
    assert link.eventGatewayIsUp.is_set()


@pytest.mark.parametrize("mode", ["hold", "fail_without_error"])
def test_logon_time_out_raises_its_message(link, mode):
    cqgcel.set_answer("GWLogon", mode)
    start = time.monotonic()
    with pytest.raises(RuntimeError, match=r"^GW connection timeout!$"):
        link.Logon("trader", "secret")
    assert SHORT_TIMEOUT * 0.9 <= time.monotonic() - start < 1.0


@pytest.mark.parametrize("status", ["csConnectionDelayed", "csConnectionTrouble", "csConnectionNotLoggedOn"])
def test_other_statuses_change_nothing_and_logon_keeps_waiting(link, trace, monkeypatch, status):
    monkeypatch.setattr(tradelink, "TIMEOUT", 5)
    cqgcel.set_answer("GWLogon", "hold")
    thread, box = run_in_thread(link.Logon, "trader", "secret")
    wait_until(lambda: cqgcel.held("GWLogon") == 1, what="GWLogon sent")
    cqgcel.raise_event("OnGWConnectionStatusChanged", C.__dict__[status])
    assert thread.is_alive()
    assert not link.eventGatewayIsUp.is_set() and not link.eventGatewayIsDown.is_set()
    cqgcel.release("GWLogon")
    thread.join(2)
    assert not thread.is_alive() and box == {"result": None}
    assert "GW connection is UP!" in trace.texts()
    assert not any("DOWN" in t for t in trace.texts())


def test_second_logon_returns_without_waiting(link, monkeypatch):
    link.Logon("trader", "secret")
    monkeypatch.setattr(tradelink, "TIMEOUT", 5)
    cqgcel.set_answer("GWLogon", "hold")
    start = time.monotonic()
    link.Logon("trader", "secret")
    assert time.monotonic() - start < 0.5
    assert len(calls_named("GWLogon")) == 2  # the request is still sent


def test_logoff_ignores_a_stale_down_status(trading, trace):
    cqgcel.raise_event("OnGWConnectionStatusChanged", C.csConnectionDown)
    assert trading.eventGatewayIsDown.is_set()
    cqgcel.set_answer("GWLogoff", "hold")
    with pytest.raises(RuntimeError, match=r"^GW disconnection timeout!$"):
        trading.Logoff()
    assert not any(t.startswith("Successfully logoff") for t in trace.texts())
    cqgcel.set_answer("GWLogoff", "succeed")
    texts = new_texts(trace, trading.Logoff)
    assert texts[0] == "Logoff from GW"
    assert texts[-2:] == ["GW connection is DOWN!", "Successfully logoff account SIM100001"]


def test_logoff_before_any_account_fails_before_sending(link):
    link.Logon("trader", "secret")
    with pytest.raises(AttributeError, match="GWAccountID"):
        link.Logoff()
    assert calls_named("GWLogoff") == []


@pytest.mark.parametrize(
    "wanted, expected",
    [
        (
            3,
            [
                "GW Account id: 1 name: A1",
                "GW Account id: 2 name: A2",
                "GW Account id: 3 name: A3",
                "[Found] GW Account id: 3 name: A3",
            ],
        ),
        (9, [f"GW Account id: {i} name: A{i}" for i in range(1, 6)]),
    ],
    ids=["third-of-five", "miss"],
)
def test_account_lookup_traces_each_account_visited(link, trace, wanted, expected):
    cqgcel.clear_accounts()
    for i in range(1, 6):
        cqgcel.set_account(i, f"A{i}")
    found = []
    texts = new_texts(trace, lambda: found.append(link.get_account_from_gwaccountid(wanted)))
    assert texts == expected
    if wanted == 3:
        assert found[0].GWAccountID == 3 and found[0] == cqgcel.account(3)
    else:
        assert found == [None]


def test_data_connection_status_is_a_plain_line(link, capfd):
    capfd.readouterr()
    cqgcel.raise_event("OnDataConnectionStatusChanged", 2)
    assert capfd.readouterr().out == "DataConnectionStatus=2\n"


def test_data_error_traces_the_error_object_only(link, trace, gateway):
    texts = new_texts(trace, lambda: link.OnDataError(None, "ignored"))
    assert texts == []
    texts = new_texts(
        trace, lambda: cqgcel.raise_event("OnDataError", cqgcel.make_error(7, "feed lost"), "not this one")
    )
    assert "OnDataError: Code: 7 Description: feed lost" in texts


@pytest.mark.parametrize(
    "call, name",
    [
        (lambda t: t.Logon(1, "x"), "user_name"),
        (lambda t: t.Logon("x", None), "password"),
        (lambda t: t.get_account_from_gwaccountid("3"), "GWAccountID"),
        (lambda t: t.subscribe_account_and_positions(None), "GWAccountID"),
        (lambda t: t.unsubscribe_account_and_positions("1"), "GWAccountID"),
        (lambda t: t.subscribe_quote(b"EP"), "cqg_symbol"),
        (lambda t: t.unsubscribe_quote(5), "cqg_symbol"),
        (lambda t: t.get_instrument_from_cqg_symbol(None), "cqg_symbol"),
        (lambda t: t.cancel_order(5), "orderid"),
    ],
    ids=[
        "user_name",
        "password",
        "lookup-id",
        "subscribe-id",
        "unsubscribe-id",
        "subscribe_quote",
        "unsubscribe_quote",
        "get_instrument",
        "cancel_order",
    ],
)
def test_arguments_of_the_wrong_kind_raise_before_anything_is_sent(link, call, name):
    cqgcel.clear_journal()
    with pytest.raises(TypeError, match=rf"^{name} must be"):
        call(link)
    assert [e for e in cqgcel.journal() if e[0] == "CQGCEL"] == []


def test_a_number_is_taken_as_an_account_id(link, trace):
    assert link.get_account_from_gwaccountid(100001.0).GWAccountID == 100001


# -- instruments and quotes ------------------------------------------------------------


def test_instrument_lookup_takes_the_first_containing_match(link):
    cqgcel.define_symbol("F.US.EPU5")
    cqgcel.define_symbol("F.US.EPZ5")
    link.subscribe_quote("EPZ5")
    link.subscribe_quote("EPU5")
    assert link.get_instrument_from_cqg_symbol("EP").FullName == "F.US.EPZ5"
    assert link.get_instrument_from_cqg_symbol("U5").FullName == "F.US.EPU5"
    assert link.get_instrument_from_cqg_symbol("ep") is None


def test_subscribe_quote_sets_the_data_level_and_traces(link, trace):
    texts = new_texts(trace, lambda: link.subscribe_quote("EP"))
    assert texts == ["Waiting for eventQuoteDone in subscribe_quote(EP)...", "eventQuoteDone is done."]
    assert cqgcel.instrument("EP").DataSubscriptionLevel == C.dsQuotesAndBBA
    assert calls_named("NewInstrument") == [("CQGCEL", "NewInstrument", "call", ("EP",))]


@pytest.mark.parametrize(
    "setup, slow",
    [
        (lambda: None, False),  # unknown symbol: error object
        (lambda: cqgcel.set_answer("NewInstrument", "fail", code=3, description="x"), False),
        (lambda: cqgcel.set_answer("NewInstrument", "hold"), True),  # never answered
    ],
    ids=["unknown-symbol", "failed", "time-out"],
)
def test_subscribe_quote_returns_normally_when_the_symbol_does_not_resolve(link, trace, setup, slow):
    setup()
    start = time.monotonic()
    texts = new_texts(trace, lambda: link.subscribe_quote("NOPE"))
    elapsed = time.monotonic() - start
    assert texts[-1] == "eventQuoteDone is done."
    assert (elapsed >= SHORT_TIMEOUT * 0.9) == slow and elapsed < 1.0
    assert link.get_instrument_from_cqg_symbol("NOPE") is None


def test_unsubscribe_quote_removes_a_subscribed_instrument_only(link, trace):
    link.subscribe_quote("EP")
    assert new_texts(trace, lambda: link.unsubscribe_quote("ENQ")) == []
    assert calls_named("RemoveInstrument") == []
    assert new_texts(trace, lambda: link.unsubscribe_quote("EP")) == ["Successfully unsubscribe quote for EP"]
    assert cqgcel.instrument("EP") is None and not link.eventQuoteDone.is_set()


def quotes_of(gateway):
    return [record for kind, record in gateway.calls if kind == "quote"]


def test_bid_alone_is_stored_not_handed_over_then_ask_completes_it(trading, gateway):
    cqgcel.push_quotes("EP", [(C.qtBid, 100.0)])
    stored = gateway.cqg_quotes[EP]
    assert (stored.security, stored.exchange, stored.bid_price) == (EP, EP.exchange, 100.0)
    assert quotes_of(gateway) == []
    cqgcel.push_quotes("EP", [(C.qtAsk, 100.5)])
    [handed] = quotes_of(gateway)
    assert (handed.bid_price, handed.ask_price, handed.last_price) == (100.0, 100.5, 0)
    assert gateway.cqg_quotes[EP] is handed and handed is not stored  # copies, never in place


def test_each_quote_type_updates_its_field(trading, gateway):
    cqgcel.push_quotes(
        "EP",
        [
            (C.qtTrade, 10.0),
            (C.qtDayOpen, 9.0),
            (C.qtDayHigh, 11.0),
            (C.qtDayLow, 8.0),
            (C.qtYesterdaySettlement, 9.5),
            (C.qtImpliedBid, 1.0),
            (C.qtMarker, 2.0),
        ],
    )
    handed = quotes_of(gateway)
    assert len(handed) == 7  # a last price hands the record over after every valid quote
    last = handed[-1]
    assert (
        last.last_price,
        last.open_price,
        last.high_price,
        last.low_price,
        last.prev_close_price,
        last.bid_price,
        last.ask_price,
    ) == (10, 9, 11, 8, 9.5, 0, 0)


def test_settlement_quote_leaves_the_record_and_its_datetime(trading, gateway):
    cqgcel.push_quotes("EP", [(C.qtBid, 99.0)])
    before = gateway.cqg_quotes[EP]
    cqgcel.push_quotes("EP", [(C.qtSettlement, 98.0)])
    assert gateway.cqg_quotes[EP] == before  # same values, datetime included
    assert quotes_of(gateway) == []  # no last price, no ask: not handed over
    cqgcel.push_quotes("EP", [(C.qtTrade, 99.5)])
    stamped = gateway.cqg_quotes[EP].datetime
    cqgcel.push_quotes("EP", [(C.qtSettlement, 98.0)])
    assert gateway.cqg_quotes[EP].datetime == stamped
    assert len(quotes_of(gateway)) == 2  # now handed over, unchanged


def test_invalid_quotes_and_unknown_symbols_change_nothing(trading, gateway):
    cqgcel.push_quotes("EP", [(C.qtTrade, 10.0, False), (C.qtBid, 9.0, False)])
    cqgcel.define_symbol("F.US.ZZZ")
    trading.subscribe_quote("ZZZ")
    cqgcel.push_quotes("ZZZ", [(C.qtTrade, 1.0)])
    assert gateway.cqg_quotes == {} and quotes_of(gateway) == []


class PlainMapping(collections.abc.MutableMapping):
    """A host map that is not a dict: TradeLink reaches it through get and item access."""

    def __init__(self):
        self.data = {}

    def __getitem__(self, key):
        return self.data[key]

    def __setitem__(self, key, value):
        self.data[key] = value

    def __delitem__(self, key):
        del self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


def fill_quotes(gateway, link):
    cqgcel.push_quotes("EP", [(C.qtBid, 99.5), (C.qtAsk, 100.0)])
    return gateway.cqg_quotes[EP], [(q.bid_price, q.ask_price) for q in quotes_of(gateway)]


def fill_orderbook(gateway, link):
    cqgcel.set_ticks("F.US.EP", [])
    link.subscribe_orderbook("F.US.EP")
    cqgcel.push_ticks("F.US.EP", [(C.tptAsk, 100.0, 2), (C.tptBid, 99.5, 3)])
    handed = [(b.bid_price_1, b.ask_price_1) for kind, b in gateway.calls if kind == "orderbook"]
    return gateway.cqg_orderbooks[EP], handed


def fill_bars(gateway, link):
    start = datetime(2024, 5, 6, 9, 30)
    cqgcel.set_timed_bars("F.US.EP", [(start.replace(minute=30 + i), 1, 2, 0.5, 1.5 + i, 7) for i in range(3)])
    link.subscribe_bar("F.US.EP", 2)
    bars = link.get_subscribe_bars_data(EP)
    return bars, [b.close for b in bars]


# map name on the gateway (or the link), how the map is filled, what must come of it
NONE_ENTRY_CASES = {
    "quote": ("cqg_quotes", fill_quotes, [(99.5, 100.0)]),
    "orderbook": ("cqg_orderbooks", fill_orderbook, [(99.5, 100.0)]),
    "bars": ("subscribe_bars_data", fill_bars, [1.5, 2.5]),
}


@pytest.mark.parametrize(
    "path, kind",
    [
        ("quote", "dict"),
        ("quote", "mapping"),
        ("orderbook", "dict"),
        ("orderbook", "mapping"),
        ("bars", "dict"),  # TradeLink's own map is always a dict
    ],
    ids=lambda v: v,
)
def test_an_entry_set_to_none_counts_as_absent(trading, gateway, capfd, path, kind):
    name, fill, expected = NONE_ENTRY_CASES[path]
    owner = trading if name == "subscribe_bars_data" else gateway
    if kind == "mapping":
        setattr(owner, name, PlainMapping())
    getattr(owner, name)[EP] = None
    record, handed = fill(gateway, trading)
    assert record is not None and handed == expected
    assert "Exception in " not in capfd.readouterr().out


def test_quote_type_outside_the_table_ends_the_event_after_earlier_quotes(trading, gateway, trace):
    texts = new_texts(trace, lambda: cqgcel.push_quotes("EP", [(C.qtTrade, 10.0), (999, 1.0), (C.qtBid, 9.0)]))
    assert texts == ["Exception in OnInstrumentChanged: KeyError: 999"]
    assert gateway.cqg_quotes[EP].last_price == 10.0 and gateway.cqg_quotes[EP].bid_price == 0
    assert len(quotes_of(gateway)) == 1
    cqgcel.push_quotes("EP", [(C.qtBid, 9.0)])  # the pump and later events carry on
    assert gateway.cqg_quotes[EP].bid_price == 9.0


QUOTE_NAMES = {
    "qtAsk": "Best ask",
    "qtBid": "Best bid",
    "qtCohUndAsk": "Coherent underlying price for the best ask",
    "qtCohUndBid": "Coherent underlying price for the best bid",
    "qtDayHigh": "Current day high price",
    "qtDayLow": "Current day low price",
    "qtDayOpen": "Day open price",
    "qtImpliedAsk": "Implied best ask",
    "qtImpliedBid": "Implied best bid",
    "qtIndicativeOpen": "Indicative open",
    "qtMarker": "Marker price",
    "qtOutrightAsk": "Outright best ask",
    "qtOutrightBid": "Outright best bid",
    "qtSettlement": "Settlement price",
    "qtTodayMarker": "Marker price",
    "qtTrade": "Last trade price",
    "qtYesterdaySettlement": "Yesterday's settlement price",
}


def test_quote_type_names():
    assert {k: tradelink.QuoteType2String(comhost.constant(k)) for k in QUOTE_NAMES} == QUOTE_NAMES
    for outside in (C.tptAsk, -1, "qtAsk", 2**70):
        with pytest.raises(KeyError):
            tradelink.QuoteType2String(outside)


# -- account and positions -------------------------------------------------------------

SUMMARY = {
    "Balance": 1000.0,
    "Collaterals": 200.0,
    "NLV": 1500.0,
    "MaintenanceMargin": 50.0,
    "ProfitLoss": 12.5,
    "UPL": -3.0,
}


def test_balance_is_read_from_the_summary(gateway, link):
    cqgcel.set_account(7, "Seven", summary=SUMMARY)
    gateway.logon("trader", "secret")
    link.subscribe_account_and_positions(7)
    b = link.account_balance
    assert dataclasses.asdict(b) == {
        "cash": 1000.0,
        "cash_by_currency": None,
        "available_cash": 800.0,
        "max_power_short": None,
        "net_cash_power": 1500.0,
        "maintenance_margin": 50.0,
        "unrealized_pnl": -3.0,
        "realized_pnl": 12.5,
    }
    reads = [(e[1], e[3]) for e in cqgcel.journal() if e[0] == "CQGAccountSummary"]
    assert reads == [
        ("Balance", (0,)),
        ("Collaterals", (1,)),
        ("NLV", (0,)),
        ("MaintenanceMargin", (1,)),
        ("ProfitLoss", (0,)),
        ("UPL", (0,)),
    ]


DATED = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}: (.*)$")


@pytest.mark.parametrize(
    "break_it, text",
    [
        (lambda: cqgcel.remove_account(7), "GWAccountID 7 can not be found!"),
        (lambda: cqgcel.set_summary(7, NLV=None), "Summary.NLV is not available"),
    ],
    ids=["account-gone", "unreadable-value"],
)
def test_balance_failure_is_a_dated_line_and_leaves_a_default_record(gateway, link, capfd, break_it, text):
    cqgcel.set_account(7, "Seven", summary=SUMMARY)
    gateway.logon("trader", "secret")
    link.subscribe_account_and_positions(7)
    break_it()
    capfd.readouterr()
    link.update_account_balance()  # never raises
    lines = [line for line in capfd.readouterr().out.splitlines() if DATED.match(line)]
    assert [DATED.match(line).group(1) for line in lines] == [text]
    assert link.account_balance == type(link.account_balance)()


def test_positions_are_translated(gateway, link):
    cqgcel.set_account(
        7,
        "Seven",
        positions=[
            {"InstrumentName": "F.US.EP", "Side": C.osdSell, "Quantity": -3, "AveragePrice": 101.25},
            {"InstrumentName": "F.US.CLE", "Side": C.osdBuy, "Quantity": 0, "AveragePrice": 70.0},
            {"InstrumentName": "F.US.XYZ", "Side": C.osdBuy, "Quantity": 2, "AveragePrice": 1.0},
            {"InstrumentName": "ENQ", "Side": C.osdBuy, "Quantity": 2, "AveragePrice": 15000.0},
        ],
    )
    gateway.logon("trader", "secret")
    link.subscribe_account_and_positions(7)
    got = [(p.security, p.direction, p.quantity, p.holding_price) for p in link.positions]
    assert got == [(EP, Direction.SHORT, 3, 101.25), (ENQ, Direction.LONG, 2, 15000.0)]
    assert all(isinstance(p.update_time, datetime) for p in link.positions)


def test_invalid_position_side_fails_and_keeps_earlier_positions(gateway, link):
    cqgcel.set_account(
        7,
        "Seven",
        positions=[
            {"InstrumentName": "F.US.EP", "Side": C.osdBuy, "Quantity": 1, "AveragePrice": 1.0},
            {"InstrumentName": "F.US.ENQ", "Side": C.osdUndefined, "Quantity": 1},
        ],
    )
    gateway.logon("trader", "secret")
    with pytest.raises(ValueError, match=rf"^Return CQG Position Side {C.osdUndefined} is invalid!$"):
        link.subscribe_account_and_positions(7)
    assert [p.security for p in link.positions] == [EP]


def test_subscribe_sets_the_account_up(gateway, link):
    gateway.logon("trader", "secret")
    link.subscribe_account_and_positions(100001)
    levels = [e[3][0] for e in calls_named("AccountSubscriptionLevel")]
    assert levels == [C.aslNone, C.aslAccountUpdatesAndOrders]
    account = cqgcel.account(100001)
    assert account.AutoSubscribeInstruments is True
    assert account.PositionSubcriptionLevel == C.pslSnapshotAndUpdates
    link.unsubscribe_account_and_positions(100001)
    assert account.AutoSubscribeInstruments is False
    assert account.PositionSubcriptionLevel == C.pslNoPositions
    assert link.GWAccountID == 100001


def test_second_subscribe_does_not_wait_for_accounts(gateway, link, monkeypatch):
    gateway.logon("trader", "secret")
    link.subscribe_account_and_positions(100001)
    monkeypatch.setattr(tradelink, "TIMEOUT", 5)
    cqgcel.set_answer("AccountSubscriptionLevel", "hold")
    start = time.monotonic()
    link.subscribe_account_and_positions(100001)
    assert time.monotonic() - start < 0.5


def test_accounts_time_out_and_unknown_account(gateway, link):
    gateway.logon("trader", "secret")
    cqgcel.set_answer("AccountSubscriptionLevel", "hold")
    with pytest.raises(RuntimeError, match=r"^Accounts coming timeout!$"):
        link.subscribe_account_and_positions(100001)
    assert not hasattr(link, "GWAccountID")
    cqgcel.release("AccountSubscriptionLevel")
    with pytest.raises(ValueError, match=r"^GWAccountID 5 can not be found!$"):
        link.subscribe_account_and_positions(5)
    assert link.GWAccountID == 5


def test_position_events_only_report(trading, trace):
    before = list(trading.positions)
    account, position = cqgcel.account(100001), cqgcel.set_account(100001, "SIM100001")
    cqgcel.set_positions(
        100001, [{"InstrumentName": "F.US.EP", "Side": C.osdBuy, "Quantity": 2, "AveragePrice": 100.5, "OTE": 1.0}]
    )
    position = cqgcel.account(100001).Positions.ItemByIndex(0)
    texts = new_texts(
        trace, lambda: cqgcel.raise_event("OnAccountChanged", C.actPositionChanged, cqgcel.account(100001), position)
    )
    assert texts == [
        "OnAccountChanged - open position is changed for SIM100001 account - "
        "instrument: F.US.EP average price: 100.5 quantity: 2 OTE: 1.0 PL: 0.0"
    ]
    assert trading.positions == before


def test_updates_wait_for_the_module_lock(trading):
    tradelink.lock.acquire()
    try:
        thread, box = run_in_thread(trading.update_positions)
        time.sleep(0.05)  # give it the chance to run past the lock if it did not take it
        assert thread.is_alive()
    finally:
        tradelink.lock.release()
    thread.join(2)
    assert box == {"result": None}


# -- orders ----------------------------------------------------------------------------


def make_order(order_type=OrderType.LIMIT, direction=Direction.LONG, security=EP):
    return Order(security, 100.25, 2, direction, order_type, stop_price=99.0)


def place(link, gateway):
    """Places a limit order, waits until it is working, forgets the callbacks so far."""
    guid = link.place_order(make_order())
    wait_until(lambda: guid in gateway.order_updates, timeout=1, what="order working")
    gateway.calls.clear()
    return guid


@pytest.mark.parametrize(
    "order_type, tail",
    [
        (OrderType.MARKET, ()),
        (OrderType.LIMIT, (100.25,)),
        (OrderType.STOP, (100.25, 99.0)),
    ],
    ids=["market-5", "limit-6", "stop-7"],
)
def test_place_order_sends_the_arguments_of_its_type(trading, order_type, tail):
    guid = trading.place_order(make_order(order_type))
    [(_, _, _, args)] = calls_named("CreateOrder")
    cqg_type = {OrderType.MARKET: C.otMarket, OrderType.LIMIT: C.otLimit, OrderType.STOP: C.otStop}[order_type]
    assert args[0] == cqg_type and args[3:5] == (2, C.osdBuy) and args[5:] == tail
    assert args[1].FullName == "F.US.EP" and args[2].GWAccountID == 100001
    assert ("CQGOrder", "Manual", "put", (0,)) in cqgcel.journal()
    assert isinstance(guid, str) and cqgcel.order(guid).GWStatus == C.osInOrderBook
    assert trading.order_id is None and trading.eventOrderPlaced.is_set()


@pytest.mark.parametrize(
    "order, error, text",
    [
        (make_order(security=ENQ), ValueError, "cqg_symbol F.US.ENQ has not been subscribed."),
        (make_order(order_type="LIMIT"), ValueError, "Unsupported order type LIMIT"),
        (make_order(direction=None), ValueError, "Unsupported order side None"),
    ],
    ids=["not-subscribed", "order-type", "side"],
)
def test_place_order_failures_before_create_order(trading, order, error, text):
    trading.eventOrderPlaced.set()
    trading.order_id = "left-alone"
    with pytest.raises(error, match=f"^{re.escape(text)}$"):
        trading.place_order(order)
    assert calls_named("CreateOrder") == []
    assert trading.eventOrderPlaced.is_set() and trading.order_id == "left-alone"


def test_place_order_without_an_account_fails_before_create_order(gateway, link):
    gateway.logon("trader", "secret")
    link.subscribe_quote("EP")
    with pytest.raises(AttributeError, match="GWAccountID"):
        link.place_order(make_order())
    assert calls_named("CreateOrder") == []


def test_place_order_time_out(trading):
    cqgcel.set_answer("Place", "hold")
    order = make_order()
    with pytest.raises(RuntimeError) as raised:
        trading.place_order(order)
    assert str(raised.value) == f"Order placing timeout!\n{order} "


def test_only_the_placed_guid_completes_the_wait(trading, monkeypatch, capfd):
    monkeypatch.setattr(tradelink, "TIMEOUT", 5)
    cqgcel.set_answer("Place", "hold")
    thread, box = run_in_thread(trading.place_order, make_order())
    wait_until(lambda: cqgcel.held("Place") == 1, what="Place sent")
    foreign = cqgcel.make_order(guid="foreign-1")
    cqgcel.raise_event("OnOrderChanged", C.ctAdded, foreign, None, None, None)
    assert thread.is_alive()  # someone else's order does not complete the placement
    cqgcel.release("Place")
    thread.join(2)
    guid = box["result"]
    assert guid != "foreign-1" and cqgcel.order(guid) is not None
    assert "orderid foreign-1 is not placed by algo" in capfd.readouterr().out


def test_placements_from_several_threads_each_get_their_own_order(trading, monkeypatch, capfd):
    monkeypatch.setattr(tradelink, "TIMEOUT", 5)
    threads, per_thread = 4, 40
    placed: dict[int, list] = {t: [] for t in range(threads)}
    errors = []

    def trader(t):
        for j in range(per_thread):
            quantity = 1000 * (t + 1) + j  # tells whose order it is at the broker
            order = Order(EP, 0.0, quantity, Direction.LONG, OrderType.MARKET)
            try:
                placed[t].append((quantity, trading.place_order(order)))
            except Exception as error:  # counted: none is expected
                errors.append(f"{type(error).__name__}: {error}")

    workers = [threading.Thread(target=trader, args=(t,)) for t in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join(30)
    assert errors == []
    returned = [pair for pairs in placed.values() for pair in pairs]
    guids = [guid for _, guid in returned]
    assert len(set(guids)) == threads * per_thread
    assert sorted(guids) == sorted(o.GUID for o in cqgcel.orders())
    for quantity, guid in returned:
        assert cqgcel.order(guid).Properties(C.opQuantity).Value == quantity, guid
    assert "is not placed by algo" not in capfd.readouterr().out


ENTERED, READ, STARTED, PLACED, TASK_DONE, ADDED, WOKEN, RETURNED = range(8)


@pytest.fixture
def place_timing():
    tradelink._set_place_timing(True)
    yield
    tradelink._set_place_timing(False)


def test_place_timeline_is_off_by_default(trading):
    trading.place_order(make_order())
    assert trading._place_timeline() == [-1] * 8


@pytest.mark.parametrize("held", [False, True], ids=["answered-at-once", "answered-late"])
def test_place_timeline_orders_the_steps_of_each_thread(trading, place_timing, held):
    if held:  # the answer comes only once the caller waits for it
        cqgcel.set_answer("Place", "hold")
        thread, box = run_in_thread(trading.place_order, make_order())
        wait_until(lambda: trading._place_timeline()[TASK_DONE] >= 0, what="caller waits")
        cqgcel.release("Place")
        thread.join(2)
        assert "result" in box
    else:
        trading.place_order(make_order())
    t = trading._place_timeline()
    assert t[ENTERED] == 0 and min(t) >= 0
    assert t[READ] <= t[TASK_DONE] <= t[WOKEN] <= t[RETURNED]  # the caller's thread
    assert t[READ] <= t[STARTED] <= t[PLACED] <= t[ADDED] <= t[WOKEN]  # through the COM thread
    assert t[PLACED] <= t[TASK_DONE]
    if held:
        assert t[TASK_DONE] <= t[ADDED]


def test_place_timeline_of_a_refused_order_stops_before_create_order(trading, place_timing):
    with pytest.raises(ValueError):
        trading.place_order(make_order(security=ENQ))
    t = trading._place_timeline()
    assert [t[PLACED], t[ADDED]] == [-1, -1] and min(t[READ], t[STARTED], t[TASK_DONE]) >= 0


def test_added_order_after_a_placement_is_not_placed_by_algo(trading, gateway, capfd):
    place(trading, gateway)
    foreign = cqgcel.make_order(guid="by-hand")
    fill = cqgcel.make_fill(foreign, 1, 100.0)
    capfd.readouterr()
    cqgcel.raise_event("OnOrderChanged", C.ctAdded, foreign, None, fill, None)
    assert capfd.readouterr().out == "orderid by-hand is not placed by algo\n"
    assert gateway.calls == []  # its fill gave no deal


def test_changed_order_with_a_fill_gives_one_update_then_one_deal(trading, gateway):
    guid = place(trading, gateway)
    cqgcel.fill_order(guid, 2, 100.0)
    assert [k for k, _ in gateway.calls] == ["order", "deal"]
    (_, update), (_, deal) = gateway.calls
    assert list(update) == ["order_id", "updated_time", "filled_avg_price", "filled_quantity", "status"]
    assert (update["order_id"], update["filled_avg_price"], update["filled_quantity"], update["status"]) == (
        guid,
        100.0,
        2,
        OrderStatus.FILLED,
    )
    assert list(deal) == ["deal_id", "order_id", "updated_time", "filled_avg_price", "filled_quantity"]
    assert (deal["order_id"], deal["filled_avg_price"], deal["filled_quantity"]) == (guid, 100.0, 2)


@pytest.mark.parametrize(
    "change, kinds",
    [
        ("ctAdded", []),
        ("ctChanged", ["order"]),
        ("ctRemoved", ["order"]),
        (12345, []),
    ],
    ids=["added", "changed", "removed", "other"],
)
def test_order_updates_by_change_type(trading, gateway, change, kinds):
    place(trading, gateway)  # the next ctAdded is someone else's
    order = cqgcel.make_order(guid="x")
    cqgcel.raise_event("OnOrderChanged", C.__dict__.get(change, change), order, None, None, None)
    assert [k for k, _ in gateway.calls] == kinds


def test_error_in_order_event_ignores_it(trading, gateway, capfd):
    order = cqgcel.make_order(guid="x", status=999)
    fill = cqgcel.make_fill(order, 1, 1.0)
    capfd.readouterr()
    for change in (C.ctAdded, C.ctChanged):
        cqgcel.raise_event("OnOrderChanged", change, order, None, fill, cqgcel.make_error(1, "rejected"))
    assert capfd.readouterr().out == "" and gateway.calls == []


def test_non_normal_fill_is_ignored(trading, gateway):
    guid = place(trading, gateway)
    cqgcel.fill_order(guid, 1, 100.0, status=C.fsBusted)
    assert [k for k, _ in gateway.calls] == ["order"]


def test_untranslatable_status_fails_the_event(trading, gateway, trace):
    order = cqgcel.make_order(guid="x", status=999)
    texts = new_texts(trace, lambda: cqgcel.raise_event("OnOrderChanged", C.ctChanged, order, None, None, None))
    assert texts == [
        "Exception in OnOrderChanged: ValueError: Order status 999 is not valid to be handled by morvex_trader."
    ]
    assert gateway.calls == []


def test_time_conversion_drops_fraction_and_zone(trading, gateway):
    when = datetime(2024, 5, 6, 14, 3, 27, 750000)
    order = cqgcel.make_order(guid="t", timestamp=when)
    fill = cqgcel.make_fill(order, 1, 10.0, timestamp=when)
    cqgcel.raise_event("OnOrderChanged", C.ctChanged, order, None, fill, None)
    expected = datetime(2024, 5, 6, 14, 3, 27)
    assert [r["updated_time"] for _, r in gateway.calls] == [expected, expected]
    assert all(r["updated_time"].tzinfo is None for _, r in gateway.calls)


STATUS_ROWS = {
    "osActiveAt": OrderStatus.UNKNOWN,
    "osContingent": OrderStatus.UNKNOWN,
    "osInCancel": OrderStatus.UNKNOWN,
    "osInClient": OrderStatus.UNKNOWN,
    "osInModify": OrderStatus.UNKNOWN,
    "osInTransit": OrderStatus.UNKNOWN,
    "osNotSent": OrderStatus.UNKNOWN,
    "osParked": OrderStatus.UNKNOWN,
    "osInOrderBook": OrderStatus.SUBMITTED,
    "osFilled": OrderStatus.FILLED,
    "osBusted": OrderStatus.FILLED,
    "osCanceled": OrderStatus.CANCELLED,
    "osRejectFCM": OrderStatus.FAILED,
    "osRejectGW": OrderStatus.FAILED,
    "osDisconnected": OrderStatus.FAILED,
    "osExpired": OrderStatus.FAILED,
    "osInTransitTimeout": OrderStatus.FAILED,
}


def test_all_seventeen_status_rows():
    got = {k: tradelink.convert_orderstatus_cqg2mx(comhost.constant(k)) for k in STATUS_ROWS}
    assert got == STATUS_ROWS
    for outside in (C.ctAdded, "osFilled", None):
        with pytest.raises(
            ValueError, match=rf"^Order status {outside} is not valid to be " r"handled by morvex_trader\.$"
        ):
            tradelink.convert_orderstatus_cqg2mx(outside)


def test_cancel_order(trading, gateway):
    guid = place(trading, gateway)
    trading.cancel_order(guid)
    wait_until(lambda: gateway.calls, timeout=1, what="cancel answered")
    assert gateway.calls[0][1]["status"] == OrderStatus.CANCELLED
    with pytest.raises(comhost.ComError, match="no order with GUID 'nope'"):
        trading.cancel_order("nope")


# -- Python subclasses -----------------------------------------------------------------


class CountingLink(tradelink.TradeLink):
    """Overrides two events in Python; the rest stays in C++."""

    def __init__(self):
        super().__init__()
        self.statuses = []
        self.changes = 0

    def OnGWConnectionStatusChanged(self, connectionStatus):
        self.statuses.append((connectionStatus, threading.current_thread().name))
        super().OnGWConnectionStatusChanged(connectionStatus)

    def OnInstrumentChanged(self, cqgInstrument, cqgQuotes, cqgInstrumentProperties):
        self.changes += 1
        super().OnInstrumentChanged(cqgInstrument, cqgQuotes, cqgInstrumentProperties)


def test_python_subclass_overrides_events():
    gw = RecordingGateway(sink_class=CountingLink)
    gw.connect()
    try:
        link = gw.tradelink
        assert type(link) is CountingLink
        gw.logon("trader", "secret")
        assert link.statuses == [(C.csConnectionUp, link.statuses[0][1])]
        link.subscribe_account_and_positions(100001)
        link.subscribe_quote("EP")
        cqgcel.push_quotes("EP", [(C.qtTrade, 5.0)])
        assert link.changes == 1 and gw.cqg_quotes[EP].last_price == 5.0
    finally:
        gw.close()
