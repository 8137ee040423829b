"""The simulator failing the way CQG does, seen through the host gateway (CqgGateway and
TradeLink): connection losses, fills sent again or busted, and sessions that end with
orders still working, in the same process and in a new one."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
from datetime import datetime
from pathlib import Path

import pytest

from comhost_helpers import wait_until
from morvex_trader.core.constants import Direction, OrderStatus, OrderType
from morvex_trader.core.order import Order
from morvex_trader.gateways.cqg.wrapper import comhost, tradelink
from morvex_trader.platform import cqgcel
from tradelink_helpers import EP, RecordingGateway

pytestmark = pytest.mark.timeout(60)
C = comhost.constants
ACCOUNT = 200001
START = datetime(2024, 3, 4, 9, 30)
ROOT = Path(__file__).resolve().parents[2]


class FaultRecordingLink(tradelink.TradeLink):
    """TradeLink that also keeps the connection statuses and the order events that carry an
    error or a fill of another status than fsNormal (which TradeLink itself ignores)."""

    def __init__(self):
        super().__init__()
        self.statuses = []
        self.refusals = []
        self.amended = []

    def OnGWConnectionStatusChanged(self, connectionStatus):
        self.statuses.append(("gateway", connectionStatus))
        super().OnGWConnectionStatusChanged(connectionStatus)

    def OnDataConnectionStatusChanged(self, newStatus):
        self.statuses.append(("data", newStatus))
        super().OnDataConnectionStatusChanged(newStatus)

    def OnOrderChanged(self, changeType, cqgOrder, oldProperties, cqgFill, cqgError):
        if cqgError is not None:
            self.refusals.append((changeType, cqgOrder.GUID, cqgOrder.GWStatus, cqgError.Code, cqgError.Description))
        elif cqgFill is not None and cqgFill.Status != C.fsNormal:
            self.amended.append((cqgFill.Id, cqgFill.Status, cqgFill.Quantity, cqgFill.Price))
        super().OnOrderChanged(changeType, cqgOrder, oldProperties, cqgFill, cqgError)


@pytest.fixture(autouse=True)
def fresh(monkeypatch):
    cqgcel.reset()
    monkeypatch.setattr(tradelink, "TIMEOUT", 0.3)
    monkeypatch.setattr(tradelink, "ACCOUNT_SWITCH_PAUSE", 0.0)
    yield
    cqgcel.reset()


def configure(seed=7, **settings):
    cqgcel.configure_market(
        seed=seed,
        speed=0.0,
        start_time=START,
        history_days=0.05,
        instruments=[
            {"full_name": "F.US.EP", "tick_size": 0.25, "multiplier": 50.0, "start_price": 5000.0, "max_book_volume": 5}
        ],
        accounts=[{"gw_account_id": ACCOUNT, "name": "PAPER1", "balance": 250_000.0}],
        **settings,
    )


def open_session(account=ACCOUNT) -> RecordingGateway:
    gw = RecordingGateway(sink_class=FaultRecordingLink)
    gw.connect()
    try:
        gw.logon("trader", "secret")
        gw.subscribe_account(account)
        gw.tradelink.subscribe_quote("EP")
    except BaseException:
        gw.close()
        raise
    return gw


@pytest.fixture
def scripted():
    gw = open_session(100001)
    yield gw
    gw.close()


@pytest.fixture
def market():
    configure()
    gw = open_session()
    yield gw
    gw.close()


def place(gw, quantity, order_type=OrderType.MARKET, price=0.0, direction=Direction.LONG):
    return gw.place_order(Order(EP, price, quantity, direction, order_type))


def deals_of(gw, guid):
    return [r for k, r in list(gw.calls) if k == "deal" and r["order_id"] == guid]


def fills_in_snapshot(guid):
    return [f for f in cqgcel.market_snapshot()["fills"] if f["order_guid"] == guid]


# -- connections ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "kind, status, name, line",
    [
        ("gateway", "csConnectionDown", "csConnectionDown", "GW connection is DOWN!"),
        ("gateway", C.csConnectionTrouble, "csConnectionTrouble", None),
        ("gateway", "csConnectionNotLoggedOn", "csConnectionNotLoggedOn", None),
        ("data", C.csConnectionDown, "csConnectionDown", "DataConnectionStatus={}"),
        ("data", "csConnectionDelayed", "csConnectionDelayed", "DataConnectionStatus={}"),
    ],
    ids=["gateway-down", "gateway-trouble", "gateway-not-logged-on", "data-down", "data-delayed"],
)
def test_connection_statuses_arrive_with_the_servers_values(scripted, capfd, kind, status, name, line):
    # The server's numbers pass through as they are (the simulator's are not CQG's 0..4).
    value = comhost.constant(name)
    capfd.readouterr()
    cqgcel.set_connection(kind, status)
    assert scripted.tradelink.statuses[-1] == (kind, value)
    assert cqgcel.connection(kind) == value
    out = capfd.readouterr().out
    if line:
        assert line.format(value) in out
    cqgcel.set_connection(kind, "csConnectionUp")
    up = C.csConnectionUp
    assert scripted.tradelink.statuses[-1] == (kind, up) and cqgcel.connection(kind) == up


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda: cqgcel.set_connection("broker", 2), ValueError, "kind must be"),
        (lambda: cqgcel.set_connection("gateway", 9), ValueError, "9 is not a connection status"),
        (lambda: cqgcel.set_connection("data", "csUp"), ValueError, "Unknown connection status"),
        (lambda: cqgcel.set_connection("data", "qtBid"), ValueError, "is not a connection status"),
        (lambda: cqgcel.set_connection("data", True), TypeError, "status must be"),
        (lambda: cqgcel.connection("both"), ValueError, "kind must be"),
    ],
    ids=["kind", "number", "name", "other-constant", "bool", "read-kind"],
)
def test_bad_connection_arguments_are_refused(scripted, call, error, text):
    with pytest.raises(error, match=text):
        call()


def test_while_the_gateway_is_down_orders_are_refused_and_fills_wait_for_it(scripted):
    link = scripted.tradelink
    working = place(scripted, 2, OrderType.LIMIT, 10.0)
    wait_until(lambda: working in scripted.order_updates, what="the order working")
    cqgcel.set_connection("gateway", "csConnectionDown")

    with pytest.raises(RuntimeError, match="Order placing timeout!"):
        place(scripted, 1, OrderType.LIMIT, 10.0)
    refused = [g for g in cqgcel.orders() if g.GWStatus == C.osRejectGW]
    assert len(refused) == 1
    scripted.cancel_order(working)
    wait_until(lambda: len(link.refusals) == 2, what="the cancel's refusal")
    assert link.refusals == [
        (C.ctAdded, refused[0].GUID, C.osRejectGW, 1010, "Gateway connection is down"),
        (C.ctChanged, working, C.osInOrderBook, 1010, "Gateway connection is down"),
    ]
    # A fill at the broker while the gateway is down reaches the host once it is back.
    before = scripted.counts["deal"]
    cqgcel.fill_order(working, 2, 10.0)
    assert scripted.counts["deal"] == before
    cqgcel.set_connection("gateway", "csConnectionUp")
    assert [d["order_id"] for d in list(scripted.deals.values())[before:]] == [working]
    assert scripted.counts["deal"] == before + 1
    assert scripted.order_updates[working]["status"] == OrderStatus.FILLED


def test_a_gateway_back_without_a_session_needs_a_new_logon(scripted):
    link = scripted.tradelink
    cqgcel.set_connection("gateway", "csConnectionNotLoggedOn")
    with pytest.raises(RuntimeError, match="Order placing timeout!"):
        place(scripted, 1, OrderType.LIMIT, 10.0)
    assert link.refusals[-1][3:] == (1011, "Not logged on to the gateway")
    link.Logon("trader", "secret")
    wait_until(lambda: link.statuses[-1] == ("gateway", C.csConnectionUp), what="log-on")
    guid = place(scripted, 1, OrderType.LIMIT, 10.0)
    assert cqgcel.order(guid).GWStatus == C.osInOrderBook


def test_while_data_is_down_nothing_arrives_and_the_market_goes_on(market):
    link = market.tradelink
    link.subscribe_orderbook("EP")
    link.subscribe_bar("EP", 5)
    cqgcel.advance_market(5.0)
    cqgcel.set_connection("data", "csConnectionDown")
    counts = dict(market.counts)
    bars_before = [b.datetime for b in link.get_subscribe_bars_data(EP)]
    guid = place(market, 3)
    cqgcel.advance_market(180.0)  # three minutes: new bars at the market
    assert market.counts["quote"] == counts["quote"]
    assert market.counts["orderbook"] == counts["orderbook"]
    assert [b.datetime for b in link.get_subscribe_bars_data(EP)] == bars_before
    # Orders are not market data: the market order filled and the host heard of it.
    assert sum(d["filled_quantity"] for d in deals_of(market, guid)) == 3

    cqgcel.set_connection("data", "csConnectionUp")
    cqgcel.advance_market(61.0)
    assert market.counts["quote"] > counts["quote"]
    assert market.counts["orderbook"] > counts["orderbook"]
    later = [b.datetime for b in link.get_subscribe_bars_data(EP)]
    assert later[-1] > bars_before[-1]


# -- fills sent again, busted, corrected ----------------------------------------------


def test_fills_sent_again_keep_their_ids(market):
    guid = place(market, 12)  # beyond one touch: several fills
    for _ in range(40):
        if cqgcel.market_snapshot()["orders"][guid]["status"] == "osFilled":
            break
        cqgcel.advance_market(0.25)
    first = [d["deal_id"] for d in deals_of(market, guid)]
    assert len(first) >= 2 and first == [f["id"] for f in fills_in_snapshot(guid)]
    assert cqgcel.resend_fills(guid) == len(first)
    assert [d["deal_id"] for d in deals_of(market, guid)] == first + first
    other = place(market, 1)
    cqgcel.advance_market(1.0)
    assert deals_of(market, other)
    assert cqgcel.resend_fills() == len(first) + 1
    with pytest.raises(ValueError, match="No order with GUID 'nope'"):
        cqgcel.resend_fills("nope")


def test_a_busted_and_a_corrected_fill_move_the_position(market):
    link = market.tradelink
    guid = place(market, 8)  # beyond one touch (5 at most): two fills or more
    cqgcel.advance_market(5.0)
    fills = fills_in_snapshot(guid)
    assert sum(f["quantity"] for f in fills) == 8 and len(fills) >= 2

    first = fills[0]
    busted = cqgcel.bust_fill(guid, first["id"])
    assert (busted.Id, busted.Status) == (first["id"], C.fsBusted)
    snap = cqgcel.market_snapshot()
    assert snap["positions"][(ACCOUNT, "F.US.EP")]["quantity"] == 8 - first["quantity"]
    assert [f["status"] for f in fills_in_snapshot(guid)][0] == "fsBusted"
    assert link.amended[-1] == (first["id"], C.fsBusted, first["quantity"], first["price"])
    position = {p.security: p for p in market.get_positions()}.get(EP)
    assert position.quantity == 8 - first["quantity"]

    last = fills[-1]
    corrected = cqgcel.correct_fill(guid, last["id"], last["quantity"], last["price"] - 1.0)
    assert (corrected.Id, corrected.Status, corrected.Price) == (last["id"], C.fsModified, last["price"] - 1.0)
    assert cqgcel.order(guid).Fills.Count == len(fills)
    assert (
        cqgcel.market_snapshot()["positions"][(ACCOUNT, "F.US.EP")]["quantity"] == 8 - first["quantity"]
    )  # a correction at the same quantity leaves the position
    with pytest.raises(ValueError, match="busted already"):
        cqgcel.bust_fill(guid, first["id"])
    with pytest.raises(ValueError, match="beyond its quantity"):
        cqgcel.correct_fill(guid, last["id"], 100, 1.0)
    with pytest.raises(ValueError, match="has no fill with id"):
        cqgcel.bust_fill(guid, "nope")


# -- restarts -------------------------------------------------------------------------


def working_market_order(gw, quantity=40):
    """A market order far beyond the displayed volume: it fills bit by bit over updates."""
    guid = place(gw, quantity)
    cqgcel.advance_market(0.5)
    order = cqgcel.market_snapshot()["orders"][guid]
    assert 0 < order["filled_quantity"] < quantity
    return guid


def test_a_new_session_in_the_same_process_finds_working_orders_and_later_fills():
    cqgcel.keep_broker_state(True)
    configure()
    gw = open_session()
    try:
        guid = working_market_order(gw)
        seen = {d["deal_id"] for d in deals_of(gw, guid)}
    finally:
        gw.close()
    cqgcel.advance_market(1.0)  # no session: the market goes on, fills reach nobody

    gw = open_session()
    try:
        order = gw.comHost.cqgCEL.Orders.ItemByGuid(guid)
        snap = cqgcel.market_snapshot()["orders"][guid]
        assert order.FilledQuantity == snap["filled_quantity"] > 0
        assert order.Properties(C.opAverageFillPrice).Value == pytest.approx(snap["average_price"])
        between = [f.Id for f in order.Fills if f.Id not in seen]
        assert between  # filled while no session was connected, still found
        assert gw.counts["deal"] == 0
        for _ in range(200):
            if cqgcel.market_snapshot()["orders"][guid]["status"] == "osFilled":
                break
            cqgcel.advance_market(0.25)
        later = deals_of(gw, guid)
        assert later and not {d["deal_id"] for d in later} & (seen | set(between))
        assert gw.order_updates[guid]["status"] == OrderStatus.FILLED
        assert place(gw, 1) != guid
    finally:
        gw.close()


SECOND_PROCESS = textwrap.dedent(
    """
    import json, sys
    from datetime import datetime
    sys.path.insert(0, sys.argv[2])
    from morvex_trader.gateways.cqg.wrapper import tradelink
    from morvex_trader.platform import cqgcel
    from tradelink_helpers import RecordingGateway
    tradelink.TIMEOUT = 3.0
    tradelink.ACCOUNT_SWITCH_PAUSE = 0.0
    cqgcel.configure_market(
        seed=int(sys.argv[3]), speed=0.0, start_time=datetime(2024, 3, 4, 9, 30),
        history_days=0.05,
        instruments=[{"full_name": "F.US.EP", "tick_size": 0.25, "multiplier": 50.0,
                      "start_price": 5000.0, "max_book_volume": 5}],
        accounts=[{"gw_account_id": 200001, "name": "PAPER1", "balance": 250_000.0}],
        state_file=sys.argv[1])
    gw = RecordingGateway()
    gw.connect(); gw.logon("u", "p"); gw.subscribe_account(200001)
    guid = sys.argv[4]
    order = gw.comHost.cqgCEL.Orders.ItemByGuid(guid)
    found = {"filled": order.FilledQuantity, "fills": [f.Id for f in order.Fills],
             "now": str(cqgcel.market_snapshot()["now"])}
    for _ in range(400):
        if cqgcel.market_snapshot()["orders"][guid]["status"] == "osFilled":
            break
        cqgcel.advance_market(0.25)
    found["later"] = [d["deal_id"] for k, d in gw.calls if k == "deal"]
    found["snapshot"] = cqgcel.market_snapshot()["fills"][-1]["id"]
    gw.close()
    print(json.dumps(found))
