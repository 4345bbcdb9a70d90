"""Performance statistics of an equity curve, its trades and a benchmark.

Everything here works on whole arrays: sweeps compute the statistics of every
variant, so they must cost milliseconds, not a Python loop per trade.
"""

from __future__ import annotations

import warnings

import numpy as np
import pandas as pd

from ._checks import real_number, when
from ._series import benchmark_curve, risk_free_per_bar

__all__ = ["MIN_YEARS", "ShortSampleWarning", "drawdown", "performance_dates", "performance_stats"]

_DAYS_PER_YEAR = 365.25
# Below this span (in years) annualised figures extrapolate noise: a few good
# hourly bars become a CAGR of millions of percent.
MIN_YEARS = 0.25
TRADES_BY = ("round_trip", "record")
RELATIVE_KEYS = ("alpha", "beta", "information_ratio", "tracking_error", "up_capture", "down_capture")
DATE_KEYS = ("start", "end", "max_drawdown_peak", "max_drawdown_trough", "max_drawdown_recovery")


class ShortSampleWarning(UserWarning):
    """The curve spans too little time for annualised figures to mean anything."""


def drawdown(equity: pd.Series) -> pd.Series:
    """Fall of the equity below its running maximum (0 at a new high, negative below it)."""
    return equity / equity.cummax() - 1.0


def performance_stats(
    equity: pd.Series,
    trades: pd.DataFrame | None = None,
    *,
    benchmark: pd.Series | None = None,
    risk_free: float | pd.Series = 0.0,
    periods_per_year: float | None = None,
    trades_by: str = "round_trip",
    min_years: float = MIN_YEARS,
) -> pd.Series:
    """Summary statistics of a backtest.

    Parameters
    ----------
    equity : Series
        Portfolio value per bar on a DatetimeIndex.
    trades : DataFrame, optional
        The trade table of a result (one row per trade record), for the
        trade statistics.
    benchmark : Series, optional
        Benchmark prices; each bar of ``equity`` takes the latest price dated
        on or before it. Gives the relative statistics.
    risk_free : float or Series
        Annual risk-free rate as a fraction (0.04 = 4%), or a Series of annual
        rates by date (each bar takes the latest rate dated on or before it).
        Each bar earns the rate in force at the previous bar, compounded over
        the calendar time between the two bars.
    periods_per_year : float, optional
        Bars per year for annualising volatility and ratios. By default the
        curve's own count: bars per calendar year of its span (about 252 for
        trading days, about 1,760 for seven hourly bars a trading day).
    trades_by : "round_trip" or "record"
        What counts as one trade: a round trip (from no position to no
        position; needs the ``round_trip`` and ``profit`` columns) or one
        record of the trade table (records end at every rebalance that
        re-sizes a holding).
    min_years : float
        Shortest calendar span, in years, for which annualised figures are
        computed. Below it they are NaN and a :class:`ShortSampleWarning` is
        issued; 0 computes them whatever the span.

    Returns
    -------
    Series
        Numbers only (float64, so ``.round(3)`` and arithmetic work):
        ``total_return``, ``cagr``, ``annual_volatility``, ``sharpe``,
        ``sortino``, ``max_drawdown``, ``calmar``; relative to the benchmark
        ``alpha``, ``beta``, ``information_ratio``, ``tracking_error``,
        ``up_capture``, ``down_capture`` (NaN without a benchmark);
        ``risk_free`` (the annual rate, its mean for a Series); with trades
        ``trades`` (a count, as a float), ``win_rate``, ``profit_factor``,
        ``avg_bars_held``, ``exposure`` and ``turnover``. The dates (first
        and last bar, the maximum drawdown's peak, trough and recovery) are
        in :func:`performance_dates`.

    Raises
    ------
    ValueError
        When ``equity`` has a value at or below 0: returns passed in place of
        a curve, or a portfolio that lost everything.

    Notes
    -----
    Returns are simple bar-to-bar returns. Years are calendar days / 365.25.
    Sharpe and Sortino are ratios of excess returns (over the risk-free rate)
    times the square root of ``periods_per_year``; the Sortino denominator is
    the root mean square of the negative excess returns over all bars.

    Against the benchmark: ``beta`` is the covariance of excess returns over
    the variance of the benchmark's; ``alpha`` is the mean excess return not
    explained by beta, times ``periods_per_year`` (annualised linearly);
    ``tracking_error`` is the annualised standard deviation of the return
    difference and ``information_ratio`` its annualised mean over that
    deviation. ``up_capture`` (``down_capture``) is the geometric mean return
    per bar over the bars on which the benchmark rose (fell), divided by the
    benchmark's on the same bars: 1 moves like the benchmark, below 1 moves
    less. (Not annualised: annualising a subset of bars by compounding it
    distorts the ratio, the more so the more bars there are per year.)

    Win rate and profit factor count closed trades, by their ``profit`` (for
    records without it, their return times their absolute weight); average
    bars held counts all. Exposure is the share of bars with at least one
    open record; turnover is half the absolute change of target weight per
    year, counting a record's weight when it is entered and exited and the
    weight change when a holding is re-sized into a new record on the bar the
    previous one ended. An undefined statistic is NaN.
    """
    equity = _curve(equity)
    index = equity.index
    values = equity.to_numpy()
    returns = values[1:] / values[:-1] - 1.0 if len(values) > 1 else np.empty(0)
    years = _years(index)
    if periods_per_year is None:
        periods_per_year = (len(values) - 1) / years if years > 0 else np.nan
    else:
        periods_per_year = real_number(periods_per_year, "periods_per_year", minimum=0.0)
        if periods_per_year == 0:
            raise ValueError("periods_per_year must be positive")
    shown_rate, rf = risk_free_per_bar(risk_free, index)
    excess = returns - rf

    # Annual figures need a span that means something; NaN (and a warning) below it.
    min_years = real_number(min_years, "min_years", minimum=0.0)
    annualised = years >= min_years and years > 0
    if annualised:
        scale = periods_per_year
        cagr = (values[-1] / values[0]) ** (1.0 / years) - 1.0
    else:
        scale = cagr = np.nan
        if len(returns):
            warnings.warn(
                f"the curve spans {_span_text(index)}, less than min_years={min_years:g}: annualised "
                "figures (CAGR, volatility, Sharpe, Sortino, Calmar, alpha, tracking error, information "
                "ratio, turnover) are NaN; pass min_years=0 to compute them anyway",
                ShortSampleWarning,
                stacklevel=2,
            )
    root = np.sqrt(scale)
    dd = drawdown(equity)
    max_dd = float(dd.min()) if len(dd) else np.nan

    out = {
        "total_return": float(values[-1] / values[0] - 1.0) if len(values) else np.nan,
        "cagr": float(cagr),
        "annual_volatility": _std(returns) * root,
        "sharpe": _ratio(_mean(excess), _std(excess)) * root,
        "sortino": _ratio(_mean(excess), _downside(excess)) * root,
        "max_drawdown": max_dd,
        "calmar": _ratio(cagr, -max_dd) if max_dd < 0 else np.nan,
    }
    if benchmark is None:
        out.update(dict.fromkeys(RELATIVE_KEYS, np.nan))
    else:
        bench = benchmark_curve(benchmark, index).to_numpy()
        out.update(_relative_stats(returns, bench[1:] / bench[:-1] - 1.0, rf, scale))
    out["risk_free"] = shown_rate
    if trades is not None:
        out.update(trade_stats(trades, index, years if annualised else np.nan, by=trades_by))
    return pd.Series(out, dtype=np.float64, name="stats")


