"""Bot: from the fake server handing out a /balance update to the get_balance flag being
visible to the engine, and to the acknowledgement arriving back at the server.

Measured on loopback in a child interpreter (the bot module reads its configuration when
loaded), beyond the long poll itself: the clock starts when the held getUpdates is
answered. Goal: median under 5 ms for both.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

ROUNDS = 300
WARM_UP = 30


def _child() -> None:
    from morvex_trader.platform.fake_telegram import FakeTelegramServer

    server = FakeTelegramServer()
    with open(os.path.join(sys.argv[2], "morvex_trader_config.py"), "w") as config:
        config.write(f"TELEGRAM_TOKEN = '1:bench'\nTELEGRAM_CHAT_ID = 424242\n" f"TELEGRAM_API_URL = {server.url!r}\n")
    sys.path.insert(0, sys.argv[2])
    from morvex_trader.plugins.telegram import bot as bot_module

    bot = bot_module.bot
    flag_us: list[float] = []
    reply_us: list[float] = []
    for round_ in range(WARM_UP + ROUNDS):
        server.wait_polling()
        bot.get_balance = False
        replies_before = len(server.sent)
        update_id = server.push_message("/balance")
        deadline = time.monotonic() + 5
        while not bot.get_balance:
            if time.monotonic() > deadline:
                raise TimeoutError("the flag never rose")
            time.sleep(20e-6)
        seen = time.perf_counter()
        server.wait_for(lambda: len(server.sent) > replies_before, what="the acknowledgement")
        handed = server.handed_out[update_id]
        if round_ >= WARM_UP:
            flag_us.append((seen - handed) * 1e6)
            reply_us.append((server.sent[-1].at - handed) * 1e6)
    bot.close()
    server.stop()
    print(json.dumps({"flag": flag_us, "reply": reply_us}))


def run():
    sys.path.insert(0, HERE)
    from common import absolute_figure, median, percentile

    env = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "python"))
    with tempfile.TemporaryDirectory() as config_dir:
        out = subprocess.run(
            [sys.executable, __file__, "--child", config_dir],
            env=env,
            capture_output=True,
            text=True,
            timeout=120,
            check=True,
        )
    samples = json.loads(out.stdout.strip().splitlines()[-1])
    figures = []
    for key, what in (("flag", "/balance to get_balance visible"), ("reply", "/balance to reply arriving")):
        figures.append(absolute_figure(f"bot: {what}, median", median(samples[key]), "us", 5000))
        figures.append(absolute_figure(f"bot: {what}, p99", percentile(samples[key], 99), "us", 20000))
    return figures


if __name__ == "__main__" and len(sys.argv) > 2 and sys.argv[1] == "--child":
    _child()
