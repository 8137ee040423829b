"""The parts of the session watch that need no broker: the fill ledger, the settings'
checks, the chat notifier's modes and rate limit, the session clock's zone conversion,
and the pending-writes file format."""

from __future__ import annotations

import math
import threading
import time
from datetime import datetime
from types import SimpleNamespace
from zoneinfo import ZoneInfo

import pytest

from morvex_trader.core.balance import AccountBalance
from morvex_trader.core.constants import Direction, OrderStatus, OrderType
from morvex_trader.core.order import Order
from morvex_trader.core.position import PositionData
from morvex_trader.core.security import Futures, Stock
from morvex_trader.engine import pending_writes
from morvex_trader.engine.clock import SessionClock
from morvex_trader.engine.fills import FillLedger
from morvex_trader.engine.notifier import Notifier
from morvex_trader.engine.watch_settings import WatchSettings

pytestmark = pytest.mark.timeout(30)
T0 = datetime(2026, 12, 7, 9, 30, 5)


def deal(deal_id="F1", **changes):
    return {
        "deal_id": deal_id,
        "order_id": "G1",
        "updated_time": T0,
        "filled_avg_price": 4500.25,
        "filled_quantity": 2,
        **changes,
    }


# -- fill ledger ------------------------------------------------------------------------------


def test_a_fill_is_booked_once_whatever_the_id_kind_and_across_restarts():
    ledger = FillLedger()
    assert ledger.book(deal("7")) == "booked"
    assert ledger.book(deal(7)) == "duplicate"  # the same id as a number
    restarted = FillLedger()
    restarted.load("G1", ["7"])  # G1's fills booked by an earlier session
    assert restarted.book(deal(7)) == "duplicate"
    assert restarted.book(deal("8")) == "booked"
    assert restarted.book(deal(7, order_id="G2")) == "booked"  # an earlier id of another order
    assert (ledger.counts.booked, ledger.counts.duplicates) == (1, 1)


@pytest.mark.parametrize(
    "changes, reason",
    [
        ({"deal_id": None}, "no fill id"),
        ({"deal_id": ""}, "no fill id"),
        ({"order_id": None}, "no order id"),
        ({"filled_quantity": 0}, "quantity 0 is not a positive number"),
        ({"filled_quantity": -1}, "quantity -1 is not a positive number"),
        ({"filled_quantity": math.nan}, "quantity nan is not a positive number"),
        ({"filled_quantity": None}, "quantity None"),
        ({"filled_quantity": True}, "quantity True"),
        ({"filled_avg_price": math.inf}, "price inf is not a finite number"),
        ({"filled_avg_price": "x"}, "price 'x'"),
        ({"updated_time": None}, "time None is not a date-time"),
    ],
    ids=[
        "no-id",
        "empty-id",
        "no-order",
        "zero",
        "negative",
        "nan-qty",
        "none-qty",
        "bool-qty",
        "inf-price",
        "text-price",
        "no-time",
    ],
)
def test_a_malformed_fill_is_refused_with_its_reason_and_not_booked(changes, reason):
    ledger = FillLedger()
    outcome = ledger.book(deal(**changes))
    assert outcome.startswith("malformed: ") and reason in outcome
    assert ledger.counts.booked == 0 and ledger.counts.malformed == 1
    if changes.get("deal_id") is None and "deal_id" in changes:
        return
    assert ledger.book(deal()) == "booked"  # the good delivery of the same id still books


def test_bust_reverses_once_and_blocks_a_late_redelivery():
    ledger = FillLedger()
    ledger.book(deal("F1"))
    assert ledger.bust("F1")["filled_quantity"] == 2
    assert ledger.bust("F1") is None  # a second bust reverses nothing
    assert ledger.book(deal("F1")) == "duplicate"  # nor is the busted fill booked again
    assert ledger.bust("F9") is None and ledger.is_reversed("F9")


def test_correct_replaces_price_and_quantity_of_the_booked_fill():
    ledger = FillLedger()
    ledger.book(deal("F1"))
    old, new = ledger.correct("F1", 4499.75, 1)
    assert (old["filled_quantity"], new["filled_quantity"], new["filled_avg_price"]) == (2, 1, 4499.75)
    assert ledger.fill("F1") is new
    assert ledger.correct("F2", 1.0, 1) == (None, None)


