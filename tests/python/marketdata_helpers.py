"""Shared pieces of the market-data tests: a recording host gateway connected to the
simulator, securities, and CQG bar rows."""

from __future__ import annotations

from datetime import datetime, timedelta

import pytest

from morvex_trader.core.security import Futures
from morvex_trader.gateways.cqg.cqg_gateway import CqgGateway
from morvex_trader.gateways.cqg.wrapper import tradelink

INVALID = -2147483648
EP = Futures("EP", "E-mini S&P 500")
NQ = Futures("NQ", "E-mini Nasdaq-100")
T0 = datetime(2024, 5, 6, 9, 30)


class RecordingGateway(CqgGateway):
    """Knows F.US.EP and F.US.NQ; keeps every order book handed over."""

    def __init__(self) -> None:
        super().__init__({"F.US.EP": EP, "F.US.NQ": NQ})
        self.orderbooks: list = []

    def process_orderbook(self, orderbook) -> None:
        self.orderbooks.append(orderbook)


def cqg_bar(minute: int, close: float = 100.0, volume=10, microsecond: int = 0) -> tuple:
    """A CQG bar row (Timestamp, Open, High, Low, Close, ActualVolume)."""
    stamp = T0 + timedelta(minutes=minute, microseconds=microsecond)
    return (stamp, close - 0.5, close + 1.0, close - 1.0, close, volume)


def journal_of(object_name: str, entries: list) -> list[tuple]:
    """(member, args) of the journal entries of one object kind, in order."""
    return [(member, args) for obj, member, _, args in entries if obj == object_name]


@pytest.fixture
def gateway(fresh_simulator, monkeypatch):
    """A recording gateway connected to a fresh simulator (waits of 2 s at most)."""
    monkeypatch.setattr(tradelink, "TIMEOUT", 2.0)
    gw = RecordingGateway()
    gw.connect()
    yield gw
    gw.close()
