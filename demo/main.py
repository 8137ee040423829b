"""./run demo: a paper-trading session on the simulated market (see paper_trading.py).

    ./run demo [--duration S] [--seed N] [--speed X]   the session (30 s by default)
    ./run demo --report-only                           redraw var/session-report.png from
                                                       the last session stored
    ./run demo tour                                    a short tour of each module instead
"""

from __future__ import annotations

import importlib
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "config"))  # the example morvex_trader_config

TOUR = ["security", "comhost", "tradelink", "marketdata", "db", "bot"]


def tour() -> int:
    for name in TOUR:
        print(f"\n=== {name} ===", flush=True)
        importlib.import_module(f"section_{name}").run()
    return 0


def main(argv: list[str]) -> int:
    if argv[:1] == ["tour"]:
        return tour()
    import paper_trading

    return paper_trading.main(argv)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
