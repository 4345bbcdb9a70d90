"""Tiny markets for the execution tests: close prices by bar, with volume,
dividends and splits set on the market the way the market's own arguments
will set them (a stand-in: ``volume``, ``dividend_events`` and
``split_events`` as the engine call reads them).

Bars are calendar days from 2024-01-01 (a Monday) unless ``dates`` is given;
``weights(market, {bar: row})`` dates each row at its bar, so it is traded on
the next bar.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd

from vantrel import Market


@dataclass(frozen=True)
class Events:
    bars: np.ndarray
    columns: np.ndarray
    amounts: np.ndarray


def events(table: dict[tuple[int, int], float]) -> Events:
    """Events from {(bar, column): amount}, sorted by bar then column."""
    keys = sorted(table)
    return Events(
        np.array([b for b, _ in keys], dtype=np.int64),
        np.array([c for _, c in keys], dtype=np.int64),
        np.array([table[k] for k in keys], dtype=np.float64),
    )


def market(close, *, volume=None, dividends=None, splits=None, dates=None, **frames) -> Market:
    close = np.array(close, dtype=np.float64)
    close = close.reshape(-1, 1) if close.ndim == 1 else close
    index = pd.DatetimeIndex(dates) if dates is not None else pd.date_range("2024-01-01", periods=len(close))
    columns = [chr(ord("A") + i) for i in range(close.shape[1])]

    def frame(values):
        values = np.array(values, dtype=np.float64)
        return pd.DataFrame(values.reshape(close.shape), index=index, columns=columns)

    m = Market(frame(close), **{k: frame(v) for k, v in frames.items()})
    if volume is not None:
        m._values["volume"] = np.broadcast_to(
            np.array(volume, dtype=np.float64).reshape(-1, 1)
            if np.ndim(volume) == 1
            else np.array(volume, dtype=np.float64),
            close.shape,
        ).copy()
    m.dividend_events = events(dividends or {})
    m.split_events = events(splits or {})
    return m


def weights(m: Market, rows: dict[int, list[float]]) -> pd.DataFrame:
    bars = sorted(rows)
    return pd.DataFrame([rows[b] for b in bars], index=m.index[bars], columns=m.columns)
