"""Dated inputs read as of the bars: benchmark prices and risk-free rates.

Each bar takes the latest value dated on or before it, so a series on
another calendar lines up without looking ahead.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from ._checks import check_date_index, nanoseconds, real_number, same_timezone, when

__all__ = ["benchmark_curve", "risk_free_per_bar"]

_NS_PER_YEAR = 365.25 * 86_400 * 1_000_000_000


def benchmark_curve(prices: pd.Series, index: pd.DatetimeIndex) -> pd.Series:
    """Benchmark prices as of each bar of ``index``, scaled to 1.0 on its first bar.

    Each bar takes the latest price dated on or before it (NaN prices are
    skipped), so a benchmark on another calendar lines up without looking
    ahead. Refuses a benchmark without a price on or before the first bar.
    """
    if not isinstance(prices, pd.Series):
        raise TypeError(f"benchmark prices must be a pandas Series, got {type(prices).__name__}")
    dates = check_date_index(prices.index, "benchmark")
    if not pd.api.types.is_numeric_dtype(prices.dtype) or pd.api.types.is_bool_dtype(prices.dtype):
        raise TypeError(f"benchmark prices must be numbers, got dtype {prices.dtype}")
    same_timezone(dates, index, "the benchmark", "the prices")
    values = prices.to_numpy(dtype=np.float64, na_value=np.nan)
    present = ~np.isnan(values)
    with np.errstate(invalid="ignore"):
        bad = present & ~((values > 0) & np.isfinite(values))
    if bad.any():
        at = int(np.argmax(bad))
        raise ValueError(f"benchmark prices must be positive and finite: {values[at]} on {when(dates[at])}")
    if not len(index):
        return pd.Series(np.empty(0), index=index, name="benchmark")
    values, stamps = values[present], nanoseconds(dates)[present]
    rows = np.searchsorted(stamps, nanoseconds(index), side="right") - 1
    if rows[0] < 0:
        raise ValueError(f"the benchmark has no price on or before the first bar, {when(index[0])}")
    curve = values[rows]
    return pd.Series(curve / curve[0], index=index, name="benchmark")


def risk_free_per_bar(risk_free, index: pd.DatetimeIndex) -> tuple[float, np.ndarray]:
    """The annual rate to show, and the rate each bar (after the first) earns.

    A bar earns the annual rate in force at the previous bar, compounded over
    the calendar time since it: ``(1 + rate) ** years_between_bars - 1``.
    """
    n = len(index)
    if isinstance(risk_free, pd.Series):
        annual = _rates_as_of(risk_free, index)
        shown = float(annual[:-1].mean()) if n > 1 else (float(annual[0]) if n else np.nan)
    else:
        shown = real_number(risk_free, "risk_free")
        _check_rates(np.array([shown]), lambda _: "")
        if shown == 0.0 or n < 2:
            return shown, np.zeros(max(n - 1, 0))
        annual = np.full(n, shown)
    if n < 2:
        return shown, np.zeros(0)
    spacing = np.diff(nanoseconds(index)) / _NS_PER_YEAR
    return shown, (1.0 + annual[:-1]) ** spacing - 1.0


def _rates_as_of(rates: pd.Series, index: pd.DatetimeIndex) -> np.ndarray:
    dates = check_date_index(rates.index, "risk_free")
    if not pd.api.types.is_numeric_dtype(rates.dtype) or pd.api.types.is_bool_dtype(rates.dtype):
        raise TypeError(f"risk_free rates must be numbers, got dtype {rates.dtype}")
    same_timezone(dates, index, "risk_free", "the prices")
    values = rates.to_numpy(dtype=np.float64, na_value=np.nan)
    present = ~np.isnan(values)
    _check_rates(values[present], lambda at: f" on {when(dates[present][at])}")
    if not len(index):
        return np.empty(0)
    rows = np.searchsorted(nanoseconds(dates)[present], nanoseconds(index), side="right") - 1
    if rows[0] < 0:
        raise ValueError(f"risk_free has no rate on or before the first bar, {when(index[0])}")
    return values[present][rows]


def _check_rates(rates: np.ndarray, where) -> None:
    bad = ~((rates > -1.0) & (rates <= 1.0))
    if bad.any():
        at = int(np.argmax(bad))
        rate = rates[at]
        hint = f"; for {rate:g}% write {rate / 100:g}" if rate > 1 else ""
        raise ValueError(
            f"risk_free{where(at)} is {rate:g}: annual rates are fractions between -1 and 1 (0.04 = 4%){hint}"
        )
