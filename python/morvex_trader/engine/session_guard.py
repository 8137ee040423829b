"""What keeps a live session sound when something goes wrong, around the main engine.

The guard owns the session clock (one time zone), the fill ledger (fills booked once),
the write-behind store (a busy database delays writes, loses none), the watchdog
(connections), the reconciler (books against the broker's) and the chat notifier. The
engine calls it at a few points: `start`, every event as it is drained (`admit`,
`applied`), every turn of its loop (`poll`), refusals, and `close` at the end.

Events for an order the engine does not know wait in the engine's pending list; after
`PENDING_GRACE` seconds (and with no order being placed) the guard looks the order up at
the broker: an order of the session's account is adopted, anything else is recorded as
foreign and reported. Nothing waits forever.
"""

from __future__ import annotations

import time
from collections import OrderedDict, deque
from datetime import datetime
from typing import TYPE_CHECKING, Callable, ContextManager, Iterable, Optional

from morvex_trader.core.constants import Direction, OrderStatus
from morvex_trader.engine import pending_writes
from morvex_trader.engine.clock import SessionClock
from morvex_trader.engine.fills import FillLedger, deal_key, malformed_reason
from morvex_trader.engine.notifier import Notifier
from morvex_trader.engine.reconcile import Reconciler, read_broker_orders
from morvex_trader.engine.store import as_row_id
from morvex_trader.engine.watch_settings import WatchSettings
from morvex_trader.engine.watchdog import Watchdog
from morvex_trader.engine.write_behind import DurableStore
from morvex_trader.gateways.cqg.watching_sink import GATEWAY

if TYPE_CHECKING:
    from morvex_trader.core.order import Order
    from morvex_trader.core.position import PositionData
    from morvex_trader.core.security import Security
    from morvex_trader.engine.main_engine import MainEngine, SessionSettings
    from morvex_trader.engine.reconcile import BrokerOrder
    from morvex_trader.engine.store import AccountStore
    from morvex_trader.gateways.cqg.cqg_gateway import CqgGateway
    from morvex_trader.plugins.telegram.bot import TelegramBot


RECENT_ORDERS = 4096  # finished orders remembered after the engine let them go


def _trace(text: str) -> None:
    try:
        from morvex_trader.gateways.cqg.wrapper.comhost import Trace

        Trace(text)
    except ImportError:  # no native modules: plain output
        print(text, flush=True)


