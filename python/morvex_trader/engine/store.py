"""Account state in SQLite through the `db` plug-in: balance snapshots, positions,
orders and deals, linked by row ids as the schema intends.

Only the engine's thread calls it. Each write is one statement (committed at once by the
plug-in), so stopping at any point leaves no half-written record.

Every statement per event costs the same whatever the file holds: a new row's id comes back
from its insert, an order row is updated by its id, and an order this session recorded
earlier is found through the index on `broker_order_id`. Memory stays bounded: only the
row ids of the most recently used orders are cached.
"""

from __future__ import annotations

from collections import OrderedDict
from dataclasses import dataclass
from datetime import datetime
from typing import TYPE_CHECKING, Iterable, Optional

from morvex_trader.core.balance import AccountBalance
from morvex_trader.core.order import Order
from morvex_trader.core.position import PositionData

if TYPE_CHECKING:
    from morvex_trader.plugins.sqlite3.db import DB

TABLES = ("balance", "position", "trading_order", "trading_deal")


@dataclass(frozen=True)
class AccountIdentity:
    broker_name: str
    broker_environment: str
    broker_account_id: int
    broker_account: str
    strategy_account_id: int = 1
    strategy_account: str = "default"
    strategy_version: str = "1.0"
    strategy_version_desc: str = "example strategy"


def _enum_text(value: object) -> str:
    return getattr(value, "value", str(value))


def _number(value: Optional[float]) -> float:
    return 0.0 if value is None else float(value)


def as_row_id(cell: object) -> int:
    """A row id as read back from the database."""
    if isinstance(cell, bool) or not isinstance(cell, (int, float, str)):
        raise TypeError(f"not a row id: {cell!r}")
    return int(cell)


# The columns of an order row that a fill of it copies.
ORDER_DETAILS = ("id", "security_name", "security_code", "direction", "offset", "order_type", "status")
REPORT_ORDER_COLUMNS = (
    "broker_order_id",
    "security_code",
    "direction",
    "order_type",
    "quantity",
    "price",
    "filled_quantity",
    "status",
)
REPORT_DEAL_COLUMNS = ("broker_deal_id", "broker_order_id", "filled_quantity", "filled_avg_price", "update_time")


