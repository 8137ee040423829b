"""Keeps the record of the running session that the session report reads beside the
database: where the session's balance rows begin and end, its zone, and the one-minute
bars it traded on.

The gateway keeps only a rolling window of bars per instrument, so the recorder merges
every window it is shown (a bar seen again replaces the earlier copy: the forming bar
is completed by then). The engine calls `on_snapshot` after each balance snapshot, on its
own thread; the record is rewritten whole each time, so a report drawn mid-session or
after a crash finds the session up to its last snapshot.
"""

from __future__ import annotations

import dataclasses
import sys
from datetime import datetime
from typing import TYPE_CHECKING, Optional

from morvex_trader.engine.report_data import NoSessionData, write_session_record

if TYPE_CHECKING:
    from morvex_trader.core.data import Bar
    from morvex_trader.core.security import Security
    from morvex_trader.engine.main_engine import MainEngine
    from morvex_trader.engine.report import ReportFigure


class SessionRecorder:
    def __init__(self, folder: str, zone: str, report_path: str) -> None:
        self.folder = folder
        self.zone = zone
        self.report_path = report_path
        self.started: Optional[datetime] = None
        self.first_balance_id: Optional[int] = None
        self.last_balance_id: Optional[int] = None
        self._bars: dict[Security, dict[datetime, Bar]] = {}  # security -> bar time -> bar
        self._write_failed = False

    def on_snapshot(self, engine: MainEngine) -> None:
        """Takes the balance row just written and the bars now in the gateway's windows,
        and rewrites the record. A failure to write is told once on standard error; the
        session goes on."""
        balance_id = getattr(engine.store, "balance_id", None)
        if balance_id is None:
            return
        if self.first_balance_id is None:
            self.first_balance_id = balance_id
            self.started = engine.now()
        self.last_balance_id = balance_id
        self.capture(engine)

    def capture(self, engine: MainEngine) -> None:
        # Bars carry CQG's times; the engine's clock puts them in the session's zone.
        clock = getattr(getattr(engine, "guard", None), "clock", None)
        for security in engine.gateway.securities:
            window = engine.bars(security)
            if window:
                seen = self._bars.setdefault(security, {})
                for bar in window:
                    if clock is not None:
                        bar = dataclasses.replace(bar, datetime=clock.from_cqg(bar.datetime))
                    seen[bar.datetime] = bar
        self._write(engine)

    def _write(self, engine: MainEngine) -> None:
        if self.first_balance_id is None or self.started is None or self.last_balance_id is None:
            return
        counts = engine.counts
        instruments = [
            (
                security.code,
                security.security_name,
                [bars[t] for t in sorted(bars)] if (bars := self._bars.get(security)) else [],
            )
            for security in engine.gateway.securities
        ]
        try:
            write_session_record(
                self.folder,
                zone=self.zone,
                started=self.started,
                ended=engine.now(),
                first_balance_id=self.first_balance_id,
                last_balance_id=self.last_balance_id,
                instruments=instruments,
                refused=counts.refused,
                reconnects=getattr(counts, "reconnects", None),
                first_order_row=getattr(engine.store, "first_order_row", None),
                first_deal_row=getattr(engine.store, "first_deal_row", None),
            )
            self._write_failed = False
        except OSError as error:
            if not self._write_failed:
                print(f"[engine] session record not written: {error}", file=sys.stderr, flush=True)
            self._write_failed = True

    def draw(self, engine: MainEngine) -> ReportFigure:
        """Brings the record up to date and draws the report to `report_path`; returns
        the drawn ReportFigure. NoSessionData when the session has stored nothing yet."""
        if self.first_balance_id is None:
            raise NoSessionData("no session data yet: the session has stored no balance snapshot")
        self.capture(engine)
        from morvex_trader.engine.report import write_report  # matplotlib: loaded when drawn

        return write_report(self.folder, self.report_path)
