"""The main engine: one CQG gateway, the account store, the chat remote and a strategy.

The gateway's callbacks arrive on the COM thread and are only queued there; the engine
drains the queue, keeps its order book of record and writes the database. Orders may be
submitted from other threads than the one that drains: an update or a deal can then
arrive before `submit` has recorded its order, so such events wait (in arrival order)
until the order is recorded, and nothing is written against a missing order row.

Memory stays bounded in a long session: the engine keeps its working orders, the last
`orders_kept` finished ones and the last `deals_kept` deals; the chat reports reach older
ones through the database, and an event for an order no longer held is applied to the
order's row. Net positions are running figures.

`shutdown` stores everything the gateway received before its COM host stopped: it waits
for a placement under way (so that its order row is written), drains again after the
log-off, and stores what still waits for an order that was never recorded (fills then
link to no order row, as fills of orders entered elsewhere do).

The session guard (`session_guard.py`) keeps the session sound through faults: fills
booked once, a write-behind store, the connection watchdog, reconciliation with the
broker, one time zone and chat notifications. The engine calls it at a few points.
"""

from __future__ import annotations

import sys
import threading
import time
from collections import defaultdict, deque
from dataclasses import dataclass, field
from datetime import datetime
from typing import TYPE_CHECKING, Any, Callable, Optional

from morvex_trader.core.balance import AccountBalance
from morvex_trader.core.constants import ACTIVE_ORDER_STATUSES, Direction, Offset, OrderStatus, OrderType
from morvex_trader.core.order import Order
from morvex_trader.engine import report_texts
from morvex_trader.engine.order_instruction import InstructionError, parse_order_instruction
from morvex_trader.engine.remote import RemoteControl
from morvex_trader.engine.session_guard import SessionGuard
from morvex_trader.engine.store import AccountStore
from morvex_trader.engine.watch_settings import WatchSettings

if TYPE_CHECKING:
    from morvex_trader.core.data import Bar
    from morvex_trader.core.security import Security
    from morvex_trader.engine.session_recorder import SessionRecorder
    from morvex_trader.engine.strategy import Strategy
    from morvex_trader.gateways.cqg.cqg_gateway import CqgGateway
    from morvex_trader.plugins.telegram.bot import TelegramBot


@dataclass
class SessionSettings:
    user_name: str = "demo"
    password: str = "demo"
    account_id: int = 1
    symbols: tuple[str, ...] = ()
    bar_lookback: int = 30
    strategy_interval: float = 0.5  # seconds between strategy runs
    snapshot_interval: float = 5.0  # seconds between balance snapshots
    progress_interval: float = 1.0  # seconds between progress lines (0: quiet)
    orders_kept: int = 500  # finished orders held for the chat reports (older: database)
    deals_kept: int = 500  # deals held for the chat reports (older: database)
    watch: WatchSettings = field(default_factory=WatchSettings)  # faults, time zone, notifications


@dataclass
class SessionCounts:
    placed: int = 0
    refused: int = 0
    deals: int = 0
    reconnects: Optional[int] = None  # set by the watchdog once it has counted (None: not counted)


