"""get_subscribe_bars_data: repair of stored bars in place, the newest-bar check, and reads
while the COM thread shifts the window."""

from __future__ import annotations

import threading
from dataclasses import dataclass
from datetime import timedelta
from decimal import Decimal

import pytest
from hypothesis import given, settings, strategies as st

from tradelink_helpers import EP, INVALID, T0, RecordingGateway, cqg_bar
from morvex_trader.core.data import Bar
from morvex_trader.gateways.cqg.wrapper import tradelink
from morvex_trader.platform import cqgcel

pytestmark = pytest.mark.timeout(60)

FIELDS = ("open", "high", "low", "close", "volume")
X = INVALID


def bars_of(column: str, values: list) -> list:
    """Bars one minute apart whose `column` takes `values`; the other fields are valid."""
    out = []
    for i, v in enumerate(values):
        fields = dict(open=1.0, high=2.0, low=0.5, close=1.5, volume=10)
        fields[column] = v
        out.append(Bar(datetime=T0 + timedelta(minutes=i), security=EP, **fields))
    return out


def read(bars: list):
    link = tradelink.TradeLink()
    link.subscribe_bars_data[EP] = bars
    return link, link.get_subscribe_bars_data(EP)


def reference_repair(rows: list[list]) -> tuple[list[list], bool]:
    """The two passes written plainly, on rows of the five values."""
    rows = [list(r) for r in rows]
    for i in range(1, len(rows)):
        for k in range(5):
            if rows[i][k] == X and rows[i - 1][k] != X:
                rows[i][k] = rows[i - 1][k]
    for i in range(len(rows) - 2, -1, -1):
        for k in range(5):
            if rows[i][k] == X and rows[i + 1][k] != X:
                rows[i][k] = rows[i + 1][k]
    return rows, all(v != X for v in rows[-1])


@pytest.mark.parametrize(
    "column, values, repaired",
    [
        ("close", [1.5], [1.5]),
        ("close", [X, 10.0, X, X, 12.0], [10.0, 10.0, 10.0, 10.0, 12.0]),
        ("volume", [5, X, X], [5, 5, 5]),
        ("open", [float(X), 3.0, X], [3.0, 3.0, 3.0]),  # the float marker is invalid too
    ],
    ids=["single-valid", "closes", "volumes", "float-marker"],
)
def test_invalid_values_take_the_nearest_valid_value_of_their_field(column, values, repaired):
    bars = bars_of(column, values)
    link, result = read(bars)
    assert result is bars and result is link.subscribe_bars_data[EP]
    assert [getattr(b, column) for b in bars] == repaired


@pytest.mark.parametrize("values", [[X], [X, X, float(X)]], ids=["single", "all"])
def test_a_field_invalid_in_every_bar_fails_naming_the_newest_bar(values):
    bars = bars_of("open", values)
    for b in bars[:-1]:
        b.close = X  # repaired all the same
    bars[-1].close = 7.0
    with pytest.raises(ValueError) as caught:
        read(bars)
    assert str(caught.value) == f"The latest bar is INVALID: {bars[-1]}."
    assert [b.close for b in bars] == [7.0] * len(bars)


def test_each_field_is_repaired_on_its_own():
    bars = bars_of("open", [X, 4.0, 5.0])
    bars[0].volume, bars[1].volume, bars[2].volume = 8, X, X
    read(bars)
    assert [(b.open, b.volume) for b in bars] == [(4.0, 8), (4.0, 8), (5.0, 8)]


def test_a_second_read_returns_the_same_repaired_bars_unchanged():
    bars = bars_of("close", [X, 10.0, X, 12.0])
    link, first = read(bars)
    snapshot = [vars(b).copy() for b in bars]
    assert link.get_subscribe_bars_data(EP) is first
    assert [vars(b) for b in bars] == snapshot


def test_a_sequence_stored_as_another_kind_is_repaired_and_returned_as_it_is():
    bars = tuple(bars_of("close", [X, 10.0]))
    link = tradelink.TradeLink()
    link.subscribe_bars_data[EP] = bars
    assert link.get_subscribe_bars_data(EP) is bars
    assert [b.close for b in bars] == [10.0, 10.0]


@pytest.mark.parametrize("entry", ["missing", "empty"])
def test_nothing_stored_returns_none(entry):
    link = tradelink.TradeLink()
    if entry == "empty":
        link.subscribe_bars_data[EP] = []
    assert link.get_subscribe_bars_data(EP) is None


