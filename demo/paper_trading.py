"""A paper-trading session on the simulated market: gateway, strategy, database, chat.

Needs no network and no configuration: the CQGCEL simulator runs a seeded market, the
database goes into var/db/ of the project, and the bot talks to a local fake Bot API
server unless a real token is configured (MX_TELEGRAM_TOKEN, MX_TELEGRAM_CHAT_ID).

Trace lines of the CQG modules go to var/demo-trace.log; the terminal shows progress
and the closing summary. The session report (a picture of prices, fills, equity and the
session's figures) is written to var/session-report.png; `--report-only` draws it again
from the database of the last session, without trading.

Mid-session the demo drops and restores the data connection, then the gateway
connection, and the broker sends some fills a second time; the terminal shows what the
session watch sees and does. With --restart it runs two sessions back to back against
the same database and broker state: orders still working when the first ends are found,
adopted and followed by the second.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
import threading
import time
from contextlib import contextmanager
from datetime import datetime

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
VAR = os.path.join(ROOT, "var")
REPORT_PNG = os.path.join(VAR, "session-report.png")

DEMO_CHAT = 424242
INSTRUMENTS = [
    # full CQG name, code, name, tick size, multiplier, start price
    ("F.US.EP", "EP", "E-mini S&P 500", 0.25, 50.0, 4500.0),
    ("F.US.ENQ", "ENQ", "E-mini Nasdaq-100", 0.25, 20.0, 15800.0),
    ("F.US.CLE", "CLE", "Crude Oil", 0.01, 1000.0, 75.0),
]
ACCOUNT_ID = 1001
# Chat commands the demo sends through the fake server, at seconds into the session.
CHAT_SCRIPT = [
    (3.0, "/balance"),
    (4.0, "/positions"),
    (5.0, "/send_order EP,1,l,o,m,CQG,None,None"),
    (6.0, "/send_order EP,x,l,o,m,CQG,None,None"),
    (7.0, "/send_order EP,1,up,o,m,CQG,None,None"),
    (8.0, "/send_order EP,1,l,o,m,IB,None,None"),
    (9.0, "/orders -a 3"),
    (10.0, "/deals 3"),
    (11.0, "/send_order EP,1,l,o,s,CQG,100,100"),
    (12.0, "/cancel_orders"),
    (17.5, "/status"),
    (20.0, "/close_positions"),
    (22.0, "/report"),
    (23.0, "/status"),
    (25.0, "/stop"),
]
# Faults the demo causes, at seconds into the session: (connection, status) or a resend.
FAULTS = [
    (13.0, ("data", "csConnectionDown")),
    (14.5, ("data", "csConnectionUp")),
    (16.0, ("gateway", "csConnectionDown")),
    (18.0, ("gateway", "csConnectionUp")),
    (19.0, "resend_fills"),
]


class Terminal:
    """Writes to the terminal while fd 1 (where trace lines go) points at the log file."""

    def __init__(self, fd: int) -> None:
        self.stream = os.fdopen(fd, "w", buffering=1)

    def say(self, text: str) -> None:
        self.stream.write(text + "\n")
        self.stream.flush()


@contextmanager
def trace_to_file(path: str):
    sys.stdout.flush()
    saved = os.dup(1)
    log = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    os.dup2(log, 1)
    os.close(log)
    terminal = Terminal(os.dup(saved))
    try:
        yield terminal
    finally:
        sys.stdout.flush()
        os.dup2(saved, 1)
        os.close(saved)


def configure_simulator(seed: int, speed: float) -> None:
    from morvex_trader.platform import cqgcel

    cqgcel.reset()
    cqgcel.configure_market(
        seed=seed,
        speed=speed,
        start_time=datetime(2026, 12, 7, 9, 30),
        history_days=2,
        instruments=[
            dict(full_name=full, tick_size=tick, multiplier=mult, start_price=price)
            for full, _, _, tick, mult, price in INSTRUMENTS
        ],
        accounts=[dict(gw_account_id=ACCOUNT_ID, name="Demo", balance=1_000_000.0)],
    )


class MarketClock:
    """The simulated market's time, in the session's zone: the engine stamps its balance
    snapshots with it, so they share one time axis with CQG's fills and bars."""

    def __init__(self, clock) -> None:
        self.clock = clock  # the session clock: CQG's times into the session's zone

    def __call__(self) -> datetime:
        from morvex_trader.platform import cqgcel

        return self.clock.from_cqg(cqgcel.market_snapshot()["now"])


