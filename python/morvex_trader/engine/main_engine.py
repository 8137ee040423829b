"""The main engine: one CQG gateway, the account store, the chat remote and a strategy.

The gateway's callbacks arrive on the COM thread and are only queued there; the engine
drains the queue, keeps its order book of record and writes the database. Orders may be
submitted from other threads than the one that drains: an update or a deal can then
arrive before `submit` has recorded its order, so such events wait (in arrival order)
until the order is recorded, and nothing is written against a missing order row.

`shutdown` stores everything the gateway received before its COM host stopped: it waits
for a placement under way (so that its order row is written), drains again after the
log-off, and stores what still waits for an order that was never recorded (fills then
link to no order row, as fills of orders entered elsewhere do).
"""

from __future__ import annotations

import sys
import threading
import time
from collections import defaultdict
from dataclasses import dataclass
from datetime import datetime
from typing import Any, Callable, Iterable, Optional

from morvex_trader.core.constants import ACTIVE_ORDER_STATUSES, Direction, Offset, OrderStatus, OrderType
from morvex_trader.core.order import Order
from morvex_trader.engine.order_instruction import InstructionError, parse_order_instruction
from morvex_trader.engine.remote import RemoteControl
from morvex_trader.engine.store import AccountStore


@dataclass
class SessionSettings:
    user_name: str = "demo"
    password: str = "demo"
    account_id: int = 1
    symbols: tuple[str, ...] = ()
    bar_lookback: int = 30
    strategy_interval: float = 0.5   # seconds between strategy runs
    snapshot_interval: float = 5.0   # seconds between balance snapshots
    progress_interval: float = 1.0   # seconds between progress lines (0: quiet)


@dataclass
class SessionCounts:
    placed: int = 0
    refused: int = 0
    deals: int = 0


