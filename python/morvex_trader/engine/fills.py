"""The fill ledger: every broker fill is booked exactly once.

A broker may deliver a fill again (after a reconnect, or on a restart that finds the
fill's order still at the broker). The ledger knows every fill id booked this session,
and, per order taken over from an earlier session, the fill ids the database holds for
it (read back when the order is adopted, or from the pending-writes file), and refuses a
second booking. Earlier sessions' ids count for their own orders only: a broker that
numbers afresh in a new session may reuse an id for another order. A busted fill
reverses its booking; a corrected one replaces price and quantity.
A fill whose fields cannot be booked (no id, a quantity that is not a positive number,
a price that is not a finite number) is refused with the reason, never booked.

Only the engine's thread calls it; it keeps no lock of its own.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from datetime import datetime
from typing import Iterable, Optional, SupportsFloat, SupportsIndex


def deal_key(deal_id: object) -> str:
    """The text under which a fill id is booked and stored (`trading_deal.broker_deal_id`)."""
    return str(deal_id)


def _finite_number(value: object) -> Optional[float]:
    """`value` as a finite float, or None when it is not a finite number (a bool is not)."""
    if isinstance(value, bool) or not isinstance(value, (SupportsFloat, SupportsIndex, str, bytes)):
        return None
    try:
        number = float(value)
    except (TypeError, ValueError):
        return None
    return number if math.isfinite(number) else None


def malformed_reason(deal: dict) -> Optional[str]:
    """Why `deal` cannot be booked, or None when it can."""
    deal_id = deal.get("deal_id")
    if deal_id is None or deal_key(deal_id).strip() == "":
        return "no fill id"
    order_id = deal.get("order_id")
    if not isinstance(order_id, str) or not order_id:
        return f"no order id (got {order_id!r})"
    quantity = deal.get("filled_quantity")
    number = _finite_number(quantity)
    if number is None or number <= 0:
        return f"quantity {quantity!r} is not a positive number"
    if _finite_number(deal.get("filled_avg_price")) is None:
        return f"price {deal.get('filled_avg_price')!r} is not a finite number"
    if not isinstance(deal.get("updated_time"), datetime):
        return f"time {deal.get('updated_time')!r} is not a date-time"
    return None


@dataclass
class LedgerCounts:
    booked: int = 0
    duplicates: int = 0
    malformed: int = 0
    busted: int = 0
    corrected: int = 0


class FillLedger:
    """Fill ids booked, this session's fills by id, and the counts the summary shows."""

    def __init__(self) -> None:
        self._earlier: dict[str, set[str]] = {}  # order id -> fill ids booked by earlier sessions
        self._fills: dict[str, dict] = {}  # this session's booked fills, by id
        self._reversed: set[str] = set()  # busted: never booked again
        self.counts = LedgerCounts()

    def contains(self, deal_id: object, order_id: Optional[str] = None) -> bool:
        key = deal_key(deal_id)
        return (
            key in self._fills
            or key in self._reversed
            or (order_id is not None and key in self._earlier.get(order_id, ()))
        )

    def knows_order(self, order_id: str) -> bool:
        """Whether the earlier sessions' fills of `order_id` have been loaded."""
        return order_id in self._earlier

    def load(self, order_id: str, booked_ids: Iterable[object]) -> None:
        """Adds the ids of fills of `order_id` booked by earlier sessions."""
        self._earlier.setdefault(order_id, set()).update(deal_key(i) for i in booked_ids)

    def book(self, deal: dict) -> str:
        """ "booked", "duplicate" or "malformed: <reason>"."""
        reason = malformed_reason(deal)
        if reason is not None:
            self.counts.malformed += 1
            return "malformed: " + reason
        key = deal_key(deal["deal_id"])
        if self.contains(key, deal["order_id"]):
            self.counts.duplicates += 1
            return "duplicate"
        self._fills[key] = deal
        self.counts.booked += 1
        return "booked"

    def fill(self, deal_id: object) -> Optional[dict]:
        return self._fills.get(deal_key(deal_id))

    def bust(self, deal_id: object) -> Optional[dict]:
        """Reverses a booked fill of this session: returns it, or None when it was not
        booked here (a fill of an earlier session is reversed in the database only)."""
        key = deal_key(deal_id)
        if key in self._reversed:
            return None
        self._reversed.add(key)
        self.counts.busted += 1
        return self._fills.pop(key, None)

    def correct(self, deal_id: object, price: float, quantity: float) -> tuple[Optional[dict], Optional[dict]]:
        """Replaces price and quantity of a booked fill: (old, new) records of this session
        (None, None when it was booked by an earlier session or not at all)."""
        key = deal_key(deal_id)
        self.counts.corrected += 1
        old = self._fills.get(key)
        if old is None:
            return None, None
        new = dict(old, filled_avg_price=price, filled_quantity=quantity)
        self._fills[key] = new
        return old, new

    def session_ids(self) -> list[str]:
        """Ids of the fills this session booked and still holds booked, in booking order."""
        return list(self._fills)

    def is_reversed(self, deal_id: object) -> bool:
        return deal_key(deal_id) in self._reversed
