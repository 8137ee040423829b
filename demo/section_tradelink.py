"""TradeLink on the CQGCEL simulator: log on, subscribe an account and a quote, place and
cancel an order, log off, with the trace lines each step writes."""

from __future__ import annotations

import sys
import time

from morvex_trader.core.constants import Direction, Exchange, OrderType
from morvex_trader.core.order import Order
from morvex_trader.core.security import Futures
from morvex_trader.gateways.cqg.cqg_gateway import CqgGateway
from morvex_trader.gateways.cqg.wrapper import comhost, tradelink
from morvex_trader.platform import cqgcel

C = comhost.constants


def say(text: str) -> None:
    print(f"-- {text}", flush=True)


def wait_for(predicate, seconds: float = 2.0) -> None:
    deadline = time.monotonic() + seconds
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.005)


def run() -> None:
    cqgcel.reset()
    tradelink.ACCOUNT_SWITCH_PAUSE = 0.2  # the demo need not pause 2 s between switches
    ep = Futures("EP", "E-mini S&P 500", exchange=Exchange.SMART)
    gateway = CqgGateway({"F.US.EP": ep})
    say("start the COM host with TradeLink")
    gateway.connect()
    link = gateway.tradelink
    try:
        say("log on")
        gateway.logon("demo", "demo-password")
        say("subscribe account 100001")
        gateway.subscribe_account(100001)
        print(
            f"   balance: cash={link.account_balance.cash:,.2f} "
            f"available={link.account_balance.available_cash:,.2f}",
            flush=True,
        )
        say("subscribe EP quotes; the simulator pushes bid, ask and a trade")
        link.subscribe_quote("EP")
        cqgcel.push_quotes("EP", [(C.qtBid, 5301.25), (C.qtAsk, 5301.50), (C.qtTrade, 5301.25)])
        q = gateway.latest_quotes[ep]
        print(
            f"   quote: bid={q.bid_price} ask={q.ask_price} last={q.last_price} "
            f"({gateway.counts['quote']} handed over)",
            flush=True,
        )
        say("place a limit order to buy 2 EP at 5300.00")
        order = Order(ep, 5300.0, 2, Direction.LONG, OrderType.LIMIT)
        guid = gateway.place_order(order)
        wait_for(lambda: guid in gateway.order_updates)
        print(f"   order {guid}: {gateway.order_updates[guid]['status'].value}", flush=True)
        say("cancel it")
        gateway.cancel_order(guid)
        wait_for(lambda: gateway.order_updates[guid]["status"].value == "CANCELLED")
        print(f"   order {guid}: {gateway.order_updates[guid]['status'].value}", flush=True)
        say("log off and shut down")
    finally:
        gateway.close()
    sys.stdout.flush()
    cqgcel.reset()


if __name__ == "__main__":
    run()
