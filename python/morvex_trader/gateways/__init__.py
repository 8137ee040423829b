"""Gateways: the base class every broker gateway derives from."""

from abc import ABC, abstractmethod
from typing import Any, Optional


class BaseGateway(ABC):
    """A connection to one broker. Subclasses implement the abstract operations."""

    def __init__(self, gateway_name: str) -> None:
        self.gateway_name = gateway_name

    @abstractmethod
    def connect(self) -> None: ...

    @abstractmethod
    def close(self) -> None: ...

    @abstractmethod
    def place_order(self, order: Any) -> str: ...

    @abstractmethod
    def cancel_order(self, order_id: str) -> None: ...

    def process_quote(self, quote: Any) -> None:
        """Called with every new quote record."""

    def process_orderbook(self, orderbook: Any) -> None:
        """Called with every new order-book record."""

    def process_order(self, update: Any) -> None:
        """Called with every order update."""

    def process_deal(self, deal: Any) -> None:
        """Called with every deal (fill)."""

    def get_balance(self) -> Optional[Any]:
        return None

    def get_positions(self) -> list:
        return []
