"""A store that a busy database cannot stop: writes wait in order and are retried.

`DurableStore` wraps the `AccountStore` and offers the same operations. Each operation
(a balance snapshot, an order row, an order update, a deal...) runs at once on the
caller's thread when nothing waits before it; when SQLite answers that the database is
locked or busy (another program holds a transaction on the file), the operation goes to
a queue that a writer thread works through in order, retrying with backoff until the
database is free. The engine never waits for the database and never ends because of it.

Each statement an operation commits is counted, so a retried operation skips what was
already written: nothing is written twice. The trader is told once when writes start to
wait and once when they are all through. `close` drains the queue within its time limit;
what is still waiting then (and any operation that failed for another reason) is saved
to the pending-writes file, named in the report, and replayed by the next start.

The `db` plug-in holds its process-wide lock while SQLite waits for a busy file, so the
store shortens SQLite's own wait (`PRAGMA busy_timeout`) and does the waiting itself,
with the lock free.
"""

from __future__ import annotations

import sqlite3
import threading
import time
from collections import deque
from types import SimpleNamespace
from datetime import datetime
from typing import TYPE_CHECKING, Any, Callable, Iterable, Optional, cast

from morvex_trader.engine import pending_writes
from morvex_trader.engine.pending_writes import PendingWrite
from morvex_trader.engine.store import as_row_id

if TYPE_CHECKING:
    from morvex_trader.core.balance import AccountBalance
    from morvex_trader.core.order import Order
    from morvex_trader.core.position import PositionData
    from morvex_trader.engine.store import AccountStore
    from morvex_trader.plugins.sqlite3.db import DB

Notice = Callable[[str, str], None]  # (kind, text): kind "delayed", "through", "error"

_BUSY_NAMES = ("SQLITE_BUSY", "SQLITE_LOCKED")


def is_busy(error: BaseException) -> bool:
    """Whether SQLite refused because another connection holds the file."""
    if not isinstance(error, sqlite3.OperationalError):
        return False
    name = getattr(error, "sqlite_errorname", "") or ""
    if name.startswith(_BUSY_NAMES):
        return True
    text = str(error)
    return "database is locked" in text or "database table is locked" in text or "database is busy" in text


class Deferred(Exception):
    """A write on the caller's thread met a busy database: the writer thread takes over."""


class Abandoned(Exception):
    """Shutdown stopped waiting for the database."""


class _RetryingDB:
    """The database as the store's operations see it: busy statements are retried,
    statements already committed by an earlier run of the operation are skipped."""

    _WRITES = ("insert_records", "insert_and_get_id", "update_records", "delete_records", "execute")

    def __init__(self, db: DB, owner: DurableStore) -> None:
        self._db = db
        self._owner = owner

    def __getattr__(self, name: str) -> Any:
        target = getattr(self._db, name)
        if name in self._WRITES:
            return lambda *a, **k: self._owner._statement(target, a, k, write=True)
        if name == "select_records":
            return lambda *a, **k: self._owner._statement(target, a, k, write=False)
        return target