class MainEngine:
    def __init__(self, gateway: Any, store: Optional[AccountStore], settings: SessionSettings,
                 strategy: Any = None, bot: Any = None,
                 now: Callable[[], datetime] = datetime.now) -> None:
        self.gateway = gateway
        self.store = store
        self.settings = settings
        self.strategy = strategy
        self.remote = RemoteControl(bot, self) if bot is not None else None
        self.now = now
        self.orders: dict[str, Order] = {}
        self.deals: list[dict] = []
        self._book_lock = threading.Lock()  # orders, deals, pending events and their rows
        self._pending: dict[str, list[tuple[str, dict]]] = defaultdict(list)
        # Held by submit from the placement until its order is recorded; shutdown takes it
        # so that no placement is under way while it stores the last events.
        self._submit_lock = threading.Lock()
        self.counts = SessionCounts()
        self.stop_requested = False
        self.started = False
        self.last_balance: Any = None  # the balance of the latest snapshot

    # -- session -------------------------------------------------------------------
    def start(self) -> None:
        s = self.settings
        self.gateway.connect()
        self.started = True
        self.gateway.logon(s.user_name, s.password)
        self.gateway.subscribe_account(s.account_id)
        for symbol in s.symbols:
            self.gateway.subscribe_market_data(symbol, s.bar_lookback)
        self.snapshot()

    def run(self, duration: float, on_progress: Optional[Callable[[str], None]] = None) -> None:
        s = self.settings
        start = time.monotonic()
        next_strategy = next_snapshot = next_progress = start
        while not self.stop_requested:
            now = time.monotonic()
            if now - start >= duration:
                break
            self.drain_events()
            if self.remote is not None:
                self.remote.poll()
            if self.strategy is not None and now >= next_strategy:
                next_strategy = now + s.strategy_interval
                for security in self.gateway.securities:
                    self.strategy.on_timer(self, security)
            if now >= next_snapshot:
                next_snapshot = now + s.snapshot_interval
                self.snapshot()
            if on_progress is not None and s.progress_interval and now >= next_progress:
                next_progress = now + s.progress_interval
                on_progress(self.progress_line(now - start))
            time.sleep(0.02)
        self.drain_events()

    def shutdown(self) -> None:
        """Stops in order: no new orders, the last events stored, log-off and COM host, then
        what arrived meanwhile stored too."""
        self.stop_requested = True
        if not self.started:
            return
        self.started = False
        with self._submit_lock:  # a placement under way records its order first
            try:
                self.drain_events()
                self.snapshot()
            finally:
                try:
                    self.gateway.close()
                finally:
                    self.drain_events()  # fills and updates of the snapshot and the log-off
                    self._store_unmatched()

    def request_stop(self) -> None:
        self.stop_requested = True

    # -- events from the gateway ---------------------------------------------------
    def drain_events(self) -> None:
        events = self.gateway.events
        with self._book_lock:
            while not events.empty():
                kind, payload = events.get_nowait()
                if payload["order_id"] in self.orders:
                    self._apply(kind, payload)
                else:
                    self._pending[payload["order_id"]].append((kind, payload))

    def _store_unmatched(self) -> None:
        """Stores the events still waiting for an order that will now never be recorded."""
        with self._book_lock:
            waiting, self._pending = self._pending, defaultdict(list)
            for events in waiting.values():
                for kind, payload in events:
                    self._apply(kind, payload)

    def _apply(self, kind: str, payload: dict) -> None:
        if kind == "order":
            self._on_order_update(payload)
        else:
            self._on_deal(payload)

    def _on_order_update(self, update: dict) -> None:
        order = self.orders.get(update["order_id"])
        if order is not None:
            order.status = update["status"]
            order.filled_avg_price = update["filled_avg_price"]
            order.filled_quantity = update["filled_quantity"]
            order.updated_time = update["updated_time"]
        if self.store is not None:
            self.store.update_order(update)

    def _on_deal(self, deal: dict) -> None:
        self.deals.append(deal)
        self.counts.deals += 1
        if self.store is not None:
            self.store.record_deal(deal, self.orders.get(deal["order_id"]))

    def snapshot(self) -> None:
        balance = self.gateway.get_balance()
        positions = self.gateway.get_positions()
        self.last_balance = balance
        if self.store is not None:
            self.store.snapshot_balance(balance, positions, self.now())

    # -- what the strategy uses ----------------------------------------------------
    def clock(self) -> float:
        return time.monotonic()

    def bars(self, security: Any) -> Optional[list]:
        try:
            return self.gateway.tradelink.get_subscribe_bars_data(security)
        except ValueError:
            return None  # the newest bar is still invalid: no decision on it

    def net_position(self, security: Any) -> float:
        total = 0.0
        for deal in self.deals:
            order = self.orders.get(deal["order_id"])
            if order is not None and order.security == security:
                sign = 1 if order.direction is Direction.LONG else -1
                total += sign * deal["filled_quantity"]
        return total

    def active_orders(self, security: Any = None) -> list[Order]:
        with self._book_lock:
            orders = list(self.orders.values())
        return [o for o in orders
                if o.status in ACTIVE_ORDER_STATUSES and (security is None or o.security == security)]

    def submit(self, order: Order) -> Optional[str]:
        """Places an order; the database row is written once the gateway has its id."""
        with self._submit_lock:  # shutdown waits until a placement under way is recorded
            return self._place_and_record(order)

    def _place_and_record(self, order: Order) -> Optional[str]:
        if self.stop_requested:
            return None
        order.gateway_name = self.gateway.gateway_name
        try:
            order_id = self.gateway.place_order(order)
        except (RuntimeError, ValueError) as error:
            self.counts.refused += 1
            print(f"[engine] order refused: {error}", file=sys.stderr, flush=True)
            return None
        order.status = OrderStatus.SUBMITTED
        with self._book_lock:
            self.orders[order_id] = order
            self.counts.placed += 1
            if self.store is not None:
                self.store.record_order(order, self.now())
            for kind, payload in self._pending.pop(order_id, ()):
                self._apply(kind, payload)
        return order_id

    def cancel(self, order_id: str) -> None:
        self.gateway.cancel_order(order_id)

    # -- reports for the chat ------------------------------------------------------
    def balance_report(self) -> str:
        b = self.gateway.get_balance()
        m = format_money
        return (f"Balance ({self.gateway.gateway_name}): cash={m(b.cash)} available={m(b.available_cash)} "
                f"net={m(b.net_cash_power)} margin={m(b.maintenance_margin)} "
                f"realized_pnl={m(b.realized_pnl)} unrealized_pnl={m(b.unrealized_pnl)}")

    def positions_report(self) -> str:
        positions = self.gateway.get_positions()
        if not positions:
            return f"No open positions ({self.gateway.gateway_name})."
        lines = [f"{p.security.code} {p.direction.value} {p.quantity:g} @ {p.holding_price:.4f}" for p in positions]
        return f"Positions ({self.gateway.gateway_name}):\n" + "\n".join(lines)

    def orders_report(self, active_only: bool, count: int) -> str:
        orders = self.active_orders() if active_only else list(self.orders.values())
        shown = orders[-count:] if count > 0 else []
        if not shown:
            return "No active orders." if active_only else "No orders."
        lines = [f"{o.order_id} {o.security.code} {o.direction.value} {o.order_type.value} "
                 f"{o.quantity:g}@{o.price} filled {o.filled_quantity:g} {o.status.value}" for o in shown]
        return f"Orders ({len(shown)} of {len(orders)}):\n" + "\n".join(lines)

    def deals_report(self, count: int) -> str:
        shown = self.deals[-count:] if count > 0 else []
        if not shown:
            return "No deals."
        lines = [f"{d['deal_id']} order {d['order_id']} {d['filled_quantity']:g}@{d['filled_avg_price']} "
                 f"{d['updated_time']}" for d in shown]
        return f"Deals ({len(shown)} of {len(self.deals)}):\n" + "\n".join(lines)

    def cancel_order_by_id(self, order_id: str, gateway_name: str) -> str:
        if gateway_name != self.gateway.gateway_name:
            return f"Unknown gateway {gateway_name!r}; nothing cancelled."
        order = self.orders.get(order_id)
        if order is None or order.status not in ACTIVE_ORDER_STATUSES:
            return f"Order {order_id} is not an active order; nothing cancelled."
        self.cancel(order_id)
        return f"Cancel sent for order {order_id}."

    def cancel_all_orders(self) -> str:
        active = self.active_orders()
        for order in active:
            self.cancel(order.order_id)
        return f"Cancel sent for {len(active)} active order(s)."

    def send_order_instruction(self, text: str) -> str:
        instruction = parse_order_instruction(text, [self.gateway.gateway_name])
        security = self._security_by_code(instruction.security_code)
        order = Order(security=security, price=instruction.price or 0.0, quantity=instruction.quantity,
                      direction=instruction.direction, order_type=instruction.order_type,
                      offset=instruction.offset, stop_price=instruction.stop_price)
        order_id = self.submit(order)
        if order_id is None:
            return f"Order not sent: the gateway refused {instruction.security_code}."
        return f"Order {order_id} sent: {instruction.direction.value} {instruction.quantity} {security.code} {instruction.order_type.value}."

    def close_positions(self, gateway_name: Optional[str]) -> str:
        if gateway_name is not None and gateway_name != self.gateway.gateway_name:
            return f"Unknown gateway {gateway_name!r}; nothing closed."
        sent = []
        for position in self.gateway.get_positions():
            opposite = Direction.SHORT if position.direction is Direction.LONG else Direction.LONG
            order = Order(security=position.security, price=0.0, quantity=position.quantity,
                          direction=opposite, order_type=OrderType.MARKET, offset=Offset.CLOSE)
            if self.submit(order):
                sent.append(f"{position.security.code} {opposite.value} {position.quantity:g} "
                            f"(closes {position.direction.value})")
        return "Closing orders sent: " + ", ".join(sent) if sent else "No positions to close."

    def _security_by_code(self, code: str) -> Any:
        for security in self.gateway.securities:
            if security.code == code:
                return security
        raise InstructionError(f"unknown security_code {code!r}")

    # -- progress and summary ------------------------------------------------------
    def status_counts(self) -> dict[str, int]:
        counts: dict[str, int] = {}
        for order in self.orders.values():
            counts[order.status.value] = counts.get(order.status.value, 0) + 1
        return counts

    def progress_line(self, elapsed: float) -> str:
        c = self.gateway.counts
        return (f"[{elapsed:5.1f}s] quotes={c['quote']} books={c['orderbook']} orders={self.counts.placed} "
                f"deals={self.counts.deals} statuses={self.status_counts()}")