def performance_dates(equity: pd.Series) -> pd.Series:
    """The dates that go with :func:`performance_stats`.

    Parameters
    ----------
    equity : Series
        Portfolio value per bar on a DatetimeIndex.

    Returns
    -------
    Series
        Dates (in the curve's time zone) by name: ``start`` and ``end``, the
        first and last bar; ``max_drawdown_peak``, the last bar at the peak
        before the deepest fall, ``max_drawdown_trough``, its bottom, and
        ``max_drawdown_recovery``, the first bar back at the peak. NaT where
        there is none (no fall, or no recovery yet).
    """
    equity = _curve(equity)
    index = equity.index
    ends = [index[0], index[-1]] if len(index) else [pd.NaT, pd.NaT]
    stamps = [*ends, *_drawdown_dates(equity, drawdown(equity))]
    return pd.Series(pd.DatetimeIndex(stamps, dtype=index.dtype), index=list(DATE_KEYS), name="dates")


def with_dates(stats: pd.Series, dates: pd.Series) -> pd.Series:
    """Statistics and their dates in one Series of objects, for tables and files:
    ``start`` and ``end`` first, the drawdown's dates after ``max_drawdown``, and
    the trade count as an integer."""
    keys = list(stats.index)
    at = keys.index("max_drawdown") + 1 if "max_drawdown" in keys else len(keys)
    around = [k for k in dates.index if not k.startswith("max_drawdown_")]
    within = [k for k in dates.index if k.startswith("max_drawdown_")]
    order = [(dates, around), (stats, keys[:at]), (dates, within), (stats, keys[at:])]
    values = {key: source[key] for source, names in order for key in names}
    if "trades" in values and np.isfinite(values["trades"]):
        values["trades"] = int(values["trades"])
    return pd.Series(values, dtype=object, name=stats.name)


