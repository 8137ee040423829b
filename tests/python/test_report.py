"""The session report: drawn from a small session that each test stores itself through the
db plug-in and the engine's store, then checked the way a reader reads the picture (panels,
one marker per fill at its price, working orders, the equity points, the figures) and as a
file (a PNG of the figure's size)."""

from __future__ import annotations

import os
import struct
from datetime import datetime, timedelta
from types import SimpleNamespace

import pytest
from matplotlib import dates as mdates

from morvex_trader.core.constants import Direction, Offset, OrderStatus, OrderType
from morvex_trader.core.order import Order
from morvex_trader.core.security import Futures
from morvex_trader.engine.watch_settings import NOTIFICATION_KINDS, WatchSettings
from morvex_trader.engine.report import ReportFigure, draw_report, write_report
from morvex_trader.engine.report_data import NoSessionData, load_session, write_session_record
from morvex_trader.engine.store import AccountIdentity, AccountStore
from test_engine import ChatRecord

pytestmark = pytest.mark.timeout(60)

EP = Futures("EP", "E-mini S&P 500")
CLE = Futures("CLE", "Crude Oil")
T0 = datetime(2026, 12, 7, 9, 30)


def at(minutes: float) -> datetime:
    return T0 + timedelta(minutes=minutes)


def bars(start_price: float, count: int) -> list[SimpleNamespace]:
    out, price = [], start_price
    for i in range(count):
        close = price + (1.0 if i % 3 else -1.5)
        out.append(
            SimpleNamespace(
                datetime=at(i), open=price, high=max(price, close) + 0.5, low=min(price, close) - 0.5, close=close
            )
        )
        price = close
    return out


class StoredSession:
    """Writes balances, orders and deals as the engine does, and the session record."""

    def __init__(self, folder, store: AccountStore) -> None:
        self.folder = str(folder)
        self.store = store
        self.first_balance_id = None
        self.first_rows: dict[str, int] = {}  # the session's first order and deal row ids

    def snapshot(self, minutes: float, cash: float, unrealized: float, realized: float = 0.0) -> int:
        balance = SimpleNamespace(
            cash=cash,
            available_cash=cash,
            net_cash_power=cash,
            maintenance_margin=0.0,
            unrealized_pnl=unrealized,
            realized_pnl=realized,
        )
        balance_id = self.store.snapshot_balance(balance, [], at(minutes))
        if self.first_balance_id is None:
            self.first_balance_id = balance_id
        return balance_id

    def order(
        self,
        order_id: str,
        security,
        direction: Direction,
        order_type: OrderType,
        price: float,
        minutes: float,
        status: OrderStatus = OrderStatus.SUBMITTED,
    ) -> Order:
        order = Order(
            security=security,
            price=price,
            quantity=1,
            direction=direction,
            order_type=order_type,
            offset=Offset.OPEN,
            order_id=order_id,
            status=status,
            create_time=at(minutes),
        )
        row = self.store.record_order(order, at(minutes))
        if self.first_balance_id is not None:
            self.first_rows.setdefault("first_order_row", row)
        if status is not OrderStatus.SUBMITTED:
            self.store.update_order(
                {
                    "order_id": order_id,
                    "updated_time": at(minutes),
                    "status": status,
                    "filled_avg_price": price if status is OrderStatus.FILLED else 0.0,
                    "filled_quantity": 1 if status is OrderStatus.FILLED else 0,
                }
            )
        return order

    def fill(self, order: Order, price: float, minutes: float, deal_id: str) -> None:
        row = self.store.record_deal(
            {
                "deal_id": deal_id,
                "order_id": order.order_id,
                "updated_time": at(minutes),
                "filled_avg_price": price,
                "filled_quantity": 1,
            },
            order,
        )
        if self.first_balance_id is not None:
            self.first_rows.setdefault("first_deal_row", row)

    def record(self, instruments, **counts) -> None:
        write_session_record(
            self.folder,
            zone="Asia/Hong_Kong",
            started=at(0),
            ended=at(20),
            first_balance_id=self.first_balance_id,
            last_balance_id=self.store.balance_id,
            instruments=instruments,
            **self.first_rows,
            **counts,
        )


@pytest.fixture
def stored(tmp_path, config_module):
    from morvex_trader.plugins.sqlite3 import db as db_module

    config_module(DB={"sqlite3": str(tmp_path)})
    database = db_module.DB()
    store = AccountStore(database, AccountIdentity("CQG", "SIMULATE", 1001, "1001"))
    yield StoredSession(tmp_path, store)
    database.close()


