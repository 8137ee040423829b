"""The simulator's scripted failures (calls that raise, unreadable members, gates that hold
the COM thread mid-read, the journal of reads), and what they show of TradeLink.

TIMEOUT is set long where a test proves that nothing waited for it; no test waits for it.
"""

from __future__ import annotations

import time

import pytest

from comhost_helpers import run_in_thread, wait_until
from morvex_trader.core.constants import Direction, OrderType
from morvex_trader.core.order import Order
from morvex_trader.gateways.cqg.wrapper import comhost, tradelink
from morvex_trader.platform import cqgcel
from tradelink_helpers import EP, RecordingGateway

pytestmark = pytest.mark.timeout(30)
C = comhost.constants
LONG_TIMEOUT = 5.0  # a call that waited for it would be seen


@pytest.fixture(autouse=True)
def fresh(monkeypatch):
    cqgcel.reset()
    monkeypatch.setattr(tradelink, "TIMEOUT", LONG_TIMEOUT)
    monkeypatch.setattr(tradelink, "ACCOUNT_SWITCH_PAUSE", 0.0)
    yield
    cqgcel.reset()


@pytest.fixture
def gateway():
    gw = RecordingGateway()
    gw.connect()
    yield gw
    cqgcel.reset()  # a scripted failure must not fail the log-off
    gw.close()


@pytest.fixture
def trading(gateway):
    link = gateway.tradelink
    gateway.logon("trader", "secret")
    link.subscribe_account_and_positions(100001)
    link.subscribe_quote("EP")
    cqgcel.clear_journal()
    return link


def place(link, gateway):
    guid = link.place_order(Order(EP, 100.25, 2, Direction.LONG, OrderType.LIMIT))
    wait_until(lambda: guid in gateway.order_updates, timeout=2, what="order working")
    return guid


# -- calls that raise ------------------------------------------------------------------

# (request, what the host does, set-up before the failure is scripted)
RAISING_CALLS = [
    ("GWLogon", lambda link, gw: link.Logon("trader", "secret"), None),
    ("GWLogoff", lambda link, gw: link.Logoff(), None),
    ("NewInstrument", lambda link, gw: link.subscribe_quote("ENQ"), None),
    ("RemoveInstrument", lambda link, gw: link.unsubscribe_quote("EP"), None),
    ("Place", lambda link, gw: link.place_order(Order(EP, 100.25, 2, Direction.LONG, OrderType.LIMIT)), None),
    ("Cancel", lambda link, gw: link.cancel_order(gw.guid), place),
    ("RequestTicks", lambda link, gw: link.subscribe_orderbook("F.US.EP"), None),
    ("RequestTimedBars", lambda link, gw: link.subscribe_bar("F.US.EP", 10), None),
    ("AccountSubscriptionLevel", lambda link, gw: link.subscribe_account_and_positions(100001), None),
    ("AutoSubscribeInstruments", lambda link, gw: link.subscribe_account_and_positions(100001), None),
]


@pytest.mark.parametrize("request_name, action, setup", RAISING_CALLS, ids=[c[0] for c in RAISING_CALLS])
def test_a_raised_failure_reaches_the_caller_unchanged_before_any_wait(gateway, trading, request_name, action, setup):
    gateway.guid = setup(trading, gateway) if setup else None
    cqgcel.clear_journal()
    gateway.calls.clear()
    cqgcel.set_answer(request_name, "raise", code=-2147352567, description="CQG said no")
    start = time.monotonic()
    with pytest.raises(comhost.ComError) as raised:
        action(trading, gateway)
    assert time.monotonic() - start < 1.0  # no TIMEOUT wait
    assert (raised.value.code, raised.value.description) == (-2147352567, "CQG said no")
    # The call reached the simulator, which answered nothing and raised no event.
    assert any(e[1] == request_name for e in cqgcel.journal())
    assert cqgcel.held(request_name) == 0 and gateway.calls == []


