"""db: a balance, a position, an order and a deal written to SQLite and read back.

The rows refer to each other by the ids SQLite assigns: the position and the order carry
the balance's id, the deal carries the order's id and the balance's id.
"""

from __future__ import annotations

import datetime as dt
import importlib
import tempfile

from morvex_trader.core.constants import Direction, Offset, OrderStatus, OrderType
from morvex_trader.plugins.sqlite3 import db


def run() -> None:
    config = importlib.import_module("morvex_trader_config")
    saved = config.DB.get("sqlite3")
    with tempfile.TemporaryDirectory(prefix="mx_demo_db_") as folder:
        config.DB["sqlite3"] = folder  # read afresh by every DB() construction
        try:
            _write_and_read(folder)
        finally:
            config.DB["sqlite3"] = saved


def _write_and_read(folder: str) -> None:
    now = dt.datetime.now().replace(microsecond=0)
    store = db.DB()
    print(f"database: {db._db_path()}/morvex_trader.db")
    db.start_journal()

    store.insert_records(
        "balance",
        dict(
            broker_name="CQG",
            broker_environment="SIMULATE",
            broker_account_id=1,
            broker_account="DEMO-1",
            strategy_account_id=1,
            strategy_account="default",
            strategy_version="1.0",
            strategy_version_desc="manual trading",
            cash=100000.0,
            available_cash=100000.0,
            update_time=now,
            remark="N/A",
        ),
    )
    balance_id = store.select_records("balance", ["id"], {"broker_account": "DEMO-1"})[-1][0]

    store.insert_records(
        "trading_order",
        dict(
            broker_order_id="CQG-0001",
            balance_id=balance_id,
            security_name="E-mini S&P 500",
            security_code="EP",
            price=5012.25,
            quantity=2,
            direction=Direction.LONG.value,
            offset=Offset.OPEN.value,
            order_type=OrderType.LIMIT.value,
            create_time=now,
            update_time=now,
            filled_avg_price=0.0,
            filled_quantity=0,
            status=OrderStatus.SUBMITTED.value,
        ),
    )
    order_id = store.select_records("trading_order", ["id"], {"broker_order_id": "CQG-0001"})[-1][0]

    store.insert_records(
        "trading_deal",
        [
            ("broker_deal_id", "CQG-F-0001"),
            ("broker_order_id", "CQG-0001"),
            ("order_id", order_id),
            ("balance_id", balance_id),
            ("security_name", "E-mini S&P 500"),
            ("security_code", "EP"),
            ("direction", Direction.LONG.value),
            ("offset", Offset.OPEN.value),
            ("order_type", OrderType.LIMIT.value),
            ("update_time", now),
            ("filled_avg_price", 5012.0),
            ("filled_quantity", 2),
        ],
    )
    store.update_records(
        "trading_order",
        {"status": OrderStatus.FILLED.value, "filled_avg_price": 5012.0, "filled_quantity": 2, "update_time": now},
        {"id": order_id},
    )
    store.insert_records(
        "position",
        dict(
            balance_id=balance_id,
            security_name="E-mini S&P 500",
            security_code="EP",
            direction=Direction.LONG.value,
            holding_price=5012.0,
            quantity=2,
            update_time=now,
            remark="from deal CQG-F-0001",
        ),
    )
    store.update_records("balance", {"available_cash": 100000.0 - 2 * 5012.0 * 0.05}, {"id": balance_id})

    print("SQL sent to SQLite:")
    for sql in db.stop_journal():
        print("  " + sql)

    print("read back:")
    for table, columns in (
        ("balance", ["id", "broker_name", "cash", "available_cash", "update_time"]),
        ("position", ["id", "balance_id", "security_code", "direction", "quantity", "holding_price"]),
        ("trading_order", ["id", "balance_id", "broker_order_id", "price", "filled_quantity", "status"]),
        ("trading_deal", ["id", "order_id", "balance_id", "broker_deal_id", "filled_avg_price", "filled_quantity"]),
    ):
        for row in store.select_records(
            table, columns, {"balance_id" if table != "balance" else "id": balance_id}
        ).dicts():
            print(f"  {table:<13} {row}")
    deal = store.select_records("trading_deal", conditions={"balance_id": balance_id}).dicts()[0]
    order = store.select_records("trading_order", conditions={"id": deal["order_id"]}).dicts()[0]
    print(f"  the deal {deal['broker_deal_id']} fills order {order['broker_order_id']} ({order['status']})")
    store.close()
