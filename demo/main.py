"""./run demo: shows what the native modules do, one section per area.

Each `demo/section_<area>.py` exposes `run()`; sections run in the order below.
"""

from __future__ import annotations

import importlib
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "config"))  # the example morvex_trader_config

SECTIONS = ["security", "comhost", "tradelink", "marketdata", "db", "bot"]


def main() -> int:
    for name in SECTIONS:
        if not os.path.exists(os.path.join(HERE, f"section_{name}.py")):
            continue
        print(f"\n=== {name} ===", flush=True)
        importlib.import_module(f"section_{name}").run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
