"""Reconciliation of the engine's books with the broker's, at start and after a reconnect.

- Orders working at the broker that the engine does not know are adopted: matched to a
  database row by broker order id, or recorded as an order of an earlier session.
- An order the engine knows whose status at the broker differs (an update missed while
  the connection was down) gets the broker's status, stored like any update.
- Fills the broker lists on an order (its `Fills`) that the ledger has not booked are
  booked once (a fill made while the session was away, a restart's); busted ones are
  reversed. Filled quantities at the broker still above what the engine booked are
  reported.
- The broker's positions are compared with the last snapshot (this session's, or the
  database's last one); any difference is reported in one line.

The broker's orders are read in one round trip on the COM thread. Only the engine's
thread runs it.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from datetime import datetime
from typing import TYPE_CHECKING, Callable, Iterable, Optional

from morvex_trader.core.constants import ACTIVE_ORDER_STATUSES, Direction, OrderStatus, OrderType
from morvex_trader.core.order import Order

if TYPE_CHECKING:
    from morvex_trader.core.position import PositionData
    from morvex_trader.engine.session_guard import SessionGuard
    from morvex_trader.gateways.cqg.wrapper.comhost import Dispatch


@dataclass
class BrokerOrder:
    guid: str
    status: OrderStatus
    quantity: float
    filled_quantity: float
    average_fill_price: float
    direction: Optional[Direction]
    order_type: Optional[OrderType]
    limit_price: Optional[float]
    stop_price: Optional[float]
    symbol: str
    account_id: int
    timestamp: Optional[datetime]
    fills: list = field(default_factory=list)  # (id, status name or None for normal, price, quantity, time)


def read_broker_orders(cqg_cel: Dispatch, guid: Optional[str] = None) -> list[BrokerOrder]:
    """Every order of CQGCEL's `Orders` (or the one with `guid`), read on the COM thread."""
    from morvex_trader.gateways.cqg.wrapper import comhost, tradelink

    C = comhost
    sides = {C.osdBuy: Direction.LONG, C.osdSell: Direction.SHORT}
    types = {C.otMarket: OrderType.MARKET, C.otLimit: OrderType.LIMIT, C.otStop: OrderType.STOP}

    def walk(cel: Dispatch) -> list[tuple]:
        orders = cel.Orders
        if guid is not None:
            try:
                chosen = [orders.ItemByGuid(guid)]
            except comhost.ComError:
                return []
        else:
            chosen = list(orders)
        rows = []
        for order in chosen:
            p = order.Properties
            values = tuple(
                p(op).Value
                for op in (
                    C.opGUID,
                    C.opGWStatus,
                    C.opQuantity,
                    C.opFilledQuantity,
                    C.opAverageFillPrice,
                    C.opSide,
                    C.opOrderType,
                    C.opLimitPrice,
                    C.opStopPrice,
                    C.opInstrumentName,
                    C.opGWAccountID,
                    C.opEventServerTimestamp,
                )
            )
            try:
                fills = [(f.Id, f.Status, f.Price, f.Quantity, f.Timestamp) for f in order.Fills]
            except AttributeError:  # a CQGCEL whose orders do not list their fills
                fills = []
            rows.append(values + (fills,))
        return rows

    result = []
    fill_states = {C.fsNormal: None, C.fsBusted: "busted", C.fsCanceled: "canceled", C.fsModified: "corrected"}
    for g, status, quantity, filled, average, side, kind, limit, stop, name, account, stamp, fills in comhost.RunInHome(
        cqg_cel, walk
    ):
        try:
            host_status = tradelink.convert_orderstatus_cqg2mx(status)
        except ValueError:
            host_status = OrderStatus.UNKNOWN
        result.append(
            BrokerOrder(
                str(g),
                host_status,
                quantity or 0,
                filled or 0,
                average or 0.0,
                sides.get(side),
                types.get(kind),
                limit,
                stop,
                str(name or "").rsplit(".", 1)[-1],
                int(account or 0),
                stamp,
                [(i, fill_states.get(s, f"status {s}"), pr, q, t) for i, s, pr, q, t in fills],
            )
        )
    return result


@dataclass
class Finding:
    kind: str  # "adopted", "status", "unbooked fills", "positions"
    text: str


