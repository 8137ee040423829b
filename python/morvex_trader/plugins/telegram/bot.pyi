"""Telegram remote control: chat commands write requests that the engine serves.

Importing the module reads TELEGRAM_TOKEN, TELEGRAM_CHAT_ID and (optionally)
TELEGRAM_API_URL from `morvex_trader_config` and creates `bot`, which polls at once.
"""

import os
from typing import Any, Optional, SupportsFloat, SupportsIndex, Union

_ChatId = Union[int, SupportsIndex, SupportsFloat]

TELEGRAM_CHAT_ID: int
TELEGRAM_API_URL: str
COMMAND_SUMMARY: str
chat_id: int  # set by selftest()

class TelegramError(RuntimeError):
    """A Bot API call failed; str(error) is the service's description."""

    description: str
    error_code: Optional[int]  # None for network failures
    retry_after: Optional[int]

class _RequestRecord:
    # Setters take the kinds below (TypeError otherwise); a str that UTF-8 cannot hold (a
    # lone surrogate) raises UnicodeEncodeError naming the field, and nothing changes.
    morvex_trader_status: str
    get_balance: bool
    get_positions: bool
    get_orders: bool
    num_orders_displayed: int
    active_orders: bool
    get_deals: bool
    num_deals_displayed: int
    cancel_order: bool
    cancel_order_id: Optional[str]
    gateway_name: Optional[str]
    cancel_orders: bool
    send_order: bool
    order_string: str
    close_positions: bool
    close_positions_gateway_name: Optional[str]
    get_report: bool
    get_status: bool

class CustomedExtBot(_RequestRecord):
    def send_message(self, chat_id: _ChatId, text: str) -> None: ...

class Updater:
    @property
    def bot(self) -> CustomedExtBot: ...
    @property
    def running(self) -> bool: ...
    def stop(self) -> None: ...

class TelegramBot(_RequestRecord):
    updates: list[dict[str, Any]]
    def __init__(self, token: str) -> None:
        """Starts polling. Returns after one short request (at most 3 s) that drops the
        updates pending from before the start; when the service cannot be reached, the
        messages dated before the start are dropped instead. Anything sent after the
        start is served."""
    @property
    def updater(self) -> Updater: ...
    def send_message(self, msg: str, chat_id: _ChatId = ..., *, disable_notification: bool = False) -> None:
        """Sends msg (split at line ends when over 4096 UTF-16 units); with
        disable_notification, without the chat's notification sound. TelegramError when
        the service refuses; UnicodeEncodeError naming msg, before anything is sent, for
        text UTF-8 cannot hold."""
    def send_photo(
        self,
        photo: Union[bytes, bytearray, memoryview, str, os.PathLike[str]],
        caption: str = ...,
        chat_id: _ChatId = ...,
    ) -> None: ...
    def get_updates(self) -> None: ...
    def get_chat_id(self) -> int: ...
    def close(self) -> None: ...

bot: TelegramBot

def selftest() -> None: ...
