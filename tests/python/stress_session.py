"""A stress session, run in a child interpreter by test_stress.py.

The market runs at its highest rate on every subscribed instrument while one thread
places and cancels orders, another reads bars and balances, the engine writes the
database, and the fake Bot API server feeds chat commands. At the end all orders are
made final, and the child prints one JSON object with what the gateway, the database
and the simulator's own books hold, for the test to compare.

    stress_session.py <work folder> <seconds>
"""

from __future__ import annotations

import json
import os
import random
import sys
import threading
import time
from datetime import datetime

WORK, SECONDS = sys.argv[1], float(sys.argv[2])
CHAT = 4242
INSTRUMENTS = [("F.US.EP", "EP", 0.25, 50.0, 4500.0), ("F.US.ENQ", "ENQ", 0.25, 20.0, 15800.0),
               ("F.US.CLE", "CLE", 0.01, 1000.0, 75.0)]
ACCOUNT = 77

from morvex_trader.platform.fake_telegram import FakeTelegramServer  # noqa: E402

server = FakeTelegramServer(username="stress_bot")
os.makedirs(os.path.join(WORK, "db"), exist_ok=True)
with open(os.path.join(WORK, "morvex_trader_config.py"), "w") as fh:
    fh.write(f"DB = {{'sqlite3': {os.path.join(WORK, 'db')!r}}}\n"
             f"TELEGRAM_TOKEN = '42:STRESS-token'\nTELEGRAM_CHAT_ID = {CHAT}\n"
             f"TELEGRAM_API_URL = {server.url!r}\n")
sys.path.insert(0, WORK)

from morvex_trader.core.constants import Direction, OrderType  # noqa: E402
from morvex_trader.core.order import Order  # noqa: E402
from morvex_trader.core.security import Futures  # noqa: E402
from morvex_trader.engine.main_engine import MainEngine, SessionSettings  # noqa: E402
from morvex_trader.engine.store import AccountIdentity, AccountStore  # noqa: E402
from morvex_trader.gateways.cqg.cqg_gateway import CqgGateway  # noqa: E402
from morvex_trader.platform import cqgcel  # noqa: E402
from morvex_trader.plugins.sqlite3 import db as db_module  # noqa: E402
from morvex_trader.plugins.telegram import bot as bot_module  # noqa: E402

cqgcel.reset()
cqgcel.configure_market(
    seed=20261208, speed=600.0, start_time=datetime(2026, 12, 7, 9, 30), history_days=0.5,
    update_interval=0.05,
    instruments=[dict(full_name=f, tick_size=t, multiplier=m, start_price=p) for f, _, t, m, p in INSTRUMENTS],
    accounts=[dict(gw_account_id=ACCOUNT, name="Stress", balance=10_000_000.0)])

securities = {full: Futures(code, code) for full, code, *_ in INSTRUMENTS}
gateway = CqgGateway(securities)
database = db_module.DB()
store = AccountStore(database, AccountIdentity("CQG", "SIMULATE", ACCOUNT, str(ACCOUNT)))
bot = bot_module.bot
server.wait_polling()
# Few finished orders and deals held, so that late events and reports go through the file.
engine = MainEngine(gateway, store, SessionSettings(account_id=ACCOUNT, symbols=tuple(securities),
                                                    snapshot_interval=1.0, progress_interval=0,
                                                    orders_kept=5, deals_kept=5), bot=bot)
engine.start()

stop = threading.Event()
errors: list[str] = []
reads = {"bars": 0, "balances": 0}


def trader() -> None:
    rng = random.Random(7)
    try:
        while not stop.is_set():
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
            engine.submit(Order(security=security, price=price, quantity=quantity,
                                direction=direction, order_type=kind, stop_price=stop_price))
            if rng.random() < 0.4:
                active = engine.active_orders()
                if active:
                    engine.cancel(rng.choice(active).order_id)
    except Exception as error:  # reported to the test, which fails on it
        errors.append(f"trader: {type(error).__name__}: {error}")


def reader() -> None:
    try:
        while not stop.is_set():
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
    commands = ["/balance", "/positions", "/orders -a 5", "/deals 3", "/orders 2"]
    i = 0
    while not stop.is_set():
        server.push_message(commands[i % len(commands)], chat_id=CHAT)
        i += 1
        stop.wait(0.2)


threads = [threading.Thread(target=f, name=f.__name__) for f in (trader, reader, chat)]
for t in threads:
    t.start()
engine.run(SECONDS)
stop.set()
for t in threads:
    t.join(30)
    if t.is_alive():
        errors.append(f"{t.name} did not stop")

# Make every order final, then let the last events arrive and be stored.
for order in engine.active_orders():
    try:
        engine.cancel(order.order_id)
    except RuntimeError:  # it filled meanwhile: CQG refuses the cancel
        pass
deadline = time.monotonic() + 20
while time.monotonic() < deadline:
    engine.drain_events()
    snapshot = cqgcel.market_snapshot()
    if all(o["status"] in ("osFilled", "osCanceled", "osRejectGW") for o in snapshot["orders"].values()) \
            and gateway.counts["deal"] == len(snapshot["fills"]):
        break
    time.sleep(0.05)
engine.drain_events()
engine.snapshot()
snapshot = cqgcel.market_snapshot()
positions_now = [(p.security.code, p.direction.value, p.quantity) for p in gateway.get_positions()]
engine.shutdown()
bot.close()
replies = len(server.sent_texts(CHAT))
server.stop()

orders_rows = {r[0]: (r[1], r[2], r[3]) for r in database.select_records(
    "trading_order", ["broker_order_id", "status", "filled_quantity", "id"], {})}
deal_rows = [tuple(r) for r in database.select_records(
    "trading_deal", ["broker_deal_id", "broker_order_id", "order_id", "filled_quantity"], {})]
last_balance = list(database.select_records("balance", ["id"], {}))[-1][0]
position_rows = [tuple(r) for r in database.select_records(
    "position", ["security_code", "direction", "quantity"], {"balance_id": last_balance})]
database.close()

print(json.dumps({
    "errors": errors,
    "reads": reads,
    "replies": replies,
    "placed": engine.counts.placed,
    "deal_calls": gateway.counts["deal"],
    "deal_ids": sorted(map(str, gateway.deals)),
    "last_status": {guid: u["status"].value for guid, u in gateway.order_updates.items()},
    "sim_orders": {guid: o["status"] for guid, o in snapshot["orders"].items()},
    "sim_fills": [{"id": f["id"], "order_guid": f["order_guid"], "quantity": f["quantity"]} for f in snapshot["fills"]],
    "sim_positions": [[k[1], v["quantity"]] for k, v in snapshot["positions"].items() if v["quantity"]],
    "gateway_positions": positions_now,
    "order_rows": orders_rows,
    "deal_rows": deal_rows,
    "position_rows": position_rows,
}))