# -- settings ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "config, message",
    [
        ({"NOTIFICATIONS": {"fills": "on"}}, "NOTIFICATIONS: unknown kind 'fills'"),
        ({"NOTIFICATIONS": {"fill": "loud"}}, "NOTIFICATIONS['fill']: unknown mode 'loud'"),
        ({"NOTIFICATIONS": ["fill"]}, "NOTIFICATIONS must be a dict"),
        ({"QUOTE_SILENCE": -1}, "QUOTE_SILENCE must not be negative, got -1"),
        ({"PENDING_GRACE": -0.5}, "PENDING_GRACE must not be negative"),
        ({"DB_DRAIN_TIMEOUT": -3}, "DB_DRAIN_TIMEOUT must not be negative"),
        ({"RELOGON_INTERVAL": "5"}, "RELOGON_INTERVAL must be a number of seconds"),
        ({"DB_BUSY_TIMEOUT": math.nan}, "DB_BUSY_TIMEOUT must be a number of seconds"),
        ({"NOTIFY_RATE": 0}, "NOTIFY_RATE must be above 0"),
        ({"WRITE_QUEUE_LIMIT": 0}, "WRITE_QUEUE_LIMIT must be a whole number above 0"),
        ({"TIMEZONE": "Mars/Olympus"}, "TIMEZONE names no known time zone: 'Mars/Olympus'"),
    ],
    ids=["kind", "mode", "not-a-dict", "silence", "grace", "drain", "text", "nan", "rate", "queue", "zone"],
)
def test_settings_are_checked_at_start_naming_the_setting(config, message):
    with pytest.raises(ValueError, match=message.replace("[", r"\[").replace("(", r"\(")):
        WatchSettings.from_config(SimpleNamespace(**config))


def test_settings_from_a_config_keep_defaults_for_absent_keys():
    settings = WatchSettings.from_config(SimpleNamespace(NOTIFICATIONS={"fill": "off"}, QUOTE_SILENCE=0))
    assert settings.mode("fill") == "off" and settings.mode("reject") == "on"
    assert settings.QUOTE_SILENCE == 0 and settings.PENDING_GRACE == WatchSettings().PENDING_GRACE


# -- notifier ---------------------------------------------------------------------------------


class ChatBot:
    def __init__(self, silent=False):
        self.sent: list[tuple[str, bool]] = []
        self.lock = threading.Lock()
        if silent:
            self.send_message = self._send_silently

    def send_message(self, text):
        with self.lock:
            self.sent.append((text, False))

    def _send_silently(self, text, disable_notification=False):
        with self.lock:
            self.sent.append((text, disable_notification))


def test_a_flood_is_rate_limited_and_merged_with_a_count():
    bot = ChatBot()
    notifier = Notifier(bot, lambda kind: "on", rate=4.0)
    try:
        started = time.monotonic()
        for n in range(40):
            notifier.notify("fill", f"fill {n}")
            time.sleep(0.01)  # a steady flood, faster than the rate
        assert notifier.flush(10)
        elapsed = time.monotonic() - started
    finally:
        notifier.close()
    texts = [t for t, _ in bot.sent]
    assert len(texts) <= 2 + elapsed * 4
    shown = [line for t in texts for line in t.splitlines() if line.startswith("fill ")]
    hidden = sum(int(line.split()[2]) for t in texts for line in t.splitlines() if line.startswith("... and"))
    assert len(shown) + hidden == 40  # every notice is in a message or counted
    assert notifier.folded == 40 - len(texts)
    assert any(t.endswith("notices merged)") for t in texts)