def format_money(amount: Any) -> str:
    """An amount of money as the trader reads it: two decimals ("n/a" when not reported),
    never "-0.00"."""
    if amount is None:
        return "n/a"
    return f"{round(float(amount), 2) + 0.0:.2f}"


def format_summary(engine: MainEngine, db_path: Optional[str], row_counts: Optional[dict],
                   extra: Iterable[str] = ()) -> str:
    statuses = engine.status_counts()
    balance = engine.last_balance
    lines = [
        "Session summary",
        f"  orders placed      {engine.counts.placed}",
        f"  orders filled      {statuses.get(OrderStatus.FILLED.value, 0)}",
        f"  orders cancelled   {statuses.get(OrderStatus.CANCELLED.value, 0)}",
        f"  orders rejected    {statuses.get(OrderStatus.FAILED.value, 0) + engine.counts.refused}",
        f"  orders working     {sum(statuses.get(s.value, 0) for s in ACTIVE_ORDER_STATUSES)}",
        f"  deals              {engine.counts.deals}",
    ]
    if balance is not None:
        lines.append(f"  realised P&L       {format_money(balance.realized_pnl)}")
        lines.append(f"  unrealised P&L     {format_money(balance.unrealized_pnl)}")
    if row_counts:
        for table, rows in row_counts.items():
            lines.append(f"  rows {table:<14}{rows}")
    if db_path:
        lines.append(f"  database           {db_path}")
    lines.extend(extra)
    return "\n".join(lines)