class SessionGuard:
    def __init__(
        self,
        engine: MainEngine,
        settings: WatchSettings,
        bot: Optional[TelegramBot] = None,
        log: Optional[Callable[[str], None]] = None,
    ) -> None:
        settings.check()
        self.engine = engine
        self.settings = settings
        self.clock = SessionClock(settings.TIMEZONE)
        self.ledger = FillLedger()
        self.log = log or _trace
        self.notifier = Notifier(bot, settings.mode, settings.NOTIFY_RATE, log=self.log)
        self.watchdog = Watchdog(self, self.report)
        self.reconciler = Reconciler(self, self.report)
        self.store: Optional[DurableStore] = None
        self.pending_since: dict[str, float] = {}
        self.order_fills: dict[str, float] = {}  # broker order id -> quantity booked
        self.last_positions: Optional[dict[str, float]] = None
        self.counts = {"foreign_orders": 0, "foreign_fills": 0, "refused_while_down": 0}
        self.unwritten: list[pending_writes.PendingWrite] = []
        self._queued_orders: Optional[set[str]] = None
        self._recent: OrderedDict[str, Order] = OrderedDict()  # orders the engine let go, newest last

    # -- what the reconciler and the watchdog ask -------------------------------------------
    @property
    def gateway(self) -> CqgGateway:
        return self.engine.gateway

    @property
    def orders(self) -> dict[str, Order]:
        return self.engine.orders

    @property
    def session(self) -> SessionSettings:
        return self.engine.settings

    @property
    def placing_lock(self) -> ContextManager[bool]:
        return self.engine.placing_lock

    def clock_now(self) -> datetime:
        return self.engine.now()

    def from_cqg_time(self, when: Optional[datetime]) -> Optional[datetime]:
        return self.clock.from_cqg(when)

    def report(self, kind: str, text: str) -> None:
        """One trace line; and the chat, for a notification kind."""
        if kind == "trace":
            self.log("[watch] " + text)
        else:
            self.notifier.notify(kind, text)

    # -- start and end ----------------------------------------------------------------------
    def wrap_store(self, store: Optional[AccountStore]) -> Optional[DurableStore]:
        if store is None:
            return None
        path = self.settings.PENDING_WRITES
        if path is None:
            try:
                from morvex_trader.plugins.sqlite3 import db as db_module

                path = db_module._db_path() + "/morvex_trader.pending.jsonl"
            except Exception:  # no database folder configured: leftovers are only reported
                path = None
        self.store = DurableStore(
            store,
            pending_path=path,
            busy_timeout=self.settings.DB_BUSY_TIMEOUT,
            wal=self.settings.DB_WAL,
            on_notice=lambda kind, text: self.report("database" if kind != "error" else "error", text),
        )
        self.store.add_operation("adopt_order", _adopt_order)
        self.store.add_operation("bust_deal", _bust_deal)
        self.store.add_operation("correct_deal", _correct_deal)
        self.store.add_operation("record_foreign_deal", _record_foreign_deal)
        replayed = self.store.replay()
        if replayed:
            self.report("database", f"Replaying {len(replayed)} write(s) saved by the last session.")
        for item in replayed:  # fills written late: booked, by the session that saw them
            if item.op.endswith("record_deal"):
                self.ledger.load(item.args[0]["order_id"], [item.args[0]["deal_id"]])
        return self.store

    def load_earlier_fills(self, order_id: str) -> float:
        """Loads the fills the database holds for an order of an earlier session into the
        ledger (once); returns their quantity."""
        store = self.store
        if store is None:
            self.ledger.load(order_id, [])
            return 0.0
        raw_db = store.raw_db
        rows = store.read(
            lambda: raw_db.select_records(
                "trading_deal", ["broker_deal_id", "filled_quantity"], {"broker_order_id": order_id}
            )
        )
        self.ledger.load(order_id, [r[0] for r in rows])
        return float(sum(r[1] or 0 for r in rows))

    def unseen_fills(self, broker: BrokerOrder) -> bool:
        """Whether the broker lists a fill of `broker` (an order) that nobody booked."""
        if broker.fills and not self.ledger.knows_order(broker.guid):
            self.load_earlier_fills(broker.guid)
        return any(
            state is None and not self.ledger.contains(deal_id, broker.guid) for deal_id, state, *_ in broker.fills
        )

    def start(self) -> None:
        """After log-on and subscriptions: the books against the broker's."""
        if not getattr(type(self.gateway.tradelink), "watching", False):
            self.report(
                "error",
                "The gateway's sink does not report connection statuses or fill "
                "corrections: derive it from watching_sink.watching(TradeLink).",
            )
        self.reconcile("start")

    def reconcile(self, reason: str) -> None:
        self._queued_orders = None  # read again once, when needed
        self.reconciler.run(reason)
        self.resolve_pending(force=False)

    def close(self) -> list:
        """Writes what is queued (within DB_DRAIN_TIMEOUT), reports what could not be,
        and sends the last notices."""
        if self.store is not None:
            self.unwritten = self.store.close(self.settings.DB_DRAIN_TIMEOUT)
            for item in self.unwritten:
                self.report("trace", f"not written: {item.describe()}: {item.error}")
            if self.unwritten:
                where = self.store.pending_path or "nowhere (no database folder)"
                self.report(
                    "error",
                    f"{len(self.unwritten)} record(s) could not be written; saved to "
                    f"{where} for the next start: " + "; ".join(i.describe() for i in self.unwritten[:10]),
                )
        self.notifier.close()
        return self.unwritten

    # -- events -------------------------------------------------------------------------------
    def admit(self, kind: str, payload: dict) -> Optional[dict]:
        """An event as drained: times in the session's zone (None: a malformed fill or an
        event without an order id, reported, not to be applied). Deals are booked in the
        ledger when they are applied (`book`), once their order is known."""
        if kind == "deal":
            reason = malformed_reason(payload)
            if reason is not None:
                self.ledger.counts.malformed += 1
                self.report("error", f"Malformed fill from the broker skipped ({reason}): {payload!r}")
                return None
        payload = dict(payload, updated_time=self.clock.from_cqg(payload.get("updated_time")))
        if not isinstance(payload.get("order_id"), str):
            self.report("error", f"Broker event without an order id skipped: {kind} {payload!r}")
            return None
        return payload

    def book(self, deal: dict) -> bool:
        """Books a fill in the ledger; False (and one trace line) for a duplicate."""
        outcome = self.ledger.book(deal)
        if outcome != "booked":
            self.report("trace", f"fill {deal['deal_id']} of order {deal['order_id']} ignored: {outcome}")
            return False
        return True

    def released(self, order_id: str, order: Order) -> None:
        """The engine let a finished order go: kept here a while, since its row may still
        wait in the write queue when a late event comes."""
        self._recent[order_id] = order
        while len(self._recent) > RECENT_ORDERS:
            self._recent.popitem(last=False)

    def released_order(self, order_id: str) -> Optional[Order]:
        """An order the engine let go a while ago, or None."""
        return self._recent.get(order_id)

    def apply_to_recent(self, kind: str, payload: dict) -> bool:
        """A late event of an order the engine let go before its row was written (the book
        lock is held); False when the order is not among them."""
        order = self.released_order(payload["order_id"])
        if order is None or self.engine.store is None:
            return False
        if kind == "order":
            self.engine.store.update_order(payload)
        elif kind == "deal" and self.book(payload):
            self.engine.deals.append(payload)
            self.engine.counts.deals += 1
            self.engine._add_fill(order.security, order.direction, payload["filled_quantity"])
            self.engine.store.record_deal(payload, order)
        return True

    def note_pending(self, order_id: str) -> None:
        self.pending_since.setdefault(order_id, time.monotonic())

    def applied(self, kind: str, payload: dict, order: Optional[Order], before: Optional[OrderStatus] = None) -> None:
        """After the engine applied an event to a known order."""
        if kind == "deal":
            self.order_fills[payload["order_id"]] = (
                self.order_fills.get(payload["order_id"], 0) + payload["filled_quantity"]
            )
            code = order.security.code if order is not None else "?"
            side = order.direction.value if order is not None else ""
            self.report(
                "fill",
                f"Fill: {code} {side} {payload['filled_quantity']:g} @ "
                f"{payload['filled_avg_price']:.10g} (order {payload['order_id']})",
            )
        elif kind == "order" and payload["status"] is OrderStatus.FAILED and before is not OrderStatus.FAILED:
            code = order.security.code if order is not None else "?"
            self.report(
                "reject",
                f"Order rejected: {code} {order.direction.value if order else ''} "
                f"{getattr(order, 'quantity', 0):g} (order {payload['order_id']})",
            )

    def backlog_refusal(self) -> str:
        """Why a new order must not go out now: the database is so far behind that the
        order might not be recorded ("" when it may go). Waits a moment for the queue."""
        store, limit = self.store, self.settings.WRITE_QUEUE_LIMIT
        if store is None or store.depth <= limit or store.wait_below(limit, 0.5):
            return ""
        return f"database writes are behind ({store.depth} waiting): order not sent"

    def refused(self, order: Order, error: BaseException) -> None:
        if self.gateway.connection.is_down(GATEWAY):
            self.counts["refused_while_down"] += 1
        self.report(
            "reject",
            f"Order not sent: {getattr(order.security, 'code', '?')} "
            f"{order.direction.value} {order.quantity:g}: {error}",
        )

    def apply_correction(self, correction: dict) -> None:
        """A busted, cancelled or corrected fill (the engine's book lock is held)."""
        deal_id, order_id = correction["deal_id"], correction["order_id"]
        engine = self.engine
        if correction["kind"] in ("busted", "canceled"):
            reversed_fill = self.ledger.bust(deal_id)
            if reversed_fill is not None:
                _replace_deal(engine.deals, deal_id, None)
                self._move_position(order_id, -reversed_fill["filled_quantity"])
                self.order_fills[order_id] = self.order_fills.get(order_id, 0) - reversed_fill["filled_quantity"]
            if engine.store is not None:
                engine.store.submit("bust_deal", deal_key(deal_id), f"{correction['kind']} by the broker")
            was = (
                f"{reversed_fill['filled_quantity']:g} @ {reversed_fill['filled_avg_price']}"
                if reversed_fill
                else "not booked here"
            )
            self.report(
                "fill",
                f"Fill {deal_id} of order {order_id} {correction['kind']} by the broker: booking reversed ({was}).",
            )
            return
        reason = malformed_reason(dict(correction, updated_time=correction.get("updated_time") or engine.now()))
        if reason is not None:
            self.report("error", f"Malformed fill correction skipped ({reason}): {correction!r}")
            return
        old, new = self.ledger.correct(deal_id, correction["filled_avg_price"], correction["filled_quantity"])
        if old is not None and new is not None:
            _replace_deal(engine.deals, deal_id, new)
            self._move_position(order_id, new["filled_quantity"] - old["filled_quantity"])
            self.order_fills[order_id] = (
                self.order_fills.get(order_id, 0) - old["filled_quantity"] + new["filled_quantity"]
            )
        if engine.store is not None:
            engine.store.submit(
                "correct_deal",
                deal_key(deal_id),
                correction["filled_avg_price"],
                correction["filled_quantity"],
                "corrected by the broker",
            )
        self.report(
            "fill",
            f"Fill {deal_id} of order {order_id} corrected by the broker: now "
            f"{correction['filled_quantity']:g} @ {correction['filled_avg_price']}.",
        )

    def _move_position(self, order_id: str, quantity: float) -> None:
        order = self.engine.orders.get(order_id)
        if order is not None:
            self.engine._add_fill(order.security, order.direction, quantity)

    # -- the loop -------------------------------------------------------------------------------
    def poll(self) -> None:
        self.watchdog.poll()
        self.resolve_pending(force=False)

    def strategy_allowed(self, security: Security) -> bool:
        return self.watchdog.strategy_allowed(security)

    def resolve_pending(self, force: bool) -> None:
        """Events for unknown orders older than PENDING_GRACE (all of them when `force`):
        the order is adopted from the broker, or its events are recorded as foreign."""
        now = time.monotonic()
        grace = self.settings.PENDING_GRACE
        due = [oid for oid, since in list(self.pending_since.items()) if force or now - since >= grace]
        if not due:
            return
        engine = self.engine
        if not engine.placing_lock.acquire(blocking=force):
            return  # an order is being placed: its events may be the ones waiting
        try:
            for order_id in due:
                with engine.book_lock:
                    waiting = order_id in engine.pending_events and order_id not in engine.orders
                if not waiting:
                    self.pending_since.pop(order_id, None)
                    continue
                found = self._broker_order(order_id)
                if found is not None:
                    self.adopt(self.reconciler.order_from_broker(found), "order entered elsewhere")
                    self.reconciler.counts["adopted"] += 1
                    self.report(
                        "reconciliation",
                        f"Adopted order {order_id} ({found.symbol} "
                        f"{found.status.value}) entered outside this session.",
                    )
                else:
                    self._record_foreign(order_id)
                self.pending_since.pop(order_id, None)
        finally:
            engine.placing_lock.release()

    def _broker_order(self, order_id: str) -> Optional[BrokerOrder]:
        try:
            found = read_broker_orders(self.gateway.link.comHost.cqgCEL, guid=order_id)
        except Exception as error:
            self.report("trace", f"broker look-up of {order_id} failed: {error}")
            return None
        account = self.session.account_id
        return next((o for o in found if o.account_id in (0, account)), None)

    def _record_foreign(self, order_id: str) -> None:
        engine = self.engine
        with engine.book_lock:
            events = engine.pending_events.pop(order_id, [])
        fills = [p for k, p in events if k == "deal"]
        self.counts["foreign_orders"] += 1
        self.counts["foreign_fills"] += len(fills)
        if fills and not self.ledger.knows_order(order_id):
            self.load_earlier_fills(order_id)  # booked by an earlier session: not again
        for deal in fills:
            if self.ledger.book(deal) == "booked" and engine.store is not None:
                engine.store.submit(
                    "record_foreign_deal", deal, "foreign: order unknown to the engine and the broker's account"
                )
        self.report(
            "reconciliation",
            f"Order {order_id} is unknown here and at the broker's account: "
            f"{len(events) - len(fills)} update(s) and {len(fills)} fill(s) "
            "recorded as foreign.",
        )

    # -- books ----------------------------------------------------------------------------------
    def adopt(self, order: Order, remark: str) -> None:
        """Makes a broker order one of the engine's: stored (matched to its row, or a new
        row with `remark`), and the events that waited for it applied."""
        engine = self.engine
        booked = self.load_earlier_fills(order.order_id)
        with engine.book_lock:
            if order.order_id in engine.orders:
                return
            engine.orders[order.order_id] = order
            hold = getattr(engine, "_hold_finished", None)
            if hold is not None:  # a finished order counts among those the engine keeps
                hold(order.order_id, order)
            self.order_fills[order.order_id] = booked
            if engine.store is not None:
                engine.store.submit("adopt_order", order, remark)
            for kind, payload in engine.pending_events.pop(order.order_id, ()):
                engine.apply_event(kind, payload)
        self.pending_since.pop(order.order_id, None)
        self.report("trace", f"adopted {order.order_id}: {remark}")

    def book_unseen_fills(self, broker: BrokerOrder) -> list[str]:
        """Books the fills the broker lists on an order that the ledger has not seen (and
        reverses busted ones it has booked); returns one text per fill."""
        found = []
        for deal_id, state, price, quantity, when in broker.fills:
            if state is None and not self.ledger.contains(deal_id, broker.guid):
                deal = {
                    "deal_id": deal_id,
                    "order_id": broker.guid,
                    "updated_time": when,
                    "filled_avg_price": price,
                    "filled_quantity": quantity,
                }
                admitted = self.admit("deal", deal)
                if admitted is not None:
                    with self.engine.book_lock:
                        self.engine.apply_event("deal", admitted)
                    found.append(f"fill {deal_id} of {broker.guid} ({quantity:g} @ {price}) booked")
            elif (
                state in ("busted", "canceled")
                and self.ledger.contains(deal_id, broker.guid)
                and not self.ledger.is_reversed(deal_id)
            ):
                with self.engine.book_lock:
                    self.engine.apply_event(
                        "fill_correction",
                        {
                            "deal_id": deal_id,
                            "order_id": broker.guid,
                            "kind": state,
                            "updated_time": when,
                            "filled_avg_price": price,
                            "filled_quantity": quantity,
                        },
                    )
                found.append(f"fill {deal_id} of {broker.guid} {state}: booking reversed")
        return found

    def apply_broker_state(self, broker: BrokerOrder) -> None:
        update = {
            "order_id": broker.guid,
            "updated_time": self.clock.from_cqg(broker.timestamp),
            "filled_avg_price": broker.average_fill_price,
            "filled_quantity": broker.filled_quantity,
            "status": broker.status,
        }
        with self.engine.book_lock:
            self.engine.apply_event("order", update)

    def booked_quantity(self, order_id: str) -> Optional[float]:
        return self.order_fills.get(order_id)

    def stored_state(self, order_id: str) -> str | tuple[object, ...] | None:
        """The (status, filled quantity) the database holds for an order, "queued" when its
        row waits in the write queue, None when there is no row (no store: "queued")."""
        store = self.store
        if store is None:
            return "queued"
        if self._queued_orders is None:
            self._queued_orders = store.queued_order_ids()
        if order_id in self._queued_orders:
            return "queued"
        raw_db = store.raw_db
        rows = store.read(
            lambda: raw_db.select_records("trading_order", ["status", "filled_quantity"], {"broker_order_id": order_id})
        )
        return tuple(list(rows)[-1]) if len(rows) else None

    def last_snapshot_positions(self) -> Optional[dict[str, float]]:
        if self.last_positions is not None:
            return self.last_positions
        store = self.store
        if store is None:
            return None
        ident = store.identity

        db = store.raw_db

        def read() -> Optional[dict[str, float]]:
            balances = list(db.select_records("balance", ["id"], {"broker_account_id": ident.broker_account_id}))
            if not balances:
                return None
            rows = db.select_records(
                "position", ["security_code", "direction", "quantity"], {"balance_id": balances[-1][0]}
            )
            out: dict[str, float] = {}
            for code, direction, quantity in rows:
                sign = 1 if direction == Direction.LONG.value else -1
                out[str(code)] = out.get(str(code), 0) + sign * float(quantity or 0)
            return {k: v for k, v in out.items() if v}

        return store.read(read)

    def status_report(self) -> str:
        """Connections, last quote age per instrument, working orders, write queue, P&L."""
        engine, gateway = self.engine, self.gateway
        now = time.monotonic()
        connection = gateway.connection
        lines = [f"Status ({gateway.gateway_name}) at {engine.now():%Y-%m-%d %H:%M:%S} {self.clock.name}"]
        lines.append(
            f"gateway: {connection.status('gateway')} for {now - connection.since('gateway'):.0f} s, "
            f"data: {connection.status('data')} for {now - connection.since('data'):.0f} s"
        )
        ages = []
        for symbol in gateway.subscriptions:
            security = gateway.get_mx_security_from_cqg_symbol(symbol)
            code = security.code if security is not None else symbol
            seen = gateway.quote_times.get(security) if security is not None else None
            ages.append(f"{code} {now - seen:.1f} s" if seen is not None else f"{code} none yet")
        lines.append("last quote: " + (", ".join(ages) if ages else "no subscriptions"))
        working = engine.active_orders()
        by_code: dict[str, int] = {}
        for order in working:
            by_code[order.security.code] = by_code.get(order.security.code, 0) + 1
        lines.append(
            f"working orders: {len(working)}"
            + (" (" + ", ".join(f"{c} {n}" for c, n in sorted(by_code.items())) + ")" if by_code else "")
        )
        if self.store is not None:
            state = "delayed: database busy" if self.store.delayed_since is not None else "ok"
            lines.append(f"write queue: {self.store.depth} ({state})")
        balance = engine.last_balance
        if not connection.is_down("gateway"):
            try:
                balance = gateway.get_balance()
            except Exception:  # the last snapshot's figures
                pass
        if balance is not None:
            lines.append(f"session P&L: realised {balance.realized_pnl:.2f}, unrealised {balance.unrealized_pnl:.2f}")
        if self.strategy_paused():
            lines.append("strategy: paused (" + self.strategy_paused() + ")")
        return "\n".join(lines)

    def summary_lines(self) -> list[str]:
        """The session summary's lines about faults and what was done about them."""
        w, r, led = self.watchdog.counts, self.reconciler.counts, self.ledger.counts
        lines = [
            f"  reconnects         {w['reconnects']} gateway, {w['data_recoveries']} data "
            f"(drops: {w['gateway_drops']} gateway, {w['data_drops']} data, {w['silences']} silent quotes)",
            f"  resubscriptions    {w['resubscriptions']}",
            f"  reconciliations    {r['runs']} ({r['status_fixed']} status(es) fixed, "
            f"{r['position_differences']} position difference(s))",
            f"  adopted orders     {r['adopted']}",
            f"  duplicate fills    {led.duplicates} ignored",
            f"  fills busted       {led.busted}, corrected {led.corrected}, malformed {led.malformed}",
            f"  foreign orders     {self.counts['foreign_orders']} ({self.counts['foreign_fills']} fill(s))",
            f"  refused while down {self.counts['refused_while_down']}",
        ]
        if self.store is not None:
            c = self.store.counts
            lines.append(
                f"  database writes    {c['written']} ({c['deferred']} queued behind a busy file, "
                f"{c['retries']} retries, {c['replayed']} replayed, {len(self.unwritten)} unwritten)"
            )
        n = self.notifier
        lines.append(f"  notifications      {len(n.sent)} chat message(s), {n.folded} merged in")
        lines.append(f"  time zone          {self.clock.name}")
        return lines

    def strategy_paused(self) -> str:
        w = self.watchdog
        if w.gateway_down:
            return "gateway down"
        if w.data_down:
            return "data down"
        if w.silent:
            return "no quotes for " + ", ".join(s.code for s in w.silent)
        return ""

    def remember_positions(self, positions: Iterable[PositionData]) -> None:
        out: dict[str, float] = {}
        for p in positions:
            sign = 1 if p.direction is Direction.LONG else -1
            out[p.security.code] = out.get(p.security.code, 0) + sign * p.quantity
        self.last_positions = {k: v for k, v in out.items() if v}


