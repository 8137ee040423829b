"""The CQG gateway TradeLink: session, quotes, order book, bars, orders, account.

`TradeLink` is CQGCEL's event sink (a `CELSinkBase`) and the host gateway's way to log
on, subscribe market data, trade and read its account. The COM host constructs it on its
COM thread (`ComHost.Init(TradeLink, ...)`); the host gateway then calls `Init(gateway)`.
Operations other than events run on the caller's thread (never the COM thread) and wait
at most `TIMEOUT` seconds, read at each wait. Events run on the COM thread; a Python
subclass may override any of them (and call `super()`).
"""

from __future__ import annotations

import threading
from datetime import tzinfo
from typing import Any, Final, Optional

from morvex_trader.core.balance import AccountBalance
from morvex_trader.core.constants import OrderStatus
from morvex_trader.core.order import Order
from morvex_trader.core.position import PositionData
from morvex_trader.gateways.cqg.wrapper.comhost import CELSinkBase, Dispatch, ManualResetEvent

TIMEOUT: float
"""Seconds every wait of the module lasts at most (default 10); assign to change it."""
ACCOUNT_SWITCH_PAUSE: float
"""Seconds between switching account updates off and on again (default 2)."""
TIMEZONE: Final[tzinfo]
"""The "Asia/Hong_Kong" time zone (no operation reads it)."""
INVALID_VALUE: Final[int]
"""-2147483648: CQG's mark of an invalid bar value."""
FREQ_ALLOWED: Final[tuple[str, str]]
"""("1Day", "1Min"): the bar frequencies subscribe_bar accepts."""
lock: threading.Lock
"""Serialises update_account_balance and update_positions across every TradeLink."""

def _set_place_timing(on: bool) -> None:
    """Benchmark hook: records place_order's steps (off by default; costs one flag read)."""

def QuoteType2String(quoteType: int) -> str:
    """The name of a CQG quote type; KeyError outside the 17-entry table."""

def TickType2String(tickType: int) -> str:
    """The name of a CQG tick price type; KeyError outside the 4-entry table."""

def convert_orderstatus_cqg2mx(status: int) -> OrderStatus:
    """The host status of a CQG order status; ValueError "Order status <status> is not
    valid to be handled by morvex_trader." outside the 17 statuses."""

