"""Helpers shared by the TradeLink and CQG gateway tests: a recording host gateway and the
securities the simulator's catalogue knows."""

from __future__ import annotations

from morvex_trader.core.constants import Exchange
from morvex_trader.core.security import Futures
from morvex_trader.gateways.cqg.cqg_gateway import CqgGateway

EP = Futures("EP", "E-mini S&P 500", exchange=Exchange.SMART)
ENQ = Futures("ENQ", "E-mini Nasdaq-100", exchange=Exchange.SMART)
CLE = Futures("CLE", "Crude oil", exchange=Exchange.IDEALPRO)
SECURITIES = {"F.US.EP": EP, "F.US.ENQ": ENQ, "F.US.CLE": CLE}


class RecordingGateway(CqgGateway):
    """Keeps every callback, in order, as (kind, record)."""

    def __init__(self, *args, **kwargs):
        super().__init__(dict(SECURITIES), *args, **kwargs)
        self.calls: list[tuple[str, object]] = []

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


def new_texts(trace, action):
    """Runs `action` and returns the trace texts written meanwhile (prefix removed)."""
    before = len(trace.texts())
    action()
    return trace.texts()[before:]
