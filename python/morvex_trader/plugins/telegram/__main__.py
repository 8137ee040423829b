"""Stand-alone self-test of the bot: ``python3 -m morvex_trader.plugins.telegram``.

Loads the bot with the configuration in `morvex_trader_config`, sends "Yes I am here!"
to TELEGRAM_CHAT_ID, closes the bot and prints "Closed.".
"""

from morvex_trader.plugins.telegram import bot

bot.selftest()
