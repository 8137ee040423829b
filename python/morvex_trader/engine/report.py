"""The session report: one PNG of a trading session, drawn with matplotlib's Agg backend.

From top to bottom, on one time axis in the session's zone:
- a price panel per instrument: one-minute candles, fills as markers at their price and
  time (buys ^, sells v) and the orders still working at the end as horizontal marks;
- an equity panel: balance plus unrealised P&L at each balance snapshot, with the
  drawdown from the running peak shaded;
- a table of the session's figures.
Money and prices are shown with two decimals. Reading the data is report_data's job.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from datetime import datetime, timedelta
from typing import Optional

from matplotlib import dates as mdates
from matplotlib.axes import Axes
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure
from matplotlib.ticker import FuncFormatter

from morvex_trader.engine.report_data import SessionData, WorkingOrder, load_session

DPI = 100
WIDTH_INCHES = 11.0
PRICE_PANEL_INCHES = 2.6
EQUITY_PANEL_INCHES = 2.2
TABLE_INCHES = 1.9
TITLE_INCHES = 0.8
BAR_WIDTH_DAYS = 0.6 / (24 * 60)  # a candle is 0.6 of its minute wide

UP, DOWN = "#2e7d32", "#c62828"
BUY_COLOUR, SELL_COLOUR = "#1565c0", "#ef6c00"
NO_FILLS = "no fills"

money = FuncFormatter(lambda value, _: f"{value:,.2f}")


@dataclass
class ReportFigure:
    """The drawn report: the figure and its panels, for saving and for inspection."""

    figure: Figure
    price_axes: dict[str, Axes] = field(default_factory=dict)  # code -> Axes, in panel order
    equity_axes: Optional[Axes] = None
    table_axes: Optional[Axes] = None
    caption: str = ""

    def save(self, path: str) -> str:
        folder = os.path.dirname(os.path.abspath(path))
        os.makedirs(folder, exist_ok=True)
        temporary = path + ".tmp"
        FigureCanvasAgg(self.figure)
        self.figure.savefig(temporary, format="png", dpi=DPI)
        os.replace(temporary, path)  # a reader (the chat upload) never sees half a file
        return path

    @property
    def pixel_size(self) -> tuple[int, int]:
        width, height = self.figure.get_size_inches()
        return round(width * DPI), round(height * DPI)


def _signed_money(value: float) -> str:
    return f"{value:,.2f}"


def caption_of(data: SessionData) -> str:
    """One line for the chat: when, how many fills, P&L."""
    f = data.figures
    when = ""
    if data.started is not None and data.ended is not None:
        when = f" {data.started:%Y-%m-%d %H:%M}-{data.ended:%H:%M} ({data.zone})"
    fills = f"{len(data.fills)} fill(s)" if data.fills else NO_FILLS
    return (
        f"Session report{when}: {f.orders_placed} order(s), {fills}, "
        f"realised P&L {_signed_money(f.realized_pnl)}, unrealised {_signed_money(f.unrealized_pnl)}"
    )


def _figure_rows(data: SessionData) -> list[tuple[str, str]]:
    f = data.figures
    rows = [
        ("orders placed", str(f.orders_placed)),
        ("orders filled", str(f.orders_filled)),
        ("orders cancelled", str(f.orders_cancelled)),
        ("orders rejected", str(f.orders_rejected)),
        ("orders working", str(f.orders_working)),
        ("deals", str(f.deals)),
        ("realised P&L", _signed_money(f.realized_pnl)),
        ("unrealised P&L", _signed_money(f.unrealized_pnl)),
    ]
    if f.reconnects is not None:
        rows.append(("reconnects", str(f.reconnects)))
    return rows


def _note(ax: Axes, text: str) -> None:
    ax.text(
        0.01,
        0.95,
        text,
        transform=ax.transAxes,
        va="top",
        ha="left",
        fontsize=9,
        color="#555555",
        bbox={"facecolor": "white", "edgecolor": "#bbbbbb", "boxstyle": "round,pad=0.3"},
    )


def _legend(ax: Axes) -> None:
    """One row above the panel's right end, clear of what is drawn."""
    ax.legend(
        loc="lower right",
        bbox_to_anchor=(1.0, 1.0),
        ncol=4,
        fontsize=7,
        frameon=False,
        borderaxespad=0.2,
        handlelength=1.6,
    )