def report_only(config) -> int:
    """Draws the report of the last session stored in the configured database folder."""
    from morvex_trader.engine.report import write_report
    from morvex_trader.engine.report_data import NoSessionData

    try:
        report = write_report(config.DB["sqlite3"], REPORT_PNG)
    except (FileNotFoundError, NoSessionData) as error:
        print(f"no session report: {error}", file=sys.stderr)
        return 1
    print(report.caption)
    print(f"session report: {REPORT_PNG}")
    return 0


def start_bot(config, terminal: Terminal):
    """Imports the bot module; with no real token, behind a local fake Bot API server."""
    server = None
    if not getattr(config, "TELEGRAM_TOKEN", ""):
        from morvex_trader.platform.fake_telegram import FakeTelegramServer

        server = FakeTelegramServer(username="morvex_demo_bot")
        config.TELEGRAM_TOKEN = "123456:DEMO-token"
        config.TELEGRAM_CHAT_ID = DEMO_CHAT
        config.TELEGRAM_API_URL = server.url
    from morvex_trader.plugins.telegram import bot as bot_module

    if server is not None:
        server.wait_polling()
        terminal.say(f"bot: polling a local fake Bot API server at {server.url}")
    else:
        terminal.say("bot: polling the configured Telegram bot")
    return bot_module.bot, server


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--duration", type=float, default=30.0, help="seconds of trading (default 30)")
    parser.add_argument(
        "--seed",
        type=int,
        default=int(time.time()) & 0xFFFF,
        help="market seed (default: from the clock, so order ids differ between runs)",
    )
    parser.add_argument("--speed", type=float, default=30.0, help="simulated seconds per real second")
    parser.add_argument(
        "--report-only", action="store_true", help="only draw the report of the last session stored (no trading)"
    )
    parser.add_argument(
        "--restart", action="store_true", help="two sessions back to back on the same database and broker state"
    )
    args = parser.parse_args(argv)

    sys.path.insert(0, os.path.join(ROOT, "config"))
    import morvex_trader_config as config

    if args.report_only:
        return report_only(config)

    from morvex_trader.engine.watch_settings import WatchSettings

    os.makedirs(config.DB["sqlite3"], exist_ok=True)
    db_path = config.DB["sqlite3"] + "/morvex_trader.db"
    os.makedirs(VAR, exist_ok=True)
    trace_log = os.path.join(VAR, "demo-trace.log")

    with trace_to_file(trace_log) as terminal:
        restart = " then a restart" if args.restart else ""
        terminal.say(
            f"paper trading for {args.duration:g} s{restart}, seed {args.seed}, "
            f"market at {args.speed:g}x; trace lines in {trace_log}"
        )
        configure_simulator(args.seed, args.speed)
        if args.restart:
            from morvex_trader.platform import cqgcel

            cqgcel.keep_broker_state(True)
        bot, server = start_bot(config, terminal)
        watch = WatchSettings.from_config(config)
        sessions = (
            [("first session", args.duration / 2, False), ("second session", args.duration / 2, True)]
            if args.restart
            else [("session", args.duration, False)]
        )
        photos = []
        try:
            for label, duration, second in sessions:
                terminal.say(f"\n--- {label} ---")
                run_session(duration, second, args.restart, bot, server, watch, config, db_path, terminal)
        finally:
            bot.close()
            if server is not None:
                replies = server.sent_texts(DEMO_CHAT)
                photos = [p for p in server.photos if p.chat_id == DEMO_CHAT]
                server.stop()
        if server is not None:
            terminal.say("\nchat (replies and notifications):")
            for text in replies:
                terminal.say("  " + text.replace("\n", "\n    "))
            for photo in photos:
                terminal.say(f"  [photo, {len(photo.photo)} bytes] {photo.caption}")
    return 0


