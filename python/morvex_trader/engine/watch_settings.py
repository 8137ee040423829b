"""Settings of the live-session watch: time zone, chat notifications, connection watchdog,
database queue. Read from `morvex_trader_config` (every key optional) and checked when the
session starts: an unknown notification kind or mode, or a negative duration, is refused
with a ValueError that names the setting.

    TIMEZONE = "Europe/London"          # IANA name; absent or None: the host's local zone
    NOTIFICATIONS = {"fill": "silent"}  # kind -> "on" | "off" | "silent" (others stay "on")
    NOTIFY_RATE = 2.0                   # chat messages per second at most (then merged)
    QUOTE_SILENCE = 30.0                # seconds without a quote that count as data down (0: off)
    PENDING_GRACE = 3.0                 # seconds an event for an unknown order may wait
    RELOGON_INTERVAL = 5.0              # seconds between log-on attempts while not logged on
    DB_BUSY_TIMEOUT = 0.1               # seconds SQLite waits for a busy file per attempt
    DB_DRAIN_TIMEOUT = 10.0             # seconds shutdown waits for queued writes
    PENDING_WRITES = None               # file of unwritten records (default: beside the database)
    DB_WAL = False                      # SQLite's WAL journal: readers never hold writers up
    WRITE_QUEUE_LIMIT = 500             # queued writes above which new orders are refused
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field, fields
from typing import Optional

NOTIFICATION_KINDS = ("fill", "reject", "connection", "reconciliation", "error", "database")
NOTIFICATION_MODES = ("on", "off", "silent")

_DURATIONS = (
    "NOTIFY_RATE",
    "QUOTE_SILENCE",
    "PENDING_GRACE",
    "RELOGON_INTERVAL",
    "DB_BUSY_TIMEOUT",
    "DB_DRAIN_TIMEOUT",
)


@dataclass
class WatchSettings:
    TIMEZONE: Optional[str] = None
    NOTIFICATIONS: dict = field(default_factory=dict)
    NOTIFY_RATE: float = 2.0
    QUOTE_SILENCE: float = 30.0
    PENDING_GRACE: float = 3.0
    RELOGON_INTERVAL: float = 5.0
    DB_BUSY_TIMEOUT: float = 0.1
    DB_DRAIN_TIMEOUT: float = 10.0
    PENDING_WRITES: Optional[str] = None
    DB_WAL: bool = False
    WRITE_QUEUE_LIMIT: int = 500

    @classmethod
    def from_config(cls, config: object = None) -> "WatchSettings":
        """The settings that `config` (a module, default `morvex_trader_config` when it can
        be imported) holds; keys it lacks keep their defaults. Checked."""
        if config is None:
            try:
                import morvex_trader_config as config  # type: ignore[no-redef]
            except ImportError:
                config = None
        values = {f.name: getattr(config, f.name) for f in fields(cls) if hasattr(config, f.name)}
        settings = cls(**values)
        settings.check()
        return settings

    def check(self) -> None:
        if self.TIMEZONE is not None:
            if not isinstance(self.TIMEZONE, str) or not self.TIMEZONE:
                raise ValueError(f"TIMEZONE must be an IANA zone name or None, got {self.TIMEZONE!r}")
            from zoneinfo import ZoneInfo, ZoneInfoNotFoundError

            try:
                ZoneInfo(self.TIMEZONE)
            except (ZoneInfoNotFoundError, ValueError):
                raise ValueError(f"TIMEZONE names no known time zone: {self.TIMEZONE!r}") from None
        if not isinstance(self.NOTIFICATIONS, dict):
            raise ValueError(f"NOTIFICATIONS must be a dict of kind -> mode, got {self.NOTIFICATIONS!r}")
        for kind, mode in self.NOTIFICATIONS.items():
            if kind not in NOTIFICATION_KINDS:
                raise ValueError(f"NOTIFICATIONS: unknown kind {kind!r} (kinds: {', '.join(NOTIFICATION_KINDS)})")
            if mode not in NOTIFICATION_MODES:
                raise ValueError(
                    f"NOTIFICATIONS[{kind!r}]: unknown mode {mode!r} (modes: {', '.join(NOTIFICATION_MODES)})"
                )
        for name in _DURATIONS:
            value = getattr(self, name)
            if isinstance(value, bool) or not isinstance(value, (int, float)) or math.isnan(value):
                raise ValueError(f"{name} must be a number of seconds, got {value!r}")
            if value < 0:
                raise ValueError(f"{name} must not be negative, got {value!r}")
        if (
            isinstance(self.WRITE_QUEUE_LIMIT, bool)
            or not isinstance(self.WRITE_QUEUE_LIMIT, int)
            or self.WRITE_QUEUE_LIMIT < 1
        ):
            raise ValueError(f"WRITE_QUEUE_LIMIT must be a whole number above 0, got {self.WRITE_QUEUE_LIMIT!r}")
        if not isinstance(self.DB_WAL, bool):
            raise ValueError(f"DB_WAL must be True or False, got {self.DB_WAL!r}")
        if self.NOTIFY_RATE == 0:
            raise ValueError("NOTIFY_RATE must be above 0 (use NOTIFICATIONS to turn kinds off)")

    def mode(self, kind: str) -> str:
        return self.NOTIFICATIONS.get(kind, "on")
