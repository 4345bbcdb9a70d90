"""The rebalancing calendar: on which bars a new weight row may be traded."""

from __future__ import annotations

import numpy as np
import pandas as pd

from ._checks import nanoseconds, same_timezone


def rebalance_calendar(rebalance, price_index: pd.DatetimeIndex, signal_index: pd.DatetimeIndex) -> np.ndarray:
    """Calendar dates as ascending epoch nanoseconds.

    A calendar date marks the last bar dated on or before it; a weight row in
    force at the end of a marked bar is traded on the following bar. ``None``
    makes every signal date a calendar date; an offset alias ("W-FRI", "ME",
    "QE", ...) gives the period ends from the first bar through the period
    that contains the last bar; explicit dates are used as given (sorted,
    duplicates dropped).
    """
    if rebalance is None:
        return nanoseconds(signal_index)
    if isinstance(rebalance, str):
        return _period_ends(rebalance, price_index)
    try:
        dates = pd.DatetimeIndex(pd.to_datetime(list(rebalance) if not isinstance(rebalance, pd.Index) else rebalance))
    except (TypeError, ValueError) as error:
        raise ValueError(f"rebalance dates could not be read as dates: {error}") from None
    if len(dates) == 0:
        raise ValueError("rebalance has no dates")
    if dates.hasnans:
        raise ValueError("rebalance has missing (NaT) dates")
    same_timezone(dates, price_index, "rebalance dates", "the prices")
    return np.unique(nanoseconds(dates))


def _period_ends(alias: str, price_index: pd.DatetimeIndex) -> np.ndarray:
    try:
        offset = pd.tseries.frequencies.to_offset(alias)
        ends = pd.date_range(price_index[0].normalize(), price_index[-1] + offset, freq=offset)
    except (TypeError, ValueError) as error:
        raise ValueError(f"rebalance frequency {alias!r} is not a pandas offset alias: {error}") from None
    return nanoseconds(ends)