def earlier_session(stored: StoredSession) -> None:
    """Rows of a session before the one reported: none of them may be drawn or counted."""
    stored.snapshot(-600, 2_000_000.0, 0.0)
    old = stored.order("OLD-1", EP, Direction.LONG, OrderType.LIMIT, 3999.0, -600)
    stored.fill(old, 3999.0, -600, "OLD-D1")
    stored.first_balance_id = None
    stored.first_rows.clear()


def reported_session(stored: StoredSession) -> None:
    earlier_session(stored)
    stored.snapshot(0, 1_000_000.0, 0.0)
    buy = stored.order("A-1", EP, Direction.LONG, OrderType.MARKET, 0.0, 1, OrderStatus.FILLED)
    stored.fill(buy, 4501.25, 1, "D1")
    stored.snapshot(5, 1_000_000.0, 150.0)
    sell = stored.order("A-2", EP, Direction.SHORT, OrderType.MARKET, 0.0, 6, OrderStatus.FILLED)
    stored.fill(sell, 4496.75, 6, "D2")
    again = stored.order("A-3", EP, Direction.LONG, OrderType.LIMIT, 4494.0, 8, OrderStatus.FILLED)
    stored.fill(again, 4494.0, 8, "D3")
    stored.snapshot(10, 999_775.0, -400.0, realized=-225.0)
    stored.order("A-4", EP, Direction.LONG, OrderType.LIMIT, 4480.5, 12)  # working at the end
    stored.order("A-5", EP, Direction.SHORT, OrderType.STOP, 4470.25, 12)  # working at the end
    stored.order("A-8", EP, Direction.LONG, OrderType.LIMIT, 4480.5, 13)  # the same mark as A-4
    stored.order("A-9", EP, Direction.LONG, OrderType.MARKET, 0.0, 14)  # no price to mark
    stored.order("A-6", CLE, Direction.LONG, OrderType.LIMIT, 74.1, 13, OrderStatus.CANCELLED)
    stored.order("A-7", CLE, Direction.SHORT, OrderType.LIMIT, 90.0, 14, OrderStatus.FAILED)
    stored.snapshot(15, 999_775.0, 250.0, realized=-225.0)
    stored.record(
        [("EP", EP.security_name, bars(4500.0, 20)), ("CLE", CLE.security_name, bars(75.0, 20))],
        refused=2,
        reconnects=1,
    )


def markers(ax, label: str) -> list[tuple[float, float]]:
    found = [c for c in ax.collections if c.get_label() == label]
    assert len(found) <= 1
    return [tuple(point) for point in found[0].get_offsets()] if found else []


def texts_of(ax) -> list[str]:
    return [t.get_text() for t in ax.texts]


def table_cells(report: ReportFigure) -> dict[str, str]:
    table = report.table_axes.tables[0]
    cells = table.get_celld()
    rows = {r for r, _ in cells}
    pairs = {}
    for r in rows:
        for label_column in (0, 2):
            label = cells[r, label_column].get_text().get_text()
            if label:
                pairs[label] = cells[r, label_column + 1].get_text().get_text()
    return pairs


def png_size(path: str) -> tuple[int, int]:
    with open(path, "rb") as source:
        head = source.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n" and head[12:16] == b"IHDR", "not a PNG file"
    return struct.unpack(">II", head[16:24])


def test_the_report_shows_the_session_and_only_that_session(stored, tmp_path):
    reported_session(stored)
    report = write_report(str(tmp_path), str(tmp_path / "out" / "report.png"))

    # One price panel per instrument, then equity and the table; all times on one axis.
    assert list(report.price_axes) == ["EP", "CLE"]
    assert len(report.figure.axes) == 4
    ep, cle = report.price_axes["EP"], report.price_axes["CLE"]
    assert ep.get_shared_x_axes().joined(ep, report.equity_axes)
    assert cle.get_shared_x_axes().joined(cle, report.equity_axes)

    # One marker per fill of this session, at its price and time, by side.
    assert sorted(markers(ep, "buy fills")) == sorted(
        [(mdates.date2num(at(1)), 4501.25), (mdates.date2num(at(8)), 4494.0)]
    )
    assert markers(ep, "sell fills") == [(mdates.date2num(at(6)), 4496.75)]
    assert markers(cle, "buy fills") == markers(cle, "sell fills") == []
    assert "no fills" in ", ".join(texts_of(cle))

    # The orders still working, as horizontal marks at their prices, one per price and side.
    working = [c for c in ep.collections if c.get_gid() == "working order"]
    assert sorted(seg[0][1] for c in working for seg in c.get_segments()) == [4470.25, 4480.5]
    assert {t for t in texts_of(ep) if "@" in t} == {"buy limit 2 @ 4,480.50 (2 orders)", "sell stop 1 @ 4,470.25"}

    # Equity: balance plus unrealised P&L at each snapshot of this session, drawdown shaded.
    line = next(l for l in report.equity_axes.lines if l.get_label() == "equity")
    assert list(line.get_ydata()) == [1_000_000.0, 1_000_150.0, 999_375.0, 1_000_025.0]
    assert list(line.get_xdata()) == [at(0), at(5), at(10), at(15)]
    assert [c.get_label() for c in report.equity_axes.collections] == ["drawdown"]

    assert table_cells(report) == {
        "orders placed": "9",
        "orders filled": "3",
        "orders cancelled": "1",
        "orders rejected": "3",
        "orders working": "4",
        "deals": "3",
        "realised P&L": "-225.00",
        "unrealised P&L": "250.00",
        "reconnects": "1",
    }
    assert report.caption == (
        "Session report 2026-12-07 09:30-09:50 (Asia/Hong_Kong): 9 order(s), 3 fill(s), "
        "realised P&L -225.00, unrealised 250.00"
    )
    assert png_size(str(tmp_path / "out" / "report.png")) == report.pixel_size
    assert report.pixel_size[0] == 1100


