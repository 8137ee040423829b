"""The host's CQG gateway: starts the COM host with `TradeLink` and serves its callbacks.

Calling order: `CqgGateway(...)`, `connect()` (creates the `ComHost`, `Init` with
`TradeLink`, checks `errorHappened`, `TradeLink.Init(self)`), `logon(...)`,
`subscribe_account(...)`, then the trading calls (here or through `tradelink`), and
`close()` at the end (log-off when logged on with an account, then `ComHost.Shutdown`).

The four `process_` callbacks run on the COM thread. They only record what arrived
(latest record per key, plus a queue of order updates and deals that the engine drains on
its own thread), so the COM thread is never held up by the engine.

The default sink is TradeLink watched by `watching_sink`: connection statuses land in
`connection`, busted and corrected fills in the event queue (a sink class given by the
host is used as it is; derive it from `watching_sink.watching(TradeLink)` to keep this). While the
gateway connection is down, `place_order` refuses with the reason, before CQG is asked.
"""

from __future__ import annotations

import queue
import time
from typing import TYPE_CHECKING, Any, Callable, Iterable, Mapping, Optional

from morvex_trader.gateways import BaseGateway
from morvex_trader.gateways.cqg.watching_sink import GATEWAY, ConnectionState, watching

if TYPE_CHECKING:
    from morvex_trader.core.balance import AccountBalance
    from morvex_trader.core.data import OrderBook, Quote
    from morvex_trader.core.order import Order
    from morvex_trader.core.position import PositionData
    from morvex_trader.core.security import Security
    from morvex_trader.gateways.cqg.wrapper.comhost import ComHost, Dispatch
    from morvex_trader.gateways.cqg.wrapper.tradelink import TradeLink


class GatewayDown(RuntimeError):
    """An order refused because the gateway connection is down."""


