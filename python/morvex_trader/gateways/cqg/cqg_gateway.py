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
from typing import Any, Callable, Iterable, Mapping, Optional

from morvex_trader.gateways import BaseGateway
from morvex_trader.gateways.cqg.watching_sink import GATEWAY, ConnectionState, watching


class GatewayDown(RuntimeError):
    """An order refused because the gateway connection is down."""


class CqgGateway(BaseGateway):
    """Gateway to CQG through the native `comhost` and `tradelink` modules.

    `securities` maps CQG symbols (full, e.g. "F.US.EP", or short, e.g. "EP") to the host's
    security records; the look-ups below work in both directions.
    """

    def __init__(self, securities: Mapping[str, Any], gateway_name: str = "CQG",
                 custom_configuration: Optional[Callable[[Any], Any]] = None,
                 sink_class: Optional[type] = None) -> None:
        super().__init__(gateway_name)
        self._symbol_to_security: dict[str, Any] = {}
        self._security_to_symbol: dict[Any, str] = {}
        for symbol, security in securities.items():
            self.add_security(symbol, security)
        self.custom_configuration = custom_configuration
        # TradeLink, or a Python class derived from it (None: TradeLink).
        self.sink_class = sink_class
        self.comHost: Any = None
        self.tradelink: Any = None
        self.logged_on = False
        self.account_id: Optional[int] = None
        # Maps that TradeLink reads and writes (on the COM thread).
        self.cqg_quotes: dict[Any, Any] = {}
        self.cqg_orderbooks: dict[Any, Any] = {}
        # What the callbacks recorded: the latest record per security, order and deal.
        self.latest_quotes: dict[Any, Any] = {}
        self.latest_orderbooks: dict[Any, Any] = {}
        self.order_updates: dict[str, dict] = {}
        self.deals: dict[Any, dict] = {}
        self.events: "queue.SimpleQueue[tuple[str, Any]]" = queue.SimpleQueue()
        self.counts = {"quote": 0, "orderbook": 0, "order": 0, "deal": 0, "fill_correction": 0}
        self.connection = ConnectionState()
        self.quote_times: dict[Any, float] = {}          # security -> monotonic time of its last quote
        self.subscriptions: dict[str, tuple[int, str]] = {}  # CQG symbol -> (bar look-back, frequency)

    # -- symbol look-ups -------------------------------------------------------------
    def add_security(self, cqg_symbol: str, security: Any) -> None:
        self._symbol_to_security[cqg_symbol] = security
        self._symbol_to_security.setdefault(cqg_symbol.rsplit(".", 1)[-1], security)
        self._security_to_symbol[security] = cqg_symbol

    def get_mx_security_from_cqg_symbol(self, symbol: str) -> Optional[Any]:
        security = self._symbol_to_security.get(symbol)
        if security is None:
            security = self._symbol_to_security.get(symbol.rsplit(".", 1)[-1])
        return security

    def get_cqg_symbol_from_mx_security(self, security: Any) -> str:
        return self._security_to_symbol[security]

    @property
    def securities(self) -> Iterable[Any]:
        return self._security_to_symbol.keys()

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
        self.tradelink.Logon(user_name, password)
        self.logged_on = True

    def subscribe_market_data(self, cqg_symbol: str, bar_lookback: int, freq: str = "1Min") -> None:
        """Quotes, order book and bars of one symbol. A symbol CQG refuses fails here with
        CQG's error (TradeLink's own subscription only ends its wait on a refusal)."""
        self.tradelink.subscribe_quote(cqg_symbol)
        refused = getattr(self.tradelink, "refused_symbols", {}).pop(cqg_symbol, None)
        if refused is not None:
            raise ValueError(f"CQG refused the symbol {cqg_symbol!r}: {refused}")
        if self.tradelink.get_instrument_from_cqg_symbol(cqg_symbol) is None:
            raise ValueError(f"CQG did not resolve the symbol {cqg_symbol!r} in time")
        self.tradelink.subscribe_orderbook(cqg_symbol)
        self.tradelink.subscribe_bar(cqg_symbol, bar_lookback, freq)
        self.subscriptions[cqg_symbol] = (bar_lookback, freq)

    def subscribe_account(self, gw_account_id: int) -> None:
        self.tradelink.subscribe_account_and_positions(gw_account_id)
        self.account_id = gw_account_id

    def close(self) -> None:
        """Logs off (when logged on with an account: log-off reports the account), then
        shuts the COM host down, also when the log-off fails."""
        if self.comHost is None:
            return
        try:
            # GWAccountID exists once an account was subscribed (here or on tradelink).
            if self.logged_on and hasattr(self.tradelink, "GWAccountID"):
                self.logged_on = False
                self.tradelink.Logoff()
        finally:
            comhost, self.comHost = self.comHost, None
            self.tradelink = None
            comhost.Shutdown()

    # -- trading ---------------------------------------------------------------------
    def place_order(self, order: Any) -> str:
        if self.connection.is_down(GATEWAY):
            raise GatewayDown(f"CQG gateway connection is {self.connection.status(GATEWAY)}: order not sent")
        order_id = self.tradelink.place_order(order)
        order.order_id = order_id
        return order_id

    def cancel_order(self, order_id: str) -> None:
        self.tradelink.cancel_order(order_id)

    def get_balance(self) -> Any:
        self.tradelink.update_account_balance()
        return self.tradelink.account_balance

    def get_positions(self) -> list:
        self.tradelink.update_positions()
        return list(self.tradelink.positions)

    # -- callbacks from TradeLink (COM thread) ---------------------------------------
    def process_quote(self, quote: Any) -> None:
        self.counts["quote"] += 1
        self.latest_quotes[quote.security] = quote
        self.quote_times[quote.security] = time.monotonic()

    def process_orderbook(self, orderbook: Any) -> None:
        self.counts["orderbook"] += 1
        self.latest_orderbooks[orderbook.security] = orderbook

    def process_order(self, update: dict) -> None:
        self.counts["order"] += 1
        self.order_updates[update["order_id"]] = update
        self.events.put(("order", update))

    def process_deal(self, deal: dict) -> None:
        self.counts["deal"] += 1
        self.deals[deal["deal_id"]] = deal
        self.events.put(("deal", deal))

    def process_fill_correction(self, correction: dict) -> None:
        """A fill the broker busted, cancelled or corrected (from the watching sink)."""
        self.counts["fill_correction"] += 1
        self.events.put(("fill_correction", correction))


def _resolution_recording(trade_link: type) -> type:
    """The default sink: TradeLink that also remembers why CQG refused a symbol."""

    class ResolutionRecordingTradeLink(trade_link):  # type: ignore[misc, valid-type]
        def __init__(self) -> None:
            super().__init__()
            self.refused_symbols: dict[str, str] = {}

        def OnInstrumentResolved(self, symbol: Any, cqgInstrument: Any, cqgError: Any) -> None:
            if cqgError is not None:
                self.refused_symbols[symbol] = f"{cqgError.Description} (code {cqgError.Code})"
            super().OnInstrumentResolved(symbol, cqgInstrument, cqgError)

    return ResolutionRecordingTradeLink
