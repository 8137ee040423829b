"""Telegram remote-control plug-in (module bot)."""
