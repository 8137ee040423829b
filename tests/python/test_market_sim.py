"""The host CQG gateway (CqgGateway + TradeLink) against the simulator's market.

Most tests keep the market clock still (speed 0) and move it with advance_market, so what
the gateway received can be compared exactly with market_snapshot(). One test lets the
clock run on its own.
"""

from __future__ import annotations

import time
from datetime import datetime

import pytest

from comhost_helpers import wait_until
from morvex_trader.core.constants import Direction, OrderStatus, OrderType
from morvex_trader.core.order import Order
from morvex_trader.gateways.cqg.wrapper import tradelink
from morvex_trader.platform import cqgcel
from tradelink_helpers import CLE, EP, RecordingGateway

pytestmark = pytest.mark.timeout(30)

ACCOUNT = 200001
START = datetime(2024, 3, 4, 9, 30)
INSTRUMENTS = [
    {
        "full_name": "F.US.EP",
        "tick_size": 0.25,
        "multiplier": 50.0,
        "start_price": 5000.0,
        "initial_margin": 12000.0,
        "maintenance_margin": 11000.0,
    },
    {"full_name": "F.US.CLE", "tick_size": 0.01, "multiplier": 1000.0, "start_price": 80.0, "volatility": 0.02},
]


def configure(seed: int = 7, speed: float = 0.0, **settings) -> None:
    cqgcel.configure_market(
        seed=seed,
        speed=speed,
        start_time=START,
        history_days=0.1,
        instruments=settings.pop("instruments", INSTRUMENTS),
        accounts=[{"gw_account_id": ACCOUNT, "name": "PAPER1", "balance": 250_000.0}],
        **settings,
    )


@pytest.fixture(autouse=True)
def fresh(monkeypatch):
    cqgcel.reset()
    monkeypatch.setattr(tradelink, "TIMEOUT", 3.0)  # waits here are expected to succeed
    monkeypatch.setattr(tradelink, "ACCOUNT_SWITCH_PAUSE", 0.0)
    yield
    cqgcel.reset()


def open_session(sink_class=None) -> RecordingGateway:
    gw = RecordingGateway(sink_class=sink_class)
    gw.connect()
    try:
        gw.logon("trader", "secret")
        gw.subscribe_account(ACCOUNT)
    except BaseException:
        gw.close()
        raise
    return gw


@pytest.fixture
def session():
    configure()
    gw = open_session()
    yield gw
    gw.close()


def calls_of(gw, order_id):
    """The order updates and deals of one order, in the order they arrived."""
    return [
        (kind, record)
        for kind, record in list(gw.calls)
        if kind in ("order", "deal") and record["order_id"] == order_id
    ]


def place(gw, security, direction, order_type, quantity, price=0.0, stop_price=None):
    order = Order(security, price, quantity, direction, order_type, stop_price=stop_price)
    return gw.place_order(order)


def touch(security_symbol):
    """(bid, ask) of the simulator's subscribed instrument."""
    instrument = cqgcel.instrument(security_symbol)
    C = cqgcel_constants()
    return instrument.LastPrice(C.qtBid), instrument.LastPrice(C.qtAsk)


def cqgcel_constants():
    from morvex_trader.gateways.cqg.wrapper import comhost

    return comhost.constants


def last_status(gw, order_id):
    updates = [r for k, r in calls_of(gw, order_id) if k == "order"]
    return updates[-1]["status"] if updates else None


# -- market data ----------------------------------------------------------------------


def first_quotes(seed):
    configure(seed=seed)
    gw = open_session()
    try:
        gw.tradelink.subscribe_quote("EP")
        cqgcel.advance_market(20.0)
        return [
            (q.bid_price, q.ask_price, q.last_price, q.open_price, q.high_price, q.low_price, q.prev_close_price)
            for kind, q in gw.calls
            if kind == "quote"
        ]
    finally:
        gw.close()
        cqgcel.reset()


def test_a_seeded_session_repeats_its_quotes_and_another_seed_differs():
    first, again, other = first_quotes(11), first_quotes(11), first_quotes(12)
    assert len(first) >= 40  # four updates a simulated second
    assert first == again
    assert first != other
    # The first event carries every quote the instrument has (one record per quote).
    complete = [q for q in first[:7] if all(value > 0 for value in q)]
    assert complete, first[:7]
    bid, ask, last, day_open, high, low, settlement = complete[0]
    assert bid < ask and low <= last <= high and low <= day_open <= high