class TradeLink(CELSinkBase):
    @property
    def eventGatewayIsUp(self) -> ManualResetEvent: ...
    @property
    def eventGatewayIsDown(self) -> ManualResetEvent: ...
    @property
    def eventAccountIsReady(self) -> ManualResetEvent: ...
    @property
    def eventOrderPlaced(self) -> ManualResetEvent: ...
    @property
    def eventQuoteDone(self) -> ManualResetEvent: ...
    @property
    def eventOrderbookDone(self) -> ManualResetEvent: ...
    @property
    def eventBarDone(self) -> ManualResetEvent: ...
    subscribe_bars_data: dict[Any, list[Any]]
    account_balance: AccountBalance
    positions: list[PositionData]
    order_id: Optional[str]
    @property
    def comHost(self) -> Any: ...
    @property
    def gateway(self) -> Any:
        """The host gateway given to Init; its callables were looked up then (see Init)."""
    GWAccountID: int
    """AttributeError until an account has been subscribed."""

    def __init__(self) -> None: ...

    # Session.
    def Init(self, gateway: Any) -> None:
        """Takes the gateway's comHost (its cqgCEL) and the gateway itself.

        The gateway's six callables (get_mx_security_from_cqg_symbol,
        get_cqg_symbol_from_mx_security, process_quote, process_orderbook, process_order,
        process_deal) are looked up here, once, and kept: assigning another function to
        one of them on the gateway afterwards has no effect on this TradeLink (override
        them in the gateway's class instead). One the gateway lacks at Init is looked up
        at its first use, then kept the same way."""
    def Logon(self, user_name: str, password: str) -> None:
        """RuntimeError "GW connection timeout!" when the gateway does not come up."""
    def Logoff(self) -> None:
        """RuntimeError "GW disconnection timeout!"; AttributeError without an account."""
    def get_account_from_gwaccountid(self, GWAccountID: int) -> Optional[Dispatch]: ...
    def OnGWConnectionStatusChanged(self, connectionStatus: int) -> None: ...
    def OnDataConnectionStatusChanged(self, newStatus: int) -> None: ...
    def OnDataError(self, cqgError: Optional[Dispatch], errorDescription: Any) -> None: ...

    # Instruments and quotes.
    def get_instrument_from_cqg_symbol(self, cqg_symbol: str) -> Optional[Dispatch]: ...
    def subscribe_quote(self, cqg_symbol: str) -> None: ...
    def unsubscribe_quote(self, cqg_symbol: str) -> None: ...
    def OnInstrumentResolved(
        self, symbol: str, cqgInstrument: Optional[Dispatch], cqgError: Optional[Dispatch]
    ) -> None: ...
    def OnInstrumentChanged(
        self, cqgInstrument: Dispatch, cqgQuotes: Dispatch, cqgInstrumentProperties: Any
    ) -> None: ...

    # Order book.
    def subscribe_orderbook(self, cqg_symbol: str) -> None: ...
    def unsubscribe_orderbook(self, cqg_symbol: str) -> None: ...
    def get_ticks_from_cqg_symbol(self, cqg_symbol: str) -> Optional[Dispatch]: ...
    def OnTicksResolved(self, cqgTicks: Dispatch, cqgError: Optional[Dispatch]) -> None: ...
    def OnTicksAdded(self, cqgTicks: Dispatch, addedTicksCount: int) -> None: ...
    def OnTicksRemoved(self, cqgTicks: Dispatch, removedTickIndex: int) -> None: ...

    # Timed bars and bar retrieval.
    def subscribe_bar(self, cqg_symbol: str, lookback_period: int, freq: str = "1Min") -> None: ...
    def unsubscribe_bar(self, cqg_symbol: str) -> None: ...
    def get_timedbars_from_cqg_symbol(self, cqg_symbol: str) -> Optional[Dispatch]: ...
    def OnTimedBarsResolved(self, cqgTimedBars: Dispatch, cqgError: Optional[Dispatch]) -> None: ...
    def OnTimedBarsAdded(self, cqgTimedBars: Dispatch) -> None: ...
    def OnTimedBarsUpdated(self, cqgTimedBars: Dispatch, index: int) -> None: ...
    def OnTimedBarsRemoved(self, cqgTimedBars: Dispatch, index: int) -> None: ...
    def dumpBar(self, bar: Dispatch, index: int) -> None: ...
    def get_subscribe_bars_data(self, security: Any) -> Optional[list[Any]]: ...

    # Orders.
    def place_order(self, order: Order) -> str:
        """The new order's GUID. ValueError for an unsubscribed symbol, an unsupported
        type or side; RuntimeError "Order placing timeout!..." when CQG does not report it.

        Safe to call from several threads: placements on one TradeLink run one at a time
        (a call waits, without the GIL, until the one under way has returned)."""
    def cancel_order(self, orderid: str) -> None: ...
    def _place_timeline(self) -> list[int]:
        """Benchmark hook: nanoseconds from the start of the latest place_order to each of
        its steps (order read, task started, Place returned, task done, ctAdded handed over,
        caller woken, returned; -1 when not reached) while `_set_place_timing(True)`."""
    def OnOrderChanged(
        self,
        changeType: int,
        cqgOrder: Dispatch,
        oldProperties: Any,
        cqgFill: Optional[Dispatch],
        cqgError: Optional[Dispatch],
    ) -> None: ...

    # Account and positions.
    def subscribe_account_and_positions(self, GWAccountID: int) -> None: ...
    def unsubscribe_account_and_positions(self, GWAccountID: int) -> None: ...
    def update_account_balance(self) -> None: ...
    def update_positions(self) -> None: ...
    def OnAccountChanged(
        self, change: int, cqgAccount: Optional[Dispatch], cqgPosition: Optional[Dispatch]
    ) -> None: ...
