"""Gateways: the base class every broker gateway derives from."""

from __future__ import annotations

from abc import ABC, abstractmethod
from typing import TYPE_CHECKING, Any, Optional

if TYPE_CHECKING:
    from morvex_trader.core.balance import AccountBalance
    from morvex_trader.core.data import OrderBook, Quote
    from morvex_trader.core.order import Order
    from morvex_trader.core.position import PositionData


class BaseGateway(ABC):
    """A connection to one broker. Subclasses implement the abstract operations."""

    def __init__(self, gateway_name: str) -> None:
        self.gateway_name = gateway_name

    @abstractmethod
    def connect(self) -> None:
        ...

    @abstractmethod
    def close(self) -> None:
        ...

    @abstractmethod
    def place_order(self, order: Order) -> str:
        ...

    @abstractmethod
    def cancel_order(self, order_id: str) -> None:
        ...

    def process_quote(self, quote: Quote) -> None:
        """Called with every new quote record."""

    def process_orderbook(self, orderbook: OrderBook) -> None:
        """Called with every new order-book record."""

    def process_order(self, update: dict[str, Any]) -> None:
        """Called with every order update: order_id, status, filled_avg_price,
        filled_quantity, updated_time."""

    def process_deal(self, deal: dict[str, Any]) -> None:
        """Called with every deal (fill): deal_id, order_id, filled_avg_price,
        filled_quantity, updated_time."""

    def get_balance(self) -> Optional[AccountBalance]:
        return None

    def get_positions(self) -> list[PositionData]:
        return []