def test_a_raise_answer_changes_nothing_in_the_simulator(trading, gateway):
    cqgcel.set_answer("Place", "raise")
    with pytest.raises(comhost.ComError, match="^Place failed$") as raised:
        trading.place_order(Order(EP, 100.25, 2, Direction.LONG, OrderType.LIMIT))
    assert raised.value.code == -2147467259  # E_FAIL
    assert [o.GWStatus for o in cqgcel.orders()] == [C.osNotSent]
    cqgcel.set_answer("Place", "succeed")
    assert place(trading, gateway)  # the next call goes through


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: cqgcel.set_answer("Place", "raise", delay=0.1), "a raised failure has no delay"),
        (lambda: cqgcel.release("Place", "raise"), "a held answer cannot be raised by its call"),
        (lambda: cqgcel.set_answer("Place", "explode"), "mode must be"),
    ],
    ids=["delay", "release", "unknown-mode"],
)
def test_raise_mode_refusals(call, text):
    with pytest.raises(ValueError, match=text):
        call()


# -- unreadable members ----------------------------------------------------------------

POSITIONS = [
    {"InstrumentName": "F.US.EP", "Side": C.osdBuy, "Quantity": 2, "AveragePrice": 10.5},
    {"InstrumentName": "F.US.ENQ", "Side": C.osdSell, "Quantity": -1, "AveragePrice": 20.5},
    {"InstrumentName": "F.US.CLE", "Side": C.osdBuy, "Quantity": 3, "AveragePrice": 30.5},
]


def test_positions_read_before_an_unreadable_one_stay(trading):
    cqgcel.set_positions(100001, POSITIONS)
    cqgcel.set_unreadable(
        "CQGPosition", "AveragePrice", where={"InstrumentName": "F.US.ENQ"}, code=7, description="no average price"
    )
    with pytest.raises(comhost.ComError, match="^no average price$"):
        trading.update_positions()
    assert [(p.security, p.holding_price, p.quantity) for p in trading.positions] == [(EP, 10.5, 2)]
    cqgcel.clear_unreadable()
    trading.update_positions()
    assert [p.holding_price for p in trading.positions] == [10.5, 20.5, 30.5]


def test_an_unreadable_summary_value_is_reported_by_the_balance_update(trading, capfd):
    cqgcel.set_unreadable("CQGAccountSummary", "NLV")
    capfd.readouterr()
    trading.update_account_balance()
    assert ": CQGAccountSummary.NLV is not available\n" in capfd.readouterr().out
    cqgcel.clear_unreadable()
    trading.update_account_balance()
    assert trading.account_balance.net_cash_power == 1_000_000.0


@pytest.mark.parametrize(
    "type_name, member, read",
    [
        ("CQGAccount", "GWAccountName", lambda sim, guid: sim.Accounts.Item(0).GWAccountName),
        ("CQGPosition", "Quantity", lambda sim, guid: sim.Accounts.Item(0).Positions.Item(0).Quantity),
        ("CQGQuote", "Price", lambda sim, guid: cqgcel.make_quotes([(C.qtBid, 99.0)]).Item(0).Price),
        ("CQGOrder", "GUID", lambda sim, guid: cqgcel.order(guid).GUID),
        ("CQGFill", "Quantity", lambda sim, guid: cqgcel.order(guid).Fills.Item(0).Quantity),
    ],
    ids=["account", "position", "quote", "order", "fill"],
)
def test_any_member_of_any_object_can_be_made_unreadable(trading, gateway, type_name, member, read):
    cqgcel.set_positions(100001, POSITIONS)
    cqgcel.push_quotes("EP", [(C.qtBid, 99.0)])
    guid = place(trading, gateway)
    cqgcel.fill_order(guid, 1, 100.25)
    sim = cqgcel.simulator()
    read(sim, guid)  # readable
    cqgcel.set_unreadable(type_name, member, code=42, description=f"{member} is gone")
    with pytest.raises(comhost.ComError, match=f"^{member} is gone$") as raised:
        read(sim, guid)
    assert raised.value.code == 42
    cqgcel.reset()
    read(sim, guid)  # reset forgets it


