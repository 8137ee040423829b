"""Security records against a frozen dataclass with the same fields and defaults.

Figures are ns per operation (best of several repeats), measured interleaved in one
run; the goal speaks of ours/dataclass. Each timed statement is compiled into
timeit's loop, so no Python call wraps the operation being measured.
"""

from __future__ import annotations

import timeit
from dataclasses import dataclass
from typing import Optional

from common import Figure, ratio_figure

from morvex_trader.core.constants import Exchange
from morvex_trader.core.security import Stock


@dataclass(frozen=True)
class StockDataclass:
    code: str
    security_name: str
    lot_size: Optional[int] = 1
    exchange: Optional[Exchange] = Exchange.SEHK
    expiry_date: Optional[str] = None
    quote_currency: str = ""


NUMBER = 200_000
REPEAT = 7

# statement, goal ratio, operations per statement
CASES = [
    ("construction (code, name)", "T('700', 'Tencent')", 1.0, 1),
    (
        "construction (six named)",
        "T(code='700', security_name='Tencent', lot_size=100, exchange=SEHK, "
        "expiry_date='20261231', quote_currency='HKD')",
        1.0,
        1,
    ),
    ("hash", "hash(a)", 1.0, 1),
    ("equality (equal, distinct objects)", "a == b", 1.0, 1),
    ("equality (differ in last field)", "a == c", 1.0, 1),
    ("field read", "a.code; a.security_name; a.lot_size; a.exchange; a.expiry_date; " "a.quote_currency", 1.2, 6),
]


def _namespace(record_type) -> dict:
    # Equal records whose texts are distinct objects, so equality compares contents.
    def text(value: str) -> str:
        return "".join(list(value))

    return {
        "T": record_type,
        "SEHK": Exchange.SEHK,
        "a": record_type(text("700"), text("Tencent"), quote_currency=text("HKD")),
        "b": record_type(text("700"), text("Tencent"), quote_currency=text("HKD")),
        "c": record_type(text("700"), text("Tencent"), quote_currency=text("USD")),
    }


def _best_ns(timer: timeit.Timer, per_statement: int) -> float:
    return min(timer.repeat(repeat=1, number=NUMBER)) * 1e9 / NUMBER / per_statement


def run() -> list[Figure]:
    figures = []
    for name, statement, goal, per_statement in CASES:
        ours_timer = timeit.Timer(statement, globals=_namespace(Stock))
        ref_timer = timeit.Timer(statement, globals=_namespace(StockDataclass))
        ours = ref = float("inf")
        for _ in range(REPEAT):  # interleaved, so drift hits both sides alike
            ours = min(ours, _best_ns(ours_timer, per_statement))
            ref = min(ref, _best_ns(ref_timer, per_statement))
        figures.append(ratio_figure(f"security: Stock {name}", ours, ref, "ns/op", goal, what="ours/dataclass"))
    return figures