def _draw_prices(ax: Axes, data: SessionData, code: str, end: Optional[datetime]) -> None:
    bars = data.bars.get(code, [])
    if bars:
        times = mdates.date2num([b.time for b in bars])
        colours = [UP if b.close >= b.open else DOWN for b in bars]
        ax.vlines(times, [b.low for b in bars], [b.high for b in bars], colors=colours, linewidth=0.8)
        bodies = [max(abs(b.close - b.open), 1e-9) for b in bars]
        ax.bar(
            times,
            bodies,
            bottom=[min(b.open, b.close) for b in bars],
            width=BAR_WIDTH_DAYS,
            color=colours,
            linewidth=0,
            label="one-minute bars",
        )
    fills = [f for f in data.fills if f.code == code]
    for buy, marker, colour, label in ((True, "^", BUY_COLOUR, "buy fills"), (False, "v", SELL_COLOUR, "sell fills")):
        side = [f for f in fills if f.buy is buy]
        if side:
            ax.scatter(
                [f.time for f in side],
                [f.price for f in side],
                marker=marker,
                s=46,
                color=colour,
                edgecolors="black",
                linewidths=0.5,
                zorder=3,
                label=label,
            )
    # Orders at one price and side are one mark; a market order has no price to mark.
    working: dict[tuple, list[WorkingOrder]] = {}
    for w in data.working:
        if w.code == code and w.price > 0 and w.order_type != "MARKET":
            working.setdefault((w.buy, w.order_type, w.price), []).append(w)
    if working and end is not None:
        start = end - (end - data.started) * 0.12 if data.started is not None and data.started < end else end
        for (buy, order_type, price), orders in working.items():
            colour = BUY_COLOUR if buy else SELL_COLOUR
            ax.hlines(
                price, start, end, colors=colour, linestyles="dashed", linewidth=1.4, zorder=2, gid="working order"
            )
            quantity = sum(o.quantity for o in orders)
            label = f"{'buy' if buy else 'sell'} {order_type.lower()} {quantity:g} @ {price:,.2f}"
            if len(orders) > 1:
                label += f" ({len(orders)} orders)"
            ax.annotate(
                label,
                (start, price),
                xytext=(-3, 0),
                textcoords="offset points",
                va="center",
                ha="right",
                fontsize=7,
                color=colour,
            )
        ax.plot([], [], color="#555555", linestyle="dashed", label="working at the end")
    notes = []
    if not bars:
        notes.append("no bars stored")
    if not fills:
        notes.append(NO_FILLS)
    if notes:
        _note(ax, ", ".join(notes))
    name = data.instruments.get(code, code)
    ax.set_title(f"{code}  {name}" if name != code else code, loc="left", fontsize=10)
    ax.yaxis.set_major_formatter(money)
    ax.set_ylabel("price")
    if bars or fills or working:
        _legend(ax)


def _draw_equity(ax: Axes, data: SessionData) -> None:
    points = data.equity
    ax.set_title("equity: balance + unrealised P&L", loc="left", fontsize=10)
    ax.yaxis.set_major_formatter(money)
    if not points:
        _note(ax, "no balance snapshots")
        return
    times = [p.time for p in points]
    equity = [p.equity for p in points]
    peaks, peak = [], float("-inf")
    for value in equity:
        peak = max(peak, value)
        peaks.append(peak)
    ax.plot(times, equity, color="#37474f", marker="o", markersize=3, linewidth=1.2, label="equity")
    ax.fill_between(
        times,
        equity,
        peaks,
        where=[e < p for e, p in zip(equity, peaks)],
        interpolate=True,
        color=DOWN,
        alpha=0.25,
        linewidth=0,
        label="drawdown",
    )
    drawdown = max(p - e for e, p in zip(equity, peaks))
    _note(ax, f"last {equity[-1]:,.2f}   max drawdown {drawdown:,.2f}")
    _legend(ax)


