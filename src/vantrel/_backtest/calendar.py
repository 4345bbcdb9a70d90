"""The rebalancing calendar: on which bars a new weight row may be traded."""

from __future__ import annotations

import difflib

import numpy as np
import pandas as pd

from .._checks import nanoseconds, same_timezone


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


# Offset aliases a rebalancing calendar typically uses, with what they mean.
ALIASES = {
    "B": "every business day",
    "D": "every day",
    "W-MON": "weekly, Mondays",
    "W-FRI": "weekly, Fridays",
    "ME": "month end",
    "MS": "month start",
    "BME": "business month end",
    "BMS": "business month start",
    "SME": "mid-month and month end",
    "QE": "quarter end",
    "QS": "quarter start",
    "BQE": "business quarter end",
    "YE": "year end",
    "YS": "year start",
    "BYE": "business year end",
    "h": "hourly",
    "min": "every minute",
}
# Words and retired pandas aliases people type, and the alias they mean.
_MEANT = {
    "daily": "B",
    "day": "B",
    "weekly": "W-FRI",
    "week": "W-FRI",
    "w": "W-FRI",
    "monthly": "ME",
    "month": "ME",
    "m": "ME",
    "bm": "BME",
    "sm": "SME",
    "quarterly": "QE",
    "quarter": "QE",
    "q": "QE",
    "bq": "BQE",
    "yearly": "YE",
    "annual": "YE",
    "annually": "YE",
    "year": "YE",
    "y": "YE",
    "a": "YE",
    "ba": "BYE",
    "hourly": "h",
    "hour": "h",
    "t": "min",
}


def suggested_alias(text: str) -> str | None:
    """The valid alias closest to a mistyped one, or None."""
    key = text.strip().lower().replace("_", "-")
    if key in _MEANT:
        return _MEANT[key]
    by_key = {alias.lower(): alias for alias in ALIASES}
    close = difflib.get_close_matches(key, list(by_key), n=1, cutoff=0.6)
    return by_key[close[0]] if close else None


def _period_ends(alias: str, price_index: pd.DatetimeIndex) -> np.ndarray:
    try:
        offset = pd.tseries.frequencies.to_offset(alias)
    except (TypeError, ValueError):
        offset = None
    if offset is None:
        # pandas' own message nests the same text several times; say it once, with a hint.
        hint = suggested_alias(alias)
        guess = f"did you mean {hint!r} ({ALIASES[hint]})? " if hint else ""
        common = ", ".join(f"{a!r} ({ALIASES[a]})" for a in ("W-FRI", "ME", "QE", "YE"))
        raise ValueError(f"rebalance={alias!r} is not a pandas offset alias: {guess}common ones are {common}")
    try:
        ends = pd.date_range(price_index[0].normalize(), price_index[-1] + offset, freq=offset)
    except (TypeError, ValueError) as error:
        raise ValueError(f"rebalance={alias!r} gives no calendar for these prices: {error}") from None
    return nanoseconds(ends)