@pytest.mark.parametrize(
    "mode, silent_bot, sent",
    [
        ("on", False, [("lost", False)]),
        ("off", False, []),
        ("silent", True, [("lost", True)]),
        ("silent", False, []),  # a bot without silent sending: log only
    ],
    ids=["on", "off", "silent", "silent-unsupported"],
)
def test_each_kind_is_on_off_or_silent(mode, silent_bot, sent):
    bot, logged = ChatBot(silent=silent_bot), []
    notifier = Notifier(bot, lambda kind: mode if kind == "connection" else "on", log=logged.append)
    notifier.notify("connection", "lost")
    notifier.close()
    assert bot.sent == sent
    assert logged == ([] if mode == "off" else ["[connection] lost"])
    with pytest.raises(ValueError, match="unknown notification kind 'fills'"):
        notifier.notify("fills", "x")


def test_a_failing_chat_does_not_stop_the_notifier(capfd):
    class Down:
        calls = 0

        def send_message(self, text):
            Down.calls += 1
            raise RuntimeError("network down")

    notifier = Notifier(Down(), lambda kind: "on", rate=100.0)
    notifier.notify("error", "a")
    assert notifier.flush(5)
    notifier.notify("error", "b")
    notifier.close()
    assert Down.calls == 2
    assert "notification not sent: network down" in capfd.readouterr().err


# -- clock ------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "zone, cqg_time, expected",
    [
        ("Europe/London", datetime(2026, 12, 7, 22, 30, 5), datetime(2026, 12, 7, 14, 30, 5)),
        ("Asia/Hong_Kong", datetime(2026, 12, 7, 22, 30, 5), datetime(2026, 12, 7, 22, 30, 5)),
        ("America/Chicago", datetime(2026, 7, 1, 8, 0, 0), datetime(2026, 6, 30, 19, 0, 0)),
    ],
    ids=["london", "same-zone", "chicago-summer"],
)
def test_cqg_times_are_converted_to_the_session_zone(zone, cqg_time, expected):
    clock = SessionClock(zone, cqg_zone=ZoneInfo("Asia/Hong_Kong"))
    assert clock.from_cqg(cqg_time) == expected
    assert clock.name == zone
    assert abs((clock.now() - datetime.now(ZoneInfo(zone)).replace(tzinfo=None)).total_seconds()) < 5


def test_the_default_zone_is_the_hosts_local_zone():
    clock = SessionClock(None, cqg_zone=ZoneInfo("Asia/Hong_Kong"))
    when = datetime(2026, 12, 7, 22, 30, 5)
    local = when.replace(tzinfo=ZoneInfo("Asia/Hong_Kong")).astimezone().replace(tzinfo=None)
    assert clock.from_cqg(when) == local and clock.name.endswith("(host local)")
    assert clock.from_cqg(None) is None


# -- pending-writes file ----------------------------------------------------------------------


def test_pending_writes_read_back_as_the_same_records(tmp_path):
    ep = Futures("EP", "E-mini", 50, None, "2026-12", "USD")
    order = Order(
        ep,
        4500.0,
        2,
        Direction.SHORT,
        OrderType.STOP,
        stop_price=4490.0,
        order_id="G1",
        status=OrderStatus.SUBMITTED,
        create_time=T0,
    )
    writes = [
        pending_writes.PendingWrite("record_order", (order, T0)),
        pending_writes.PendingWrite(
            "update_order",
            ({"order_id": "G1", "status": OrderStatus.FILLED, "updated_time": T0},),
            done_writes=1,
            error="locked",
        ),
        pending_writes.PendingWrite(
            "snapshot_balance",
            (
                AccountBalance(cash=5.5),
                [PositionData(Stock("700", "Tencent"), Direction.LONG, 300.0, 100, update_time=T0)],
                T0,
            ),
        ),
    ]
    path = str(tmp_path / "p.jsonl")
    assert pending_writes.save(path, writes) == 3
    back = pending_writes.load(path)
    assert back == writes
    assert back[0].args[0].security == ep and type(back[2].args[1][0].security) is Stock
    assert pending_writes.save(path, []) == 0 and pending_writes.load(path) == []
    (tmp_path / "bad.jsonl").write_text('{"op": "x", "args": {"$list": []}}\nnot json\n')
    with pytest.raises(ValueError, match="bad.jsonl:2: unreadable pending write"):
        pending_writes.load(str(tmp_path / "bad.jsonl"))
