"""What the session report shows, read from what a session stored.

The database (the `db` plug-in's four tables) keeps balances, positions, orders and deals,
across sessions. It has no bars and no mark of where a session begins, so the engine
writes a small record of its own beside it (`session-record.json`): the session's first
and last balance rows, its zone, the one-minute bars it traded on, and the counts the
database cannot know (orders the gateway refused before they had an id, reconnects).

The session's rows are those linked to its balance rows (every order and deal row carries
the balance id of the snapshot current when it was written). Without a record, the whole
database is taken as one session, with no bars.

The database is opened read-only (it is never created or changed here), so this can run
while the engine writes.
"""

from __future__ import annotations

import json
import os
import sqlite3
from dataclasses import dataclass, field
from datetime import datetime
from typing import TYPE_CHECKING, Iterable, Optional

if TYPE_CHECKING:
    from morvex_trader.core.data import Bar

DB_FILE = "morvex_trader.db"
RECORD_FILE = "session-record.json"
RECORD_FORMAT = 1
TIME_FORMAT = "%Y-%m-%d %H:%M:%S"

# Order statuses as the store writes them (OrderStatus values).
FILLED, CANCELLED, FAILED = "FILLED", "CANCELLED", "FAILED"
WORKING = frozenset({"SUBMITTED", "UNKNOWN"})
BUY = "LONG"


class NoSessionData(LookupError):
    """The folder holds no database yet: nothing to report."""


@dataclass(frozen=True)
class BarPoint:
    time: datetime
    open: float
    high: float
    low: float
    close: float


@dataclass(frozen=True)
class Fill:
    code: str
    time: datetime
    price: float
    quantity: float
    buy: bool


@dataclass(frozen=True)
class WorkingOrder:
    code: str
    price: float
    quantity: float
    buy: bool
    order_type: str


@dataclass(frozen=True)
class EquityPoint:
    time: datetime
    balance: float
    unrealized_pnl: float

    @property
    def equity(self) -> float:
        return self.balance + self.unrealized_pnl


@dataclass
class SessionFigures:
    orders_placed: int = 0
    orders_filled: int = 0
    orders_cancelled: int = 0
    orders_rejected: int = 0
    orders_working: int = 0
    deals: int = 0
    realized_pnl: float = 0.0
    unrealized_pnl: float = 0.0
    reconnects: Optional[int] = None  # None: the engine does not count them


@dataclass
class SessionData:
    zone: str
    started: Optional[datetime]
    ended: Optional[datetime]
    instruments: dict[str, str] = field(default_factory=dict)  # code -> name, in panel order
    bars: dict[str, list[BarPoint]] = field(default_factory=dict)
    fills: list[Fill] = field(default_factory=list)
    working: list[WorkingOrder] = field(default_factory=list)
    equity: list[EquityPoint] = field(default_factory=list)
    figures: SessionFigures = field(default_factory=SessionFigures)
    has_record: bool = False


# -- the engine's record ----------------------------------------------------------------


def _time_text(value: datetime) -> str:
    return value.strftime(TIME_FORMAT)


def write_session_record(
    folder: str,
    *,
    zone: str,
    started: datetime,
    ended: datetime,
    first_balance_id: int,
    last_balance_id: int,
    instruments: Iterable[tuple[str, str, Iterable[Bar]]],
    refused: int = 0,
    reconnects: Optional[int] = None,
    first_order_row: Optional[int] = None,
    first_deal_row: Optional[int] = None,
) -> str:
    """Writes the record of the running session (replacing the last one) and returns its
    path. `instruments` holds (code, name, bars), bars with datetime, open, high, low and
    close. `first_order_row` and `first_deal_row`, when known, are the ids of the
    session's first order and deal rows: the report then reads the session's rows by
    primary key instead of scanning every session's. The file is replaced whole, so a
    reader never sees half of it."""
    record = {
        "format": RECORD_FORMAT,
        "zone": zone,
        "started": _time_text(started),
        "ended": _time_text(ended),
        "first_balance_id": int(first_balance_id),
        "last_balance_id": int(last_balance_id),
        "refused": int(refused),
        "reconnects": None if reconnects is None else int(reconnects),
        "first_order_row": first_order_row,
        "first_deal_row": first_deal_row,
        "instruments": [
            {
                "code": code,
                "name": name,
                "bars": [
                    [_time_text(b.datetime), float(b.open), float(b.high), float(b.low), float(b.close)] for b in bars
                ],
            }
            for code, name, bars in instruments
        ],
    }
    path = os.path.join(folder, RECORD_FILE)
    temporary = path + ".tmp"
    with open(temporary, "w", encoding="utf-8") as out:
        json.dump(record, out)
    os.replace(temporary, path)
    return path


def _read_record(folder: str) -> Optional[dict]:
    path = os.path.join(folder, RECORD_FILE)
    try:
        with open(path, encoding="utf-8") as source:
            record = json.load(source)
    except FileNotFoundError:
        return None
    except ValueError as error:
        raise ValueError(f"the session record {path} is not readable: {error}") from None
    if not isinstance(record, dict) or record.get("format") != RECORD_FORMAT:
        raise ValueError(f"the session record {path} is not of a format this version reads")
    return record


