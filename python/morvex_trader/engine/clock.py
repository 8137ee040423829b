"""One time zone for everything the engine stores or shows.

The session's zone is named in the configuration (`TIMEZONE`, an IANA name); without
it, the host's local zone. CQG sends its times in the zone the COM host configured
(`tzChina`; the gateway module names it `tradelink.TIMEZONE`); they arrive without a zone
and are converted here, so no stored time mixes the two clocks. Stored and shown times
are naive date-times of the session's zone, as the database keeps them.
"""

from __future__ import annotations

from datetime import datetime, tzinfo
from typing import Optional


class SessionClock:
    def __init__(self, zone_name: Optional[str] = None, cqg_zone: Optional[tzinfo] = None) -> None:
        from zoneinfo import ZoneInfo

        self.zone: Optional[tzinfo] = ZoneInfo(zone_name) if zone_name else None
        if cqg_zone is None:
            from morvex_trader.gateways.cqg.wrapper import tradelink

            cqg_zone = tradelink.TIMEZONE
        self.cqg_zone = cqg_zone

    @property
    def name(self) -> str:
        """The zone's name as the trader reads it ("Europe/London", or the local zone's
        abbreviation followed by "(host local)")."""
        if self.zone is not None:
            return str(self.zone)
        return f"{datetime.now().astimezone().tzname()} (host local)"

    def now(self) -> datetime:
        """The current time in the session's zone, without zone information."""
        return datetime.now(self.zone).replace(tzinfo=None)

    def from_cqg(self, when: Optional[datetime]) -> Optional[datetime]:
        """A CQG time (naive, CQG's zone) in the session's zone (naive)."""
        if not isinstance(when, datetime):
            return when
        if when.tzinfo is None:
            when = when.replace(tzinfo=self.cqg_zone)
        converted = when.astimezone(self.zone) if self.zone is not None else when.astimezone()
        return converted.replace(tzinfo=None)