class AccountStore:
    def __init__(self, db: DB, identity: AccountIdentity, cached_orders: int = 4096) -> None:
        self.db = db
        self.identity = identity
        self.balance_id: Optional[int] = None
        # broker order id -> trading_order.id of recently used orders, least recent first;
        # an order that fell out is found again through the index.
        self.order_rows: OrderedDict[str, int] = OrderedDict()
        self.cached_orders = max(1, cached_orders)
        # The first rows this session wrote: look-ups and reports stay within the session,
        # so an order id that an earlier session also used is never taken for this one's.
        self.first_order_row: Optional[int] = None
        self.first_deal_row: Optional[int] = None

    def _remember(self, broker_order_id: str, row_id: int) -> None:
        rows = self.order_rows
        rows[broker_order_id] = row_id
        rows.move_to_end(broker_order_id)
        if len(rows) > self.cached_orders:
            rows.popitem(last=False)

    def session_order(self, broker_order_id: str) -> Optional[dict]:
        """The row (ORDER_DETAILS) of an order this session recorded, or None."""
        if self.first_order_row is None:
            return None
        table = self.db.select_records(
            "trading_order",
            list(ORDER_DETAILS),
            [("broker_order_id", broker_order_id), ("condition_str", f"id>={self.first_order_row}")],
        )
        if not table:
            return None
        row = dict(zip(ORDER_DETAILS, table[-1]))
        self._remember(broker_order_id, as_row_id(row["id"]))
        return row

    def order_details(self, broker_order_id: str) -> Optional[dict]:
        """The row (ORDER_DETAILS) of an order of this engine: one it remembers (recorded
        here, or an earlier session's row it took over), else one this session recorded."""
        row_id = self.order_rows.get(broker_order_id)
        if row_id is not None:
            table = self.db.select_records("trading_order", list(ORDER_DETAILS), [("id", row_id)])
            if table:
                return dict(zip(ORDER_DETAILS, table[-1]))
        return self.session_order(broker_order_id)

    def order_row_id(self, broker_order_id: str) -> Optional[int]:
        row_id = self.order_rows.get(broker_order_id)
        if row_id is not None:
            self.order_rows.move_to_end(broker_order_id)
            return row_id
        row = self.session_order(broker_order_id)
        return None if row is None else row["id"]

    def snapshot_balance(self, balance: AccountBalance, positions: Iterable[PositionData], now: datetime) -> int:
        """Writes one balance row and its positions; later orders and deals link to it."""
        ident = self.identity
        balance_id = self.db.insert_and_get_id(
            "balance",
            {
                "broker_name": ident.broker_name,
                "broker_environment": ident.broker_environment,
                "broker_account_id": ident.broker_account_id,
                "broker_account": ident.broker_account,
                "strategy_account_id": ident.strategy_account_id,
                "strategy_account": ident.strategy_account,
                "strategy_version": ident.strategy_version,
                "strategy_version_desc": ident.strategy_version_desc,
                "strategy_status": "active",
                "cash": _number(balance.cash),
                "available_cash": _number(balance.available_cash),
                "net_cash_power": _number(balance.net_cash_power),
                "maintenance_margin": _number(balance.maintenance_margin),
                "unrealized_pnl": _number(balance.unrealized_pnl),
                "realized_pnl": _number(balance.realized_pnl),
                "update_time": now,
                "remark": "snapshot",
            },
        )
        self.balance_id = balance_id
        for position in positions:
            self.db.insert_records(
                "position",
                {
                    "balance_id": balance_id,
                    "security_name": position.security.security_name,
                    "security_code": position.security.code,
                    "direction": _enum_text(position.direction),
                    "holding_price": _number(position.holding_price),
                    "quantity": int(position.quantity),
                    "update_time": now,
                },
            )
        return balance_id

    def record_order(self, order: Order, now: datetime) -> int:
        """Writes the row of an order that the gateway has accepted (it has its id)."""
        row_id = self.db.insert_and_get_id(
            "trading_order",
            {
                "broker_order_id": order.order_id,
                "balance_id": self.balance_id or 0,
                "security_name": order.security.security_name,
                "security_code": order.security.code,
                "price": _number(order.price),
                "quantity": int(order.quantity),
                "direction": _enum_text(order.direction),
                "offset": _enum_text(order.offset),
                "order_type": _enum_text(order.order_type),
                "create_time": order.create_time,
                "update_time": now,
                "filled_avg_price": 0.0,
                "filled_quantity": 0,
                "status": _enum_text(order.status),
            },
        )
        if self.first_order_row is None:
            self.first_order_row = row_id
        self._remember(order.order_id, row_id)
        return row_id

    def update_order(self, update: dict) -> None:
        row_id = self.order_row_id(update["order_id"])
        if row_id is None:
            return  # not an order of this engine (entered elsewhere on the account)
        self.db.update_records(
            "trading_order",
            {
                "update_time": update["updated_time"],
                "filled_avg_price": _number(update["filled_avg_price"]),
                "filled_quantity": int(update["filled_quantity"]),
                "status": _enum_text(update["status"]),
            },
            {"id": row_id},
        )

    def record_deal(self, deal: dict, order: Optional[Order]) -> int:
        """Writes a fill and returns its row id. Without the order in hand, the order's row
        gives its details; a fill of an order this engine neither placed nor took over
        links to row 0."""
        if order is not None:
            details = {
                "id": self.order_row_id(deal["order_id"]) or 0,
                "security_name": order.security.security_name,
                "security_code": order.security.code,
                "direction": _enum_text(order.direction),
                "offset": _enum_text(order.offset),
                "order_type": _enum_text(order.order_type),
            }
        else:
            details = self.order_details(deal["order_id"]) or dict.fromkeys(ORDER_DETAILS, "") | {"id": 0}
        row_id = self.db.insert_and_get_id(
            "trading_deal",
            {
                "broker_deal_id": str(deal["deal_id"]),
                "broker_order_id": deal["order_id"],
                "order_id": details["id"],
                "balance_id": self.balance_id or 0,
                "security_name": details["security_name"],
                "security_code": details["security_code"],
                "direction": details["direction"],
                "offset": details["offset"],
                "order_type": details["order_type"],
                "update_time": deal["updated_time"],
                "filled_avg_price": _number(deal["filled_avg_price"]),
                "filled_quantity": int(deal["filled_quantity"]),
            },
        )
        if self.first_deal_row is None:
            self.first_deal_row = row_id
        return row_id

    def _latest(self, table: str, columns: tuple[str, ...], first_row: Optional[int], count: int) -> list[dict]:
        """The newest `count` rows of `table` from `first_row` on, oldest first: a walk
        back along the primary key that stops after `count` rows."""
        if first_row is None or count <= 0:
            return []
        rows = self.db.select_records(
            table, list(columns), [("condition_str", f"id>={first_row} ORDER BY id DESC LIMIT {int(count)}")]
        )
        return [dict(zip(columns, row)) for row in reversed(rows.rows())]

    def recent_orders(self, count: int) -> list[dict]:
        """This session's newest `count` orders as stored (REPORT_ORDER_COLUMNS)."""
        return self._latest("trading_order", REPORT_ORDER_COLUMNS, self.first_order_row, count)

    def recent_deals(self, count: int) -> list[dict]:
        """This session's newest `count` deals as stored (REPORT_DEAL_COLUMNS)."""
        return self._latest("trading_deal", REPORT_DEAL_COLUMNS, self.first_deal_row, count)

    def row_counts(self) -> dict[str, int]:
        return {table: len(self.db.select_records(table, ["id"], {})) for table in TABLES}