class DurableStore:
    """The account store behind a write-behind queue (see the module's text)."""

    def __init__(
        self,
        store: AccountStore,
        *,
        pending_path: Optional[str] = None,
        on_notice: Optional[Notice] = None,
        busy_timeout: float = 0.1,
        backoff: tuple[float, float] = (0.02, 0.5),
        wal: bool = False,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        self._store = store
        self.raw_db = store.db
        store.db = cast("DB", _RetryingDB(store.db, self))  # the same calls, retried
        self.pending_path = pending_path
        self._notice = on_notice if on_notice is not None else (lambda kind, text: None)
        self._backoff = backoff
        self._clock = clock
        self._queue: deque[PendingWrite] = deque()
        self._cv = threading.Condition()
        self._run_lock = threading.Lock()  # one operation at a time, in queue order
        self._running = False
        self._closing = False
        self._abandon = threading.Event()
        self._local = threading.local()  # the operation running on this thread
        self.failed: list[PendingWrite] = []  # refused for a reason other than busy
        self.delayed_since: Optional[float] = None
        self.counts = {"written": 0, "deferred": 0, "retries": 0, "replayed": 0}
        self._extra_ops: dict[str, Callable[..., Any]] = {}
        self._set_busy_timeout(busy_timeout)
        if wal:  # changes the file for every program that opens it: only when asked
            self.read(lambda: self.raw_db.execute("PRAGMA journal_mode = WAL"))
        self._thread = threading.Thread(target=self._writer, name="db-writer", daemon=True)
        self._thread.start()

    # -- the AccountStore surface -------------------------------------------------------
    def __getattr__(self, name: str) -> Any:
        return getattr(self._store, name)  # balance_id, order_rows, identity, db ...

    def snapshot_balance(self, balance: AccountBalance, positions: Iterable[PositionData], now: datetime) -> None:
        self.submit("snapshot_balance", balance, list(positions), now)

    def record_order(self, order: Order, now: datetime) -> None:
        self.submit("record_order", order, now)

    def update_order(self, update: dict) -> None:
        self.submit("update_order", update)

    def record_deal(self, deal: dict, order: Optional[Order]) -> None:
        self.submit("record_deal", deal, order)

    def row_counts(self) -> dict[str, int]:
        return self.read(self._store.row_counts)

    def add_operation(self, name: str, function: Callable[..., Any]) -> None:
        """Registers an operation of another module; it runs with the store's `db`."""
        self._extra_ops[name] = function

    # -- queue ----------------------------------------------------------------------------
    @property
    def depth(self) -> int:
        """Operations waiting (and the one running from the queue)."""
        with self._cv:
            return len(self._queue)

    def submit(self, op: str, *args: Any) -> None:
        self._enqueue(PendingWrite(op, args))

    def _enqueue(self, item: PendingWrite) -> None:
        with self._cv:
            direct = not self._queue and not self._closing and self._run_lock.acquire(blocking=False)
            if not direct:
                self._queue.append(item)
                self._cv.notify_all()
                return
        try:
            self._running = True
            self._execute(item, direct=True)
        except Deferred:
            with self._cv:
                self._queue.appendleft(item)
                self.counts["deferred"] += 1
                self._cv.notify_all()
        except Exception as error:
            self._failed(item, error)
        finally:
            with self._cv:
                self._running = False
                self._cv.notify_all()
            self._run_lock.release()

    def queued_order_ids(self) -> set[str]:
        """Broker ids of the orders whose rows wait in the queue (replayed ones included)."""
        with self._cv:
            items = list(self._queue)
        return {
            item.args[0].order_id for item in items if item.op in ("record_order", "replay_record_order", "adopt_order")
        }

    def wait_below(self, depth: int, timeout: float) -> bool:
        """Waits until at most `depth` operations wait; False when `timeout` ran out first."""
        with self._cv:
            return self._cv.wait_for(lambda: len(self._queue) <= depth, timeout)

    def flush(self, timeout: float) -> bool:
        """Waits until every operation is written; False when `timeout` ran out first."""
        with self._cv:
            return self._cv.wait_for(lambda: not self._queue and not self._running, timeout)

    def close(self, timeout: float) -> list[PendingWrite]:
        """Drains the queue for at most `timeout` seconds, then stops the writer. Returns
        what could not be written (also saved to the pending-writes file, or the file is
        removed when everything is through)."""
        with self._cv:
            self._closing = True
            self._cv.notify_all()
            self._cv.wait_for(lambda: not self._queue and not self._running, timeout)
        self._abandon.set()
        self._thread.join()
        with self._cv:
            queued = list(self._queue)
            left = queued + self.failed
            self._queue.clear()
        cause = queued[0].error if queued and queued[0].error else "the database stayed busy"
        for item in queued[1:]:
            item.error = item.error or f"queued behind a write that waited: {cause}"
        if queued and not queued[0].error:
            queued[0].error = cause
        if self.pending_path:
            pending_writes.save(self.pending_path, left)
        return left

    def replay(self) -> list[PendingWrite]:
        """Queues the writes an earlier session saved, ahead of everything else. Their
        deal and order rows are written only when not already there."""
        writes = pending_writes.load(self.pending_path)
        for item in writes:
            if item.op in ("record_deal", "record_order", "update_order"):
                item.op = "replay_" + item.op
            item.error = ""
            self.counts["replayed"] += 1
            self._enqueue(item)
        if writes:
            self.submit("_replay_done")
        return writes

    def read(self, function: Callable[[], Any], timeout: float = 30.0) -> Any:
        """Runs a read on the caller's thread, waiting out a busy database (at most
        `timeout` seconds, then the busy error is raised)."""
        backoff, deadline = self._backoff[0], self._clock() + timeout
        while True:
            try:
                return function()
            except sqlite3.OperationalError as error:
                if not is_busy(error) or self._clock() >= deadline:
                    raise
            time.sleep(backoff)
            backoff = min(backoff * 2, self._backoff[1])

    # -- running operations ---------------------------------------------------------------
    def _writer(self) -> None:
        while True:
            with self._cv:
                self._cv.wait_for(lambda: self._queue or self._closing)
                if not self._queue:
                    return
            if self._abandon.is_set():
                return
            with self._run_lock:
                with self._cv:
                    if not self._queue:
                        continue
                    item = self._queue[0]
                    self._running = True
                try:
                    self._execute(item, direct=False)
                except Abandoned:
                    with self._cv:
                        self._running = False
                        self._cv.notify_all()
                    return
                except Exception as error:
                    self._failed(item, error)
                with self._cv:
                    if self._queue and self._queue[0] is item:
                        self._queue.popleft()
                    self._running = False
                    emptied = not self._queue
                    self._cv.notify_all()
            if emptied:
                self._through()

    def _execute(self, item: PendingWrite, direct: bool) -> None:
        self._local.item, self._local.count, self._local.direct = item, 0, direct
        try:
            if item.op == "_replay_done":
                if self.pending_path:
                    pending_writes.save(self.pending_path, self.failed)
                return
            function = self._extra_ops.get(item.op) or _REPLAY_OPS.get(item.op)
            if function is not None:
                function(self._store, *item.args)
            else:
                getattr(self._store, item.op)(*item.args)
            self.counts["written"] += 1
        finally:
            self._local.item = None

    def _statement(self, function: Callable, args: tuple, kwargs: dict, write: bool) -> Any:
        item: Optional[PendingWrite] = getattr(self._local, "item", None)
        if item is None:  # outside an operation: a plain read or write on this thread
            return self.read(lambda: function(*args, **kwargs))
        if write and self._local.count < item.done_writes:
            self._local.count += 1  # committed by an earlier run of this operation
            return item.results[self._local.count - 1] if self._local.count <= len(item.results) else None
        backoff = self._backoff[0]
        while True:
            try:
                result = function(*args, **kwargs)
                break
            except sqlite3.OperationalError as error:
                if not is_busy(error):
                    raise
                item.error = str(error)
                self._delayed(str(error))
                if self._local.direct:
                    raise Deferred(str(error)) from error
                self.counts["retries"] += 1
                if self._abandon.wait(backoff):
                    raise Abandoned(str(error)) from error
                backoff = min(backoff * 2, self._backoff[1])
        if write:
            self._local.count += 1
            item.done_writes = self._local.count
            item.results.append(result if isinstance(result, (int, float, str)) else None)
        return result

    def _failed(self, item: PendingWrite, error: BaseException) -> None:
        item.error = f"{type(error).__name__}: {error}"
        with self._cv:
            self.failed.append(item)
        self._notice("error", f"Database write failed, kept for the next start: {item.describe()}: {item.error}")

    def _delayed(self, error: str) -> None:
        if self.delayed_since is None:
            self.delayed_since = self._clock()
            self._notice("delayed", f"Database busy ({error}): writes are queued and retried, nothing is lost.")

    def _through(self) -> None:
        if self.delayed_since is not None:
            waited = self._clock() - self.delayed_since
            self.delayed_since = None
            self._notice("through", f"Database writes are through again after {waited:.1f} s.")

    def _set_busy_timeout(self, seconds: float) -> None:
        try:
            self.read(lambda: self.raw_db.execute(f"PRAGMA busy_timeout = {int(seconds * 1000)}"))
        except Exception as error:  # a stand-in database without PRAGMA: keep its own wait
            self._notice("error", f"Database busy timeout not set: {error}")


def _order_row(store: AccountStore, order_id: str) -> None:
    """Finds the row of an order recorded by an earlier session (the store's map is new)."""
    if order_id not in store.order_rows:
        rows = store.db.select_records("trading_order", ["id"], {"broker_order_id": order_id})
        if len(rows):
            store._remember(order_id, as_row_id(list(rows)[-1][0]))


def _replay_record_deal(store: AccountStore, deal: dict, order: Any) -> None:
    # order: the Order, or None; then the details of its row, in an Order's shape
    rows = store.db.select_records("trading_deal", ["id"], {"broker_deal_id": str(deal["deal_id"])})
    if len(rows) == 0:
        _order_row(store, deal["order_id"])
        if order is None:  # written without the order in hand: its row (of any session) has it
            found = store.db.select_records(
                "trading_order",
                ["security_name", "security_code", "direction", "offset", "order_type"],
                {"broker_order_id": deal["order_id"]},
            )
            if len(found):
                name, code, direction, offset, order_type = list(found)[-1]
                order = SimpleNamespace(
                    security=SimpleNamespace(security_name=name, code=code),
                    direction=direction,
                    offset=offset,
                    order_type=order_type,
                )
        store.record_deal(deal, order)


def _replay_update_order(store: AccountStore, update: dict) -> None:
    _order_row(store, update["order_id"])
    store.update_order(update)


def _replay_record_order(store: AccountStore, order: Order, now: datetime) -> None:
    rows = store.db.select_records("trading_order", ["id"], {"broker_order_id": order.order_id})
    if len(rows) == 0:
        store.record_order(order, now)
    else:
        store._remember(order.order_id, as_row_id(list(rows)[-1][0]))


_REPLAY_OPS: dict[str, Callable[..., Any]] = {
    "replay_record_deal": _replay_record_deal,
    "replay_record_order": _replay_record_order,
    "replay_update_order": _replay_update_order,
}
