"""A stress session with faults, run in a child interpreter by test_stress.py.

The market runs at its highest rate on every subscribed instrument while one thread
places and cancels orders, another reads bars and balances, the engine writes the
database, and the fake Bot API server feeds chat commands. Meanwhile a fault schedule
drops and restores the data and the gateway connections, makes the broker send fills a
second time, lets another program hold the database for 8 seconds (across the restart),
and restarts the session with orders still working at the broker. At the end all orders
are made final, and the child prints one JSON object with what the engines, the database
and the simulator's own books hold, for the test to compare.

    stress_session.py <work folder> <seconds>
"""

from __future__ import annotations

import json
import os
import random
import sqlite3
import sys
import threading
import time
from datetime import datetime

WORK, SECONDS = sys.argv[1], float(sys.argv[2])
CHAT = 4242
INSTRUMENTS = [
    ("F.US.EP", "EP", 0.25, 50.0, 4500.0),
    ("F.US.ENQ", "ENQ", 0.25, 20.0, 15800.0),
    ("F.US.CLE", "CLE", 0.01, 1000.0, 75.0),
]
ACCOUNT = 77
READER_HOLD = 8.0

from morvex_trader.platform.fake_telegram import FakeTelegramServer  # noqa: E402

server = FakeTelegramServer(username="stress_bot")
os.makedirs(os.path.join(WORK, "db"), exist_ok=True)
DB_FILE = os.path.join(WORK, "db", "morvex_trader.db")
with open(os.path.join(WORK, "morvex_trader_config.py"), "w") as fh:
    fh.write(
        f"DB = {{'sqlite3': {os.path.join(WORK, 'db')!r}}}\n"
        f"TELEGRAM_TOKEN = '42:STRESS-token'\nTELEGRAM_CHAT_ID = {CHAT}\n"
        f"TELEGRAM_API_URL = {server.url!r}\n"
        "QUOTE_SILENCE = 0\nPENDING_GRACE = 1.0\nDB_DRAIN_TIMEOUT = 0.5\nNOTIFY_RATE = 5.0\n"
    )
sys.path.insert(0, WORK)

from morvex_trader.core.constants import Direction, OrderType  # noqa: E402
from morvex_trader.core.order import Order  # noqa: E402
from morvex_trader.core.security import Futures  # noqa: E402
from morvex_trader.engine.main_engine import MainEngine, SessionSettings  # noqa: E402
from morvex_trader.engine.store import AccountIdentity, AccountStore  # noqa: E402
from morvex_trader.engine.watch_settings import WatchSettings  # noqa: E402
from morvex_trader.gateways.cqg.cqg_gateway import CqgGateway  # noqa: E402
from morvex_trader.gateways.cqg.wrapper import comhost, tradelink  # noqa: E402
from morvex_trader.platform import cqgcel  # noqa: E402
from morvex_trader.plugins.sqlite3 import db as db_module  # noqa: E402
from morvex_trader.plugins.telegram import bot as bot_module  # noqa: E402

cqgcel.reset()
cqgcel.configure_market(
    seed=20261208,
    speed=600.0,
    start_time=datetime(2026, 12, 7, 9, 30),
    history_days=0.5,
    update_interval=0.05,
    instruments=[dict(full_name=f, tick_size=t, multiplier=m, start_price=p) for f, _, t, m, p in INSTRUMENTS],
    accounts=[dict(gw_account_id=ACCOUNT, name="Stress", balance=10_000_000.0)],
)
# The simulator's fault controls: connection drops, fills sent again, broker state kept
# across a restart. Without them the run is one session whose connection events are
# raised alone (the test skips what needs the rest).
FAULTS = all(hasattr(cqgcel, name) for name in ("set_connection", "resend_fills", "keep_broker_state"))
if FAULTS:
    cqgcel.keep_broker_state(True)
tradelink.TIMEOUT = 3.0  # a placement caught by a gateway drop gives up sooner

securities = {full: Futures(code, code) for full, code, *_ in INSTRUMENTS}
bot = bot_module.bot
server.wait_polling()
watch = WatchSettings.from_config()

errors: list[str] = []
reads = {"bars": 0, "balances": 0}
current: dict = {}
trading = threading.Event()  # set while a session runs: the worker threads act only then
stop = threading.Event()
faults: list[str] = []


def new_session():
    database = db_module.DB()
    gateway = CqgGateway(securities)
    store = AccountStore(database, AccountIdentity("CQG", "SIMULATE", ACCOUNT, str(ACCOUNT)))
    # Few finished orders and deals held, so that late events and reports go through the file.
    engine = MainEngine(
        gateway,
        store,
        SessionSettings(
            account_id=ACCOUNT,
            symbols=tuple(securities),
            snapshot_interval=1.0,
            progress_interval=0,
            orders_kept=5,
            deals_kept=5,
            watch=watch,
        ),
        bot=bot,
        log=lambda text: None,
    )
    engine.start()
    return engine, gateway, database


