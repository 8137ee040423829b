"""Account balance record (buildable with no fields; the gateway fills it in place)."""

from dataclasses import dataclass
from typing import Optional


@dataclass
class AccountBalance:
    cash: float = 0.0
    cash_by_currency: Optional[str] = None
    available_cash: float = 0.0
    max_power_short: Optional[float] = None
    net_cash_power: Optional[float] = None
    maintenance_margin: Optional[float] = None
    unrealized_pnl: float = 0.0
    realized_pnl: float = 0.0