class Reconciler:
    """Compares and adopts; `engine` (the session guard) provides the books."""

    def __init__(self, engine: SessionGuard, report: Callable[[str, str], None]) -> None:
        self.engine = engine
        self._report = report  # (kind, text): trace line and chat
        self.counts = {"runs": 0, "adopted": 0, "status_fixed": 0, "position_differences": 0}

    # -- orders -------------------------------------------------------------------------
    def order_from_broker(self, broker: BrokerOrder) -> Order:
        gateway = self.engine.gateway
        security = gateway.get_mx_security_from_cqg_symbol(broker.symbol) if broker.symbol else None
        if security is None:
            from morvex_trader.core.security import Security

            security = Security(broker.symbol or "?", broker.symbol or "unknown instrument")
        price = broker.limit_price if broker.limit_price is not None else (broker.stop_price or 0.0)
        order = Order(
            security=security,
            price=price,
            quantity=broker.quantity,
            direction=broker.direction or Direction.LONG,
            order_type=broker.order_type or OrderType.MARKET,
            stop_price=broker.stop_price,
            order_id=broker.guid,
            status=broker.status,
            filled_avg_price=broker.average_fill_price,
            filled_quantity=broker.filled_quantity,
            create_time=self.engine.clock_now(),
            updated_time=self.engine.from_cqg_time(broker.timestamp),
            gateway_name=gateway.gateway_name,
        )
        return order

    def run(self, reason: str) -> list[Finding]:
        """One reconciliation; returns the findings (each also reported)."""
        engine = self.engine
        self.counts["runs"] += 1
        findings: list[Finding] = []
        account = engine.session.account_id
        with engine.placing_lock:  # no order is being placed while the books are compared
            broker_orders = [
                o for o in read_broker_orders(engine.gateway.link.comHost.cqgCEL) if o.account_id in (0, account)
            ]
            for broker in broker_orders:
                known = engine.orders.get(broker.guid)
                if known is None:
                    unseen = engine.unseen_fills(broker)
                    stored = engine.stored_state(broker.guid)
                    if broker.status in ACTIVE_ORDER_STATUSES or unseen or stored is None:
                        remark = (
                            "order of an earlier session"
                            if reason == "start"
                            else "order this session did not record (placement not confirmed)"
                        )
                        engine.adopt(self.order_from_broker(broker), remark)
                        self.counts["adopted"] += 1
                        findings.append(
                            Finding(
                                "adopted",
                                f"adopted {broker.guid} {broker.symbol} "
                                f"{getattr(broker.direction, 'value', '?')} "
                                f"{broker.quantity:g} {broker.status.value}",
                            )
                        )
                    elif stored != (broker.status.value, broker.filled_quantity):
                        # Finished at the broker after its session stopped hearing (or its
                        # row still waits in the queue): the row gets the broker's state.
                        engine.adopt(self.order_from_broker(broker), "order of an earlier session")
                        if stored != "queued":
                            self.counts["status_fixed"] += 1
                            findings.append(
                                Finding(
                                    "status",
                                    f"{broker.guid} is {broker.status.value} at the broker, stored {stored[0]}",
                                )
                            )
                elif known.status != broker.status or known.filled_quantity != broker.filled_quantity:
                    if known.status in ACTIVE_ORDER_STATUSES:
                        engine.apply_broker_state(broker)
                        self.counts["status_fixed"] += 1
                        findings.append(
                            Finding(
                                "status",
                                f"{broker.guid} is {broker.status.value} at "
                                f"the broker (filled {broker.filled_quantity:g})",
                            )
                        )
            for broker in broker_orders:
                for text in engine.book_unseen_fills(broker):
                    findings.append(Finding("unseen fill", text))
            for broker in broker_orders:
                booked = engine.booked_quantity(broker.guid)
                if booked is not None and broker.filled_quantity > booked:
                    findings.append(
                        Finding(
                            "unbooked fills",
                            f"{broker.guid}: broker filled {broker.filled_quantity:g}, booked {booked:g}",
                        )
                    )
        difference = self.position_difference()
        if difference:
            self.counts["position_differences"] += 1
            findings.append(Finding("positions", difference))
        summary = (
            f"reconciliation ({reason}): {len(broker_orders)} broker order(s), "
            f"{sum(f.kind == 'adopted' for f in findings)} adopted"
        )
        self._report("trace", summary)
        for finding in findings:
            self._report("reconciliation", f"Reconciliation ({reason}): {finding.text}")
        return findings

    # -- positions ----------------------------------------------------------------------
    def position_difference(self) -> str:
        """ "" when the broker's positions equal the last snapshot, else one line."""
        broker = _net(self.engine.gateway.get_positions())
        last = self.engine.last_snapshot_positions()
        if last is None:
            return ""
        if broker == last:
            return ""
        parts = []
        for code in sorted(set(broker) | set(last)):
            if broker.get(code, 0) != last.get(code, 0):
                parts.append(f"{code} broker {broker.get(code, 0):+g} vs stored {last.get(code, 0):+g}")
        return "positions differ from the last snapshot: " + ", ".join(parts)


def _net(positions: Iterable[PositionData]) -> dict[str, float]:
    out: dict[str, float] = {}
    for p in positions:
        sign = 1 if p.direction is Direction.LONG else -1
        out[p.security.code] = out.get(p.security.code, 0) + sign * p.quantity
    return {k: v for k, v in out.items() if v}