"""
)


def run_second_process(state: Path, seed: int, guid: str):
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"))
    return subprocess.run(
        [sys.executable, "-c", SECOND_PROCESS, str(state), str(ROOT / "tests" / "python"), str(seed), guid],
        env=env,
        capture_output=True,
        text=True,
        timeout=40,
    )


def test_a_new_process_with_the_same_seed_and_state_file_carries_on(tmp_path):
    state = tmp_path / "broker.state"
    configure(state_file=str(state))
    gw = open_session()
    try:
        guid = working_market_order(gw)
        seen = [d["deal_id"] for d in deals_of(gw, guid)]
    finally:
        gw.close()  # CQGCEL.Shutdown writes the state
    assert state.exists()
    # What this process's market would do next is what the other process must do.
    configure(state_file=str(state))
    gw = open_session()
    try:
        for _ in range(400):
            if cqgcel.market_snapshot()["orders"][guid]["status"] == "osFilled":
                break
            cqgcel.advance_market(0.25)
        expected = [d["deal_id"] for d in deals_of(gw, guid)]
    finally:
        cqgcel.reset()  # forgets the state file: this close leaves it as it was
        gw.close()

    result = run_second_process(state, 7, guid)
    assert result.returncode == 0, result.stderr[-2000:]
    found = json.loads(result.stdout.strip().splitlines()[-1])
    assert found["fills"] == seen and found["filled"] > 0
    assert found["later"] == expected and expected


@pytest.mark.parametrize(
    "content, seed, text",
    [
        (None, 8, "seed 7"),
        ("garbage", 7, "expected 'morvex-cqgcel-broker-state'"),
        ("", 7, "the file ends"),
    ],
    ids=["another-seed", "not-a-state", "empty"],
)
def test_a_state_file_that_does_not_fit_is_refused(tmp_path, content, seed, text):
    state = tmp_path / "broker.state"
    if content is None:
        configure(state_file=str(state))
        open_session().close()
    else:
        state.write_text(content)
    cqgcel.reset()
    with pytest.raises(ValueError, match=text):
        configure(seed=seed, state_file=str(state))
    configure(seed=seed)
    with pytest.raises(ValueError, match="cannot be used"):
        cqgcel.load_broker_state(str(state))
    with pytest.raises(ValueError, match="cannot be read"):
        cqgcel.load_broker_state(str(tmp_path / "missing"))


def test_a_scripted_state_is_saved_and_loaded(tmp_path):
    gw = open_session(100001)
    try:
        guid = place(gw, 3, OrderType.LIMIT, 10.0)
        cqgcel.fill_order(guid, 1, 10.0)
        path = tmp_path / "scripted.state"
        cqgcel.save_broker_state(str(path))
    finally:
        gw.close()
    cqgcel.reset()
    cqgcel.load_broker_state(str(path))
    gw = open_session(100001)
    try:
        order = cqgcel.order(guid)
        assert (order.FilledQuantity, order.GWStatus) == (1, C.osInOrderBook)
        assert [f.Id for f in order.Fills] == [1]
        cqgcel.fill_order(guid, 2, 10.0)
        assert gw.order_updates[guid]["status"] == OrderStatus.FILLED
        assert [p.quantity for p in gw.get_positions()] == [3]
    finally:
        gw.close()
