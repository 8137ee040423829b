"""Order and deal records of the host."""

from dataclasses import dataclass, field
from datetime import datetime
from typing import Any, Optional

from morvex_trader.core.constants import Direction, Offset, OrderStatus, OrderType


@dataclass
class Order:
    security: Any
    price: float
    quantity: float
    direction: Direction
    order_type: OrderType
    offset: Offset = Offset.NONE
    stop_price: Optional[float] = None
    order_id: str = ""
    status: OrderStatus = OrderStatus.UNKNOWN
    filled_avg_price: float = 0.0
    filled_quantity: float = 0.0
    create_time: datetime = field(default_factory=datetime.now)
    updated_time: Optional[datetime] = None
    gateway_name: str = ""


@dataclass
class Deal:
    deal_id: str
    order_id: str
    security: Any
    direction: Direction
    offset: Offset
    order_type: OrderType
    filled_avg_price: float
    filled_quantity: float
    updated_time: datetime
    gateway_name: str = ""
