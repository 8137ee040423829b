"""Serves the Telegram bot's request record: the engine polls it, does the work, answers
with `send_message` (or `send_photo` for /report) and clears the request it served (flag
down, parameters back to their initial values)."""

from __future__ import annotations

import sys
from typing import TYPE_CHECKING, Callable, Protocol

from morvex_trader.engine.order_instruction import InstructionError

if TYPE_CHECKING:
    from morvex_trader.plugins.telegram.bot import TelegramBot


class EngineActions(Protocol):
    """What the remote control asks of the engine; every call returns the reply text."""

    def balance_report(self) -> str:
        ...

    def positions_report(self) -> str:
        ...

    def orders_report(self, active_only: bool, count: int) -> str:
        ...

    def deals_report(self, count: int) -> str:
        ...

    def cancel_order_by_id(self, order_id: str | None, gateway_name: str | None) -> str:
        ...

    def cancel_all_orders(self) -> str:
        ...

    def send_order_instruction(self, text: str) -> str:
        ...

    def close_positions(self, gateway_name: str | None) -> str:
        ...

    def report_photo(self) -> tuple[str | None, str]:
        ...

    def status_report(self) -> str:
        ...

    def request_stop(self) -> None:
        ...


class RemoteControl:
    def __init__(self, bot: TelegramBot, engine: EngineActions) -> None:
        self.bot = bot
        self.engine = engine

    def _reply(self, text: str) -> None:
        try:
            self.bot.send_message(text)
        except Exception as error:  # the chat is unreachable: the engine goes on
            print(f"[engine] reply not sent: {error}", file=sys.stderr, flush=True)

    def _serve(self, work: Callable[[], str]) -> None:
        try:
            text = work()
        except InstructionError as error:
            text = f"Order not sent: {error}"
        except Exception as error:
            text = f"Request failed: {type(error).__name__}: {error}"
        if text:
            self._reply(text)

    def _serve_report(self) -> None:
        try:
            path, caption = self.engine.report_photo()
        except Exception as error:
            return self._reply(f"Request failed: {type(error).__name__}: {error}")
        if path is None:
            return self._reply(caption)  # nothing to draw yet: a text says why
        try:
            self.bot.send_photo(path, caption)
        except Exception as error:  # refused or unreachable: say so, if the chat can hear
            print(f"[engine] report not sent: {error}", file=sys.stderr, flush=True)
            self._reply(f"Session report not sent: {error}")

    def poll(self) -> None:
        bot = self.bot
        if bot.morvex_trader_status == "Terminated":
            self.engine.request_stop()
        if bot.get_balance:
            bot.get_balance = False
            self._serve(self.engine.balance_report)
        if bot.get_positions:
            bot.get_positions = False
            self._serve(self.engine.positions_report)
        if bot.get_orders:
            active, count = bot.active_orders, bot.num_orders_displayed
            bot.get_orders = False
            bot.active_orders = False
            bot.num_orders_displayed = 1
            self._serve(lambda: self.engine.orders_report(active, count))
        if bot.get_deals:
            count = bot.num_deals_displayed
            bot.get_deals = False
            bot.num_deals_displayed = 1
            self._serve(lambda: self.engine.deals_report(count))
        if bot.cancel_order:
            order_id, gateway_name = bot.cancel_order_id, bot.gateway_name
            bot.cancel_order = False
            bot.cancel_order_id = None
            bot.gateway_name = None
            self._serve(lambda: self.engine.cancel_order_by_id(order_id, gateway_name))
        if bot.cancel_orders:
            bot.cancel_orders = False
            self._serve(self.engine.cancel_all_orders)
        if bot.send_order:
            text = bot.order_string
            bot.send_order = False
            bot.order_string = ""
            self._serve(lambda: self.engine.send_order_instruction(text))
        if bot.close_positions:
            gateway_name = bot.close_positions_gateway_name
            bot.close_positions = False
            bot.close_positions_gateway_name = None
            self._serve(lambda: self.engine.close_positions(gateway_name))
        # A bot built before /report existed has no such field.
        if getattr(bot, "get_report", False):
            bot.get_report = False
            self._serve_report()
        if getattr(bot, "get_status", False):
            bot.get_status = False
            self._serve(self.engine.status_report)
