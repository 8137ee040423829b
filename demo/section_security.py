"""Security records: defaults per kind, the equality rules, map keys and immutability."""

from __future__ import annotations

from morvex_trader.core.constants import Exchange
from morvex_trader.core.security import Currency, Futures, Security, Stock


def run() -> None:
    tencent = Stock("700", "Tencent")
    es = Futures("ESZ6", "E-mini S&P 500", expiry_date="20261218", quote_currency="USD")
    eurusd = Currency("EUR.USD", "Euro / US dollar")
    for record in (tencent, es, eurusd):
        print(record)

    base = Security("700", "Tencent", exchange=Exchange.SEHK)
    print("base Security == Stock with the same code, name and exchange:", base == tencent)
    print("Stock == Stock with another lot size:", tencent == Stock("700", "Tencent", lot_size=100))
    print("Stock == Futures with the same fields:", Stock("ES", "E", 1000, Exchange.SMART) == Futures("ES", "E"))

    last_price = {tencent: 402.6, es: 6120.25}
    print("price looked up by an equal, newly built key:", last_price[Stock("700", "Tencent")])

    try:
        tencent.lot_size = 100  # type: ignore[misc]
    except AttributeError as error:
        print("records are immutable:", error)
