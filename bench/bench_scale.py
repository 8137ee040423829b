"""A year of trading: the engine records orders, deals and snapshots into database files that
already hold 1,000, 100,000 and 1,000,000 orders, and answers the chat's reports.

The files are built on disk (a temporary folder under build/) by a generator: the db
plug-in creates the tables and indexes, then Python's sqlite3 fills them in one
transaction with recursive CTEs (deals and balance snapshots in proportion to the orders).
Then the engine (the real MainEngine and AccountStore, over a stand-in gateway that
accepts every order) records events into each file; batches go round the files in turn,
so that load on the shared machine falls on every size alike, and each size keeps its
median batch. The goal is flat growth: time per event at the largest size over the
smallest. The chat's /orders, /deals and /positions answers are timed at the largest
size, asking for more orders and deals than the engine holds in memory.
"""

from __future__ import annotations

import os
import queue
import random
import shutil
import sqlite3
import sys
import tempfile
import time
import types
from datetime import datetime, timedelta
from types import SimpleNamespace

from common import Figure, absolute_figure, median

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SIZES = (1_000, 100_000, 1_000_000)
DEALS_PER_ORDER = 0.8
ORDERS_PER_SNAPSHOT = 50
POSITIONS_PER_SNAPSHOT = 2
ROUNDS = 7            # batches per size
ORDERS_PER_BATCH = 30  # each: the order, its fill update, its deal; a snapshot every 10 orders
KEPT_IN_MEMORY = 50   # orders_kept and deals_kept of the engines
REPORT_ROWS = 200     # rows asked of /orders and /deals (more than the engine holds)
GROWTH_GOAL = 1.3
REPORT_LIMIT_MS = 50.0


def _set_config(folder: str) -> None:
    module = types.ModuleType("morvex_trader_config")
    module.DB = {"sqlite3": folder}
    sys.modules["morvex_trader_config"] = module


def _open_db(folder: str):
    from morvex_trader.plugins.sqlite3 import db

    saved = sys.modules.get("morvex_trader_config")
    _set_config(folder)
    try:
        return db.DB()
    finally:
        if saved is None:
            sys.modules.pop("morvex_trader_config", None)
        else:
            sys.modules["morvex_trader_config"] = saved


_SEQUENCE = "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < {count}) "


