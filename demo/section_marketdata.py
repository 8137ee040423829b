"""Market data: a level-1 order book built from ticks, and one-minute bars arriving from
the simulator, read back through get_subscribe_bars_data with an invalid value repaired."""

from __future__ import annotations

import sys
from datetime import timedelta

from morvex_trader.core.security import Futures
from morvex_trader.gateways.cqg.cqg_gateway import CqgGateway
from morvex_trader.gateways.cqg.wrapper import comhost, tradelink
from morvex_trader.platform import cqgcel

INVALID = tradelink.INVALID_VALUE
EP = Futures("EP", "E-mini S&P 500")


class DemoGateway(CqgGateway):
    def process_orderbook(self, orderbook) -> None:
        print(
            f"  process_orderbook: bid {orderbook.bid_volume_1} @ {orderbook.bid_price_1}"
            f" | ask {orderbook.ask_volume_1} @ {orderbook.ask_price_1}",
            flush=True,
        )


def show(bars) -> None:
    for b in bars:
        print(f"  {b.datetime:%H:%M}  O {b.open:<7} H {b.high:<7} L {b.low:<7} C {b.close:<7} V {b.volume}")
    sys.stdout.flush()


def run() -> None:
    cqgcel.reset()
    gateway = DemoGateway({"F.US.EP": EP})
    gateway.connect()
    link = gateway.tradelink
    try:
        print("-- order book: subscribe, then an ask, a bid with no volume, a bid, a trade", flush=True)
        cqgcel.set_ticks("F.US.EP", [])
        link.subscribe_orderbook("F.US.EP")
        for tick in [
            (comhost.tptAsk, 149.25, 12),
            (comhost.tptBid, 149.0, 0),
            (comhost.tptBid, 149.0, 8),
            (comhost.tptTrade, 149.25, 3),
        ]:
            print(f"  tick {tradelink.TickType2String(tick[0])}: {tick[2]} @ {tick[1]}", flush=True)
            cqgcel.push_ticks("F.US.EP", [tick])
        link.unsubscribe_orderbook("F.US.EP")

        print("-- one-minute bars: subscribe with a look-back of 5", flush=True)
        link.subscribe_bar("F.US.EP", 5)
        bars = link.get_subscribe_bars_data(EP)
        show(bars)
        newest = bars[-1].datetime
        forming = newest + timedelta(minutes=1)
        print("-- the simulator starts two new bars; the first arrives with an invalid close", flush=True)
        price = bars[-1].close
        cqgcel.update_timed_bar("F.US.EP", -1, (forming, price, price + 0.75, price - 0.5, INVALID, 140))
        cqgcel.push_timed_bar("F.US.EP", (forming + timedelta(minutes=1), price, price, price, price, 1))
        print(f"  stored close of {forming:%H:%M}: {link.subscribe_bars_data[EP][-1].close}", flush=True)
        print("-- get_subscribe_bars_data repairs it from the bar before", flush=True)
        show(link.get_subscribe_bars_data(EP)[-3:])
        link.unsubscribe_bar("F.US.EP")
    finally:
        gateway.close()
        cqgcel.reset()


if __name__ == "__main__":
    run()
