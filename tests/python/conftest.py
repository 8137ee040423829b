"""Fixtures shared by the Python test modules."""

from __future__ import annotations

import sys
import textwrap
from pathlib import Path

import pytest


@pytest.fixture
def config_module(tmp_path: Path, monkeypatch: pytest.MonkeyPatch):
    """Returns write(**settings): writes a `morvex_trader_config` module and makes it the one
    that `import morvex_trader_config` finds (for this test only)."""

    def write(source: str | None = None, **settings) -> Path:
        folder = tmp_path / "config"
        folder.mkdir(exist_ok=True)
        body = (
            textwrap.dedent(source)
            if source is not None
            else "".join(f"{key} = {value!r}\n" for key, value in settings.items())
        )
        (folder / "morvex_trader_config.py").write_text(body)
        monkeypatch.syspath_prepend(str(folder))
        monkeypatch.delitem(sys.modules, "morvex_trader_config", raising=False)
        return folder

    return write


@pytest.fixture
def fresh_simulator():
    """The CQGCEL simulator's answers and settings at their defaults, before and after."""
    from morvex_trader.platform import cqgcel

    cqgcel.reset()
    yield cqgcel
    cqgcel.reset()