def _curve(equity) -> pd.Series:
    """The equity as float64, refusing values at or below 0: no return can be measured from them."""
    equity = pd.Series(equity, dtype=np.float64)
    values = equity.to_numpy()
    bad = values <= 0  # NaN is not
    if bad.any():
        at = int(np.argmax(bad))
        raise ValueError(
            f"equity is {values[at]:g} on {when(equity.index[at])}, at or below 0: the statistics need an equity "
            "curve, the portfolio value per bar, which stays above 0. If these are returns, pass "
            "(1 + returns).cumprod(); a portfolio worth 0 or less has lost everything, and has no return to "
            "measure from there"
        )
    return equity


def _relative_stats(returns: np.ndarray, bench: np.ndarray, rf: np.ndarray, scale: float) -> dict:
    if len(returns) < 2:
        return dict.fromkeys(RELATIVE_KEYS, np.nan)
    excess, bench_excess = returns - rf, bench - rf
    bench_var = _var(bench_excess)
    cov = float(np.sum((excess - excess.mean()) * (bench_excess - bench_excess.mean()))) / (len(returns) - 1)
    beta = cov / bench_var if bench_var > 0 else np.nan
    active = returns - bench
    spread = _std(active)
    up, down = bench > 0, bench < 0
    return {
        "alpha": (excess.mean() - beta * bench_excess.mean()) * scale,
        "beta": beta,
        "information_ratio": _ratio(active.mean(), spread) * np.sqrt(scale),
        "tracking_error": spread * np.sqrt(scale),
        "up_capture": _ratio_any(_per_bar(returns[up]), _per_bar(bench[up])),
        "down_capture": _ratio_any(_per_bar(returns[down]), _per_bar(bench[down])),
    }


def _per_bar(returns: np.ndarray) -> float:
    """Geometric mean return per bar of these bars."""
    if not len(returns):
        return np.nan
    with np.errstate(invalid="ignore", divide="ignore"):
        return float(np.expm1(np.mean(np.log1p(returns))))


def trade_stats(trades: pd.DataFrame, index: pd.DatetimeIndex, years: float, *, by: str = "round_trip") -> dict:
    """Trade statistics of a trade table; see :func:`performance_stats`."""
    if by == "round_trip":
        profit, closed, bars = _round_trips(trades)
    elif by == "record":
        profit, closed, bars = _records(trades)
    else:
        raise ValueError(f'trades_by must be "round_trip" or "record", got {by!r}')
    won = profit[closed]
    gains, losses = won[won > 0].sum(), -won[won < 0].sum()
    profit_factor = gains / losses if losses > 0 else np.inf if gains > 0 else np.nan
    return {
        "trades": float(len(profit)),
        "win_rate": float((won > 0).mean()) if len(won) else np.nan,
        "profit_factor": float(profit_factor),
        "avg_bars_held": float(bars.mean()) if len(bars) else np.nan,
        "exposure": _exposure(trades, index),
        "turnover": _traded_weight(trades) / 2.0 / years if years > 0 else np.nan,
    }


def _values(column, dtype=None) -> np.ndarray:
    """A trade-table column as an array (tables and the engine's plain columns alike)."""
    return column.to_numpy(dtype=dtype) if isinstance(column, pd.Series) else np.asarray(column, dtype=dtype)


def _closed(trades) -> np.ndarray:
    """Per record: whether it has an exit."""
    return _stamps(trades["exit_date"]) != _NAT


def _records(trades: pd.DataFrame):
    """Per record: what it made, whether it closed, its bars held."""
    if "profit" in trades.columns:
        profit = _values(trades["profit"], np.float64)
    else:  # a table without profits: the return, weighed by the capital share at entry
        profit = np.abs(_values(trades["weight"], np.float64)) * _values(trades["return"], np.float64)
    return profit, _closed(trades), _values(trades["bars_held"], np.float64)


def _round_trips(trades: pd.DataFrame):
    """Per round trip: the sum of its records' profit, whether all closed, the bars held."""
    missing = [c for c in ("round_trip", "profit") if c not in trades.columns]
    if missing:
        raise ValueError(
            f"trades has no {' or '.join(missing)} column to count round trips by; "
            'pass trades_by="record" to count each record as a trade'
        )
    if not len(trades):
        return np.empty(0), np.empty(0, dtype=bool), np.empty(0)
    ids = _values(trades["round_trip"])
    if ids.min() >= 0 and ids.max() < 2 * len(ids):  # the engine's dense ids: use them as they are
        present = np.bincount(ids)
        group = (np.cumsum(present > 0) - 1)[ids]
    else:
        _, group = np.unique(ids, return_inverse=True)
    count = int(group.max()) + 1

    def total(column) -> np.ndarray:
        return np.bincount(group, weights=np.asarray(column, dtype=np.float64), minlength=count)

    # A round trip's records follow each other without a gap, so their bars add up.
    profit = total(trades["profit"])
    still_open = total(~_closed(trades))
    return profit, still_open == 0, total(trades["bars_held"])


