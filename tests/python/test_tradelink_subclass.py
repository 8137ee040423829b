"""A Python subclass of TradeLink overrides each event TradeLink handles and calls super(),
with the event delivered by the simulator on the COM thread.

Each case runs in a child interpreter (subclass_session.py): a crash on the COM thread
fails that case instead of ending the test run. The child reports what TradeLink's own
handling left behind, so a super() call that returned without doing TradeLink's work
fails too.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys

import pytest

from morvex_trader.gateways.cqg.wrapper import comhost, tradelink

HERE = os.path.dirname(os.path.abspath(__file__))
pytestmark = pytest.mark.timeout(60)

SLOW = 1.5  # TradeLink.TIMEOUT is 2 s in the child: a wait that ran out took longer


def fast(seconds):
    return seconds < SLOW


# event -> (check of the child's outcome, trace text TradeLink writes, or None)
CASES = {
    "OnGWConnectionStatusChanged": (lambda o: fast(o["logon_seconds"]), "GW connection is UP!"),
    "OnDataConnectionStatusChanged": (lambda o: True, f"DataConnectionStatus={comhost.csConnectionUp}"),
    "OnDataError": (lambda o: True, "OnDataError: Code: 77 Description: feed lost"),
    "OnInstrumentResolved": (lambda o: fast(o["subscribe_seconds"]) and o["level"], None),
    "OnInstrumentChanged": (lambda o: o["handed_over"] == [[99.5, 100.25]] and o["stored_bid"] == 99.5, None),
    "OnAccountChanged": (
        lambda o: fast(o["subscribe_seconds"]) and o["account"] == 100001,
        "OnAccountChanged - Accounts are ready!",
    ),
    "OnOrderChanged": (
        lambda o: o["guid_matches"] and o["statuses"][-1] == "FILLED" and o["fills"] == [[True, 2, 101.0]],
        None,
    ),
    "OnTicksResolved": (lambda o: fast(o["subscribe_seconds"]), None),
    "OnTicksAdded": (lambda o: o["book"] == [100.0, 3, 100.25, 4] and o["handed_over"] == 1, None),
    "OnTicksRemoved": (lambda o: o["books"] == 0, None),
    "OnTimedBarsResolved": (lambda o: fast(o["subscribe_seconds"]) and o["closes"] == [100.0, 101.0, 102.0], None),
    "OnTimedBarsAdded": (lambda o: o["closes"] == [101.0, 102.0, 103.0], "[2] OnTimedBarsAdded: "),
    "OnTimedBarsUpdated": (lambda o: o["closes"] == [100.0, 101.0, 102.0], None),
    "OnTimedBarsRemoved": (lambda o: o["closes"] == [100.0, 101.0, 102.0], None),
}


def test_the_cases_cover_every_event_tradelink_handles():
    base = comhost.CELSinkBase
    handled = {name for name, *_ in comhost.EVENTS if getattr(tradelink.TradeLink, name) is not getattr(base, name)}
    assert handled == set(CASES)


@pytest.mark.parametrize("event", list(CASES))
def test_an_override_that_calls_super_does_tradelinks_work_on_the_com_thread(event):
    child = subprocess.run(
        [sys.executable, os.path.join(HERE, "subclass_session.py"), event],
        capture_output=True,
        text=True,
        timeout=50,
        env=os.environ.copy(),
    )
    assert child.returncode == 0, f"exit {child.returncode}\n{child.stderr[-3000:]}"
    report = json.loads(child.stdout.strip().splitlines()[-1])
    assert report["calls"] >= 1, "the override was never called"
    assert report["on_caller_thread"] == 0, "delivered on the caller's thread, not the COM thread"
    check, trace = CASES[event]
    assert check(report["outcome"]), report["outcome"]
    if trace is not None:
        assert trace in child.stdout
    assert "Exception in " + event not in child.stdout