def test_where_narrows_a_fault_to_matching_objects():
    cqgcel.set_unreadable("CQGPosition", "OTE", where={"InstrumentName": "F.US.ENQ", "Quantity": -1})
    gw = RecordingGateway()
    gw.connect()
    try:
        cqgcel.set_positions(100001, POSITIONS)
        positions = cqgcel.simulator().Accounts.Item(0).Positions
        readable = []
        for n in range(3):
            try:
                readable.append(positions.Item(n).OTE is not None)
            except comhost.ComError:
                readable.append(False)
        assert readable == [True, False, True]
    finally:
        gw.close()


@pytest.mark.parametrize(
    "args, text",
    [
        (("CQGNothing", "Price"), "The simulator has no object type 'CQGNothing'"),
        (("CQGQuote", "Volume"), "CQGQuote has no member 'Volume'"),
        (("CQGQuote", "Price", {"Size": 1}), "CQGQuote has no member 'Size'"),
    ],
    ids=["type", "member", "where-member"],
)
def test_unreadable_refuses_what_the_simulator_does_not_have(args, text):
    type_name, member, *where = args
    with pytest.raises(ValueError, match=f"^{text}$"):
        cqgcel.set_unreadable(type_name, member, where=where[0] if where else None)


# -- holding the COM thread in the middle of a read -------------------------------------


def test_a_reader_taking_the_lock_never_sees_half_of_a_position_update(trading):
    cqgcel.set_positions(100001, POSITIONS)
    trading.update_positions()
    cqgcel.set_positions(100001, [dict(p, AveragePrice=p["AveragePrice"] + 1) for p in POSITIONS])
    gate = cqgcel.hold_read("CQGPosition", "AveragePrice", where={"InstrumentName": "F.US.CLE"})
    thread, box = run_in_thread(trading.update_positions)
    try:
        assert gate.wait_reached(5.0)
        # Mid-update: a reader that takes the module's lock waits for the whole update.
        assert not tradelink.lock.acquire(timeout=0.05)
    finally:
        gate.open()
    thread.join(5)
    assert box == {"result": None} and not gate.expired
    with tradelink.lock:
        assert [p.holding_price for p in trading.positions] == [11.5, 21.5, 31.5]


def test_a_gate_never_opened_lets_the_reader_go_at_its_deadline(trading):
    cqgcel.set_positions(100001, POSITIONS)
    gate = cqgcel.hold_read("CQGPosition", "Quantity", deadline=0.05)
    start = time.monotonic()
    trading.update_positions()
    assert time.monotonic() - start < 2.0
    assert gate.expired and gate.arrivals == 3  # later reads pass once it has expired
    assert len(trading.positions) == 3


# -- the journal of reads --------------------------------------------------------------


def test_the_journal_of_reads_is_off_by_default_and_shows_every_read_when_on(trading):
    cqgcel.set_positions(100001, POSITIONS[:1])
    trading.update_positions()
    assert not any(e[1] in ("Count", "Quantity") for e in cqgcel.journal())
    cqgcel.set_journal_reads(True)
    cqgcel.clear_journal()
    trading.update_positions()
    walk = [e for e in cqgcel.journal() if e[0] in ("CQGPositions", "CQGPosition")]
    assert walk == [
        ("CQGPositions", "Count", "get", ()),
        ("CQGPositions", "ItemByIndex", "call", (0,)),
        ("CQGPosition", "Quantity", "get", ()),
        ("CQGPosition", "InstrumentName", "get", ()),
        ("CQGPosition", "Side", "get", ()),
        ("CQGPosition", "AveragePrice", "get", ()),
    ]
    cqgcel.reset()
    cqgcel.clear_journal()
    trading.update_positions()
    assert not any(e[1] == "Count" for e in cqgcel.journal())


def test_the_journal_of_reads_sees_read_backs(trading):
    cqgcel.set_journal_reads(True)
    trading.subscribe_orderbook("F.US.EP")
    reads = [(e[0], e[1]) for e in cqgcel.journal() if e[2] == "get"]
    assert ("CQGTicksRequest", "Limit") in reads  # the read-back of the limit it set