def trader() -> None:
    rng = random.Random(7)
    try:
        while not stop.is_set():
            if not trading.wait(0.05):
                continue
            engine, gateway = current["engine"], current["gateway"]
            security = rng.choice(list(securities.values()))
            quote = gateway.cqg_quotes.get(security)
            last = (quote.last_price or quote.bid_price) if quote else 0.0
            if not last:
                time.sleep(0.01)
                continue
            kind = rng.choice([OrderType.MARKET, OrderType.LIMIT, OrderType.LIMIT, OrderType.STOP])
            direction = rng.choice([Direction.LONG, Direction.SHORT])
            sign = 1 if direction is Direction.LONG else -1
            price = round(last * (1 - sign * 0.001), 2)
            stop_price = round(last * (1 + sign * 0.002), 2) if kind is OrderType.STOP else None
            quantity = 0 if rng.random() < 0.05 else rng.randint(1, 5)  # some the market rejects
            engine.submit(
                Order(
                    security=security,
                    price=price,
                    quantity=quantity,
                    direction=direction,
                    order_type=kind,
                    stop_price=stop_price,
                )
            )
            if rng.random() < 0.3:
                active = engine.active_orders()
                if active:
                    try:
                        engine.cancel(rng.choice(active).order_id)
                    except RuntimeError:  # it filled meanwhile, or the gateway is down
                        pass
    except Exception as error:  # reported to the test, which fails on it
        errors.append(f"trader: {type(error).__name__}: {error}")


def reader() -> None:
    try:
        while not stop.is_set():
            if not trading.wait(0.05):
                continue
            gateway = current["gateway"]
            for security in securities.values():
                try:
                    gateway.tradelink.get_subscribe_bars_data(security)
                except ValueError:
                    pass  # the newest bar still has an invalid field
                reads["bars"] += 1
            gateway.tradelink.update_account_balance()
            reads["balances"] += 1
    except Exception as error:
        errors.append(f"reader: {type(error).__name__}: {error}")


def chat() -> None:
    commands = ["/balance", "/positions", "/orders -a 5", "/deals 3", "/status"]
    i = 0
    while not stop.is_set():
        server.push_message(commands[i % len(commands)], chat_id=CHAT)
        i += 1
        stop.wait(0.25)


def hold_database() -> None:
    """Another program reads the database inside one transaction for READER_HOLD seconds."""
    conn = sqlite3.connect(DB_FILE, isolation_level=None)
    conn.execute("BEGIN")
    conn.execute("SELECT count(*) FROM trading_deal").fetchall()
    faults.append("reader holds the database")
    time.sleep(READER_HOLD)
    conn.execute("COMMIT")
    conn.close()
    faults.append("reader released the database")


def set_connection(kind: str, status: str) -> None:
    if FAULTS:
        cqgcel.set_connection(kind, status)
    else:
        event = "OnGWConnectionStatusChanged" if kind == "gateway" else "OnDataConnectionStatusChanged"
        cqgcel.raise_event(event, getattr(comhost, status))


def fault_schedule(session_seconds: float) -> None:
    """Faults of the first session, at fractions of its length."""
    steps = [
        (0.15, lambda: threading.Thread(target=hold_database, daemon=True).start()),
        (0.25, lambda: set_connection("data", "csConnectionDown")),
        (0.35, lambda: set_connection("data", "csConnectionUp")),
        (0.45, lambda: set_connection("gateway", "csConnectionDown")),
        (0.60, lambda: set_connection("gateway", "csConnectionUp")),
    ]
    if FAULTS:
        steps.append((0.75, lambda: faults.append(f"resent {cqgcel.resend_fills()} fill(s)")))
    started = time.monotonic()
    try:
        for at, step in steps:
            delay = at * session_seconds - (time.monotonic() - started)
            if delay > 0:
                time.sleep(delay)
            step()
    except Exception as error:
        errors.append(f"faults: {type(error).__name__}: {error}")


def run_session(seconds: float, with_faults: bool) -> dict:
    engine, gateway, database = new_session()
    current.update(engine=engine, gateway=gateway)
    scheduler = threading.Thread(target=fault_schedule, args=(seconds,)) if with_faults else None
    trading.set()
    if scheduler:
        scheduler.start()
    started = time.monotonic()
    engine.run(seconds)
    ran = time.monotonic() - started
    ended_early = engine.stop_requested
    if scheduler:
        scheduler.join(30)
    return {"engine": engine, "gateway": gateway, "database": database, "ran": ran, "ended_early": ended_early}


def finish(session: dict) -> None:
    trading.clear()
    time.sleep(0.1)  # the worker threads finish their current step
    engine = session["engine"]
    engine.shutdown()
    session["pending"] = len(engine.pending_events)
    session["unwritten"] = len(engine.guard.unwritten)
    session["deal_ids"] = engine.guard.ledger.session_ids()  # every fill this session booked


threads = [threading.Thread(target=f, name=f.__name__) for f in (trader, reader, chat)]
for t in threads:
    t.start()

if FAULTS:
    first = run_session(SECONDS / 2, with_faults=True)
    finish(first)  # orders still working at the broker
    first["database"].close()
    second = run_session(SECONDS / 2, with_faults=False)
else:
    first = {"deal_ids": [], "ran": SECONDS, "ended_early": False, "pending": 0, "unwritten": 0}
    second = run_session(SECONDS, with_faults=True)
