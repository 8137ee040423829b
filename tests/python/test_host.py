"""The host stand-in: records, constants and helpers that the native modules rely on."""

import dataclasses
from datetime import datetime

import pytest

from morvex_trader.core.balance import AccountBalance
from morvex_trader.core.constants import Direction, Exchange, OrderStatus, OrderType
from morvex_trader.core.data import Bar, OrderBook, Quote
from morvex_trader.core.utility import safe_call


def test_exchange_members_carry_text_values():
    assert [e.value for e in (Exchange.SEHK, Exchange.SMART, Exchange.IDEALPRO)] == ["SEHK", "SMART", "IDEALPRO"]
    assert {d.name for d in Direction} == {"LONG", "SHORT"}
    assert {t.name for t in OrderType} == {"LIMIT", "MARKET", "STOP"}
    assert {s.name for s in OrderStatus} >= {"SUBMITTED", "FILLED", "CANCELLED", "FAILED", "UNKNOWN"}


@pytest.mark.parametrize("record_type, price_field", [(Quote, "bid_price"), (OrderBook, "ask_price_1")])
def test_market_records_are_immutable_and_copied_with_replace(record_type, price_field):
    record = record_type(security="S", exchange=Exchange.SEHK, datetime=datetime(2026, 1, 2))
    assert getattr(record, price_field) == 0
    with pytest.raises(dataclasses.FrozenInstanceError):
        setattr(record, price_field, 1.0)
    updated = dataclasses.replace(record, **{price_field: 9.5})
    assert getattr(updated, price_field) == 9.5 and getattr(record, price_field) == 0
    assert price_field in str(updated)


def test_bar_and_balance_are_written_in_place():
    bar = Bar(datetime=datetime(2026, 1, 2, 9, 30), security="S", open=1, high=2, low=0.5, close=1.5, volume=10)
    bar.close = 1.6
    assert bar.close == 1.6
    balance = AccountBalance()
    balance.cash = 1000.0
    assert balance.cash == 1000.0 and balance.cash_by_currency is None


def test_safe_call_reports_the_failure_and_returns_none(capsys):
    def unsubscribe(symbol):
        raise RuntimeError(f"boom {symbol}")

    assert safe_call(unsubscribe)("ES") is None
    assert "boom ES" in capsys.readouterr().err
    assert safe_call(lambda x: x * 2)(21) == 42
