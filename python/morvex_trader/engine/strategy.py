"""An example strategy: moving-average crossing on one-minute bars, with resting limit
orders and protective stops that it cancels when they grow old.

It only decides; the engine places and cancels (on its own thread, the gateway's caller).
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Optional, Protocol

from morvex_trader.core.constants import Direction, Offset, OrderType
from morvex_trader.core.data import Bar
from morvex_trader.core.order import Order

if TYPE_CHECKING:
    from morvex_trader.core.security import Security


class StrategyHost(Protocol):
    def bars(self, security: Security) -> Optional[list[Bar]]:
        ...

    def net_position(self, security: Security) -> float:
        ...

    def active_orders(self, security: Optional[Security] = None) -> list[Order]:
        ...

    def submit(self, order: Order) -> Optional[str]:
        ...

    def cancel(self, order_id: str) -> None:
        ...

    def clock(self) -> float:
        ...


class Strategy(Protocol):
    """What the engine asks of a strategy: a decision for one security, now and then."""

    def on_timer(self, host: StrategyHost, security: Security) -> None:
        ...


@dataclass
class MovingAverageCross:
    fast: int = 3
    slow: int = 8
    quantity: int = 1
    max_position: int = 3
    limit_offset: float = 0.002  # resting limit orders this far from the close
    order_lifetime: float = 5.0  # seconds before a resting order is cancelled
    _placed_at: dict = field(default_factory=dict)

    def on_timer(self, host: StrategyHost, security: Security) -> None:
        now = host.clock()
        for order in host.active_orders(security):
            age = now - self._placed_at.get(order.order_id, now)
            if order.order_type is not OrderType.MARKET and age > self.order_lifetime:
                host.cancel(order.order_id)
        bars = host.bars(security)
        if not bars or len(bars) < self.slow:
            return
        closes = [bar.close for bar in bars[-self.slow :]]
        fast_ma = sum(closes[-self.fast :]) / self.fast
        slow_ma = sum(closes) / self.slow
        last = closes[-1]
        position = host.net_position(security)
        if fast_ma > slow_ma and position < self.max_position:
            self._send(host, security, Direction.LONG, OrderType.MARKET, last, now)
            self._send(host, security, Direction.LONG, OrderType.LIMIT, round(last * (1 - self.limit_offset), 2), now)
        elif fast_ma < slow_ma and position > -self.max_position:
            self._send(host, security, Direction.SHORT, OrderType.MARKET, last, now)
            self._send(host, security, Direction.SHORT, OrderType.LIMIT, round(last * (1 + self.limit_offset), 2), now)
        if position > 0 and not any(o.order_type is OrderType.STOP for o in host.active_orders(security)):
            stop = round(last * (1 - 2 * self.limit_offset), 2)
            self._send(host, security, Direction.SHORT, OrderType.STOP, stop, now, stop_price=stop)

    def _send(
        self,
        host: StrategyHost,
        security: Security,
        direction: Direction,
        order_type: OrderType,
        price: float,
        now: float,
        stop_price: Optional[float] = None,
    ) -> None:
        offset = Offset.OPEN if order_type is not OrderType.STOP else Offset.CLOSE
        order = Order(
            security=security,
            price=price,
            quantity=self.quantity,
            direction=direction,
            order_type=order_type,
            offset=offset,
            stop_price=stop_price,
        )
        order_id = host.submit(order)
        if order_id:
            self._placed_at[order_id] = now