def run_session(duration, second, restarting, bot, server, watch, config, db_path, terminal) -> None:
    from morvex_trader.core.security import Futures
    from morvex_trader.engine.clock import SessionClock
    from morvex_trader.engine.main_engine import MainEngine, SessionSettings
    from morvex_trader.engine.report_texts import format_summary
    from morvex_trader.engine.session_recorder import SessionRecorder
    from morvex_trader.engine.store import AccountIdentity, AccountStore
    from morvex_trader.engine.strategy import MovingAverageCross
    from morvex_trader.gateways.cqg.cqg_gateway import CqgGateway
    from morvex_trader.plugins.sqlite3 import db as db_module

    securities = {full: Futures(code, name) for full, code, name, *_ in INSTRUMENTS}
    gateway = CqgGateway(securities)
    database = db_module.DB()
    store = AccountStore(database, AccountIdentity("CQG", "SIMULATE", ACCOUNT_ID, str(ACCOUNT_ID)))
    settings = SessionSettings(account_id=ACCOUNT_ID, symbols=tuple(securities), watch=watch)
    clock = SessionClock(watch.TIMEZONE)  # every stored time in the session's zone
    recorder = SessionRecorder(config.DB["sqlite3"], clock.name, REPORT_PNG)
    engine = MainEngine(
        gateway,
        store,
        settings,
        strategy=MovingAverageCross(),
        bot=bot,
        now=MarketClock(clock),
        recorder=recorder,
        log=lambda text: None if text.startswith(("[fill]", "[watch] fill ")) else terminal.say("  " + text),
    )
    stop_by_signal = threading.Event()
    previous = signal.signal(signal.SIGINT, lambda *_: (stop_by_signal.set(), engine.request_stop()))
    bot.morvex_trader_status = "Running"
    threads = []
    try:
        engine.start()
        terminal.say("session started: logged on, account and market data subscribed, books reconciled")
        if server is not None and not restarting:
            threads.append(threading.Thread(target=feed_chat, args=(server, engine), daemon=True))
        if not second:
            threads.append(threading.Thread(target=cause_faults, args=(engine, terminal, duration / 30.0), daemon=True))
        for thread in threads:
            thread.start()
        engine.run(duration, on_progress=terminal.say)
    finally:
        signal.signal(signal.SIGINT, previous)
        engine.shutdown()  # a first session of --restart leaves its orders working
        database_counts = engine.store.row_counts()
        database.close()
    why = (
        "Ctrl-C" if stop_by_signal.is_set() else ("/stop" if bot.morvex_trader_status == "Terminated" else "end of run")
    )
    report_line = draw_final_report(config.DB["sqlite3"])
    terminal.say("")
    terminal.say(
        format_summary(
            engine,
            os.path.abspath(db_path),
            database_counts,
            extra=engine.guard.summary_lines() + [f"  stopped by         {why}", report_line],
        )
    )


def cause_faults(engine, terminal, scale: float) -> None:
    """The fault schedule, its times scaled to the session's length (30 s: as listed)."""
    from morvex_trader.platform import cqgcel

    start = time.monotonic()
    for at, fault in FAULTS:
        delay = at * scale - (time.monotonic() - start)
        if delay > 0:
            time.sleep(delay)
        if engine.stop_requested:
            return
        if fault == "resend_fills":
            terminal.say(f"[demo] the broker sends {cqgcel.resend_fills()} fill(s) a second time")
            continue
        kind, status = fault
        terminal.say(f"[demo] CQG {kind} connection -> {status}")
        cqgcel.set_connection(kind, status)


def draw_final_report(folder: str) -> str:
    """The report of the session just ended, from what it stored; the summary's line."""
    from morvex_trader.engine.report import write_report

    try:
        write_report(folder, REPORT_PNG)
    except Exception as error:  # the session is over and stored: say why there is no picture
        return f"  session report     not drawn: {type(error).__name__}: {error}"
    return f"  session report     {REPORT_PNG}"


def feed_chat(server, engine) -> None:
    start = time.monotonic()
    for at, text in CHAT_SCRIPT:
        delay = at - (time.monotonic() - start)
        if delay > 0:
            time.sleep(delay)
        if engine.stop_requested:
            return
        server.push_message(text, chat_id=DEMO_CHAT)


if __name__ == "__main__":
    sys.exit(main())