class MainEngine:
    def __init__(
        self,
        gateway: CqgGateway,
        store: Optional[AccountStore],
        settings: SessionSettings,
        strategy: Optional[Strategy] = None,
        bot: Optional[TelegramBot] = None,
        now: Optional[Callable[[], datetime]] = None,
        recorder: Optional[SessionRecorder] = None,
        log: Optional[Callable[[str], None]] = None,
    ) -> None:
        self.gateway = gateway
        self.settings = settings
        self.strategy = strategy
        self.remote = RemoteControl(bot, self) if bot is not None else None
        self.guard = SessionGuard(self, settings.watch, bot, log=log)
        self.now = now or self.guard.clock.now  # the session's time zone
        self.store = self.guard.wrap_store(store)
        self.orders: dict[str, Order] = {}  # working orders and the last finished ones
        self.deals: deque[dict] = deque(maxlen=max(0, settings.deals_kept))
        self._finished: dict[str, None] = {}  # finished orders held, oldest first
        self._released_orders = 0  # finished orders no longer held, and their statuses
        self._released_statuses: dict[str, int] = defaultdict(int)
        self._net: dict[Security, float] = defaultdict(float)  # security -> net filled quantity
        self._book_lock = threading.Lock()  # orders, deals, pending events and their rows
        self.book_lock = self._book_lock
        self._pending: dict[str, list[tuple[str, dict]]] = defaultdict(list)
        # Held by submit from the placement until its order is recorded; shutdown takes it
        # so that no placement is under way while it stores the last events.
        self._submit_lock = threading.RLock()
        self.placing_lock = self._submit_lock  # reconciliation waits for a placement too
        self.pending_events = self._pending
        self.last_refusal = ""
        self.counts = SessionCounts()
        self.stop_requested = False
        self.started = False
        self.last_balance: Optional[AccountBalance] = None  # the balance of the latest snapshot
        self.recorder = recorder  # a SessionRecorder: what the session report reads

    # -- session -------------------------------------------------------------------
    def start(self) -> None:
        s = self.settings
        self.gateway.connect()
        self.started = True
        self.gateway.logon(s.user_name, s.password)
        self.gateway.subscribe_account(s.account_id)
        for symbol in s.symbols:
            self.gateway.subscribe_market_data(symbol, s.bar_lookback)
        self.guard.start()
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
            self._guarded(self.guard.poll)
            if self.remote is not None:
                self.remote.poll()
            if self.strategy is not None and now >= next_strategy:
                next_strategy = now + s.strategy_interval
                for security in self.gateway.securities:
                    if self.guard.strategy_allowed(security):
                        self._guarded(self.strategy.on_timer, self, security)
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
                self.guard.resolve_pending(force=True)  # adopted while the broker can be asked
                self.snapshot()
            finally:
                if self.gateway.connection.is_down("gateway"):
                    self.gateway.logged_on = False  # a log-off would wait for a connection that is gone
                try:
                    self.gateway.close()
                finally:
                    self.drain_events()  # fills and updates of the snapshot and the log-off
                    self.guard.resolve_pending(force=True)  # adopted, or recorded as foreign
                    self._store_unmatched()
                    self.guard.close()

    def request_stop(self) -> None:
        self.stop_requested = True

    def _guarded(self, work: Callable[..., object], *args: object) -> None:
        """Runs one step of the loop; an error is reported and the session goes on."""
        try:
            work(*args)
        except Exception as error:
            self.guard.report(
                "error", f"Engine error in {getattr(work, '__qualname__', work)}: {type(error).__name__}: {error}"
            )

    # -- events from the gateway ---------------------------------------------------
    def drain_events(self) -> None:
        events = self.gateway.events
        with self._book_lock:
            while not events.empty():
                kind, payload = events.get_nowait()
                admitted = self.guard.admit(kind, payload)
                if admitted is None:
                    continue
                order_id = admitted["order_id"]
                if order_id in self.orders:
                    self.apply_event(kind, admitted)
                elif kind == "fill_correction" or not self._apply_released(kind, admitted):
                    self._pending[order_id].append((kind, admitted))
                    self.guard.note_pending(order_id)

    def _store_unmatched(self) -> None:
        """Stores the events still waiting for an order that will now never be recorded."""
        with self._book_lock:
            waiting, self._pending = self._pending, defaultdict(list)
            for events in waiting.values():
                for kind, payload in events:
                    self._apply(kind, payload)

    def apply_event(self, kind: str, payload: dict) -> None:
        """Applies an admitted event to its known order (the book lock is held)."""
        order = self.orders.get(payload["order_id"])
        if kind == "order":
            before = order.status if order is not None else None
            self._on_order_update(payload)
            self.guard.applied(kind, payload, order, before)
        elif kind == "deal":
            if self.guard.book(payload):
                self._on_deal(payload)
                self.guard.applied(kind, payload, order)
        else:
            self.guard.apply_correction(payload)

    _apply = apply_event

    def _on_order_update(self, update: dict) -> None:
        order = self.orders.get(update["order_id"])
        if order is not None:
            order.status = update["status"]
            order.filled_avg_price = update["filled_avg_price"]
            order.filled_quantity = update["filled_quantity"]
            order.updated_time = update["updated_time"]
            self._hold_finished(update["order_id"], order)
        if self.store is not None:
            self.store.update_order(update)

    def _on_deal(self, deal: dict) -> None:
        self.deals.append(deal)
        self.counts.deals += 1
        order = self.orders.get(deal["order_id"])
        if order is None:  # let go before this fill came (a restart takes over many at once)
            order = self.guard.released_order(deal["order_id"])
        if order is not None:
            self._add_fill(order.security, order.direction, deal["filled_quantity"])
        if self.store is not None:
            self.store.record_deal(deal, order)

    # -- bounded memory ------------------------------------------------------------
    def _hold_finished(self, order_id: str, order: Order) -> None:
        """Keeps the last `orders_kept` finished orders; older ones live on in the database."""
        if order.status in ACTIVE_ORDER_STATUSES:
            self._finished.pop(order_id, None)
            return
        self._finished[order_id] = None
        while len(self._finished) > max(0, self.settings.orders_kept):
            oldest = next(iter(self._finished))
            del self._finished[oldest]
            released = self.orders.pop(oldest, None)
            if released is not None:
                self.guard.released(oldest, released)
                self._released_orders += 1
                self._released_statuses[released.status.value] += 1

    def _apply_released(self, kind: str, payload: dict) -> bool:
        """A late event of a finished order no longer held (a deal booked once first). Its
        row may still wait in the write queue: the guard then still knows the order."""
        if self.store is None:
            return False
        if self.store.session_order(payload["order_id"]) is None:
            return self.guard.apply_to_recent(kind, payload)
        if kind == "deal" and not self.guard.book(payload):
            return True
        return self._apply_to_released(kind, payload)

    def _apply_to_released(self, kind: str, payload: dict) -> bool:
        """Applies a late event of a finished order no longer held, through its row of
        this session; False when no such row exists (not yet recorded, or not ours)."""
        store = self.store
        row = store.session_order(payload["order_id"]) if store is not None else None
        if store is None or row is None:
            return False
        if kind == "order":
            store.update_order(payload)
            new_status = payload["status"].value
            if new_status != row["status"]:
                self._released_statuses[row["status"]] -= 1
                self._released_statuses[new_status] += 1
        else:
            self.deals.append(payload)
            self.counts.deals += 1
            security = next((s for s in self.gateway.securities if s.code == row["security_code"]), None)
            if security is not None:
                self._add_fill(security, Direction(row["direction"]), payload["filled_quantity"])
            store.record_deal(payload, None)
        return True

    def _add_fill(self, security: Security, direction: Direction, quantity: float) -> None:
        self._net[security] += quantity if direction is Direction.LONG else -quantity

    def snapshot(self) -> None:
        if self.gateway.connection.is_down("gateway"):
            return  # the broker's account cannot be read now; the next snapshot will
        balance = self.gateway.get_balance()
        positions = self.gateway.get_positions()
        self.last_balance = balance
        self.guard.remember_positions(positions)
        if self.store is not None:
            self.store.snapshot_balance(balance, positions, self.now())
            if self.recorder is not None:
                self.recorder.on_snapshot(self)

    # -- what the strategy uses ----------------------------------------------------
    def clock(self) -> float:
        return time.monotonic()

    def bars(self, security: Security) -> Optional[list[Bar]]:
        try:
            return self.gateway.link.get_subscribe_bars_data(security)
        except ValueError:
            return None  # the newest bar is still invalid: no decision on it

    def net_position(self, security: Security) -> float:
        return self._net.get(security, 0.0)

    def active_orders(self, security: Optional[Security] = None) -> list[Order]:
        with self._book_lock:
            orders = list(self.orders.values())
        return [o for o in orders if o.status in ACTIVE_ORDER_STATUSES and (security is None or o.security == security)]

    def submit(self, order: Order) -> Optional[str]:
        """Places an order; the database row is written once the gateway has its id."""
        with self._submit_lock:  # shutdown waits until a placement under way is recorded
            return self._place_and_record(order)

    def _place_and_record(self, order: Order) -> Optional[str]:
        if self.stop_requested:
            return None
        order.gateway_name = self.gateway.gateway_name
        order.create_time = self.now()
        with self.placing_lock:
            try:
                backlog = self.guard.backlog_refusal()
                if backlog:
                    raise RuntimeError(backlog)
                order_id = self.gateway.place_order(order)
            except (RuntimeError, ValueError) as error:
                self.counts.refused += 1
                self.last_refusal = str(error)
                print(f"[engine] order refused: {error}", file=sys.stderr, flush=True)
                self.guard.refused(order, error)
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
        return report_texts.balance_text(self.gateway.gateway_name, self.gateway.get_balance())

    def status_report(self) -> str:
        return self.guard.status_report()

    def positions_report(self) -> str:
        return report_texts.positions_text(self.gateway.gateway_name, self.gateway.get_positions())

    def orders_report(self, active_only: bool, count: int) -> str:
        if active_only:
            orders = self.active_orders()
            total = len(orders)
        else:
            with self._book_lock:
                orders = list(self.orders.values())
                total = len(orders) + self._released_orders
        count = min(count, total if self.store is not None else len(orders))
        if count <= 0:
            return report_texts.no_orders_text(active_only)
        shown: list[report_texts.OrderLine]
        if self.store is None or active_only or self._released_orders == 0:
            shown = [
                (
                    o.order_id,
                    o.security.code,
                    o.direction.value,
                    o.order_type.value,
                    o.quantity,
                    o.price,
                    o.filled_quantity,
                    o.status.value,
                )
                for o in orders[-count:]
            ]
        else:  # older orders are no longer held: the session's newest rows, as stored
            shown = [_order_line(row) for row in self.store.recent_orders(count)]
        return report_texts.orders_text(shown, total)

    def deals_report(self, count: int) -> str:
        with self._book_lock:
            held = list(self.deals)
            total = self.counts.deals
        count = min(count, total if self.store is not None else len(held))
        if count <= 0:
            return report_texts.NO_DEALS
        shown: list[report_texts.DealLine]
        if count <= len(held) or self.store is None:
            shown = [
                (d["deal_id"], d["order_id"], d["filled_quantity"], d["filled_avg_price"], d["updated_time"])
                for d in held[-count:]
            ]
        else:  # older deals are no longer held: the session's newest rows, as stored
            shown = [_deal_line(row) for row in self.store.recent_deals(count)]
        return report_texts.deals_text(shown, total)

    def cancel_order_by_id(self, order_id: Optional[str], gateway_name: Optional[str]) -> str:
        if gateway_name != self.gateway.gateway_name:
            return f"Unknown gateway {gateway_name!r}; nothing cancelled."
        order = self.orders.get(order_id) if order_id is not None else None
        if order_id is None or order is None or order.status not in ACTIVE_ORDER_STATUSES:
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
        order = Order(
            security=security,
            price=instruction.price or 0.0,
            quantity=instruction.quantity,
            direction=instruction.direction,
            order_type=instruction.order_type,
            offset=instruction.offset,
            stop_price=instruction.stop_price,
        )
        order_id = self.submit(order)
        if order_id is None:
            reason = f": {self.last_refusal}" if self.last_refusal else ""
            return f"Order not sent: the gateway refused {instruction.security_code}{reason}."
        return (
            f"Order {order_id} sent: {instruction.direction.value} {instruction.quantity} {security.code} "
            f"{instruction.order_type.value}."
        )

    def close_positions(self, gateway_name: Optional[str]) -> str:
        if gateway_name is not None and gateway_name != self.gateway.gateway_name:
            return f"Unknown gateway {gateway_name!r}; nothing closed."
        sent = []
        for position in self.gateway.get_positions():
            opposite = Direction.SHORT if position.direction is Direction.LONG else Direction.LONG
            order = Order(
                security=position.security,
                price=0.0,
                quantity=position.quantity,
                direction=opposite,
                order_type=OrderType.MARKET,
                offset=Offset.CLOSE,
            )
            if self.submit(order):
                sent.append(
                    f"{position.security.code} {opposite.value} {position.quantity:g} "
                    f"(closes {position.direction.value})"
                )
        return "Closing orders sent: " + ", ".join(sent) if sent else "No positions to close."

    def report_photo(self) -> tuple[Optional[str], str]:
        """(path of the session report picture, its caption), or (None, why there is none)."""
        if self.recorder is None:
            return None, "No session report: this session keeps no record."
        from morvex_trader.engine.report_data import NoSessionData

        try:
            report = self.recorder.draw(self)
        except NoSessionData as error:
            return None, f"No session report: {error}."
        return self.recorder.report_path, report.caption

    def _security_by_code(self, code: str) -> Security:
        for security in self.gateway.securities:
            if security.code == code:
                return security
        raise InstructionError(f"unknown security_code {code!r}")

    # -- progress and summary ------------------------------------------------------
    def status_counts(self) -> dict[str, int]:
        counts = {status: n for status, n in self._released_statuses.items() if n}
        for order in self.orders.values():
            counts[order.status.value] = counts.get(order.status.value, 0) + 1
        return counts

    def progress_line(self, elapsed: float) -> str:
        c = self.gateway.counts
        return (
            f"[{elapsed:5.1f}s] quotes={c['quote']} books={c['orderbook']} orders={self.counts.placed} "
            f"deals={self.counts.deals} statuses={self.status_counts()}"
        )


def _order_line(row: dict[str, Any]) -> report_texts.OrderLine:
    """An order row as stored (store.REPORT_ORDER_COLUMNS), as a line of the orders reply."""
    return (
        row["broker_order_id"],
        row["security_code"],
        row["direction"],
        row["order_type"],
        row["quantity"],
        row["price"],
        row["filled_quantity"],
        row["status"],
    )


def _deal_line(row: dict[str, Any]) -> report_texts.DealLine:
    """A deal row as stored (store.REPORT_DEAL_COLUMNS), as a line of the deals reply."""
    return (
        row["broker_deal_id"],
        row["broker_order_id"],
        row["filled_quantity"],
        row["filled_avg_price"],
        row["update_time"],
    )
