"""Tiny markets for the execution tests: close prices by bar, with volume,
dividends and splits given to the market as its own arguments.

Bars are calendar days from 2024-01-01 (a Monday) unless ``dates`` is given;
``weights(market, {bar: row})`` dates each row at its bar, so it is traded on
the next bar. Dividends and splits are ``{(bar, column): amount}``.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from vantrel import Market


def event_table(events: dict[tuple[int, int], float], index: pd.DatetimeIndex, columns) -> pd.DataFrame | None:
    """A dates x stocks table of events (NaN: none), as the market takes it."""
    if not events:
        return None
    table = pd.DataFrame(np.nan, index=index, columns=columns)
    for (bar, column), amount in events.items():
        table.iloc[bar, column] = amount
    return table


def market(close, *, volume=None, dividends=None, splits=None, dates=None, **frames) -> Market:
    close = np.array(close, dtype=np.float64)
    close = close.reshape(-1, 1) if close.ndim == 1 else close
    index = pd.DatetimeIndex(dates) if dates is not None else pd.date_range("2024-01-01", periods=len(close))
    columns = [chr(ord("A") + i) for i in range(close.shape[1])]

    def frame(values):
        values = np.broadcast_to(np.array(values, dtype=np.float64).reshape(len(close), -1), close.shape)
        return pd.DataFrame(values, index=index, columns=columns)

    return Market(
        frame(close),
        volume=None if volume is None else frame(volume),
        dividends=event_table(dividends or {}, index, columns),
        splits=event_table(splits or {}, index, columns),
        **{k: frame(v) for k, v in frames.items()},
    )


def weights(m: Market, rows: dict[int, list[float]]) -> pd.DataFrame:
    bars = sorted(rows)
    return pd.DataFrame([rows[b] for b in bars], index=m.index[bars], columns=m.columns)
