"""The connection watchdog, run on the engine's thread at every turn of its loop.

The watching sink records CQG's connection statuses on the COM thread; the watchdog reads
them here, where waiting is allowed, and acts:

- gateway down (or not logged on): new orders are refused by the gateway with the reason;
  the trader is told once. While not logged on, the watchdog logs on again every
  `RELOGON_INTERVAL` seconds.
- gateway up again: the account is selected again, then the books are reconciled.
- data down: the strategy stops. Data up again: every quote, order-book and bar
  subscription of the session is made again and the bar windows are read again.
- a subscribed instrument without a quote for `QUOTE_SILENCE` seconds counts as its data
  being down: the strategy leaves it alone and it is subscribed again; its next quote
  ends the episode.

Every step writes one trace line; the chat gets one short message per change.
"""

from __future__ import annotations

import time
from typing import TYPE_CHECKING, Callable

from morvex_trader.gateways.cqg.watching_sink import GATEWAY

if TYPE_CHECKING:
    from morvex_trader.core.security import Security
    from morvex_trader.engine.main_engine import MainEngine
    from morvex_trader.engine.session_guard import SessionGuard
    from morvex_trader.gateways.cqg.cqg_gateway import CqgGateway


class Watchdog:
    def __init__(
        self, guard: SessionGuard, report: Callable[[str, str], None], clock: Callable[[], float] = time.monotonic
    ) -> None:
        self.guard = guard
        self._report = report  # (kind, text): "trace" only, or a notification kind
        self._clock = clock
        self.gateway_down = False
        self.data_down = False
        self.silent: dict[Security, float] = {}  # security -> when its silence was noticed
        self._next_logon = 0.0
        self._started_at = clock()
        self.counts = {
            "gateway_drops": 0,
            "reconnects": 0,
            "data_drops": 0,
            "data_recoveries": 0,
            "resubscriptions": 0,
            "silences": 0,
            "relogons": 0,
        }

    @property
    def engine(self) -> MainEngine:
        return self.guard.engine

    @property
    def gateway(self) -> CqgGateway:
        return self.guard.engine.gateway

    def strategy_allowed(self, security: Security) -> bool:
        return not self.data_down and not self.gateway_down and security not in self.silent

    def poll(self) -> None:
        changes = self.gateway.connection.changes
        while not changes.empty():
            kind, status = changes.get_nowait()
            if kind == GATEWAY:
                self._gateway_status(status)
            else:
                self._data_status(status)
        if self.gateway.connection.status(GATEWAY) == "not logged on":
            self._logon_again()
        self._check_silence()

    # -- gateway ------------------------------------------------------------------------
    def _gateway_status(self, status: str) -> None:
        self._report("trace", f"watchdog: CQG gateway connection {status}")
        if status in ("down", "not logged on"):
            if not self.gateway_down:
                self.gateway_down = True
                self.counts["gateway_drops"] += 1
                self._next_logon = self._clock()
                self._report(
                    "connection", f"CQG gateway connection lost ({status}): new orders are refused until it is back."
                )
        elif status == "up":
            if self.gateway_down:
                self.gateway_down = False
                self.counts["reconnects"] += 1
                self._tell_engine()
                self._report("connection", "CQG gateway connection is back: account selected again, reconciling.")
                self._recover_gateway()
        else:
            self._report("connection", f"CQG gateway connection {status}.")

    def _tell_engine(self) -> None:
        """The engine's counts carry the reconnects too (the session report reads them)."""
        self.engine.counts.reconnects = self.counts["reconnects"] + self.counts["data_recoveries"]

    def _logon_again(self) -> None:
        now = self._clock()
        if now < self._next_logon:
            return
        self._next_logon = now + self.guard.settings.RELOGON_INTERVAL
        self.counts["relogons"] += 1
        self._report("trace", "watchdog: logging on again")
        s = self.engine.settings
        try:
            self.gateway.logon(s.user_name, s.password)
        except Exception as error:  # the next attempt comes after RELOGON_INTERVAL
            self._report("trace", f"watchdog: log-on failed: {error}")

    def _recover_gateway(self) -> None:
        try:
            self._report("trace", "watchdog: selecting the account again")
            self.gateway.subscribe_account(self.engine.settings.account_id)
            self._report("trace", "watchdog: reconciling after the reconnect")
            self.guard.reconcile("after reconnect")
        except Exception as error:
            self._report("error", f"Recovery after the gateway reconnect failed: {type(error).__name__}: {error}")

    # -- data ---------------------------------------------------------------------------
    def _data_status(self, status: str) -> None:
        self._report("trace", f"watchdog: CQG data connection {status}")
        if status in ("down", "not logged on"):
            if not self.data_down:
                self.data_down = True
                self.counts["data_drops"] += 1
                self._report("connection", f"CQG data connection lost ({status}): strategy stopped.")
        elif status == "up":
            if self.data_down:
                self.data_down = False
                self.counts["data_recoveries"] += 1
                self._tell_engine()
                done = self.resubscribe(list(self.gateway.subscriptions))
                self._report(
                    "connection",
                    f"CQG data connection is back: {done} subscription(s) "
                    "renewed, bars read again, strategy resumed.",
                )
        else:
            self._report("connection", f"CQG data connection {status}.")

    def resubscribe(self, symbols: list[str]) -> int:
        """Subscribes quotes, order book and bars of `symbols` again; returns how many
        symbols succeeded. Each step is one trace line."""
        done = 0
        for symbol in symbols:
            lookback, freq = self.gateway.subscriptions[symbol]
            try:
                link = self.gateway.link
                link.subscribe_quote(symbol)
                link.unsubscribe_orderbook(symbol)
                link.subscribe_orderbook(symbol)
                link.unsubscribe_bar(symbol)
                link.subscribe_bar(symbol, lookback, freq)
                security = self.gateway.get_mx_security_from_cqg_symbol(symbol)
                bars = self.engine.bars(security) if security is not None else None
                self._report("trace", f"watchdog: {symbol} subscribed again, {len(bars or ())} bar(s) read")
                self.counts["resubscriptions"] += 1
                if security is not None:
                    self.gateway.quote_times[security] = self._clock()
                done += 1
            except Exception as error:
                self._report("error", f"Subscribing {symbol} again failed: {type(error).__name__}: {error}")
        return done

    def _check_silence(self) -> None:
        limit = self.guard.settings.QUOTE_SILENCE
        if not limit or self.data_down or self.gateway_down:
            return
        now = self._clock()
        times = self.gateway.quote_times
        for symbol in list(self.gateway.subscriptions):
            security = self.gateway.get_mx_security_from_cqg_symbol(symbol)
            if security is None:
                continue  # no security record: its quotes are not the host's to watch
            last = times.get(security, self._started_at)
            noticed = self.silent.get(security)
            if noticed is not None:
                if last > noticed:
                    del self.silent[security]
                    self._report("connection", f"Quotes for {security.code} are back.")
                continue
            if now - last > limit:
                self.silent[security] = now
                self.counts["silences"] += 1
                self._report(
                    "connection",
                    f"No quote for {security.code} in {now - last:.0f} s: counted as data down, subscribing again.",
                )
                self.resubscribe([symbol])
                self.silent[security] = self._clock()
