"""Helpers shared by the TradeLink, market-data and CQG gateway tests: one recording host
gateway, the securities the simulator's catalogue knows, CQG bar rows and journal views."""

from __future__ import annotations

from datetime import datetime, timedelta

import pytest

from morvex_trader.core.constants import Exchange
from morvex_trader.core.security import Futures
from morvex_trader.gateways.cqg.cqg_gateway import CqgGateway
from morvex_trader.gateways.cqg.wrapper import tradelink

EP = Futures("EP", "E-mini S&P 500", exchange=Exchange.SMART)
ENQ = Futures("ENQ", "E-mini Nasdaq-100", exchange=Exchange.SMART)
NQ = Futures("NQ", "E-mini Nasdaq-100")
CLE = Futures("CLE", "Crude oil", exchange=Exchange.IDEALPRO)
SECURITIES = {"F.US.EP": EP, "F.US.ENQ": ENQ, "F.US.NQ": NQ, "F.US.CLE": CLE}

INVALID = -2147483648
T0 = datetime(2024, 5, 6, 9, 30)


class RecordingGateway(CqgGateway):
    """Keeps every callback, in order, as (kind, record)."""

    def __init__(self, *args, **kwargs):
        super().__init__(dict(SECURITIES), *args, **kwargs)
        self.calls: list[tuple[str, object]] = []

    @property
    def orderbooks(self) -> list:
        """The order books handed over, in order."""
        return [record for kind, record in self.calls if kind == "orderbook"]

    def process_quote(self, quote):
        super().process_quote(quote)
        self.calls.append(("quote", quote))

    def process_orderbook(self, orderbook):
        super().process_orderbook(orderbook)
        self.calls.append(("orderbook", orderbook))

    def process_order(self, update):
        super().process_order(update)
        self.calls.append(("order", update))

    def process_deal(self, deal):
        super().process_deal(deal)
        self.calls.append(("deal", deal))


@pytest.fixture
def gateway(fresh_simulator, monkeypatch):
    """A recording gateway connected to a fresh simulator (waits of 2 s at most)."""
    monkeypatch.setattr(tradelink, "TIMEOUT", 2.0)
    gw = RecordingGateway()
    gw.connect()
    yield gw
    gw.close()


def new_texts(trace, action):
    """Runs `action` and returns the trace texts written meanwhile (prefix removed)."""
    before = len(trace.texts())
    action()
    return trace.texts()[before:]


def cqg_bar(minute: int, close: float = 100.0, volume=10, microsecond: int = 0) -> tuple:
    """A CQG bar row (Timestamp, Open, High, Low, Close, ActualVolume)."""
    stamp = T0 + timedelta(minutes=minute, microseconds=microsecond)
    return (stamp, close - 0.5, close + 1.0, close - 1.0, close, volume)


def journal_of(object_name: str, entries: list) -> list[tuple]:
    """(member, args) of the journal entries of one object kind, in order."""
    return [(member, args) for obj, member, _, args in entries if obj == object_name]
