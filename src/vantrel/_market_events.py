"""Corporate actions of a market: cash dividends and splits, as events on its bars.

The user gives them as wide tables (dates x stocks, NaN where nothing
happens); the engine reads them as three flat arrays (bar, column, amount),
sorted by bar then column, which is all a bar loop needs to apply them.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd

from ._checks import check_columns, check_date_index, numeric_values, preview, same_timezone, when

__all__ = ["NO_EVENTS", "MarketEvents", "market_events"]


@dataclass(frozen=True, eq=False)
class MarketEvents:
    """Events on a market's bars, one per (bar, stock), sorted by bar then column.

    Attributes
    ----------
    bars : int64 array
        The bar (row of the prices) on which each event takes effect.
    columns : int64 array
        The stock of each event: its position in the market's columns.
    amounts : float64 array
        Cash per share for dividends (on the ex-date bar, in the currency of
        the raw prices); new shares per old share for splits (2.0 for a
        2-for-1 split, 0.1 for a 1-for-10 reverse split).
    """

    bars: np.ndarray
    columns: np.ndarray
    amounts: np.ndarray

    def __len__(self) -> int:
        return len(self.bars)

    def __repr__(self) -> str:
        return f"MarketEvents({len(self)} events)"


def _read_only(values: np.ndarray) -> np.ndarray:
    values.setflags(write=False)
    return values


NO_EVENTS = MarketEvents(
    _read_only(np.empty(0, np.int64)), _read_only(np.empty(0, np.int64)), _read_only(np.empty(0, np.float64))
)


def market_events(frame, name: str, index: pd.DatetimeIndex, columns: pd.Index) -> MarketEvents:
    """The events of a table of dividends or splits, checked against the market's bars.

    ``name`` is "dividends" (cash per share; NaN or 0 for none, never negative)
    or "splits" (a positive ratio; NaN or 1 for none). A date between two bars
    applies on the next bar; dates before the first bar or after the last are
    refused, as are stocks the market does not have. Events of one stock that
    fall on one bar combine: dividends add up, split ratios multiply.
    """
    if frame is None:
        return NO_EVENTS
    if not isinstance(frame, pd.DataFrame):
        raise TypeError(f"{name} must be a pandas DataFrame (dates x stocks), got {type(frame).__name__}")
    check_date_index(frame.index, name)
    check_columns(frame.columns, name)
    same_timezone(frame.index, index, name, "the prices")
    unknown = frame.columns.difference(columns, sort=False)
    if len(unknown):
        raise ValueError(f"{name} names stocks that are not in the market: {preview(unknown)}")
    values = numeric_values(frame, name)
    if name == "dividends":
        bad = values < 0
        rule = "cash per share, 0 or NaN for none"
        present = np.isfinite(values) & (values != 0)
    else:
        bad = values <= 0
        rule = "new shares per old share, e.g. 2 for a 2-for-1 split; NaN or 1 for none"
        present = np.isfinite(values) & (values != 1)
    if bad.any():
        raise ValueError(
            f"{name} must be {'positive' if name == 'splits' else 'at least 0'} ({rule}): {_cells(frame, values, bad)}"
        )
    rows, cols = np.nonzero(present)
    stamps = index.as_unit("ns").asi8
    at = frame.index.as_unit("ns").asi8[rows]
    early, late = at < stamps[0], at > stamps[-1]
    for off, where in (
        (early, f"before the first bar ({when(index[0])})"),
        (late, f"after the last bar ({when(index[-1])})"),
    ):
        if off.any():
            hits = np.zeros_like(present)
            hits[rows[off], cols[off]] = True
            raise ValueError(
                f"{name} dated {where}: {_cells(frame, values, hits)}; "
                f"keep the events within the prices' dates, e.g. {name}.loc[market.index[0]:market.index[-1]]"
            )
    bars = np.searchsorted(stamps, at, side="left").astype(np.int64)
    stocks = columns.get_indexer(frame.columns)[cols].astype(np.int64)
    amounts = values[rows, cols]
    order = np.lexsort((stocks, bars))
    bars, stocks, amounts = bars[order], stocks[order], amounts[order]
    # Two dates between the same two bars land on one bar: one event per (bar, stock).
    first = np.ones(len(bars), dtype=bool)
    first[1:] = (bars[1:] != bars[:-1]) | (stocks[1:] != stocks[:-1])
    if not first.all():
        starts = np.flatnonzero(first)
        combine = np.add if name == "dividends" else np.multiply
        amounts = combine.reduceat(amounts, starts)
        bars, stocks = bars[starts], stocks[starts]
    return MarketEvents(_read_only(bars), _read_only(stocks), _read_only(np.ascontiguousarray(amounts)))


def _cells(frame: pd.DataFrame, values: np.ndarray, bad: np.ndarray) -> str:
    rows, cols = np.nonzero(bad)
    cells = [
        f"{frame.columns[c]!r} on {when(frame.index[r])}: {values[r, c]:g}" for r, c in zip(rows, cols, strict=True)
    ]
    return preview(cells, quote=False)
