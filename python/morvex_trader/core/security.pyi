"""Immutable security records: Security and its kinds Stock, Currency, Commodity and Futures.

Fields are stored as given (no validation); the annotations say what the platform puts
in them. Records are hashable map keys and cannot be changed after construction.
"""

from typing import Any, ClassVar, Final

from morvex_trader.core.constants import Exchange as Exchange

__all__ = ["Security", "Stock", "Currency", "Commodity", "Futures"]

class Security:
    """Base class for different asset types.

    Equal to any security with the same code, security_name and exchange value (from
    either side); hashes as hash(f"{security_name}|{code}|{exchange.value}"), with
    "None" for an absent exchange.
    """

    __match_args__: Final = ("code", "security_name", "lot_size", "exchange", "expiry_date", "quote_currency")
    _fields: ClassVar[tuple[str, str, str, str, str, str]]

    def __init__(
        self,
        code: str,
        security_name: str,
        lot_size: int | None = None,
        exchange: Exchange | None = None,
        expiry_date: str | None = None,
        quote_currency: str = "",
    ) -> None: ...
    @property
    def code(self) -> str: ...
    @property
    def security_name(self) -> str: ...
    @property
    def lot_size(self) -> int | None: ...
    @property
    def exchange(self) -> Exchange | None: ...
    @property
    def expiry_date(self) -> str | None: ...
    @property
    def quote_currency(self) -> str: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]: ...

class Stock(Security):
    """Cash equity. Equal only to a Stock (or a base Security, by its rule) with all six
    fields equal; hashes like the tuple of its six fields."""

    def __init__(
        self,
        code: str,
        security_name: str,
        lot_size: int | None = 1,
        exchange: Exchange | None = ...,  # Exchange.SEHK
        expiry_date: str | None = None,
        quote_currency: str = "",
    ) -> None: ...
    def __post_init__(self) -> None: ...

class Currency(Security):
    """Foreign exchange."""

    def __init__(
        self,
        code: str,
        security_name: str,
        lot_size: int | None = 1000,
        exchange: Exchange | None = ...,  # Exchange.IDEALPRO
        expiry_date: str | None = None,
        quote_currency: str = "",
    ) -> None: ...
    def __post_init__(self) -> None: ...

class Commodity(Security):
    """Commodity."""

    def __init__(
        self,
        code: str,
        security_name: str,
        lot_size: int | None = 1000,
        exchange: Exchange | None = ...,  # Exchange.IDEALPRO
        expiry_date: str | None = None,
        quote_currency: str = "",
    ) -> None: ...
    def __post_init__(self) -> None: ...

class Futures(Security):
    """Futures contract; expiry_date defaults to None like the other kinds."""

    def __init__(
        self,
        code: str,
        security_name: str,
        lot_size: int | None = 1000,
        exchange: Exchange | None = ...,  # Exchange.SMART
        expiry_date: str | None = None,
        quote_currency: str = "",
    ) -> None: ...
    def __post_init__(self) -> None: ...
