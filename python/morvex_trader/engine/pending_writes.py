"""The file of database writes that a session could not make, replayed by the next start.

One JSON object per line: the store operation's name, its arguments, how many of its
statements had already been committed when the session ended, and the error that held
it up. Arguments are the engine's records (orders, order updates, deals, balances,
positions, securities, date-times, enumerations), written in a tagged form that reads
back into the same kinds of record.
"""

from __future__ import annotations

import dataclasses
import json
import os
from datetime import datetime
from enum import Enum
from typing import Any, Iterable, Optional

from morvex_trader.core import constants
from morvex_trader.core.balance import AccountBalance
from morvex_trader.core.order import Order
from morvex_trader.core.position import PositionData

_RECORDS = {"Order": Order, "AccountBalance": AccountBalance, "PositionData": PositionData}
_SECURITY_FIELDS = ("code", "security_name", "lot_size", "exchange", "expiry_date", "quote_currency")


@dataclasses.dataclass
class PendingWrite:
    op: str
    args: tuple
    done_writes: int = 0  # statements of the operation already committed
    error: str = ""  # why it was not written
    results: list = dataclasses.field(default_factory=list)  # what those statements returned (row ids)

    def describe(self) -> str:
        return f"{self.op}({describe_args(self.args)})"


def describe_args(args: Iterable[Any]) -> str:
    """A short text naming the records of an operation (ids first), for reports."""
    parts = []
    for arg in args:
        if isinstance(arg, Order):
            parts.append(f"order {arg.order_id}")
        elif isinstance(arg, dict):
            if "deal_id" in arg:
                parts.append(f"deal {arg['deal_id']} of order {arg.get('order_id')}")
            elif "order_id" in arg:
                parts.append(f"order {arg['order_id']} {getattr(arg.get('status'), 'value', arg.get('status'))}")
            else:
                parts.append("{" + ", ".join(sorted(arg)) + "}")
        elif isinstance(arg, AccountBalance):
            parts.append(f"balance cash={arg.cash:.2f}")
        elif isinstance(arg, list):
            parts.append(f"{len(arg)} position(s)")
        elif isinstance(arg, datetime):
            parts.append(arg.strftime("%Y-%m-%d %H:%M:%S"))
        elif arg is not None:
            parts.append(str(arg))
    return ", ".join(parts)


def _is_security(value: Any) -> bool:
    from morvex_trader.core import security

    return isinstance(value, security.Security)


def encode(value: Any) -> Any:
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    if isinstance(value, datetime):
        return {"$dt": value.isoformat()}
    if isinstance(value, Enum):
        return {"$enum": type(value).__name__, "value": value.value}
    if _is_security(value):
        return {"$security": type(value).__name__, "fields": [encode(getattr(value, f)) for f in _SECURITY_FIELDS]}
    if dataclasses.is_dataclass(value) and type(value).__name__ in _RECORDS:
        return {
            "$record": type(value).__name__,
            "fields": {f.name: encode(getattr(value, f.name)) for f in dataclasses.fields(value)},
        }
    if isinstance(value, dict):
        return {"$dict": [[encode(k), encode(v)] for k, v in value.items()]}
    if isinstance(value, (list, tuple)):
        return {"$list": [encode(v) for v in value]}
    raise TypeError(f"cannot save a {type(value).__name__} as a pending write")


def decode(value: Any) -> Any:
    if not isinstance(value, dict):
        return value
    if "$dt" in value:
        return datetime.fromisoformat(value["$dt"])
    if "$enum" in value:
        return getattr(constants, value["$enum"])(value["value"])
    if "$security" in value:
        from morvex_trader.core import security

        return getattr(security, value["$security"])(*[decode(v) for v in value["fields"]])
    if "$record" in value:
        return _RECORDS[value["$record"]](**{k: decode(v) for k, v in value["fields"].items()})
    if "$dict" in value:
        return {decode(k): decode(v) for k, v in value["$dict"]}
    if "$list" in value:
        return [decode(v) for v in value["$list"]]
    raise ValueError(f"unknown tagged value {sorted(value)}")


def save(path: str, writes: Iterable[PendingWrite]) -> int:
    """Writes `writes` to `path` (replacing it) through a temporary file; returns the count.
    No writes: the file is removed."""
    lines = [
        json.dumps(
            {
                "op": w.op,
                "args": encode(list(w.args)),
                "done_writes": w.done_writes,
                "error": w.error,
                "results": w.results,
            }
        )
        for w in writes
    ]
    if not lines:
        if os.path.exists(path):
            os.remove(path)
        return 0
    temporary = path + ".tmp"
    with open(temporary, "w", encoding="utf-8") as fh:
        fh.write("\n".join(lines) + "\n")
        fh.flush()
        os.fsync(fh.fileno())
    os.replace(temporary, path)
    return len(lines)


def load(path: Optional[str]) -> list[PendingWrite]:
    """The writes saved in `path` (none when it does not exist). A line that cannot be read
    raises ValueError naming the line: the file is kept for the trader to look at."""
    if not path or not os.path.exists(path):
        return []
    writes = []
    with open(path, encoding="utf-8") as fh:
        for number, line in enumerate(fh, 1):
            if not line.strip():
                continue
            try:
                item = json.loads(line)
                writes.append(
                    PendingWrite(
                        item["op"],
                        tuple(decode(item["args"])),
                        int(item.get("done_writes", 0)),
                        item.get("error", ""),
                        list(item.get("results", [])),
                    )
                )
            except (ValueError, KeyError, TypeError, AttributeError) as error:
                raise ValueError(f"{path}:{number}: unreadable pending write: {error}") from error
    return writes
