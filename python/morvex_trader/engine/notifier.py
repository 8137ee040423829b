"""Chat notifications: fills, rejects, connection changes, reconciliation findings,
database delays and engine errors, pushed to the trader's chat.

`notify` may be called from any thread (the COM thread included) and never waits: the
text joins a queue that a sender thread of its own sends. Each kind is "on", "off" or
"silent" (sent without Telegram's notification sound where the bot can, otherwise only
written to the session's log). At most `rate` messages a second go out; what arrives
faster is merged into one message that says how many notices it folds in.
"""

from __future__ import annotations

import inspect
import sys
import threading
import time
from collections import deque
from typing import Callable, Optional, Protocol

from morvex_trader.engine.watch_settings import NOTIFICATION_KINDS


class ChatSender(Protocol):
    """The bot as the notifier uses it (one that also takes disable_notification=True
    can send silently)."""

    def send_message(self, text: str) -> None:
        ...


MAX_LINES = 12  # lines of one merged message; the rest are counted


class Notifier:
    def __init__(
        self,
        bot: Optional[ChatSender],
        modes: Callable[[str], str],
        rate: float = 2.0,
        log: Optional[Callable[[str], None]] = None,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        self.bot = bot
        self._mode = modes
        self._interval = 1.0 / rate
        self._log = log
        self._clock = clock
        self._pending: deque[tuple[str, str, bool]] = deque()  # (kind, text, silent)
        self._cv = threading.Condition()
        self._closed = False
        self._next_send = 0.0
        self.sent: list[str] = []  # texts sent, in order (kept for the summary)
        self.counts = {kind: 0 for kind in NOTIFICATION_KINDS}
        self.folded = 0  # notices merged into another message
        self._silent_ok = bot is not None and _accepts(bot.send_message, "disable_notification")
        self._thread = threading.Thread(target=self._sender, name="chat-notifier", daemon=True)
        self._thread.start()

    def notify(self, kind: str, text: str) -> None:
        if kind not in self.counts:
            raise ValueError(f"unknown notification kind {kind!r}")
        mode = self._mode(kind)
        if mode == "off":
            return
        self.counts[kind] += 1
        if self._log is not None:
            self._log(f"[{kind}] {text}")
        if self.bot is None or (mode == "silent" and not self._silent_ok):
            return
        with self._cv:
            if self._closed:
                return
            self._pending.append((kind, text, mode == "silent"))
            self._cv.notify()

    def flush(self, timeout: float) -> bool:
        """Waits until every queued notice has been sent (or merged and sent)."""
        with self._cv:
            return self._cv.wait_for(lambda: not self._pending and not self._sending, timeout)

    def close(self, timeout: float = 5.0) -> None:
        """Sends what is queued (within `timeout`), then stops the sender."""
        self.flush(timeout)
        with self._cv:
            self._closed = True
            self._cv.notify_all()
        self._thread.join(timeout)

    _sending = False

    def _sender(self) -> None:
        while True:
            with self._cv:
                self._cv.wait_for(lambda: self._pending or self._closed)
                if not self._pending:
                    return
                # Wait for the next slot; what arrives meanwhile is merged.
                while not self._closed:
                    delay = self._next_send - self._clock()
                    if delay <= 0:
                        break
                    self._cv.wait(delay)
                batch = list(self._pending)
                self._pending.clear()
                self._sending = True
            try:
                self._send(batch)
            finally:
                self._next_send = self._clock() + self._interval
                with self._cv:
                    self._sending = False
                    self._cv.notify_all()

    def _send(self, batch: list[tuple[str, str, bool]]) -> None:
        if len(batch) == 1:
            text = batch[0][1]
        else:
            shown = batch[:MAX_LINES]
            text = "\n".join(t for _, t, _ in shown)
            self.folded += len(batch) - 1
            if len(batch) > len(shown):
                text += f"\n... and {len(batch) - len(shown)} more"
            text += f"\n({len(batch)} notices merged)"
        silent = all(s for _, _, s in batch)
        if self.bot is None:
            return
        try:
            if silent:  # only asked of a bot whose send_message takes it
                send: Callable[..., None] = self.bot.send_message
                send(text, disable_notification=True)
            else:
                self.bot.send_message(text)
            self.sent.append(text)
        except Exception as error:  # the chat is unreachable: the session goes on
            print(f"[engine] notification not sent: {error}", file=sys.stderr, flush=True)


def _accepts(function: Callable[..., object], name: str) -> bool:
    try:
        return name in inspect.signature(function).parameters
    except (TypeError, ValueError):
        doc = getattr(function, "__doc__", "") or ""
        return name in doc