def _years(index) -> float:
    if len(index) < 2:
        return 0.0
    return (index[-1] - index[0]) / pd.Timedelta(days=1) / _DAYS_PER_YEAR


def _span_text(index) -> str:
    days = (index[-1] - index[0]) / pd.Timedelta(days=1)
    return f"{days:.3g} days ({len(index)} bars)"


def _mean(values: np.ndarray) -> float:
    return float(np.mean(values)) if len(values) else np.nan


def _std(returns: np.ndarray) -> float:
    return float(np.std(returns, ddof=1)) if len(returns) > 1 else np.nan


def _var(returns: np.ndarray) -> float:
    return float(np.var(returns, ddof=1)) if len(returns) > 1 else np.nan


def _downside(returns: np.ndarray) -> float:
    return float(np.sqrt(np.mean(np.minimum(returns, 0.0) ** 2))) if len(returns) else np.nan


def _ratio(numerator: float, denominator: float) -> float:
    if not denominator > 0:
        return np.nan
    return float(numerator / denominator)


def _ratio_any(numerator: float, denominator: float) -> float:
    """A ratio whose denominator may be negative (a capture of falling bars)."""
    if not denominator or np.isnan(denominator):
        return np.nan
    return float(numerator / denominator)


def _drawdown_dates(equity: pd.Series, dd: pd.Series):
    """Last date at the peak before the deepest fall, the trough, and the recovery (NaT if none)."""
    if not len(dd) or not dd.min() < 0:
        return pd.NaT, pd.NaT, pd.NaT
    trough_at = int(np.argmin(dd.to_numpy()))
    before = equity.to_numpy()[: trough_at + 1]
    peak_at = trough_at - int(np.argmax(before[::-1]))
    after = equity.to_numpy()[trough_at:] >= before[peak_at]
    recovery = equity.index[trough_at + int(np.argmax(after))] if after.any() else pd.NaT
    return equity.index[peak_at], equity.index[trough_at], recovery


def _exposure(trades: pd.DataFrame, index: pd.DatetimeIndex) -> float:
    """Share of bars on which at least one trade was open (entry bar up to, not including, the exit bar)."""
    if not len(index):
        return np.nan
    stamps = index.as_unit("ns").asi8
    starts = np.searchsorted(stamps, _stamps(trades["entry_date"]))
    exits = _stamps(trades["exit_date"])
    stops = np.where(exits == _NAT, len(index), np.searchsorted(stamps, exits))
    change = np.bincount(starts, minlength=len(index) + 1) - np.bincount(stops, minlength=len(index) + 1)
    return float((np.cumsum(change[:-1]) > 0).mean())


def _traded_weight(trades: pd.DataFrame) -> float:
    """Sum of absolute weight changes: a trade that starts on the bar its stock's
    previous trade ended is a resize, any other entry and every exit trade in full."""
    if not len(trades):
        return 0.0
    stock = pd.factorize(trades["stock"])[0]
    if "entry_bar" in trades.columns and "exit_bar" in trades.columns:
        # The engine's bar numbers say the same as the dates, without converting them.
        entry = _values(trades["entry_bar"], np.int64)
        exit_ = _values(trades["exit_bar"], np.int64)
        exit_ = np.where(exit_ < 0, _NAT, exit_)
    else:
        entry = _stamps(trades["entry_date"])
        exit_ = _stamps(trades["exit_date"])
    order = np.lexsort((entry, stock))  # by stock, then entry date; stable for ties
    stock, entry, exit_ = stock[order], entry[order], exit_[order]
    weight = _values(trades["weight"], np.float64)[order]
    closed = exit_ != _NAT
    # A trade still open at the end leaves nothing to sell afterwards.
    held_after = np.where(closed, weight, 0.0)
    follows = np.concatenate([[False], stock[1:] == stock[:-1]])  # the stock's previous trade is the row above
    previous_weight = np.where(follows, np.roll(held_after, 1), 0.0)
    resized = follows & np.roll(closed, 1) & (entry == np.roll(exit_, 1))
    changes = np.where(resized, np.abs(weight - previous_weight), np.abs(weight) + np.abs(previous_weight))
    last = np.concatenate([stock[1:] != stock[:-1], [True]])  # each stock's last trade
    return float(changes.sum() + np.abs(held_after[last]).sum())


_NAT = np.iinfo(np.int64).min


def _stamps(dates: pd.Series) -> np.ndarray:
    """Epoch nanoseconds, NaT as the smallest int64."""
    if isinstance(dates, np.ndarray) and dates.dtype == np.int64:
        return dates  # the engine's columns carry them already
    values = dates.array
    if isinstance(values, pd.arrays.DatetimeArray):
        return values.as_unit("ns").asi8  # the trade table's own dates: no index built
    return pd.DatetimeIndex(dates).as_unit("ns").asi8