def test_quotes_order_book_and_bars_follow_the_market(session):
    link = session.tradelink
    link.subscribe_quote("F.US.EP")
    link.subscribe_orderbook("EP")
    link.subscribe_bar("EP", 10)
    bars = link.get_subscribe_bars_data(EP)
    assert len(bars) == 11  # the look-back and one more; the forming bar is left out
    times = [b.datetime for b in bars]
    assert (
        all(later - earlier >= (times[1] - times[0]) for earlier, later in zip(times, times[1:])) and times[-1] < START
    )
    assert all(b.low <= min(b.open, b.close) <= max(b.open, b.close) <= b.high for b in bars)

    cqgcel.advance_market(150.0)  # two and a half minutes: two new bars at least
    later = link.get_subscribe_bars_data(EP)
    assert len(later) == 11
    assert later[-1].datetime >= START and later[-1].datetime > times[-1]
    assert [b.datetime for b in later][:-2] == times[2:]  # the window shifted, not rebuilt

    quote = session.latest_quotes[EP]
    book = session.latest_orderbooks[EP]
    bid, ask = touch("EP")
    assert (quote.bid_price, quote.ask_price) == (bid, ask)
    assert (book.bid_price_1, book.ask_price_1) == (bid, ask)
    assert session.counts["quote"] >= 500 and session.counts["orderbook"] >= 500


class ErrorRecordingLink(tradelink.TradeLink):
    def __init__(self):
        super().__init__()
        self.errors = []

    def OnInstrumentResolved(self, symbol, cqgInstrument, cqgError):
        if cqgError is not None:
            self.errors.append(("instrument", symbol, cqgError.Code, cqgError.Description))
        super().OnInstrumentResolved(symbol, cqgInstrument, cqgError)

    def OnTimedBarsResolved(self, cqgTimedBars, cqgError):
        if cqgError is not None:
            self.errors.append(("bars", cqgError.Code, cqgError.Description))
        super().OnTimedBarsResolved(cqgTimedBars, cqgError)


def test_an_unknown_symbol_is_refused_with_the_simulators_error_without_a_wait():
    configure()
    gw = open_session(sink_class=ErrorRecordingLink)
    try:
        link = gw.tradelink
        started = time.monotonic()
        link.subscribe_quote("F.US.ZZZ")
        link.subscribe_bar("F.US.ZZZ", 5)
        # "F.US.ENQ" is in the scripted catalogue but not in this market.
        link.subscribe_quote("ENQ")
        assert time.monotonic() - started < 1.0  # answered, not timed out (TIMEOUT is 3 s)
        assert link.errors == [
            ("instrument", "F.US.ZZZ", 1001, "Unknown symbol 'F.US.ZZZ'"),
            ("bars", 1001, "Unknown symbol 'F.US.ZZZ'"),
            ("instrument", "ENQ", 1001, "Unknown symbol 'ENQ'"),
        ]
        assert link.get_instrument_from_cqg_symbol("ZZZ") is None
        assert link.get_timedbars_from_cqg_symbol("F.US.ZZZ") is None
    finally:
        gw.close()


# -- orders ---------------------------------------------------------------------------


def test_a_market_order_fills_and_each_fill_reaches_process_order_then_process_deal(session):
    session.tradelink.subscribe_quote("EP")
    cqgcel.advance_market(1.0)
    order_id = place(session, EP, Direction.LONG, OrderType.MARKET, 30)  # beyond one touch
    wait_until(lambda: calls_of(session, order_id), what="the first update")
    for _ in range(40):
        if last_status(session, order_id) == OrderStatus.FILLED:
            break
        cqgcel.advance_market(0.25)
    snap = cqgcel.market_snapshot()
    assert snap["orders"][order_id]["status"] == "osFilled"
    fills = [f for f in snap["fills"] if f["order_guid"] == order_id]
    assert len(fills) >= 2 and sum(f["quantity"] for f in fills) == 30

    calls = calls_of(session, order_id)
    deals = [r for k, r in calls if k == "deal"]
    assert [d["deal_id"] for d in deals] == [f["id"] for f in fills]
    assert [(d["filled_avg_price"], d["filled_quantity"]) for d in deals] == [
        (f["price"], f["quantity"]) for f in fills
    ]
    # Every deal comes right after the order update of the same change.
    for i, (kind, record) in enumerate(calls):
        if kind == "deal":
            assert calls[i - 1][0] == "order"
    assert calls[0] == ("order", calls[0][1]) and calls[0][1]["status"] == OrderStatus.SUBMITTED
    final = calls[-2][1]
    assert final["status"] == OrderStatus.FILLED and final["filled_quantity"] == 30
    assert final["filled_avg_price"] == pytest.approx(snap["orders"][order_id]["average_price"])


