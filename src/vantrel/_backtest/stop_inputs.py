"""A user's stop setting (number, per-stock Series, dated table), checked once and turned into
the engine's stop levels: threshold rows x traded stocks, and per bar the row in force."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd

from .._checks import check_columns, check_date_index, nanoseconds, preview, real_number, same_timezone, when

# Thresholds that never fire: a stop-loss of the whole entry price, an endless take-profit.
NO_STOP_LOSS = 1.0
NO_TAKE_PROFIT = np.inf


@dataclass(frozen=True)
class StopLevels:
    """Thresholds (rows x traded stocks, fractions of the entry price) and, for every bar
    of the market, the row in force; what the engine reads for one stop setting."""

    values: np.ndarray
    rows: np.ndarray


def stop_level(value, name: str) -> float:
    """One stop level: a fraction from 0 to 1, or infinity for no stop."""
    value = real_number(value, name, minimum=0.0, allow_inf=True)
    if 1.0 < value < np.inf:
        raise _level_above_one(name, value, "")
    return value


def _level_above_one(name: str, value: float, where: str) -> ValueError:
    # Levels above 1 are nearly always a percentage typed as a number (10 for 10%).
    return ValueError(
        f"{name}{where} is {value:g}, above 1: stop levels are fractions of the entry price "
        f"(0.1 = 10%), so {value:g} would mean {value:.0%}; for {value:g}% write {value / 100:g}"
    )


def stop_setting(stop, name: str, neutral: float, market, labels) -> StopLevels | None:
    """The stop levels of one setting for the traded stocks ``labels``; None for no stop.

    Stocks a Series or table leaves out, and NaN cells, get the neutral
    threshold. A dated table applies as of its dates: each bar uses the
    latest row dated on or before it, and bars before the first row use the
    neutral threshold.
    """
    if stop is None:
        return None
    if isinstance(stop, StopLevels):
        return stop
    if isinstance(stop, pd.DataFrame):
        return _dated_table(stop, name, neutral, market, labels)
    if isinstance(stop, pd.Series):
        _check_labels(stop.index, name, market)
        if not pd.api.types.is_numeric_dtype(stop.dtype) or pd.api.types.is_bool_dtype(stop.dtype):
            raise TypeError(f"{name} must hold numbers")
        _check_levels(
            stop.to_numpy(dtype=np.float64, na_value=np.nan), name, lambda column, _: f" for {stop.index[column]!r}"
        )
        values = _threshold_values(stop.reindex(labels).to_numpy(dtype=np.float64, na_value=np.nan), name, neutral)
        return _same_on_every_bar(values, market)
    level = stop_level(stop, name)
    if level == neutral:
        return None
    return _same_on_every_bar(np.full(len(labels), level), market)


def _same_on_every_bar(values: np.ndarray, market) -> StopLevels:
    rows = market.cached("first_row_on_every_bar", lambda: _read_only(np.zeros(len(market.index), dtype=np.int64)))
    return StopLevels(values.reshape(1, -1), rows)


def _read_only(array: np.ndarray) -> np.ndarray:
    array.flags.writeable = False  # shared by every run on the market
    return array


def _dated_table(frame: pd.DataFrame, name: str, neutral: float, market, labels) -> StopLevels:
    index = check_date_index(frame.index, name)
    check_columns(frame.columns, name)
    same_timezone(index, market.index, name, "the prices")
    _check_labels(frame.columns, name, market)
    if not all(pd.api.types.is_numeric_dtype(t) and not pd.api.types.is_bool_dtype(t) for t in frame.dtypes):
        raise TypeError(f"{name} must hold numbers")
    _check_levels(
        frame.to_numpy(dtype=np.float64, na_value=np.nan),
        name,
        lambda column, row: f" for {frame.columns[column]!r} on {when(index[row])}",
    )
    values = frame.reindex(columns=labels).to_numpy(dtype=np.float64, na_value=np.nan)
    values = _threshold_values(values, name, neutral)
    values = np.vstack([np.full((1, len(labels)), neutral), values])
    rows = np.searchsorted(nanoseconds(index), market.index_ns, side="right")
    return StopLevels(values, rows.astype(np.int64))


def _check_levels(values: np.ndarray, name: str, cell) -> None:
    """Refuse levels above 1 anywhere in the user's setting; ``cell(column, row)`` names one."""
    values = np.atleast_2d(values)
    with np.errstate(invalid="ignore"):
        above = (values > 1.0) & (values < np.inf)
    if above.any():
        row, column = np.argwhere(above)[0]
        raise _level_above_one(name, float(values[row, column]), cell(column, row))


def _threshold_values(values: np.ndarray, name: str, neutral: float) -> np.ndarray:
    with np.errstate(invalid="ignore"):
        if (values < 0).any():
            raise ValueError(f"{name} thresholds must not be negative")
    return np.where(np.isnan(values), neutral, values)


def _check_labels(labels, name, market) -> None:
    unknown = pd.Index(labels).difference(market.columns)
    if len(unknown):
        raise ValueError(f"{name} names stocks that have no prices: {preview(unknown)}")
