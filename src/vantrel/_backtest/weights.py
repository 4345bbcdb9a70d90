"""The weight table of a backtest, checked against its market once."""

from __future__ import annotations

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
        row_dates, labels, values = _checked_weights(weights, market)
        signals, kept = _dated_by_bar(row_dates, market)
        if kept is not None:
            row_dates, values = row_dates[kept], values[kept]
        delisting_bars = market.delisting_bars(labels)
        _drop_weights_after_delisting(values, signals, market, delisting_bars)
        values.flags.writeable = False  # shared by every run that uses it
        self.market, self.signals, self.labels, self.values = market, signals, labels, values
        self.row_dates = row_dates
        # What the engine reads: each stock's price column, and the signal dates.
        self.stock_columns = market.columns.get_indexer(labels).astype(np.int64)
        self.signal_dates = nanoseconds(signals)
        # A delisting bar only where a stock has one (None: the engine skips the check).
        self.delisting_bars = delisting_bars if delisting_bars.max(initial=-1) >= 0 else None


def _checked_weights(weights, market: Market):
    """Signal dates, stock labels and a fresh float64 weight matrix with NaN as 0."""
    require_frame(weights, "weights")
    signals = check_date_index(weights.index, "weights")
    labels = check_columns(weights.columns, "weights")
    same_timezone(signals, market.index, "weights", "the prices")
    unpriced = labels.difference(market.columns, sort=False)
    if len(unpriced):
        raise ValueError(f"weights has stocks with no price column in the market: {preview(unpriced)}")
    if signals[0] > market.index[-1]:
        raise ValueError(f"weights start on {when(signals[0])}, after the last price date {when(market.index[-1])}")
    values = numeric_values(weights, "weights", allow_bool=True)
    values[np.isnan(values)] = 0.0
    _refuse_weights_without_prices(values, signals, labels, market)
    return signals, labels, values


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


def _refuse_weights_without_prices(values, signals, labels, market: Market) -> None:
    """A weight on a stock whose close is NaN on every bar can never trade: the
    engine would hold it at a NaN price and leave that capital idle."""
    dead = ~market.priced_anywhere()[market.columns.get_indexer(labels)]
    if not dead.any():
        return
    weighted = dead & (values != 0.0).any(axis=0)
    if weighted.any():
        column = int(np.argmax(weighted))
        row = int(np.argmax(values[:, column] != 0.0))
        names = preview(labels[weighted])
        raise ValueError(
            f"weights has stocks whose close prices are all NaN: {names} (e.g. {values[row, column]:g} "
            f"for {labels[column]!r} on {when(signals[row])}); drop them from the weights or give them prices"
        )


def _drop_weights_after_delisting(values, signals, market, delisting_bars) -> None:
    """Zero the weight of a stock from its delisting bar on: nothing can trade it there."""
    columns = np.flatnonzero(delisting_bars >= 0)
    if not len(columns):
        return
    last_dates = market.index_ns[delisting_bars[columns]]
    after = nanoseconds(signals)[:, None] >= last_dates[None, :]
    block = values[:, columns]
    block[after] = 0.0
    values[:, columns] = block