def test_a_limit_order_rests_in_the_book_until_cancelled(session):
    session.tradelink.subscribe_quote("EP")
    cqgcel.advance_market(1.0)
    bid, _ = touch("EP")
    order_id = place(session, EP, Direction.LONG, OrderType.LIMIT, 2, price=bid - 50.0)
    cqgcel.advance_market(5.0)
    assert cqgcel.market_snapshot()["orders"][order_id]["status"] == "osInOrderBook"
    session.cancel_order(order_id)
    wait_until(lambda: last_status(session, order_id) == OrderStatus.CANCELLED, what="the cancel")
    snap = cqgcel.market_snapshot()
    assert snap["orders"][order_id]["status"] == "osCanceled"
    assert not [f for f in snap["fills"] if f["order_guid"] == order_id]
    assert [k for k, _ in calls_of(session, order_id)] == ["order", "order"]


def test_cancelling_an_unknown_guid_fails_in_the_caller(session):
    from morvex_trader.gateways.cqg.wrapper.comhost import ComError

    with pytest.raises(ComError, match="no order with GUID 'nope'"):
        session.cancel_order("nope")


@pytest.mark.parametrize(
    "quantity, order_type, stop_offset, account",
    [
        (0, OrderType.MARKET, None, ACCOUNT),
        (1, OrderType.STOP, -5.0, ACCOUNT),
        (1, OrderType.MARKET, None, 999),
    ],
    ids=["quantity-zero", "buy-stop-below-the-market", "account-unknown-to-the-market"],
)
def test_rejected_orders_end_failed(quantity, order_type, stop_offset, account):
    configure()
    gw = open_session()
    try:
        if account != ACCOUNT:
            cqgcel.set_account(account, "GHOST")  # in Accounts, not in the market
            gw.subscribe_account(account)
        gw.tradelink.subscribe_quote("EP")
        cqgcel.advance_market(1.0)
        _, ask = touch("EP")
        stop = ask + stop_offset if stop_offset is not None else None
        order_id = place(gw, EP, Direction.LONG, order_type, quantity, price=ask, stop_price=stop)
        wait_until(lambda: last_status(gw, order_id) == OrderStatus.FAILED, what="the reject")
        snap = cqgcel.market_snapshot()
        assert snap["orders"][order_id]["status"] == "osRejectGW"
        assert not snap["fills"]
    finally:
        gw.close()


def test_a_stop_order_triggers_and_fills_as_a_market_order(session):
    session.tradelink.subscribe_quote("CLE")
    cqgcel.advance_market(1.0)
    _, ask = touch("CLE")
    order_id = place(session, CLE, Direction.LONG, OrderType.STOP, 1, price=ask, stop_price=round(ask + 0.02, 2))
    for _ in range(600):
        if last_status(session, order_id) == OrderStatus.FILLED:
            break
        cqgcel.advance_market(1.0)
    fills = [f for f in cqgcel.market_snapshot()["fills"] if f["order_guid"] == order_id]
    assert len(fills) == 1 and fills[0]["price"] >= round(ask + 0.02, 2) - 1e-9


def test_positions_and_balance_after_fills_agree_with_the_snapshot(session):
    link = session.tradelink
    link.subscribe_quote("EP")
    link.subscribe_quote("CLE")
    cqgcel.advance_market(1.0)
    orders = [
        place(session, EP, Direction.LONG, OrderType.MARKET, 3),
        place(session, CLE, Direction.SHORT, OrderType.MARKET, 2),
    ]
    cqgcel.advance_market(60.0)
    orders.append(place(session, EP, Direction.SHORT, OrderType.MARKET, 1))
    for _ in range(20):
        if all(last_status(session, o) == OrderStatus.FILLED for o in orders):
            break
        cqgcel.advance_market(0.5)
    snap = cqgcel.market_snapshot()
    assert all(snap["orders"][o]["status"] == "osFilled" for o in orders)

    positions = {p.security: p for p in session.get_positions()}
    ep, cle = snap["positions"][(ACCOUNT, "F.US.EP")], snap["positions"][(ACCOUNT, "F.US.CLE")]
    assert ep["quantity"] == 2 and cle["quantity"] == -2
    assert (positions[EP].direction, positions[EP].quantity) == (Direction.LONG, 2)
    assert (positions[CLE].direction, positions[CLE].quantity) == (Direction.SHORT, 2)
    assert positions[EP].holding_price == pytest.approx(ep["average_price"])
    assert positions[CLE].holding_price == pytest.approx(cle["average_price"])
    assert ep["realized_pnl"] != 0 or ep["average_price"] > 0

    balance = session.get_balance()
    account = snap["accounts"][ACCOUNT]
    assert balance.cash == pytest.approx(account["balance"])
    assert balance.cash == pytest.approx(250_000.0 + account["profit_loss"])
    assert balance.net_cash_power == pytest.approx(account["nlv"])
    assert balance.realized_pnl == pytest.approx(account["profit_loss"])
    assert balance.unrealized_pnl == pytest.approx(account["upl"])
    assert balance.unrealized_pnl == pytest.approx(ep["ote"] + cle["ote"])
    assert balance.maintenance_margin == pytest.approx(2 * 11000.0)
    assert balance.available_cash == pytest.approx(account["balance"] - 2 * 12000.0)
    # Every fill reached process_deal exactly once.
    assert sorted(session.deals) == sorted(f["id"] for f in snap["fills"])
    assert session.counts["deal"] == len(snap["fills"])