def test_an_empty_database_still_draws_and_says_no_fills(stored, tmp_path):
    report = write_report(str(tmp_path), str(tmp_path / "empty.png"))
    assert list(report.price_axes) == [""]
    assert texts_of(report.price_axes[""]) == ["no fills"]
    assert "no balance snapshots" in texts_of(report.equity_axes)
    assert table_cells(report)["orders placed"] == "0"
    assert "reconnects" not in table_cells(report)  # an engine that does not count them
    assert png_size(str(tmp_path / "empty.png")) == report.pixel_size


def test_a_session_without_fills_draws_its_bars_and_says_no_fills(stored, tmp_path):
    stored.snapshot(0, 500_000.0, 0.0)
    stored.order("B-1", EP, Direction.LONG, OrderType.LIMIT, 4400.0, 2, OrderStatus.CANCELLED)
    stored.record([("EP", EP.security_name, bars(4500.0, 12))])
    report = draw_report(load_session(str(tmp_path)))
    ep = report.price_axes["EP"]
    assert markers(ep, "buy fills") == markers(ep, "sell fills") == []
    assert texts_of(ep) == ["no fills"]
    assert len(ep.patches) == 12  # a candle body per one-minute bar
    assert "no fills" in report.caption


def test_without_a_session_record_the_whole_database_is_one_session(stored, tmp_path):
    stored.snapshot(0, 100.0, 0.0)
    order = stored.order("C-1", CLE, Direction.SHORT, OrderType.MARKET, 0.0, 1, OrderStatus.FILLED)
    stored.fill(order, 74.37, 1, "CD1")
    report = draw_report(load_session(str(tmp_path)))
    cle = report.price_axes["CLE"]
    assert markers(cle, "sell fills") == [(mdates.date2num(at(1)), 74.37)]
    assert texts_of(cle) == ["no bars stored"]


def test_a_missing_folder_is_named_and_a_folder_without_data_says_so(tmp_path):
    missing = tmp_path / "no" / "such"
    with pytest.raises(FileNotFoundError, match=f"the database folder {missing} does not exist"):
        load_session(str(missing))
    with pytest.raises(NoSessionData, match="morvex_trader.db does not exist"):
        write_report(str(tmp_path), str(tmp_path / "r.png"))
    assert not os.path.exists(tmp_path / "r.png")
    assert not os.path.exists(tmp_path / "morvex_trader.db")  # reading never creates it


# -- /report: the engine draws the running session and sends it ------------------------


class ChatStandIn(ChatRecord):
    """The engine tests' chat record, plus /report: the photos it sent, or a refusal."""

    def __init__(self, refuse_photos: Exception | None = None) -> None:
        super().__init__()
        self.get_report = False
        self.photos: list[tuple[bytes, str]] = []
        self.refuse_photos = refuse_photos

    def send_photo(self, path: str, caption: str) -> None:
        if self.refuse_photos is not None:
            raise self.refuse_photos
        with open(path, "rb") as picture:
            self.photos.append((picture.read(), caption))


