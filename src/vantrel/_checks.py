"""Input checks shared by the market, the weights and the stop settings.

Every check raises before the engine runs, with a message that names the
frame and the offending labels or dates, so the user can find the bad cell.
"""

from __future__ import annotations

import math
import numbers
from typing import TypeGuard

import numpy as np
import pandas as pd

_SHOWN = 5  # how many offending labels or dates a message lists


def preview(items, *, quote: bool = True) -> str:
    items = list(items)
    shown = ", ".join(repr(x) if quote and isinstance(x, str) else str(x) for x in items[:_SHOWN])
    more = len(items) - _SHOWN
    return shown + (f" and {more} more" if more > 0 else "")


def when(stamp) -> str:
    """A date for messages: just the day when the time is midnight."""
    stamp = pd.Timestamp(stamp)
    return str(stamp.date()) if stamp == stamp.normalize() else str(stamp)


def require_frame(frame, name: str) -> pd.DataFrame:
    if not isinstance(frame, pd.DataFrame):
        raise TypeError(f"{name} must be a pandas DataFrame, got {type(frame).__name__}")
    if frame.shape[0] == 0:
        raise ValueError(f"{name} has no rows")
    if frame.shape[1] == 0:
        raise ValueError(f"{name} has no columns")
    return frame


def check_date_index(index, name: str) -> pd.DatetimeIndex:
    """A strictly increasing DatetimeIndex without missing dates."""
    if not isinstance(index, pd.DatetimeIndex):
        raise TypeError(f"{name} must have a DatetimeIndex, got {type(index).__name__}; convert it with pd.to_datetime")
    if index.hasnans:
        raise ValueError(f"{name} has missing (NaT) dates in its index")
    if not index.is_unique:
        dupes = index[index.duplicated()].unique()
        raise ValueError(f"{name} has duplicate dates: {preview((when(d) for d in dupes), quote=False)}")
    if not index.is_monotonic_increasing:
        position = int(np.flatnonzero(np.diff(index.asi8) < 0)[0]) + 1
        raise ValueError(
            f"{name} dates are not sorted ascending: {index[position]} follows "
            f"{index[position - 1]}; sort it with .sort_index()"
        )
    return index


def label_texts(labels) -> np.ndarray:
    """The labels as the engine knows stocks: their text, in an object array."""
    if pd.api.types.is_string_dtype(labels.dtype) and labels.inferred_type == "string":
        return labels.to_numpy(dtype=object)  # already text: no call per label
    return np.array([str(label) for label in labels], dtype=object)


def check_columns(columns, name: str) -> pd.Index:
    if not columns.is_unique:
        raise ValueError(f"{name} has duplicate columns: {preview(columns[columns.duplicated()].unique())}")
    # The engine knows stocks by their text: 1 and "1" would be one stock to it.
    texts = pd.Index(label_texts(columns))
    if not texts.is_unique:
        first, second = np.flatnonzero(texts == texts[texts.duplicated()][0])[:2]
        raise ValueError(
            f"{name} has column labels that are equal as text: {columns[first]!r} and "
            f"{columns[second]!r}; make the labels unique as text, e.g. all strings"
        )
    return columns


def numeric_values(frame: pd.DataFrame, name: str, *, allow_bool: bool = False, nan: float | None = None) -> np.ndarray:
    """The frame's values as a new, writable float64 array; NaN allowed (or replaced by
    ``nan``), infinity not."""

    def accepted(dtype) -> bool:
        return pd.api.types.is_numeric_dtype(dtype) and (allow_bool or not pd.api.types.is_bool_dtype(dtype))

    dtypes = frame.dtypes
    # Decided once per distinct dtype: a wide frame has thousands of columns, few dtypes.
    refused = {dtype for dtype in dtypes.unique() if not accepted(dtype)}
    bad = [c for c, dtype in dtypes.items() if dtype in refused] if refused else []
    if bad:
        raise TypeError(f"{name} has non-numeric columns: {preview(bad)}")
    values = frame.to_numpy(dtype=np.float64, na_value=np.nan, copy=True)
    finite = np.isfinite(values)
    if finite.all():  # one pass for the usual frame, with neither NaN nor infinity
        return values
    infinite = np.isinf(values)
    if infinite.any():
        rows, cols = np.nonzero(infinite)
        cells = [f"{frame.columns[c]!r} on {when(frame.index[r])}" for r, c in zip(rows, cols, strict=True)]
        raise ValueError(f"{name} has infinite values: {preview(cells, quote=False)}")
    if nan is not None:
        np.copyto(values, nan, where=~finite)  # what is not finite is NaN
    return values


def same_timezone(a: pd.DatetimeIndex, b: pd.DatetimeIndex, a_name: str, b_name: str) -> None:
    """Refuse dates in another time zone than ``b``'s, or naive beside aware.

    Dates in two zones are different instants, so a row meant for one bar
    would fall on its neighbour without any error.
    """
    if str(a.tz) == str(b.tz):
        return
    if a.tz is None or b.tz is None:
        zone = a.tz if b.tz is None else b.tz
        raise ValueError(
            f"the dates of {a_name} are {_zone(a.tz)} and those of {b_name} {_zone(b.tz)}: both must "
            f"use the same timezone; localize the naive dates, e.g. .tz_localize({str(zone)!r}), "
            "or make both naive with .tz_localize(None)"
        )
    raise ValueError(
        f"the dates of {a_name} are in {a.tz} and those of {b_name} in {b.tz}: both must use the same "
        f"timezone, or a date falls on another bar than meant; convert one, e.g. .tz_convert({str(b.tz)!r})"
    )


def _zone(tz) -> str:
    return "timezone-naive" if tz is None else f"in {tz}"


def nanoseconds(index: pd.DatetimeIndex) -> np.ndarray:
    """Epoch nanoseconds as a writable int64 array, whatever the index's resolution."""
    return np.array(index.as_unit("ns").asi8, dtype=np.int64, copy=True)


def is_whole(value: object) -> TypeGuard[int]:
    """An integer that is not a bool (True counts as 1 to Python, never to a user)."""
    return not isinstance(value, bool) and isinstance(value, numbers.Integral)


def is_real(value: object) -> TypeGuard[float]:
    """A real number that is not a bool."""
    return not isinstance(value, bool) and isinstance(value, numbers.Real)


_PLAIN_REALS = (float, int)
_INT32_MAX = int(np.iinfo(np.int32).max)


def real_number(value, name: str, *, minimum: float | None = None, allow_inf: bool = False) -> float:
    # A plain float or int skips the abstract class test; math's tests of a float skip NumPy's
    # scalar dispatch: a backtest checks a dozen numbers, a sweep that many per variant.
    if type(value) not in _PLAIN_REALS and (isinstance(value, bool) or not isinstance(value, numbers.Real)):
        raise TypeError(f"{name} must be a number, got {type(value).__name__}")
    value = float(value)
    if math.isnan(value):
        raise ValueError(f"{name} must not be NaN")
    if math.isinf(value) and not allow_inf:
        raise ValueError(f"{name} must be finite, got {value}")
    if minimum is not None and value < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {value}")
    return value


def whole_number(value, name: str, *, minimum: int) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}")
    value = int(value)
    if value < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {value}")
    if value > _INT32_MAX:
        raise ValueError(f"{name} is too large: {value}")
    return value
