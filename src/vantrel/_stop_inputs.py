"""Turn a user's stop setting (number, per-stock Series, dated table) into a stop table."""

from __future__ import annotations

import numpy as np
import pandas as pd

from ._checks import check_columns, check_date_index, nanoseconds, preview, real_number, same_timezone
from ._stops import StopTable, stop_table

# Thresholds that never fire: a stop-loss of the whole entry price, an endless take-profit.
NO_STOP_LOSS = 1.0
NO_TAKE_PROFIT = np.inf


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
        values = _threshold_values(stop.reindex(labels).to_numpy(dtype=np.float64, na_value=np.nan), name, neutral)
        return stop_table(values, price_ns, pos_columns)
    return stop_table(real_number(stop, name, minimum=0.0, allow_inf=True), price_ns, pos_columns)


def _dated_table(frame: pd.DataFrame, name: str, neutral: float, market, labels) -> StopTable:
    index = check_date_index(frame.index, name)
    check_columns(frame.columns, name)
    same_timezone(index, market.index, name, "the prices")
    _check_labels(frame.columns, name, market)
    if not all(pd.api.types.is_numeric_dtype(t) and not pd.api.types.is_bool_dtype(t) for t in frame.dtypes):
        raise TypeError(f"{name} must hold numbers")
    values = frame.reindex(columns=labels).to_numpy(dtype=np.float64, na_value=np.nan)
    values = _threshold_values(values, name, neutral)
    values = np.vstack([np.full((1, len(labels)), neutral), values])
    rows = np.searchsorted(nanoseconds(index), market.index_ns, side="right")
    return StopTable(values, rows.astype(np.int64))


def _threshold_values(values: np.ndarray, name: str, neutral: float) -> np.ndarray:
    with np.errstate(invalid="ignore"):
        if (values < 0).any():
            raise ValueError(f"{name} thresholds must not be negative")
    return np.where(np.isnan(values), neutral, values)


def _check_labels(labels, name, market) -> None:
    unknown = pd.Index(labels).difference(market.columns)
    if len(unknown):
        raise ValueError(f"{name} names stocks that have no prices: {preview(unknown)}")
