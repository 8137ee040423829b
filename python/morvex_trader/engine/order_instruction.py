"""Parsing of the 8-piece order instruction sent from the chat (/send_order).

    security_code, quantity, direction(l/s), offset(o/c), order_type(m/l/s),
    gateway_name, price(None), stop_price(None)

Every piece is checked; a malformed instruction raises `InstructionError` with a message
meant for the chat, and nothing is placed.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Iterable, Optional

from morvex_trader.core.constants import Direction, Offset, OrderType

_DIRECTIONS = {"l": Direction.LONG, "s": Direction.SHORT}
_OFFSETS = {"o": Offset.OPEN, "c": Offset.CLOSE}
_ORDER_TYPES = {"m": OrderType.MARKET, "l": OrderType.LIMIT, "s": OrderType.STOP}


class InstructionError(ValueError):
    """The instruction cannot be turned into an order; the text says why."""


@dataclass(frozen=True)
class OrderInstruction:
    security_code: str
    quantity: int
    direction: Direction
    offset: Offset
    order_type: OrderType
    gateway_name: str
    price: Optional[float]
    stop_price: Optional[float]


def _price(text: str, name: str) -> Optional[float]:
    if text.lower() == "none" or text == "":
        return None
    try:
        value = float(text)
    except ValueError:
        raise InstructionError(f"{name} must be a number or None, got {text!r}") from None
    if not math.isfinite(value) or value <= 0:
        raise InstructionError(f"{name} must be a positive number, got {text!r}")
    return value


def _choice(text: str, table: dict, name: str):
    try:
        return table[text.lower()]
    except KeyError:
        allowed = "/".join(table)
        raise InstructionError(f"{name} must be one of {allowed}, got {text!r}") from None


def parse_order_instruction(text: str, gateway_names: Iterable[str]) -> OrderInstruction:
    pieces = [piece.strip() for piece in text.split(",")]
    if len(pieces) != 8:
        raise InstructionError(f"an order instruction has 8 comma-separated pieces, got {len(pieces)}")
    code, quantity_text, direction, offset, order_type, gateway, price, stop_price = pieces
    if not code:
        raise InstructionError("security_code is empty")
    try:
        quantity = int(quantity_text)
    except ValueError:
        raise InstructionError(f"quantity must be a whole number, got {quantity_text!r}") from None
    if quantity <= 0:
        raise InstructionError(f"quantity must be positive, got {quantity}")
    names = list(gateway_names)
    if gateway not in names:
        raise InstructionError(f"unknown gateway {gateway!r} (known: {', '.join(names) or 'none'})")
    instruction = OrderInstruction(
        security_code=code,
        quantity=quantity,
        direction=_choice(direction, _DIRECTIONS, "direction"),
        offset=_choice(offset, _OFFSETS, "offset"),
        order_type=_choice(order_type, _ORDER_TYPES, "order_type"),
        gateway_name=gateway,
        price=_price(price, "price"),
        stop_price=_price(stop_price, "stop_price"),
    )
    if instruction.order_type in (OrderType.LIMIT, OrderType.STOP) and instruction.price is None:
        raise InstructionError(f"a {instruction.order_type.value} order needs a price")
    if instruction.order_type is OrderType.STOP and instruction.stop_price is None:
        raise InstructionError("a STOP order needs a stop_price")
    return instruction