@pytest.fixture
def market_session(tmp_path, config_module, monkeypatch):
    from morvex_trader.engine.main_engine import MainEngine, SessionSettings
    from morvex_trader.engine.session_recorder import SessionRecorder
    from morvex_trader.gateways.cqg.cqg_gateway import CqgGateway
    from morvex_trader.gateways.cqg.wrapper import tradelink
    from morvex_trader.platform import cqgcel
    from morvex_trader.plugins.sqlite3 import db as db_module

    config_module(DB={"sqlite3": str(tmp_path)})
    monkeypatch.setattr(tradelink, "TIMEOUT", 3.0)
    monkeypatch.setattr(tradelink, "ACCOUNT_SWITCH_PAUSE", 0.0)
    cqgcel.reset()
    cqgcel.configure_market(
        seed=5,
        speed=0.0,
        start_time=T0,
        history_days=0.1,
        instruments=[{"full_name": "F.US.EP", "tick_size": 0.25, "multiplier": 50.0, "start_price": 4500.0}],
        accounts=[{"gw_account_id": 1001, "name": "REPORT", "balance": 500_000.0}],
    )
    database = db_module.DB()
    chat = ChatStandIn()
    engine = MainEngine(
        CqgGateway({"F.US.EP": EP}),
        AccountStore(database, AccountIdentity("CQG", "SIMULATE", 1001, "1001")),
        # The session keeps CQG's zone (the market's clock stamps it); the
        # chat gets only what it asks for here.
        SessionSettings(
            account_id=1001,
            symbols=("F.US.EP",),
            bar_lookback=5,
            watch=WatchSettings(TIMEZONE="Asia/Hong_Kong", NOTIFICATIONS={kind: "off" for kind in NOTIFICATION_KINDS}),
        ),
        bot=chat,
        now=lambda: cqgcel.market_snapshot()["now"],
        recorder=SessionRecorder(str(tmp_path), "Asia/Hong_Kong", str(tmp_path / "report.png")),
    )
    engine.start()
    yield SimpleNamespace(engine=engine, chat=chat, folder=str(tmp_path), market=cqgcel)
    engine.shutdown()
    database.close()
    cqgcel.reset()


def test_report_in_the_chat_sends_the_picture_of_the_running_session(market_session):
    s = market_session
    s.market.advance_market(120)
    order_id = s.engine.submit(
        Order(
            security=EP,
            price=0.0,
            quantity=1,
            direction=Direction.LONG,
            order_type=OrderType.MARKET,
            offset=Offset.OPEN,
        )
    )
    s.market.advance_market(30)
    deadline = datetime.now() + timedelta(seconds=10)
    while not s.engine.deals and datetime.now() < deadline:
        s.engine.drain_events()
    assert [d["order_id"] for d in s.engine.deals] == [order_id]
    s.engine.snapshot()
    s.market.advance_market(600)  # the gateway's 5-bar window rolls on past what it showed
    s.engine.snapshot()

    s.chat.get_report = True
    s.engine.remote.poll()
    assert s.chat.get_report is False and s.chat.replies == []
    [(picture, caption)] = s.chat.photos
    assert picture.startswith(b"\x89PNG\r\n\x1a\n")
    assert caption.startswith("Session report 2026-12-07 09:") and "1 fill(s)" in caption

    data = load_session(s.folder)
    assert [(f.code, f.price, f.buy) for f in data.fills] == [("EP", s.engine.deals[0]["filled_avg_price"], True)]
    times = [bar.time for bar in data.bars["EP"]]
    # Every window seen, merged once: more bars than one window holds, from before the
    # session's start to its end.
    assert times == sorted(set(times)) and len(times) > 5
    assert times[0] < T0 and times[-1] >= T0 + timedelta(minutes=10)
    assert [p.time for p in data.equity] == sorted(p.time for p in data.equity)
    assert data.started <= data.fills[0].time <= data.ended  # snapshots and fills on one clock


@pytest.mark.parametrize(
    "with_recorder, reply",
    [
        (True, "No session report: no session data yet: the session has stored no balance snapshot."),
        (False, "No session report: this session keeps no record."),
    ],
    ids=["nothing stored yet", "no recorder"],
)
def test_report_before_any_session_data_is_a_text_reply(tmp_path, with_recorder, reply):
    from morvex_trader.engine.main_engine import MainEngine, SessionSettings
    from morvex_trader.engine.session_recorder import SessionRecorder

    chat = ChatStandIn()
    recorder = SessionRecorder(str(tmp_path), "UTC", str(tmp_path / "r.png")) if with_recorder else None
    engine = MainEngine(SimpleNamespace(securities=[]), None, SessionSettings(), bot=chat, recorder=recorder)
    chat.get_report = True
    engine.remote.poll()
    assert (chat.replies, chat.photos, chat.get_report) == ([reply], [], False)


def test_a_report_the_chat_refuses_is_told_in_text(tmp_path):
    from morvex_trader.engine.remote import RemoteControl

    chat = ChatStandIn(refuse_photos=RuntimeError("Request Entity Too Large"))
    engine = SimpleNamespace(report_photo=lambda: (str(tmp_path / "r.png"), "caption"), request_stop=lambda: None)
    chat.get_report = True
    RemoteControl(chat, engine).poll()
    assert chat.replies == ["Session report not sent: Request Entity Too Large"]