# -- reading ----------------------------------------------------------------------------


def _parse_time(text: object) -> Optional[datetime]:
    if not isinstance(text, str):
        return None
    try:
        return datetime.strptime(text[:19], TIME_FORMAT)
    except ValueError:
        return None


def _open_read_only(folder: str) -> sqlite3.Connection:
    if not os.path.isdir(folder):
        raise FileNotFoundError(f"the database folder {folder} does not exist")
    path = os.path.join(folder, DB_FILE)
    if not os.path.isfile(path):
        raise NoSessionData(f"no session data yet: {path} does not exist")
    uri = "file:" + path.replace("%", "%25").replace("?", "%3f").replace("#", "%23") + "?mode=ro"
    return sqlite3.connect(uri, uri=True)


def load_session(folder: str) -> SessionData:
    """Reads the last session stored in `folder` (the `db` plug-in's folder).

    FileNotFoundError names a folder that does not exist; NoSessionData says the folder
    holds no database yet; an empty database gives a session with nothing in it."""
    record = _read_record(folder) if os.path.isdir(folder) else None
    connection = _open_read_only(folder)
    try:
        return _load(connection, record)
    finally:
        connection.close()


def _rows(connection: sqlite3.Connection, sql: str, params: tuple) -> list[sqlite3.Row]:
    connection.row_factory = sqlite3.Row
    try:
        return connection.execute(sql, params).fetchall()
    except sqlite3.OperationalError as error:
        if "no such table" in str(error):
            return []  # a database the db plug-in has not finished creating
        raise


def _load(connection: sqlite3.Connection, record: Optional[dict]) -> SessionData:
    params: tuple = ()
    where = balance_where = "1"
    order_params: tuple = ()
    deal_params: tuple = ()
    if record is not None:
        params = (record["first_balance_id"], record["last_balance_id"])
        where, balance_where = "id >= ? AND balance_id BETWEEN ? AND ?", "id BETWEEN ? AND ?"
        order_params = (record.get("first_order_row") or 0, *params)
        deal_params = (record.get("first_deal_row") or 0, *params)
    data = SessionData(
        zone=record["zone"] if record else "as stored",
        started=_parse_time(record["started"]) if record else None,
        ended=_parse_time(record["ended"]) if record else None,
        has_record=record is not None,
    )
    for instrument in (record or {}).get("instruments", []):
        code = instrument["code"]
        data.instruments[code] = instrument.get("name") or code
        data.bars[code] = sorted(
            (
                BarPoint(t, o, h, lo, c)
                for t, o, h, lo, c in ((_parse_time(row[0]), *row[1:5]) for row in instrument.get("bars", []))
                if t is not None
            ),
            key=lambda bar: bar.time,
        )

    balances = _rows(
        connection,
        f"SELECT update_time, cash, unrealized_pnl, realized_pnl FROM balance WHERE {balance_where} ORDER BY id",
        params,
    )
    for row in balances:
        when = _parse_time(row["update_time"])
        if when is not None:
            data.equity.append(EquityPoint(when, row["cash"] or 0.0, row["unrealized_pnl"] or 0.0))

    orders = _rows(
        connection,
        f"SELECT security_name, security_code, price, quantity, direction, order_type, "
        f"filled_quantity, status FROM trading_order WHERE {where} ORDER BY id",
        order_params,
    )
    deals = _rows(
        connection,
        f"SELECT security_name, security_code, direction, update_time, filled_avg_price, "
        f"filled_quantity FROM trading_deal WHERE {where} ORDER BY id",
        deal_params,
    )
    for row in list(orders) + list(deals):
        code = row["security_code"]
        if code and code not in data.instruments:
            data.instruments[code] = row["security_name"] or code
    for row in deals:
        when = _parse_time(row["update_time"])
        if row["security_code"] and when is not None:
            data.fills.append(
                Fill(
                    row["security_code"], when, row["filled_avg_price"], row["filled_quantity"], row["direction"] == BUY
                )
            )
    for row in orders:
        if row["status"] in WORKING:
            data.working.append(
                WorkingOrder(
                    row["security_code"],
                    row["price"],
                    row["quantity"] - (row["filled_quantity"] or 0),
                    row["direction"] == BUY,
                    row["order_type"],
                )
            )

    statuses = [row["status"] for row in orders]
    figures = data.figures
    figures.orders_placed = len(orders)
    figures.orders_filled = statuses.count(FILLED)
    figures.orders_cancelled = statuses.count(CANCELLED)
    figures.orders_rejected = statuses.count(FAILED) + int((record or {}).get("refused") or 0)
    figures.orders_working = sum(status in WORKING for status in statuses)
    figures.deals = len(deals)
    if balances:
        figures.realized_pnl = balances[-1]["realized_pnl"] or 0.0
        figures.unrealized_pnl = balances[-1]["unrealized_pnl"] or 0.0
    if record is not None and record.get("reconnects") is not None:
        figures.reconnects = int(record["reconnects"])
    if data.started is None and data.equity:
        data.started, data.ended = data.equity[0].time, data.equity[-1].time
    return data
