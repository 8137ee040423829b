"""Example configuration used by `./run demo`.

A host puts its own `morvex_trader_config` module on `sys.path`; tests write theirs.
"""

import os

_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Storage back-ends: "sqlite3" names the folder of morvex_trader.db.
DB = {"sqlite3": os.environ.get("MX_DB_DIR", os.path.join(_ROOT, "var", "db"))}

# Telegram: with no real token the demo serves the bot from a local fake Bot API server.
TELEGRAM_TOKEN = os.environ.get("MX_TELEGRAM_TOKEN", "")
TELEGRAM_CHAT_ID = int(os.environ.get("MX_TELEGRAM_CHAT_ID", "0"))
# Optional: base URL of the Bot API (default: the public service).
# TELEGRAM_API_URL = "http://127.0.0.1:8081"

# Optional: the live-session watch (engine/watch_settings.py lists every key).
# Every time stored or shown is in this zone (IANA name); absent: the host's local zone.
# TIMEZONE = "Europe/London"
# Chat notifications per kind: "on", "off" or "silent".
NOTIFICATIONS = {
    "fill": "on",
    "reject": "on",
    "connection": "on",
    "reconciliation": "on",
    "error": "on",
    "database": "on",
}
QUOTE_SILENCE = 30.0  # seconds without a quote that count as the data connection down
