"""A year of trading: the engine records orders, deals and snapshots into database files that
already hold 1,000, 100,000 and 1,000,000 orders, and answers the chat's reports.

The files are built on disk (a temporary folder under build/) by a generator: the db
plug-in creates the tables and indexes, then Python's sqlite3 fills them in one
transaction with recursive CTEs (deals and balance snapshots in proportion to the orders).
Then the engine (the real MainEngine and AccountStore, over a stand-in gateway that
accepts every order) records events into each file; batches go round the files in turn,
so that load on the shared machine falls on every size alike, and each size keeps its
median batch. The goal is flat growth: time per event at the largest size over the
smallest.

On disk every event waits for its commit to reach the disk (the plug-in commits each
statement), and that wait is the same at every size; so the files are also copied to a
RAM-backed folder (/dev/shm), where what is left is SQLite's own work per event and any
growth with the file would show at once. The chat's /orders, /deals and /positions
answers are timed at the largest size on disk, asking for more orders and deals than the
engine holds in memory.
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
# (folder kind, batches per size, orders per batch); each order: the order, its fill update and
# its deal; a balance snapshot every 10 orders.
PLACES = (("disk", 5, 10), ("RAM", 15, 30))
KEPT_IN_MEMORY = 20  # orders_kept and deals_kept of the engines
REPORT_ROWS = 50  # rows asked of /orders and /deals (more than the engine holds)
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
        "unrealized_pnl, realized_pnl, update_time, remark) "
        + _SEQUENCE.format(count=snapshots)
        + "SELECT 'CQG', 'SIMULATE', 300001, '300001', 1, 'default', '1.0', 'history', 'active', "
        "500000.0 + i, 499000.0 + i, 0.0, 1000.0, 0.0, i * 0.5, "
        "datetime('2025-01-01', '+' || (i * 600) || ' seconds'), 'snapshot' FROM n"
    )
    conn.execute(
        "INSERT INTO position (balance_id, security_name, security_code, direction, holding_price, "
        "quantity, update_time) "
        + _SEQUENCE.format(count=snapshots * POSITIONS_PER_SNAPSHOT)
        + f"SELECT (i + 1) / {POSITIONS_PER_SNAPSHOT}, 'E-mini S&P 500', 'EP', "
        "CASE i % 2 WHEN 0 THEN 'LONG' ELSE 'SHORT' END, 4500.25, 1 + i % 5, "
        "datetime('2025-01-01', '+' || (i * 300) || ' seconds') FROM n"
    )
    conn.execute(
        "INSERT INTO trading_order (broker_order_id, balance_id, security_name, security_code, price, "
        "quantity, direction, offset, order_type, create_time, update_time, filled_avg_price, "
        "filled_quantity, status) "
        + _SEQUENCE.format(count=orders)
        + f"SELECT printf('HIST-%010d', i), 1 + i / {ORDERS_PER_SNAPSHOT}, 'E-mini S&P 500', 'EP', "
        "4500.0 + (i % 40) * 0.25, 1 + i % 3, CASE i % 2 WHEN 0 THEN 'LONG' ELSE 'SHORT' END, 'OPEN', "
        "'LIMIT', datetime('2025-01-01', '+' || (i * 12) || ' seconds'), "
        "datetime('2025-01-01', '+' || (i * 12 + 5) || ' seconds'), 4500.0, 1, "
        f"CASE WHEN i <= {deals} THEN 'FILLED' ELSE 'CANCELLED' END FROM n"
    )
    conn.execute(
        "INSERT INTO trading_deal (broker_deal_id, broker_order_id, order_id, balance_id, "
        "security_name, security_code, direction, offset, order_type, update_time, "
        "filled_avg_price, filled_quantity) "
        + _SEQUENCE.format(count=deals)
        + f"SELECT printf('HDEAL-%010d', i), printf('HIST-%010d', i), i, 1 + i / {ORDERS_PER_SNAPSHOT}, "
        "'E-mini S&P 500', 'EP', CASE i % 2 WHEN 0 THEN 'LONG' ELSE 'SHORT' END, 'OPEN', 'LIMIT', "
        "datetime('2025-01-01', '+' || (i * 12 + 5) || ' seconds'), 4500.0, 1 FROM n"
    )
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
        self._balance = SimpleNamespace(
            cash=500_000.0,
            available_cash=499_000.0,
            net_cash_power=0.0,
            maintenance_margin=1000.0,
            unrealized_pnl=-80.0,
            realized_pnl=120.5,
        )
        from morvex_trader.core.constants import Direction

        self._positions = [
            SimpleNamespace(security=security, direction=direction, holding_price=4500.25, quantity=3)
            for direction in (Direction.LONG, Direction.SHORT)
        ]

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
            morvex_trader_status="Running",
            get_balance=False,
            get_positions=False,
            get_orders=False,
            num_orders_displayed=1,
            active_orders=False,
            get_deals=False,
            num_deals_displayed=1,
            cancel_order=False,
            cancel_order_id=None,
            gateway_name=None,
            cancel_orders=False,
            send_order=False,
            order_string="",
            close_positions=False,
            close_positions_gateway_name=None,
        )
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
            self.gateway,
            AccountStore(self.db, AccountIdentity("CQG", "SIMULATE", 300001, "300001")),
            SessionSettings(account_id=300001, orders_kept=KEPT_IN_MEMORY, deals_kept=KEPT_IN_MEMORY),
            bot=self.chat,
            now=self._now,
        )
        self.engine.snapshot()

    def _now(self) -> datetime:
        return self.clock

    def batch(self, orders: int) -> tuple[float, int]:
        """Records `orders` orders with their fill and deal; returns (seconds, events)."""
        from morvex_trader.core.constants import Direction, Offset, OrderStatus, OrderType
        from morvex_trader.core.order import Order

        engine, events = self.engine, self.gateway.events
        recorded = 0
        start = time.perf_counter()
        for i in range(orders):
            self.clock += timedelta(seconds=3)
            order = Order(
                security=self.security,
                price=4500.25,
                quantity=2,
                direction=Direction.LONG if i % 2 else Direction.SHORT,
                order_type=OrderType.LIMIT,
                offset=Offset.OPEN,
                create_time=self.clock,
            )
            order_id = engine.submit(order)
            events.put(
                (
                    "order",
                    {
                        "order_id": order_id,
                        "status": OrderStatus.FILLED,
                        "filled_avg_price": 4500.25,
                        "filled_quantity": 2,
                        "updated_time": self.clock,
                    },
                )
            )
            events.put(
                (
                    "deal",
                    {
                        "deal_id": order_id + "-1",
                        "order_id": order_id,
                        "filled_avg_price": 4500.25,
                        "filled_quantity": 2,
                        "updated_time": self.clock,
                    },
                )
            )
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


def _per_event(sessions: dict[int, Session], rounds: int, orders: int) -> dict[int, float]:
    """Median microseconds per recorded event at each size, batches going round the sizes."""
    samples: dict[int, list[float]] = {size: [] for size in sessions}
    for session in sessions.values():  # one batch each first: pages are read in before timing
        session.batch(orders)
    for _ in range(rounds):
        for size, session in sessions.items():
            seconds, events = session.batch(orders)
            samples[size].append(seconds / events * 1e6)
    return {size: median(values) for size, values in samples.items()}


def _growth_figures(place: str, per_event: dict[int, float]) -> list[Figure]:
    smallest, largest = per_event[SIZES[0]], per_event[SIZES[-1]]
    figures = [
        Figure(
            f"scale: one recorded event, {place}, file of {size:,} orders",
            per_event[size],
            "us/event",
            None,
            None,
            "-",
            None,
        )
        for size in SIZES[:-1]
    ]
    ratio = largest / smallest
    figures.append(
        Figure(
            f"scale: one recorded event, {place}, file of {SIZES[-1]:,} orders",
            largest,
            "us/event",
            smallest,
            ratio,
            f"{SIZES[-1]:,}/{SIZES[0]:,} orders <= {GROWTH_GOAL:g}",
            ratio <= GROWTH_GOAL,
        )
    )
    return figures


def _chat_answers(session: Session) -> list[Figure]:
    answers = {
        "/orders": lambda: session.ask(get_orders=True, num_orders_displayed=REPORT_ROWS),
        "/orders -a": lambda: session.ask(get_orders=True, active_orders=True, num_orders_displayed=REPORT_ROWS),
        "/deals": lambda: session.ask(get_deals=True, num_deals_displayed=REPORT_ROWS),
        "/positions": lambda: session.ask(get_positions=True),
    }
    figures = []
    for name, ask in answers.items():
        ms = min(ask() for _ in range(5))
        rows = "" if name == "/positions" else f" {REPORT_ROWS}"
        figures.append(
            absolute_figure(f"scale: chat {name}{rows}, disk, file of {SIZES[-1]:,} orders", ms, "ms", REPORT_LIMIT_MS)
        )
    replies = session.chat.replies
    assert any(r.startswith(f"Orders ({REPORT_ROWS} of ") for r in replies), "the report did not reach back"
    assert any(r.startswith(f"Deals ({REPORT_ROWS} of ") for r in replies), "the report did not reach back"
    return figures


def _former_lookup_us(folder: str) -> float:
    """What each recorded order used to cost on top: finding its new row by broker_order_id
    without an index (SQLite told NOT INDEXED, so it reads the table as it did then)."""
    conn = sqlite3.connect(os.path.join(folder, "morvex_trader.db"))
    try:
        start = time.perf_counter()
        for i in range(3):
            conn.execute(
                "SELECT id FROM trading_order NOT INDEXED WHERE broker_order_id=?", (f"HIST-{i * 7919:010d}",)
            ).fetchall()
        return (time.perf_counter() - start) / 3 * 1e6
    finally:
        conn.close()


def run() -> list[Figure]:
    build = os.path.join(ROOT, "build")
    os.makedirs(build, exist_ok=True)
    bases = {"disk": tempfile.mkdtemp(prefix="bench_scale_", dir=build)}
    if os.path.isdir("/dev/shm"):
        bases["RAM"] = tempfile.mkdtemp(prefix="mx_bench_scale_", dir="/dev/shm")
    figures: list[Figure] = []
    try:
        for size in SIZES:
            folder = os.path.join(bases["disk"], str(size))
            os.makedirs(folder)
            start = time.perf_counter()
            generate(folder, size)
            print(
                f"[bench] scale: a file of {size:,} orders built in {time.perf_counter() - start:.1f} s",
                file=sys.stderr,
                flush=True,
            )
            if "RAM" in bases:
                shutil.copytree(folder, os.path.join(bases["RAM"], str(size)))
        for place, rounds, orders in PLACES:
            if place not in bases:
                continue
            sessions = {size: Session(os.path.join(bases[place], str(size)), seed=size) for size in SIZES}
            try:
                per_event = _per_event(sessions, rounds, orders)
                figures += _growth_figures(place, per_event)
                if place == "RAM":
                    former = _former_lookup_us(os.path.join(bases[place], str(SIZES[-1])))
                    figures.append(
                        Figure(
                            f"scale: former look-up of a new order's row (a scan), RAM, file of {SIZES[-1]:,} orders",
                            former,
                            "us",
                            per_event[SIZES[-1]],
                            former / per_event[SIZES[-1]],
                            "for comparison (former look-up/one event now)",
                            None,
                        )
                    )
                if place == "disk":
                    figures += _chat_answers(sessions[SIZES[-1]])
            finally:
                for session in sessions.values():
                    session.close()
    finally:
        for base in bases.values():
            shutil.rmtree(base, ignore_errors=True)
    return figures


if __name__ == "__main__":
    sys.path.insert(0, os.path.join(ROOT, "python"))
    for figure in run():
        print(figure)
