"""The weight table of a backtest, checked against its market once."""

from __future__ import annotations

import threading
import weakref

import numpy as np
import pandas as pd

from .._checks import (
    check_columns,
    check_date_index,
    nanoseconds,
    numeric_values,
    preview,
    require_frame,
    same_timezone,
    when,
)
from ..market import Market

__all__ = ["CheckedWeights"]


class CheckedWeights:
    """Weights checked against one market and ready for the engine: what
    ``backtest`` derives from a weight frame before it runs. A sweep checks a
    strategy's weights once and passes this to every variant that shares them.

    ``signals`` dates each row by the bar at whose end it becomes visible: the
    last bar dated on or before the row's own date (rows dated before the
    first bar keep their date). When several rows land on one bar, only the
    latest is kept: it is the one in force at that bar's end. ``row_dates``
    are the kept rows' own dates, as in the user's frame.
    """

    __slots__ = (
        "curve_bars",
        "delisting_bars",
        "labels",
        "market",
        "row_dates",
        "signal_dates",
        "signals",
        "stock_columns",
        "values",
    )

    def __init__(self, weights: pd.DataFrame, market: Market) -> None:
        require_frame(weights, "weights")
        layout = _layout(weights.index, weights.columns, market)
        values = numeric_values(weights, "weights", allow_bool=True, nan=0.0)  # NaN: no position
        _refuse_weights_without_prices(values, layout.dead, layout.given_dates, layout.labels)
        if layout.kept is not None:
            values = values[layout.kept]
        if layout.after_delisting is not None:
            columns, after = layout.after_delisting
            block = values[:, columns]
            block[after] = 0.0  # nothing can trade a stock from its delisting bar on
            values[:, columns] = block
        values.flags.writeable = False  # shared by every run that uses it
        self.market, self.signals, self.labels, self.values = market, layout.signals, layout.labels, values
        self.row_dates = layout.row_dates
        # The bars of the equity curve: from the bar on which the first row becomes visible.
        self.curve_bars = layout.curve_bars
        # What the engine reads: each stock's price column, and the signal dates.
        self.stock_columns = layout.stock_columns
        self.signal_dates = layout.signal_dates
        # A delisting bar only where a stock has one (None: the engine skips the check).
        self.delisting_bars = layout.delisting_bars


class _Layout:
    """What a weight frame's dates and labels give against one market: checked, and
    derived, once. pandas indexes are immutable, so a frame that keeps its index and
    columns objects (or another frame built on them) reuses this; only its values are
    checked again."""

    def __init__(self, index, columns, market: Market) -> None:
        given_dates = check_date_index(index, "weights")
        labels = check_columns(columns, "weights")
        same_timezone(given_dates, market.index, "weights", "the prices")
        stock_columns = market.columns.get_indexer(labels)
        if (stock_columns < 0).any():
            unpriced = labels[stock_columns < 0]
            raise ValueError(f"weights has stocks with no price column in the market: {preview(unpriced)}")
        if given_dates[0] > market.index[-1]:
            raise ValueError(
                f"weights start on {when(given_dates[0])}, after the last price date {when(market.index[-1])}"
            )
        signals, kept = _dated_by_bar(given_dates, market)
        delisting_bars = market.delisting_bars_at(stock_columns)
        self.given_dates, self.labels, self.signals, self.kept = given_dates, labels, signals, kept
        self.row_dates = given_dates if kept is None else given_dates[kept]
        self.stock_columns = stock_columns.astype(np.int64)
        self.signal_dates = nanoseconds(signals)
        self.dead = ~market.priced_anywhere()[stock_columns]
        self.after_delisting = _after_delisting(self.signal_dates, market, delisting_bars)
        self.delisting_bars = delisting_bars if delisting_bars.max(initial=-1) >= 0 else None
        self.curve_bars = market.index[int(market.index.searchsorted(signals[0])) :]
        for array in (self.stock_columns, self.signal_dates, delisting_bars):
            array.flags.writeable = False  # shared by every run on this layout
        self._refs = (weakref.ref(index), weakref.ref(columns))

    def of(self, index, columns) -> bool:
        return self._refs[0]() is index and self._refs[1]() is columns


_LAYOUTS_KEPT = 8  # a sweep's strategies share their market's indexes; a few cover the rest


_LAYOUTS_LOCK = threading.Lock()  # a sweep's threads check their weights side by side


def _layout(index, columns, market: Market) -> _Layout:
    layouts = market.cached("weight layouts", dict)
    key = (id(index), id(columns))
    layout = layouts.get(key)
    if layout is None or not layout.of(index, columns):  # an id reused by another object
        layout = _Layout(index, columns, market)
        with _LAYOUTS_LOCK:
            layouts.pop(key, None)
            layouts[key] = layout
            while len(layouts) > _LAYOUTS_KEPT:
                layouts.pop(next(iter(layouts)))
    return layout


def _dated_by_bar(dates: pd.DatetimeIndex, market: Market) -> tuple[pd.DatetimeIndex, np.ndarray | None]:
    """Each row's date moved back to the last bar dated on or before it, and which
    rows to keep (None: all, nothing moved).

    The engine sees a row from the first bar dated on or after it and trades
    only on the bar after a calendar bar, so a row dated between bars (a
    month end on a Sunday, an intraday stamp on daily bars, a holiday) would
    wait for the next calendar date: a whole period in cash. Dated by its bar,
    it is traded on the next bar, as it would be if dated on that bar.
    """
    stamps = nanoseconds(dates)
    bars = market.index_ns
    at = np.searchsorted(bars, stamps, side="right") - 1
    moved = (at >= 0) & (bars[np.maximum(at, 0)] != stamps)
    if not moved.any():
        return dates, None
    stamps = np.where(at >= 0, bars[np.maximum(at, 0)], stamps)  # before the first bar: as given
    kept = np.append(stamps[1:] != stamps[:-1], True)  # the latest row of each bar
    redated = pd.DatetimeIndex(stamps[kept].astype("datetime64[ns]"), name=dates.name)
    if dates.tz is not None:
        redated = redated.tz_localize("UTC").tz_convert(dates.tz)
    return redated, kept


def _refuse_weights_without_prices(values, dead, dates, labels) -> None:
    """A weight on a stock whose close is NaN on every bar can never trade: the
    engine would hold it at a NaN price and leave that capital idle."""
    if not dead.any():
        return
    weighted = dead & (values != 0.0).any(axis=0)
    if weighted.any():
        column = int(np.argmax(weighted))
        row = int(np.argmax(values[:, column] != 0.0))
        names = preview(labels[weighted])
        raise ValueError(
            f"weights has stocks whose close prices are all NaN: {names} (e.g. {values[row, column]:g} "
            f"for {labels[column]!r} on {when(dates[row])}); drop them from the weights or give them prices"
        )


def _after_delisting(signal_dates: np.ndarray, market: Market, delisting_bars: np.ndarray):
    """(columns, rows x those columns) of the weights on or after a stock's delisting bar; None if none."""
    columns = np.flatnonzero(delisting_bars >= 0)
    if not len(columns):
        return None
    last_dates = market.index_ns[delisting_bars[columns]]
    return columns, signal_dates[:, None] >= last_dates[None, :]
