"""The hand-written .pyi stubs type-check and match what the compiled modules offer."""

from __future__ import annotations

import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE_ROOT = os.path.join(os.path.dirname(os.path.dirname(HERE)), "python")

pytestmark = pytest.mark.timeout(300)

# The bot module starts polling when imported, so it is type-checked but not imported.
IMPORTED = [
    "morvex_trader.core.security",
    "morvex_trader.plugins.sqlite3.db",
    "morvex_trader.gateways.cqg.wrapper.comhost",
    "morvex_trader.gateways.cqg.wrapper.tradelink",
    "morvex_trader.platform.cqgcel",
    "morvex_trader.platform.com",
]


def test_stubs_match_the_compiled_modules():
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy.stubtest",
            "--concise",
            "--allowlist",
            os.path.join(HERE, "stubtest_allowlist.txt"),
            *IMPORTED,
        ],
        cwd=PACKAGE_ROOT,
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_bot_stub_type_checks():
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "morvex_trader/plugins/telegram/bot.pyi"],
        cwd=PACKAGE_ROOT,
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stdout + result.stderr
