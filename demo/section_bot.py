"""Demo of the bot plug-in: chat commands become requests in the bot's record.

With no real token configured (the usual case), the bot is served by a local fake Bot
API server, so the section needs no network. With MX_TELEGRAM_TOKEN and
MX_TELEGRAM_CHAT_ID set, it greets the real chat instead.
"""

from __future__ import annotations

import time

import morvex_trader_config as config

CHAT = 424242
FIELDS = [
    "morvex_trader_status",
    "get_balance",
    "get_positions",
    "get_orders",
    "num_orders_displayed",
    "active_orders",
    "get_deals",
    "num_deals_displayed",
    "cancel_order",
    "cancel_order_id",
    "gateway_name",
    "cancel_orders",
    "send_order",
    "order_string",
    "close_positions",
    "close_positions_gateway_name",
]


def _record(bot) -> dict:
    return {name: getattr(bot, name) for name in FIELDS}


def _show_changes(before: dict, after: dict) -> None:
    for name in FIELDS:
        if before[name] != after[name]:
            print(f"    record: {name} = {after[name]!r}")


def _live() -> None:
    from morvex_trader.plugins.telegram import bot as bot_module

    print(f"real bot configured: greeting chat {config.TELEGRAM_CHAT_ID}")
    bot_module.bot.send_message("morvex_trader demo: the bot is up")
    bot_module.bot.close()
    print("closed")


def run() -> None:
    if getattr(config, "TELEGRAM_TOKEN", ""):
        _live()
        return

    from morvex_trader.platform.fake_telegram import FakeTelegramServer

    server = FakeTelegramServer(username="morvex_demo_bot")
    config.TELEGRAM_TOKEN = "123456:DEMO-token"
    config.TELEGRAM_CHAT_ID = CHAT
    config.TELEGRAM_API_URL = server.url
    from morvex_trader.plugins.telegram import bot as bot_module

    bot = bot_module.bot
    server.wait_polling()
    print(f"bot polling a local fake Bot API server at {server.url} (chat {CHAT})")
    print("initial record:", ", ".join(f"{k}={v!r}" for k, v in _record(bot).items()))

    script = [
        ("/balance", CHAT, False),
        ("/orders -a 5", CHAT, False),
        ("/send_order 700,100,l,o,l,CQG,350.2,None", CHAT, False),
        ("/cancel_order A-17", CHAT, False),
        ("/cancel_order A-17 CQG", CHAT, False),
        ("/stop", 999, False),  # another chat: ignored
        ("/stop", CHAT, True),  # an edit: never executed
        ("good morning", CHAT, False),
    ]
    for text, chat, edited in script:
        before = _record(bot)
        sent_before = len(server.sent)
        server.push_message(text, chat_id=chat, edited=edited)
        label = "edited " if edited else ""
        print(f"\n  {label}chat {chat} > {text}")
        if chat != CHAT or edited:
            # Nothing comes back; the next command shows the bot went on.
            print("    (ignored: no reply, nothing written)")
            continue
        expected = 2 if text.startswith("/orders") else 1
        server.wait_for_sent(sent_before + expected)
        for reply in server.sent_texts()[sent_before:]:
            for number, line in enumerate(reply.splitlines()):
                print(("    bot < " if number == 0 else "          ") + line)
        _show_changes(before, _record(bot))

    print(f"\nafter the ignored /stop commands: morvex_trader_status = {bot.morvex_trader_status!r}")
    print("\nthe engine serves /balance and clears the request:")
    bot.send_message("Balance: 1,000,000.00 USD")
    bot.get_balance = False
    print(f"    bot < {server.sent_texts()[-1]}")
    print(f"    record: get_balance = {bot.get_balance!r}")

    start = time.perf_counter()
    bot.close()
    print(f"\nclose() during a long poll took {(time.perf_counter() - start) * 1e3:.1f} ms")
    server.stop()
