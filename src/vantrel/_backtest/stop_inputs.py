"""Turn a user's stop setting (number, per-stock Series, dated table) into a stop table."""

from __future__ import annotations

import numpy as np
import pandas as pd

from .._checks import check_columns, check_date_index, nanoseconds, preview, real_number, same_timezone, when
from .._stops import StopTable, stop_table

# Thresholds that never fire: a stop-loss of the whole entry price, an endless take-profit.
NO_STOP_LOSS = 1.0
NO_TAKE_PROFIT = np.inf


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


def stop_setting(stop, name: str, neutral: float, market, labels, price_ns, pos_columns) -> StopTable:
    """The stop table of one setting for the traded stocks ``labels``.

    Stocks a Series or table leaves out, and NaN cells, get the neutral
    threshold. A dated table applies as of its dates: each bar uses the
    latest row dated on or before it, and bars before the first row use the
    neutral threshold.
    """
    if stop is None:
        return stop_table(neutral, price_ns, pos_columns)
    if isinstance(stop, StopTable):
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
        return stop_table(values, price_ns, pos_columns)
    return stop_table(stop_level(stop, name), price_ns, pos_columns)


def _dated_table(frame: pd.DataFrame, name: str, neutral: float, market, labels) -> StopTable:
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
    return StopTable(values, rows.astype(np.int64))


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
