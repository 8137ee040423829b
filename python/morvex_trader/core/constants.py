"""Enumerations of the platform core."""

from enum import Enum


class Exchange(Enum):
    SEHK = "SEHK"  # Hong Kong stock exchange
    SMART = "SMART"  # smart routing (futures by default)
    IDEALPRO = "IDEALPRO"  # foreign exchange and commodities


class Direction(Enum):
    LONG = "LONG"
    SHORT = "SHORT"


class Offset(Enum):
    """Whether an order opens or closes a position (stored in order and deal rows)."""

    NONE = "NONE"
    OPEN = "OPEN"
    CLOSE = "CLOSE"


class OrderType(Enum):
    LIMIT = "LIMIT"
    MARKET = "MARKET"
    STOP = "STOP"


class OrderStatus(Enum):
    SUBMITTED = "SUBMITTED"
    FILLED = "FILLED"
    CANCELLED = "CANCELLED"
    FAILED = "FAILED"
    UNKNOWN = "UNKNOWN"


ACTIVE_ORDER_STATUSES = frozenset({OrderStatus.SUBMITTED, OrderStatus.UNKNOWN})
