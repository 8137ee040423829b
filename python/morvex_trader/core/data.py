"""Market-data records: quotes, level-1..5 order books and bars.

`Quote` and `OrderBook` are immutable: an update is `dataclasses.replace(record, ...)`.
`Bar` is written in place (the gateway repairs invalid fields of stored bars).
Prices and volumes that were never set are 0.
"""

from dataclasses import dataclass
from datetime import datetime
from typing import Any, Optional


@dataclass(frozen=True)
class Quote:
    security: Any
    exchange: Any
    datetime: datetime
    last_price: float = 0.0
    bid_price: float = 0.0
    ask_price: float = 0.0
    open_price: float = 0.0
    high_price: float = 0.0
    low_price: float = 0.0
    prev_close_price: float = 0.0
    volume: float = 0.0


@dataclass(frozen=True)
class OrderBook:
    security: Any
    exchange: Any
    datetime: datetime
    bid_price_1: float = 0.0
    bid_price_2: float = 0.0
    bid_price_3: float = 0.0
    bid_price_4: float = 0.0
    bid_price_5: float = 0.0
    ask_price_1: float = 0.0
    ask_price_2: float = 0.0
    ask_price_3: float = 0.0
    ask_price_4: float = 0.0
    ask_price_5: float = 0.0
    bid_volume_1: float = 0.0
    bid_volume_2: float = 0.0
    bid_volume_3: float = 0.0
    bid_volume_4: float = 0.0
    bid_volume_5: float = 0.0
    ask_volume_1: float = 0.0
    ask_volume_2: float = 0.0
    ask_volume_3: float = 0.0
    ask_volume_4: float = 0.0
    ask_volume_5: float = 0.0


@dataclass
class Bar:
    datetime: datetime
    security: Any
    open: float = 0.0
    high: float = 0.0
    low: float = 0.0
    close: float = 0.0
    volume: float = 0.0
    remark: Optional[str] = None