def _replace_deal(deals: deque[dict], deal_id: object, new: Optional[dict]) -> None:
    """Replaces (or, with None, removes) a fill among the deals held in memory."""
    kept = [(new if deal_key(d["deal_id"]) == deal_key(deal_id) else d) for d in deals]
    deals.clear()
    deals.extend(d for d in kept if d is not None)


# -- store operations (run by the write-behind store, with its retrying `db`) -------------------
def _adopt_order(store: AccountStore, order: Order, remark: str) -> None:
    rows = store.db.select_records("trading_order", ["id"], {"broker_order_id": order.order_id})
    if len(rows) == 0:
        row_id = store.record_order(order, order.create_time)
        store.db.update_records("trading_order", {"remark": remark}, {"id": row_id})
    else:
        store._remember(order.order_id, as_row_id(list(rows)[-1][0]))
    store.update_order(
        {
            "order_id": order.order_id,
            "updated_time": order.updated_time or order.create_time,
            "filled_avg_price": order.filled_avg_price,
            "filled_quantity": order.filled_quantity,
            "status": order.status,
        }
    )


def _bust_deal(store: AccountStore, deal_id: str, remark: str) -> None:
    store.db.update_records("trading_deal", {"filled_quantity": 0, "remark": remark}, {"broker_deal_id": deal_id})


def _correct_deal(store: AccountStore, deal_id: str, price: float, quantity: float, remark: str) -> None:
    store.db.update_records(
        "trading_deal",
        {"filled_avg_price": float(price), "filled_quantity": int(quantity), "remark": remark},
        {"broker_deal_id": deal_id},
    )


def _record_foreign_deal(store: AccountStore, deal: dict, remark: str) -> None:
    store.record_deal(deal, None)
    store.db.update_records("trading_deal", {"remark": remark}, {"broker_deal_id": str(deal["deal_id"])})