# -- the running clock and the settings ------------------------------------------------


def test_the_clock_runs_on_its_own_until_the_market_is_disabled():
    configure(speed=600.0, update_interval=0.5)
    gw = open_session()
    try:
        assert cqgcel.market_running()
        gw.tradelink.subscribe_quote("EP")
        wait_until(lambda: gw.counts["quote"] >= 20, what="quotes from the running clock")
        before = cqgcel.market_snapshot()["now"]
        wait_until(lambda: cqgcel.market_snapshot()["now"] > before, what="time passing")
        order_id = place(gw, EP, Direction.SHORT, OrderType.MARKET, 5)
        wait_until(lambda: last_status(gw, order_id) == OrderStatus.FILLED, what="the fill")
        cqgcel.disable_market()
        assert not cqgcel.market_running()
        stopped = cqgcel.market_snapshot()["now"]
        count = gw.counts["quote"]
        time.sleep(0.05)  # nothing may move now; there is no condition to wait for
        assert cqgcel.market_snapshot()["now"] == stopped and gw.counts["quote"] == count
    finally:
        gw.close()


def test_a_scripted_simulator_runs_no_market():
    gw = RecordingGateway()
    gw.connect()
    try:
        assert not cqgcel.market_running()
        with pytest.raises(RuntimeError, match="runs no market"):
            cqgcel.market_snapshot()
    finally:
        gw.close()


@pytest.mark.parametrize(
    "settings, error, text",
    [
        ({"speed": -1.0}, ValueError, "speed must be >= 0"),
        ({"update_interval": 0.0}, ValueError, "update_interval must be"),
        ({"tick_rate": 100.0, "speed": float("inf")}, ValueError, "tick_rate needs a finite speed"),
        ({"instruments": [{"full_name": "F.US.EP", "tick": 0.25}]}, ValueError, "Unknown instrument setting 'tick'"),
        ({"instruments": [INSTRUMENTS[0], INSTRUMENTS[0]]}, ValueError, "already exists"),
        ({"instruments": [{"full_name": "F.US.EP", "tick_size": 0.0}]}, ValueError, "must be positive"),
        ({"instruments": []}, ValueError, "at least one instrument"),
        ({"start_time": "2024-03-04"}, TypeError, "start_time must be a datetime"),
    ],
    ids=[
        "negative-speed",
        "zero-interval",
        "tick-rate-without-speed",
        "unknown-key",
        "duplicate-instrument",
        "zero-tick",
        "no-instruments",
        "text-start",
    ],
)
def test_bad_settings_are_refused(settings, error, text):
    base = dict(seed=1, start_time=START, instruments=INSTRUMENTS, accounts=[{"gw_account_id": ACCOUNT}])
    base.update(settings)
    with pytest.raises(error, match=text):
        cqgcel.configure_market(**base)
    assert not cqgcel.market_running()


def test_tick_rate_sets_the_updates_per_wall_second():
    configure(speed=60.0, tick_rate=30.0)  # 60 / 30: an update every 2 simulated seconds
    gw = open_session()
    try:
        cqgcel.disable_market()  # stop the clock: count exactly
        gw.tradelink.subscribe_orderbook("EP")
        before = gw.counts["orderbook"]
        cqgcel.advance_market(20.0)
        # Ten updates of one to three ticks each (the default pace would give 80).
        assert 10 <= gw.counts["orderbook"] - before <= 30
    finally:
        gw.close()