stop.set()
trading.clear()
for t in threads:
    t.join(30)
    if t.is_alive():
        errors.append(f"{t.name} did not stop")

# Make every order final, then let the last events arrive and be stored.
engine, gateway = second["engine"], second["gateway"]
for order in engine.active_orders():
    try:
        engine.cancel(order.order_id)
    except RuntimeError:  # it filled meanwhile: CQG refuses the cancel
        pass
deadline = time.monotonic() + 25
while time.monotonic() < deadline:
    engine.drain_events()
    engine.guard.poll()
    snapshot = cqgcel.market_snapshot()
    normal = {f["id"] for f in snapshot["fills"] if f.get("status", "fsNormal") != "fsBusted"}
    if (
        all(o["status"] in ("osFilled", "osCanceled", "osRejectGW") for o in snapshot["orders"].values())
        and normal <= set(first["deal_ids"]) | set(engine.guard.ledger.session_ids())
        and not engine.active_orders()
        and engine.store.flush(0.05)
    ):  # the last statuses heard too
        break
    time.sleep(0.05)
engine.drain_events()
engine.snapshot()
snapshot = cqgcel.market_snapshot()
broker_orders = [(str(o.GUID), o.GWStatus) for o in cqgcel.orders()]  # read while the broker is up
positions_now = [(p.security.code, p.direction.value, p.quantity) for p in gateway.get_positions()]
finish(second)
database = second["database"]
bot.close()
replies = server.sent_texts(CHAT)
server.stop()

# Every order the broker holds: the market's, and those the gateway refused before they
# reached the market (sent while it was going down), which the market never saw.
sim_orders = {guid: o["status"] for guid, o in snapshot["orders"].items()}
REFUSED = comhost.constants.osRejectGW
sim_orders.update(
    {guid: "osRejectGW" for guid, status in broker_orders if guid not in sim_orders and status == REFUSED}
)

orders_rows = {
    r[0]: (r[1], r[2], r[3])
    for r in database.select_records("trading_order", ["broker_order_id", "status", "filled_quantity", "id"], {})
}
order_row_counts: dict = {}
for r in database.select_records("trading_order", ["broker_order_id"], {}):
    order_row_counts[r[0]] = order_row_counts.get(r[0], 0) + 1
deal_rows = [
    tuple(r)
    for r in database.select_records(
        "trading_deal", ["broker_deal_id", "broker_order_id", "order_id", "filled_quantity"], {}
    )
]
last_balance = list(database.select_records("balance", ["id"], {}))[-1][0]
position_rows = [
    tuple(r)
    for r in database.select_records(
        "position", ["security_code", "direction", "quantity"], {"balance_id": last_balance}
    )
]
database.close()

sessions = [first, second] if FAULTS else [second]
print(
    json.dumps(
        {
            "faults_available": FAULTS,
            "sessions": len(sessions),
            "errors": errors,
            "faults": faults,
            "reads": reads,
            "replies": len(replies),
            "notices": [t for t in replies if "connection" in t or "Database" in t or "Reconciliation" in t],
            "placed": sum(s["engine"].counts.placed for s in sessions),
            "deal_calls": sum(s["gateway"].counts["deal"] for s in sessions),
            "duplicates": sum(s["engine"].guard.ledger.counts.duplicates for s in sessions),
            "watch": {
                k: sum(s["engine"].guard.watchdog.counts[k] for s in sessions)
                for k in ("reconnects", "data_recoveries", "resubscriptions")
            },
            "adopted": second["engine"].guard.reconciler.counts["adopted"],
            "duplicates_injected": 0,
            "delayed_writes": sum(
                s["engine"].store.counts["deferred"] + s["engine"].store.counts["retries"] for s in sessions
            ),
            "replayed": second["engine"].store.counts["replayed"],
            "memory_deal_ids": first["deal_ids"] + second["deal_ids"],
            "ran": [s["ran"] for s in sessions],
            "ended_early": [s["ended_early"] for s in sessions],
            "pending": [s["pending"] for s in sessions],
            "session_seconds": SECONDS / len(sessions),
            "unwritten_at_restart": first["unwritten"],
            "memory_deal_ids_session": [s["deal_ids"] for s in sessions],
            "unwritten_at_end": second["unwritten"],
            "pending_file_left": os.path.exists(os.path.join(WORK, "db", "morvex_trader.pending.jsonl")),
            "last_status": {guid: o.status.value for guid, o in sessions[-1]["engine"].orders.items()},
            "sim_orders": sim_orders,
            "sim_fills": [
                {
                    "id": f["id"],
                    "order_guid": f["order_guid"],
                    "quantity": f["quantity"],
                    "status": f.get("status", "fsNormal"),
                }
                for f in snapshot["fills"]
            ],
            "sim_positions": [[k[1], v["quantity"]] for k, v in snapshot["positions"].items() if v["quantity"]],
            "gateway_positions": positions_now,
            "order_rows": orders_rows,
            "order_row_counts": order_row_counts,
            "deal_rows": deal_rows,
            "position_rows": position_rows,
        }
    )
)