class CqgGateway(BaseGateway):
    """Gateway to CQG through the native `comhost` and `tradelink` modules.

    `securities` maps CQG symbols (full, e.g. "F.US.EP", or short, e.g. "EP") to the host's
    security records; the look-ups below work in both directions.
    """

    def __init__(
        self,
        securities: Mapping[str, Security],
        gateway_name: str = "CQG",
        custom_configuration: Optional[Callable[[Dispatch], object]] = None,
        sink_class: Optional[type] = None,
    ) -> None:
        super().__init__(gateway_name)
        self._symbol_to_security: dict[str, Security] = {}
        self._security_to_symbol: dict[Security, str] = {}
        for symbol, security in securities.items():
            self.add_security(symbol, security)
        self.custom_configuration = custom_configuration
        # TradeLink, or a Python class derived from it (None: TradeLink).
        self.sink_class = sink_class
        self.comHost: Optional[ComHost] = None
        # The sink while connected: TradeLink or the host's class derived from it.
        self.tradelink: Optional[TradeLink] = None
        self.logged_on = False
        self.account_id: Optional[int] = None
        # Maps that TradeLink reads and writes (on the COM thread).
        self.cqg_quotes: dict[Security, Quote] = {}
        self.cqg_orderbooks: dict[Security, OrderBook] = {}
        # What the callbacks recorded: the latest record per security, order and deal.
        self.latest_quotes: dict[Security, Quote] = {}
        self.latest_orderbooks: dict[Security, OrderBook] = {}
        self.order_updates: dict[str, dict[str, Any]] = {}
        self.deals: dict[object, dict[str, Any]] = {}  # fill id (as CQG gives it) -> deal
        # (kind, payload): "order", "deal" or "fill_correction", and its dict
        self.events: queue.SimpleQueue[tuple[str, dict[str, Any]]] = queue.SimpleQueue()
        self.counts = {"quote": 0, "orderbook": 0, "order": 0, "deal": 0, "fill_correction": 0}
        self.connection = ConnectionState()
        self.quote_times: dict[Security, float] = {}  # security -> monotonic time of its last quote
        self.subscriptions: dict[str, tuple[int, str]] = {}  # CQG symbol -> (bar look-back, frequency)

    # -- symbol look-ups -------------------------------------------------------------
    def add_security(self, cqg_symbol: str, security: Security) -> None:
        self._symbol_to_security[cqg_symbol] = security
        self._symbol_to_security.setdefault(cqg_symbol.rsplit(".", 1)[-1], security)
        self._security_to_symbol[security] = cqg_symbol

    def get_mx_security_from_cqg_symbol(self, symbol: str) -> Optional[Security]:
        security = self._symbol_to_security.get(symbol)
        if security is None:
            security = self._symbol_to_security.get(symbol.rsplit(".", 1)[-1])
        return security

    def get_cqg_symbol_from_mx_security(self, security: Security) -> str:
        return self._security_to_symbol[security]

    @property
    def securities(self) -> Iterable[Security]:
        return self._security_to_symbol.keys()

    @property
    def link(self) -> TradeLink:
        """The connected sink (RuntimeError before `connect` and after `close`)."""
        if self.tradelink is None:
            raise RuntimeError("CqgGateway is not connected")
        return self.tradelink

    # -- life cycle ------------------------------------------------------------------
    def connect(self) -> None:
        from morvex_trader.gateways.cqg.wrapper.comhost import ComHost
        from morvex_trader.gateways.cqg.wrapper.tradelink import TradeLink

        if self.comHost is not None:
            raise RuntimeError("CqgGateway.connect has already been called")
        self.comHost = ComHost()
        try:
            # A class given by the host is used as it is: derive it from
            # watching_sink.watching(TradeLink) to keep the session watch.
            sink_class = self.sink_class or watching(_resolution_recording(TradeLink))
            sink = self.comHost.Init(sink_class, self.custom_configuration)
        except BaseException:
            comhost, self.comHost = self.comHost, None
            comhost.Shutdown()
            raise
        if self.comHost.errorHappened:
            comhost, self.comHost = self.comHost, None
            comhost.Shutdown()
            raise RuntimeError("CQGCEL failed to start")
        sink.Init(self)
        self.tradelink = sink

    def logon(self, user_name: str, password: str) -> None:
        self.link.Logon(user_name, password)
        self.logged_on = True

    def subscribe_market_data(self, cqg_symbol: str, bar_lookback: int, freq: str = "1Min") -> None:
        """Quotes, order book and bars of one symbol. A symbol CQG refuses fails here with
        CQG's error (TradeLink's own subscription only ends its wait on a refusal)."""
        self.link.subscribe_quote(cqg_symbol)
        refused = getattr(self.link, "refused_symbols", {}).pop(cqg_symbol, None)
        if refused is not None:
            raise ValueError(f"CQG refused the symbol {cqg_symbol!r}: {refused}")
        if self.link.get_instrument_from_cqg_symbol(cqg_symbol) is None:
            raise ValueError(f"CQG did not resolve the symbol {cqg_symbol!r} in time")
        self.link.subscribe_orderbook(cqg_symbol)
        self.link.subscribe_bar(cqg_symbol, bar_lookback, freq)
        self.subscriptions[cqg_symbol] = (bar_lookback, freq)

    def subscribe_account(self, gw_account_id: int) -> None:
        self.link.subscribe_account_and_positions(gw_account_id)
        self.account_id = gw_account_id

    def close(self) -> None:
        """Logs off (when logged on with an account: log-off reports the account), then
        shuts the COM host down, also when the log-off fails."""
        if self.comHost is None:
            return
        try:
            # GWAccountID exists once an account was subscribed (here or on tradelink).
            link = self.tradelink
            if self.logged_on and link is not None and hasattr(link, "GWAccountID"):
                self.logged_on = False
                link.Logoff()
        finally:
            comhost, self.comHost = self.comHost, None
            self.tradelink = None
            comhost.Shutdown()

    # -- trading ---------------------------------------------------------------------
    def place_order(self, order: Order) -> str:
        if self.connection.is_down(GATEWAY):
            raise GatewayDown(f"CQG gateway connection is {self.connection.status(GATEWAY)}: order not sent")
        order_id = self.link.place_order(order)
        order.order_id = order_id
        return order_id

    def cancel_order(self, order_id: str) -> None:
        self.link.cancel_order(order_id)

    def get_balance(self) -> AccountBalance:
        self.link.update_account_balance()
        return self.link.account_balance

    def get_positions(self) -> list[PositionData]:
        self.link.update_positions()
        return list(self.link.positions)

    # -- callbacks from TradeLink (COM thread) ---------------------------------------
    def process_quote(self, quote: Quote) -> None:
        self.counts["quote"] += 1
        self.latest_quotes[quote.security] = quote
        self.quote_times[quote.security] = time.monotonic()

    def process_orderbook(self, orderbook: OrderBook) -> None:
        self.counts["orderbook"] += 1
        self.latest_orderbooks[orderbook.security] = orderbook

    def process_order(self, update: dict[str, Any]) -> None:
        self.counts["order"] += 1
        self.order_updates[update["order_id"]] = update
        self.events.put(("order", update))

    def process_deal(self, deal: dict[str, Any]) -> None:
        self.counts["deal"] += 1
        self.deals[deal["deal_id"]] = deal
        self.events.put(("deal", deal))

    def process_fill_correction(self, correction: dict[str, Any]) -> None:
        """A fill the broker busted, cancelled or corrected (from the watching sink)."""
        self.counts["fill_correction"] += 1
        self.events.put(("fill_correction", correction))


def _resolution_recording(trade_link: type) -> type:
    """The default sink: TradeLink that also remembers why CQG refused a symbol."""

    class ResolutionRecordingTradeLink(trade_link):
        def __init__(self) -> None:
            super().__init__()
            self.refused_symbols: dict[str, str] = {}

        def OnInstrumentResolved(
            self, symbol: str, cqgInstrument: Optional[Dispatch], cqgError: Optional[Dispatch]
        ) -> None:
            if cqgError is not None:
                self.refused_symbols[symbol] = f"{cqgError.Description} (code {cqgError.Code})"
            super().OnInstrumentResolved(symbol, cqgInstrument, cqgError)

    return ResolutionRecordingTradeLink