def generate(folder: str, orders: int) -> None:
    """A file as a long-running account leaves it: `orders` orders, deals for most of them,
    balance snapshots with their positions."""
    _open_db(folder).close()  # the tables and indexes, as the plug-in creates them
    deals = int(orders * DEALS_PER_ORDER)
    snapshots = max(1, orders // ORDERS_PER_SNAPSHOT)
    conn = sqlite3.connect(os.path.join(folder, "morvex_trader.db"), isolation_level=None)
    conn.execute("PRAGMA synchronous=OFF")  # this connection only: the build is not a measurement
    conn.execute("PRAGMA cache_size=-262144")
    conn.execute("BEGIN")
    conn.execute(
        "INSERT INTO balance (broker_name, broker_environment, broker_account_id, broker_account, "
        "strategy_account_id, strategy_account, strategy_version, strategy_version_desc, "
        "strategy_status, cash, available_cash, net_cash_power, maintenance_margin, "
        "unrealized_pnl, realized_pnl, update_time, remark) " + _SEQUENCE.format(count=snapshots) +
        "SELECT 'CQG', 'SIMULATE', 300001, '300001', 1, 'default', '1.0', 'history', 'active', "
        "500000.0 + i, 499000.0 + i, 0.0, 1000.0, 0.0, i * 0.5, "
        "datetime('2025-01-01', '+' || (i * 600) || ' seconds'), 'snapshot' FROM n")
    conn.execute(
        "INSERT INTO position (balance_id, security_name, security_code, direction, holding_price, "
        "quantity, update_time) " + _SEQUENCE.format(count=snapshots * POSITIONS_PER_SNAPSHOT) +
        f"SELECT (i + 1) / {POSITIONS_PER_SNAPSHOT}, 'E-mini S&P 500', 'EP', "
        "CASE i % 2 WHEN 0 THEN 'LONG' ELSE 'SHORT' END, 4500.25, 1 + i % 5, "
        "datetime('2025-01-01', '+' || (i * 300) || ' seconds') FROM n")
    conn.execute(
        "INSERT INTO trading_order (broker_order_id, balance_id, security_name, security_code, price, "
        "quantity, direction, offset, order_type, create_time, update_time, filled_avg_price, "
        "filled_quantity, status) " + _SEQUENCE.format(count=orders) +
        f"SELECT printf('HIST-%010d', i), 1 + i / {ORDERS_PER_SNAPSHOT}, 'E-mini S&P 500', 'EP', "
        "4500.0 + (i % 40) * 0.25, 1 + i % 3, CASE i % 2 WHEN 0 THEN 'LONG' ELSE 'SHORT' END, 'OPEN', "
        "'LIMIT', datetime('2025-01-01', '+' || (i * 12) || ' seconds'), "
        "datetime('2025-01-01', '+' || (i * 12 + 5) || ' seconds'), 4500.0, 1, "
        f"CASE WHEN i <= {deals} THEN 'FILLED' ELSE 'CANCELLED' END FROM n")
    conn.execute(
        "INSERT INTO trading_deal (broker_deal_id, broker_order_id, order_id, balance_id, "
        "security_name, security_code, direction, offset, order_type, update_time, "
        "filled_avg_price, filled_quantity) " + _SEQUENCE.format(count=deals) +
        f"SELECT printf('HDEAL-%010d', i), printf('HIST-%010d', i), i, 1 + i / {ORDERS_PER_SNAPSHOT}, "
        "'E-mini S&P 500', 'EP', CASE i % 2 WHEN 0 THEN 'LONG' ELSE 'SHORT' END, 'OPEN', 'LIMIT', "
        "datetime('2025-01-01', '+' || (i * 12 + 5) || ' seconds'), 4500.0, 1 FROM n")
    conn.execute("COMMIT")
    conn.close()


class StandInGateway:
    """Accepts every order at once with a GUID-like id; balance and positions are fixed."""

    gateway_name = "CQG"

    def __init__(self, security, seed: int) -> None:
        self.security = security
        self.securities = [security]
        self.events: queue.SimpleQueue = queue.SimpleQueue()
        self.counts = {"quote": 0, "orderbook": 0}
        self._random = random.Random(seed)
        self._balance = SimpleNamespace(cash=500_000.0, available_cash=499_000.0, net_cash_power=0.0,
                                        maintenance_margin=1000.0, unrealized_pnl=-80.0,
                                        realized_pnl=120.5)
        from morvex_trader.core.constants import Direction

        self._positions = [SimpleNamespace(security=security, direction=direction, holding_price=4500.25,
                                           quantity=3) for direction in (Direction.LONG, Direction.SHORT)]

    def place_order(self, order) -> str:
        bits = f"{self._random.getrandbits(128):032X}"
        order.order_id = f"{{{bits[:8]}-{bits[8:12]}-{bits[12:16]}-{bits[16:20]}-{bits[20:]}}}"
        return order.order_id

    def cancel_order(self, order_id: str) -> None:
        pass

    def get_balance(self):
        return self._balance

    def get_positions(self) -> list:
        return list(self._positions)


class ChatRecord(SimpleNamespace):
    """The bot's request record, as the engine polls it."""

    def __init__(self) -> None:
        super().__init__(
            morvex_trader_status="Running", get_balance=False, get_positions=False, get_orders=False,
            num_orders_displayed=1, active_orders=False, get_deals=False, num_deals_displayed=1,
            cancel_order=False, cancel_order_id=None, gateway_name=None, cancel_orders=False,
            send_order=False, order_string="", close_positions=False, close_positions_gateway_name=None)
        self.replies: list[str] = []

    def send_message(self, text: str) -> None:
        self.replies.append(text)


class Session:
    def __init__(self, folder: str, seed: int) -> None:
        from morvex_trader.core.security import Futures
        from morvex_trader.engine.main_engine import MainEngine, SessionSettings
        from morvex_trader.engine.store import AccountIdentity, AccountStore

        self.security = Futures("EP", "E-mini S&P 500")
        self.db = _open_db(folder)
        self.gateway = StandInGateway(self.security, seed)
        self.chat = ChatRecord()
        self.clock = datetime(2026, 12, 7, 9, 30)
        self.engine = MainEngine(
            self.gateway, AccountStore(self.db, AccountIdentity("CQG", "SIMULATE", 300001, "300001")),
            SessionSettings(account_id=300001, orders_kept=KEPT_IN_MEMORY, deals_kept=KEPT_IN_MEMORY),
            bot=self.chat, now=self._now)
        self.engine.snapshot()

    def _now(self) -> datetime:
        return self.clock

    def batch(self) -> tuple[float, int]:
        """Records ORDERS_PER_BATCH orders with their fill and deal; returns (seconds, events)."""
        from morvex_trader.core.constants import Direction, Offset, OrderStatus, OrderType
        from morvex_trader.core.order import Order

        engine, events = self.engine, self.gateway.events
        recorded = 0
        start = time.perf_counter()
        for i in range(ORDERS_PER_BATCH):
            self.clock += timedelta(seconds=3)
            order = Order(security=self.security, price=4500.25, quantity=2,
                          direction=Direction.LONG if i % 2 else Direction.SHORT,
                          order_type=OrderType.LIMIT, offset=Offset.OPEN, create_time=self.clock)
            order_id = engine.submit(order)
            events.put(("order", {"order_id": order_id, "status": OrderStatus.FILLED,
                                  "filled_avg_price": 4500.25, "filled_quantity": 2,
                                  "updated_time": self.clock}))
            events.put(("deal", {"deal_id": order_id + "-1", "order_id": order_id,
                                 "filled_avg_price": 4500.25, "filled_quantity": 2,
                                 "updated_time": self.clock}))
            engine.drain_events()
            recorded += 3
            if i % 10 == 9:
                engine.snapshot()
                recorded += 1
        return time.perf_counter() - start, recorded

    def ask(self, **request) -> float:
        """Milliseconds from the chat's request to the engine's answer."""
        for name, value in request.items():
            setattr(self.chat, name, value)
        before = len(self.chat.replies)
        start = time.perf_counter()
        self.engine.remote.poll()
        elapsed = time.perf_counter() - start
        assert len(self.chat.replies) == before + 1, "the engine did not answer"
        assert "failed" not in self.chat.replies[-1], self.chat.replies[-1]
        return elapsed * 1000.0

    def close(self) -> None:
        self.db.close()


def run() -> list[Figure]:
    build = os.path.join(ROOT, "build")
    os.makedirs(build, exist_ok=True)
    base = tempfile.mkdtemp(prefix="bench_scale_", dir=build)
    sessions: dict[int, Session] = {}
    try:
        for size in SIZES:
            folder = os.path.join(base, str(size))
            os.makedirs(folder)
            start = time.perf_counter()
            generate(folder, size)
            print(f"[bench] scale: a file of {size:,} orders built in {time.perf_counter() - start:.1f} s",
                  file=sys.stderr, flush=True)
            sessions[size] = Session(folder, seed=size)
        per_event: dict[int, list[float]] = {size: [] for size in SIZES}
        for size in SIZES:  # one batch each first: pages of every file are read in before timing
            sessions[size].batch()
        for _ in range(ROUNDS):
            for size in SIZES:
                seconds, events = sessions[size].batch()
                per_event[size].append(seconds / events * 1e6)
        largest = sessions[SIZES[-1]]
        answers = {
            "/orders": lambda: largest.ask(get_orders=True, num_orders_displayed=REPORT_ROWS),
            "/orders -a": lambda: largest.ask(get_orders=True, active_orders=True,
                                              num_orders_displayed=REPORT_ROWS),
            "/deals": lambda: largest.ask(get_deals=True, num_deals_displayed=REPORT_ROWS),
            "/positions": lambda: largest.ask(get_positions=True),
        }
        report_ms = {name: min(ask() for _ in range(5)) for name, ask in answers.items()}
        shown = largest.chat.replies[-len(answers) * 5:]
        assert any(reply.startswith(f"Orders ({REPORT_ROWS} of ") for reply in shown), shown[:1]
        assert any(reply.startswith(f"Deals ({REPORT_ROWS} of ") for reply in shown)
    finally:
        for session in sessions.values():
            session.close()
        shutil.rmtree(base, ignore_errors=True)

    medians = {size: median(samples) for size, samples in per_event.items()}
    smallest, biggest = medians[SIZES[0]], medians[SIZES[-1]]
    figures = [Figure(f"scale: one recorded event, file of {size:,} orders", medians[size], "us/event",
                      None, None, "-", None) for size in SIZES[:-1]]
    ratio = biggest / smallest
    figures.append(Figure(f"scale: one recorded event, file of {SIZES[-1]:,} orders", biggest, "us/event",
                          smallest, ratio, f"{SIZES[-1]:,}/{SIZES[0]:,} orders <= {GROWTH_GOAL:g}",
                          ratio <= GROWTH_GOAL))
    for name, ms in report_ms.items():
        rows = "" if name == "/positions" else f" {REPORT_ROWS}"
        figures.append(absolute_figure(f"scale: chat {name}{rows}, file of {SIZES[-1]:,} orders", ms, "ms",
                                       REPORT_LIMIT_MS))
    return figures


if __name__ == "__main__":
    sys.path.insert(0, os.path.join(ROOT, "python"))
    for figure in run():
        print(figure)
