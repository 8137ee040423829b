"""The stress run: market at its highest rate, orders placed and cancelled from one thread,
bars and balances read from another, the database written and chat commands served, all
at once. Afterwards the gateway, the database and the simulator's books must agree."""

from __future__ import annotations

import json
import os
import subprocess
import sys
from collections import Counter

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
STATUS = {"osFilled": "FILLED", "osCanceled": "CANCELLED", "osRejectGW": "FAILED"}
SECONDS = float(os.environ.get("MX_STRESS_SECONDS", "12"))


@pytest.fixture(scope="module")
def session(tmp_path_factory):
    work = tmp_path_factory.mktemp("stress")
    child = subprocess.run([sys.executable, os.path.join(HERE, "stress_session.py"), str(work), str(SECONDS)],
                           capture_output=True, text=True, timeout=SECONDS + 120, env=os.environ.copy())
    assert child.returncode == 0, child.stderr[-4000:]
    assert "STRESS-token" not in child.stdout + child.stderr
    return json.loads(child.stdout.strip().splitlines()[-1])


pytestmark = pytest.mark.timeout(SECONDS + 180)


def test_every_thread_worked_without_error(session):
    assert session["errors"] == []
    assert session["placed"] > 20
    assert session["reads"]["bars"] > 0 and session["reads"]["balances"] > 0
    assert session["replies"] > 0


def test_every_fill_reached_process_deal_exactly_once(session):
    fill_ids = sorted(f["id"] for f in session["sim_fills"])
    assert fill_ids, "the market made no fill"
    assert session["deal_calls"] == len(fill_ids)
    assert session["deal_ids"] == fill_ids


def test_every_order_ended_final_and_its_last_status_reached_process_order(session):
    assert session["sim_orders"]
    for guid, status in session["sim_orders"].items():
        assert status in STATUS, f"{guid} still {status}"
        assert session["last_status"].get(guid) == STATUS[status], guid


def test_database_agrees_with_the_simulators_books(session):
    filled = Counter()
    for fill in session["sim_fills"]:
        filled[fill["order_guid"]] += fill["quantity"]
    rows = session["order_rows"]
    assert set(rows) == set(session["sim_orders"])
    for guid, (status, filled_quantity, _row_id) in rows.items():
        assert status == STATUS[session["sim_orders"][guid]], guid
        assert filled_quantity == filled[guid], guid
    deal_rows = session["deal_rows"]
    assert sorted(r[0] for r in deal_rows) == sorted(f["id"] for f in session["sim_fills"])
    for _deal_id, broker_order_id, order_row, quantity in deal_rows:
        assert order_row == rows[broker_order_id][2]
        assert quantity > 0
    held = {name.rsplit(".", 1)[-1]: quantity for name, quantity in session["sim_positions"]}
    stored = {code: (1 if direction == "LONG" else -1) * quantity for code, direction, quantity in session["position_rows"]}
    assert stored == held
