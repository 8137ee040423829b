"""What the trader reads of money: chat replies and the session summary show amounts with
two decimals, whatever float noise the account's arithmetic left in them."""

from __future__ import annotations

from types import SimpleNamespace

import pytest

from morvex_trader.core.balance import AccountBalance
from morvex_trader.engine.main_engine import MainEngine, SessionSettings
from morvex_trader.engine.report_texts import format_money, format_summary


def engine_with(balance: AccountBalance) -> MainEngine:
    gateway = SimpleNamespace(gateway_name="CQG", get_balance=lambda: balance, counts={})
    engine = MainEngine(gateway, None, SessionSettings())
    engine.last_balance = balance
    return engine


@pytest.mark.parametrize(
    "value, text",
    [
        (1000222.4999999999, "1000222.50"),
        (12000.000000001, "12000.00"),
        (-2332.4999999, "-2332.50"),
        (-1e-12, "0.00"),  # no "-0.00" for an amount that rounds to nothing
        (0, "0.00"),
        (None, "n/a"),  # a value CQG did not report
    ],
    ids=["noise-up", "noise-down", "negative", "negative-zero", "int", "absent"],
)
def test_format_money(value, text):
    assert format_money(value) == text


def test_the_balance_reply_shows_every_amount_with_two_decimals():
    engine = engine_with(
        AccountBalance(
            cash=1000000.0049999,
            available_cash=988000.0000001,
            net_cash_power=1000222.4999999999,
            maintenance_margin=12000.000000001,
            realized_pnl=222.4999999999,
            unrealized_pnl=-1e-9,
        )
    )
    assert engine.balance_report() == (
        "Balance (CQG): cash=1000000.00 available=988000.00 net=1000222.50 margin=12000.00 "
        "realized_pnl=222.50 unrealized_pnl=0.00"
    )


def test_the_balance_reply_names_amounts_cqg_did_not_report():
    reply = engine_with(AccountBalance()).balance_report()  # net and margin unread: None
    assert reply == "Balance (CQG): cash=0.00 available=0.00 net=n/a margin=n/a realized_pnl=0.00 unrealized_pnl=0.00"


def test_the_summary_shows_profit_and_loss_with_two_decimals():
    engine = engine_with(AccountBalance(realized_pnl=-2332.4999999, unrealized_pnl=-1e-12))
    lines = format_summary(engine, None, None).splitlines()
    assert "  realised P&L       -2332.50" in lines
    assert "  unrealised P&L     0.00" in lines
