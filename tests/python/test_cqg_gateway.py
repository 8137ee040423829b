"""The host's CQG gateway over TradeLink and the simulator: start-up order, look-ups,
callbacks and shutdown."""

from __future__ import annotations

import pytest

from comhost_helpers import TraceReader, wait_until
from morvex_trader.core.constants import Direction, OrderType
from morvex_trader.core.order import Order
from morvex_trader.gateways.cqg.wrapper import comhost, tradelink
from morvex_trader.platform import cqgcel
from tradelink_helpers import CLE, EP, RecordingGateway

pytestmark = pytest.mark.timeout(30)
C = comhost.constants


@pytest.fixture(autouse=True)
def fresh(monkeypatch):
    cqgcel.reset()
    monkeypatch.setattr(tradelink, "TIMEOUT", 0.3)
    monkeypatch.setattr(tradelink, "ACCOUNT_SWITCH_PAUSE", 0.0)
    yield
    cqgcel.reset()


@pytest.fixture
def gateway():
    gw = RecordingGateway()
    yield gw
    gw.close()


def test_connect_hands_the_gateway_to_tradelink(gateway, capfd):
    configured = []
    gateway.custom_configuration = lambda cfg: configured.append(cfg.UseOrderSide)
    gateway.connect()
    link = gateway.tradelink
    assert isinstance(link, tradelink.TradeLink)
    assert link.gateway is gateway and link.comHost is gateway.comHost
    assert configured == [True]  # the custom configuration ran after the defaults
    texts = TraceReader(capfd).texts()
    assert texts.index("Sink subscribed") < texts.index("CQGCEL has started.")
    with pytest.raises(RuntimeError, match="already"):
        gateway.connect()


def test_failed_start_shuts_the_host_down(gateway):
    cqgcel.set_answer("Startup", "fail", code=5, description="no licence")
    with pytest.raises(RuntimeError, match="^CQGCEL failed to start$"):
        gateway.connect()
    assert gateway.comHost is None and gateway.tradelink is None


@pytest.mark.parametrize(
    "symbol, expected",
    [
        ("F.US.EP", EP),
        ("EP", EP),
        ("CLE", CLE),
        ("F.EU.EP", EP),
        ("XYZ", None),
    ],
    ids=["full", "short", "short-2", "other-prefix", "unknown"],
)
def test_security_lookups(gateway, symbol, expected):
    assert gateway.get_mx_security_from_cqg_symbol(symbol) == expected


def test_symbol_of_a_security(gateway):
    assert gateway.get_cqg_symbol_from_mx_security(EP) == "F.US.EP"
    with pytest.raises(KeyError):
        gateway.get_cqg_symbol_from_mx_security(object())


def test_callbacks_keep_the_latest_records_and_queue_orders(gateway):
    gateway.connect()
    gateway.logon("trader", "secret")
    gateway.subscribe_account(100001)
    gateway.tradelink.subscribe_quote("EP")
    cqgcel.push_quotes("EP", [(C.qtTrade, 10.0)])
    cqgcel.push_quotes("EP", [(C.qtTrade, 11.0)])
    assert gateway.latest_quotes[EP].last_price == 11.0 and gateway.counts["quote"] == 2
    order = Order(EP, 10.0, 1, Direction.LONG, OrderType.LIMIT)
    guid = gateway.place_order(order)
    assert order.order_id == guid
    wait_until(lambda: guid in gateway.order_updates, timeout=1, what="order working")
    cqgcel.fill_order(guid, 1, 10.0)
    events = []
    while not gateway.events.empty():
        events.append(gateway.events.get())
    assert [kind for kind, _ in events] == ["order", "order", "deal"]
    assert gateway.order_updates[guid]["filled_quantity"] == 1
    assert [p.quantity for p in gateway.get_positions()] == [1]
    assert gateway.get_balance().cash == 1_000_000.0


def test_close_logs_off_then_shuts_down(gateway, capfd):
    gateway.connect()
    gateway.logon("trader", "secret")
    gateway.subscribe_account(100001)
    capfd.readouterr()
    gateway.close()
    texts = TraceReader(capfd).texts()
    assert texts.index("Successfully logoff account SIM100001") < texts.index("CQGCEL is being shut down..")
    assert gateway.comHost is None
    gateway.close()  # a second close does nothing


def test_close_without_an_account_skips_the_logoff(gateway):
    gateway.connect()
    gateway.logon("trader", "secret")
    gateway.close()
    assert not [e for e in cqgcel.journal() if e[1] == "GWLogoff"]