def _draw_table(ax: Axes, data: SessionData) -> None:
    ax.axis("off")
    rows = _figure_rows(data)
    half = (len(rows) + 1) // 2
    left, right = rows[:half], rows[half:] + [("", "")] * (2 * half - len(rows))
    cells = [[a, b, c, d] for (a, b), (c, d) in zip(left, right)]
    table = ax.table(cellText=cells, loc="center", cellLoc="left", colWidths=[0.22, 0.18, 0.22, 0.18])
    table.auto_set_font_size(False)
    table.set_fontsize(9)
    table.scale(1.0, 1.25)
    for (row, column), cell in table.get_celld().items():
        cell.set_edgecolor("#cccccc")
        if column in (1, 3):
            cell.get_text().set_horizontalalignment("right")
    ax.set_title("session figures", loc="left", fontsize=10)


def draw_report(data: SessionData) -> ReportFigure:
    """Draws the report of `data`; nothing is written (see ReportFigure.save)."""
    codes = list(data.instruments) or [""]
    heights = [PRICE_PANEL_INCHES] * len(codes) + [EQUITY_PANEL_INCHES, TABLE_INCHES]
    total = sum(heights) + TITLE_INCHES
    figure = Figure(figsize=(WIDTH_INCHES, total), dpi=DPI)
    grid = figure.add_gridspec(
        len(heights),
        1,
        height_ratios=heights,
        hspace=0.5,
        left=0.08,
        right=0.97,
        top=1 - TITLE_INCHES / total,
        bottom=0.02,
    )
    first = figure.add_subplot(grid[0])
    report = ReportFigure(figure, caption=caption_of(data))
    end = max(
        [p.time for p in data.equity]
        + [f.time for f in data.fills]
        + [b.time for bars in data.bars.values() for b in bars[-1:]]
        + ([data.ended] if data.ended else []),
        default=None,
    )
    for index, code in enumerate(codes):
        ax = first if index == 0 else figure.add_subplot(grid[index], sharex=first)
        if code:
            _draw_prices(ax, data, code, end)
            report.price_axes[code] = ax
        else:
            ax.set_title("prices", loc="left", fontsize=10)
            _note(ax, NO_FILLS)
            report.price_axes[""] = ax
    report.equity_axes = figure.add_subplot(grid[len(codes)], sharex=first)
    _draw_equity(report.equity_axes, data)
    report.table_axes = figure.add_subplot(grid[len(codes) + 1])
    _draw_table(report.table_axes, data)

    for ax in list(report.price_axes.values()) + [report.equity_axes]:
        ax.grid(True, color="#e0e0e0", linewidth=0.6)
        ax.tick_params(labelsize=8)
        if ax is not report.equity_axes:
            ax.tick_params(labelbottom=False)
    report.equity_axes.xaxis.set_major_formatter(mdates.DateFormatter("%H:%M"))
    report.equity_axes.set_xlabel(f"time ({data.zone})", fontsize=9)
    if not (data.equity or data.fills or any(data.bars.values())):
        first.xaxis_date()  # nothing drawn: still a time axis
    elif data.started is not None and end is not None and data.started < end:
        # The session, with a little of the history its bars reach back into.
        span = end - data.started
        first.set_xlim(data.started - max(span * 0.1, timedelta(minutes=5)), end + span * 0.03)
    title = "Session report"
    if data.started is not None and data.ended is not None:
        title += f"  {data.started:%Y-%m-%d %H:%M:%S} to {data.ended:%H:%M:%S} ({data.zone})"
    figure.suptitle(title, x=0.08, y=1 - 0.25 / total, ha="left", va="top", fontsize=12)
    return report


def write_report(folder: str, path: str) -> ReportFigure:
    """Reads the last session stored in `folder`, draws it and writes the PNG to `path`.

    Errors as load_session's: FileNotFoundError names a missing folder, NoSessionData
    says there is nothing stored yet."""
    report = draw_report(load_session(folder))
    report.save(path)
    return report
