"""The texts the trader reads about the account: the chat's replies (balance, positions,
orders, deals) and the session summary at the end of a run.

Only formatting lives here; which orders and deals a reply shows (held in memory or read
back from the database) is the engine's choice.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Iterable, Optional, Sequence

from morvex_trader.core.balance import AccountBalance
from morvex_trader.core.constants import ACTIVE_ORDER_STATUSES, OrderStatus
from morvex_trader.core.position import PositionData

if TYPE_CHECKING:
    from morvex_trader.engine.main_engine import MainEngine

# One line of the orders reply: broker order id, security code, direction, order type,
# quantity, price, filled quantity, status.
OrderLine = tuple[str, str, str, str, float, float, float, str]
# One line of the deals reply: broker deal id, broker order id, quantity, price, time.
DealLine = tuple[str, str, float, float, object]


def format_money(amount: Optional[float]) -> str:
    """An amount of money as the trader reads it: two decimals ("n/a" when not reported),
    never "-0.00"."""
    if amount is None:
        return "n/a"
    return f"{round(float(amount), 2) + 0.0:.2f}"


def balance_text(gateway_name: str, b: AccountBalance) -> str:
    m = format_money
    return (
        f"Balance ({gateway_name}): cash={m(b.cash)} available={m(b.available_cash)} "
        f"net={m(b.net_cash_power)} margin={m(b.maintenance_margin)} "
        f"realized_pnl={m(b.realized_pnl)} unrealized_pnl={m(b.unrealized_pnl)}"
    )


def positions_text(gateway_name: str, positions: Sequence[PositionData]) -> str:
    if not positions:
        return f"No open positions ({gateway_name})."
    lines = [f"{p.security.code} {p.direction.value} {p.quantity:g} @ {p.holding_price:.4f}" for p in positions]
    return f"Positions ({gateway_name}):\n" + "\n".join(lines)


def no_orders_text(active_only: bool) -> str:
    return "No active orders." if active_only else "No orders."


def orders_text(shown: Sequence[OrderLine], total: int) -> str:
    lines = [
        f"{order_id} {code} {direction} {order_type} {quantity:g}@{price} filled {filled:g} {status}"
        for order_id, code, direction, order_type, quantity, price, filled, status in shown
    ]
    return f"Orders ({len(shown)} of {total}):\n" + "\n".join(lines)


NO_DEALS = "No deals."


def deals_text(shown: Sequence[DealLine], total: int) -> str:
    lines = [
        f"{deal_id} order {order_id} {quantity:g}@{price} {time}" for deal_id, order_id, quantity, price, time in shown
    ]
    return f"Deals ({len(shown)} of {total}):\n" + "\n".join(lines)


def format_summary(
    engine: MainEngine, db_path: Optional[str], row_counts: Optional[dict[str, int]], extra: Iterable[str] = ()
) -> str:
    """The session summary printed when a run ends."""
    statuses = engine.status_counts()
    balance = engine.last_balance
    lines = [
        "Session summary",
        f"  orders placed      {engine.counts.placed}",
        f"  orders filled      {statuses.get(OrderStatus.FILLED.value, 0)}",
        f"  orders cancelled   {statuses.get(OrderStatus.CANCELLED.value, 0)}",
        f"  orders rejected    {statuses.get(OrderStatus.FAILED.value, 0) + engine.counts.refused}",
        f"  orders working     {sum(statuses.get(s.value, 0) for s in ACTIVE_ORDER_STATUSES)}",
        f"  deals              {engine.counts.deals}",
    ]
    if balance is not None:
        lines.append(f"  realised P&L       {format_money(balance.realized_pnl)}")
        lines.append(f"  unrealised P&L     {format_money(balance.unrealized_pnl)}")
    if row_counts:
        for table, rows in row_counts.items():
            lines.append(f"  rows {table:<14}{rows}")
    if db_path:
        lines.append(f"  database           {db_path}")
    lines.extend(extra)
    return "\n".join(lines)
