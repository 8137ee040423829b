"""Open position record."""

from dataclasses import dataclass, field
from datetime import datetime
from typing import Any

from morvex_trader.core.constants import Direction


@dataclass
class PositionData:
    security: Any
    direction: Direction
    holding_price: float = 0.0
    quantity: float = 0.0
    update_time: datetime = field(default_factory=datetime.now)
