"""Account state in SQLite through the `db` plug-in: balance snapshots, positions,
orders and deals, linked by row ids as the schema intends.

Only the engine's thread calls it. Each write is one statement (committed at once by the
plug-in), so stopping at any point leaves no half-written record.
"""

from __future__ import annotations

from dataclasses import dataclass
from datetime import datetime
from typing import Any, Iterable, Optional

from morvex_trader.core.order import Order

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


def _enum_text(value: Any) -> str:
    return getattr(value, "value", str(value))


def _number(value: Any) -> float:
    return 0.0 if value is None else float(value)


class AccountStore:
    def __init__(self, db: Any, identity: AccountIdentity) -> None:
        self.db = db
        self.identity = identity
        self.balance_id: Optional[int] = None
        self.order_rows: dict[str, int] = {}  # broker order id -> trading_order.id

    def _last_id(self, table: str, conditions: dict) -> int:
        table_rows = self.db.select_records(table, ["id"], conditions)
        return int(list(table_rows)[-1][0])

    def snapshot_balance(self, balance: Any, positions: Iterable[Any], now: datetime) -> int:
        """Writes one balance row and its positions; later orders and deals link to it."""
        ident = self.identity
        self.db.insert_records("balance", {
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
        })
        self.balance_id = self._last_id("balance", {
            "broker_account_id": ident.broker_account_id, "update_time": now})
        for position in positions:
            self.db.insert_records("position", {
                "balance_id": self.balance_id,
                "security_name": position.security.security_name,
                "security_code": position.security.code,
                "direction": _enum_text(position.direction),
                "holding_price": _number(position.holding_price),
                "quantity": int(position.quantity),
                "update_time": now,
            })
        return self.balance_id

    def record_order(self, order: Order, now: datetime) -> int:
        """Writes the row of an order that the gateway has accepted (it has its id)."""
        self.db.insert_records("trading_order", {
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
        })
        row_id = self._last_id("trading_order", {"broker_order_id": order.order_id})
        self.order_rows[order.order_id] = row_id
        return row_id

    def update_order(self, update: dict) -> None:
        row_id = self.order_rows.get(update["order_id"])
        if row_id is None:
            return  # not an order of this engine (entered elsewhere on the account)
        self.db.update_records("trading_order", {
            "update_time": update["updated_time"],
            "filled_avg_price": _number(update["filled_avg_price"]),
            "filled_quantity": int(update["filled_quantity"]),
            "status": _enum_text(update["status"]),
        }, {"id": row_id})

    def record_deal(self, deal: dict, order: Optional[Order]) -> None:
        """Writes a fill; a fill of an order this engine did not place links to row 0."""
        self.db.insert_records("trading_deal", {
            "broker_deal_id": str(deal["deal_id"]),
            "broker_order_id": deal["order_id"],
            "order_id": self.order_rows.get(deal["order_id"], 0),
            "balance_id": self.balance_id or 0,
            "security_name": order.security.security_name if order else "",
            "security_code": order.security.code if order else "",
            "direction": _enum_text(order.direction) if order else "",
            "offset": _enum_text(order.offset) if order else "",
            "order_type": _enum_text(order.order_type) if order else "",
            "update_time": deal["updated_time"],
            "filled_avg_price": _number(deal["filled_avg_price"]),
            "filled_quantity": int(deal["filled_quantity"]),
        })

    def row_counts(self) -> dict[str, int]:
        return {table: len(self.db.select_records(table, ["id"], {})) for table in TABLES}