def test_values_that_only_look_like_the_marker_stay():
    bars = bars_of("close", [True, X, -2147483647, X, "x", Decimal(X), None])
    read(bars)
    assert [b.close for b in bars] == [True, True, -2147483647, -2147483647, "x", "x", None]


@dataclass
class SlotBar:
    """A bar kept in slots, with a property: read and written through getattr/setattr."""

    __slots__ = ("datetime", "security", "open", "high", "low", "_close", "volume")
    datetime: object
    security: object
    open: float
    high: float
    low: float
    _close: float
    volume: int

    @property
    def close(self):
        return self._close

    @close.setter
    def close(self, value):
        self._close = value


def test_bars_of_other_kinds_are_repaired_through_their_attributes():
    bars = [SlotBar(T0, EP, X, 2.0, 0.5, X, 10), SlotBar(T0, EP, 1.0, X, 0.5, 3.0, X)]
    read(bars)
    assert [(b.open, b.high, b.close, b.volume) for b in bars] == [(1.0, 2.0, 3.0, 10), (1.0, 2.0, 3.0, 10)]


values = st.one_of(st.just(X), st.just(float(X)), st.integers(-5, 5), st.floats(-10, 10, allow_nan=False))


@settings(max_examples=200, deadline=None)
@given(st.lists(st.lists(values, min_size=5, max_size=5), min_size=1, max_size=12))
def test_repair_matches_the_two_passes(rows):
    bars = [Bar(datetime=T0, security=EP, **dict(zip(FIELDS, r))) for r in rows]
    expected, valid = reference_repair(rows)
    link = tradelink.TradeLink()
    link.subscribe_bars_data[EP] = bars
    if valid:
        link.get_subscribe_bars_data(EP)
    else:
        with pytest.raises(ValueError, match="The latest bar is INVALID"):
            link.get_subscribe_bars_data(EP)
    assert [[getattr(b, f) for f in FIELDS] for b in bars] == expected


def test_reads_and_repairs_while_the_com_thread_shifts_the_window(monkeypatch):
    """The host thread marks values of the stored bars invalid and reads them back while the
    COM thread appends bars: every read sees a whole window of consecutive minutes (no bar
    lost or doubled) with every value repaired."""
    cqgcel.reset()
    monkeypatch.setattr(tradelink, "TIMEOUT", 5.0)
    window, pushes = 50, 400
    cqgcel.set_timed_bars("F.US.EP", [cqg_bar(i, volume=i) for i in range(window + 1)])
    gateway = RecordingGateway()
    gateway.connect()
    try:
        link = gateway.tradelink
        link.subscribe_bar("F.US.EP", window)
        stored = link.subscribe_bars_data[EP]

        read_done = threading.Event()

        def push():
            # Each half goes out only after a read, so reads and shifts interleave even
            # when this thread would otherwise finish before the reader runs at all.
            for n, minute in enumerate(range(window + 1, window + 1 + pushes)):
                if n == pushes // 2:
                    read_done.wait(5.0)
                    read_done.clear()
                cqgcel.push_timed_bar("F.US.EP", cqg_bar(minute, volume=minute), wait=False)
            read_done.wait(5.0)
            cqgcel.push_timed_bar("F.US.EP", cqg_bar(window + 1 + pushes))  # waits for all

        pusher = threading.Thread(target=push)
        pusher.start()
        reads = 0
        while pusher.is_alive() or reads == 0:
            for i, bar in enumerate(list(stored)):
                if i % 3 == 1:
                    bar.volume = X
                if i % 5 == 2:
                    bar.close = float(X)
            snapshot = list(link.get_subscribe_bars_data(EP))  # list() copies atomically
            read_done.set()
            minutes = [b.datetime for b in snapshot]
            assert minutes == [minutes[0] + timedelta(minutes=i) for i in range(window)]
            assert all(b.volume != X and b.close != X for b in snapshot)
            reads += 1
        pusher.join()
        bars = link.get_subscribe_bars_data(EP)
        first = T0 + timedelta(minutes=pushes + 1)
        assert bars is stored
        assert [b.datetime for b in bars] == [first + timedelta(minutes=i) for i in range(window)]
        assert reads > 1, reads
    finally:
        gateway.close()
        cqgcel.reset()
