"""What the host gateway watches of CQGCEL's events, around TradeLink's own handlers.

`watching(sink_class)` derives a sink from TradeLink (or from a subclass of it) that
calls `super()` for every event it overrides, so TradeLink keeps its behaviour, and
then tells the host gateway:

- the gateway and data connection statuses (`ConnectionState`, read by the engine's
  watchdog on its own thread);
- fills whose status is not normal (busted, cancelled or corrected by the broker), which
  TradeLink does not pass on; the gateway queues them as "fill_correction" events.

The overrides run on the COM thread and only record: nothing here waits.
"""

from __future__ import annotations

import queue
import threading
import time
from datetime import datetime
from typing import Any, Optional

GATEWAY = "gateway"
DATA = "data"


def status_name(status: Any) -> str:
    from morvex_trader.gateways.cqg.wrapper import comhost

    for name in (
        "csConnectionUp",
        "csConnectionDelayed",
        "csConnectionDown",
        "csConnectionTrouble",
        "csConnectionNotLoggedOn",
    ):
        if status == getattr(comhost, name):
            return name[len("csConnection") :].lower().replace("notloggedon", "not logged on")
    return f"status {status!r}"


class ConnectionState:
    """The last status of each connection, and the queue of changes in arrival order.
    Written on the COM thread, read on any thread."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._status: dict[str, str] = {GATEWAY: "unknown", DATA: "unknown"}
        self._since: dict[str, float] = {GATEWAY: time.monotonic(), DATA: time.monotonic()}
        self.changes: "queue.SimpleQueue[tuple[str, str]]" = queue.SimpleQueue()

    def record(self, kind: str, status: Any) -> None:
        name = status_name(status)
        with self._lock:
            self._status[kind] = name
            self._since[kind] = time.monotonic()
        self.changes.put((kind, name))

    def status(self, kind: str) -> str:
        with self._lock:
            return self._status[kind]

    def since(self, kind: str) -> float:
        with self._lock:
            return self._since[kind]

    def is_down(self, kind: str) -> bool:
        """Down or not logged on (delayed and trouble still carry orders and quotes)."""
        return self.status(kind) in ("down", "not logged on")


def _fill_status_name(status: Any) -> Optional[str]:
    from morvex_trader.gateways.cqg.wrapper import comhost

    if status == comhost.fsNormal:
        return None
    if status == comhost.fsBusted:
        return "busted"
    if status == comhost.fsCanceled:
        return "canceled"
    if status == comhost.fsModified:
        return "corrected"
    return f"status {status!r}"


class _Unbound:
    """Stands in for the host gateway before TradeLink.Init has bound it."""

    connection = ConnectionState()

    @staticmethod
    def process_fill_correction(correction: dict) -> None:
        pass


def _host(sink: Any) -> Any:
    gateway = sink.gateway
    return gateway if hasattr(gateway, "connection") else _Unbound


def watching(sink_class: type) -> type:
    """A subclass of `sink_class` (TradeLink or a subclass) that reports to the gateway."""

    class WatchingTradeLink(sink_class):
        def OnGWConnectionStatusChanged(self, connectionStatus: Any) -> None:
            super().OnGWConnectionStatusChanged(connectionStatus)
            _host(self).connection.record(GATEWAY, connectionStatus)

        def OnDataConnectionStatusChanged(self, newStatus: Any) -> None:
            super().OnDataConnectionStatusChanged(newStatus)
            _host(self).connection.record(DATA, newStatus)

        def OnOrderChanged(
            self, changeType: Any, cqgOrder: Any, oldProperties: Any, cqgFill: Any, cqgError: Any
        ) -> None:
            super().OnOrderChanged(changeType, cqgOrder, oldProperties, cqgFill, cqgError)
            if cqgError is not None or cqgFill is None or not hasattr(cqgFill, "Status"):
                return
            kind = _fill_status_name(cqgFill.Status)
            if kind is None:
                return
            when = cqgFill.Timestamp
            if isinstance(when, datetime):
                when = when.replace(microsecond=0, tzinfo=None)
            _host(self).process_fill_correction(
                {
                    "deal_id": cqgFill.Id,
                    "order_id": cqgFill.Order.GUID,
                    "kind": kind,
                    "updated_time": when,
                    "filled_avg_price": cqgFill.Price,
                    "filled_quantity": cqgFill.Quantity,
                }
            )

    WatchingTradeLink.__name__ = "Watching" + sink_class.__name__
    WatchingTradeLink.watching = True
    return WatchingTradeLink
