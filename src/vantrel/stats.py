"""Performance statistics of an equity curve and its trades."""

from __future__ import annotations

import numpy as np
import pandas as pd

__all__ = ["performance_stats", "drawdown"]

_DAYS_PER_YEAR = 365.25


def drawdown(equity: pd.Series) -> pd.Series:
    """Fall of the equity below its running maximum (0 at a new high, negative below it)."""
    return equity / equity.cummax() - 1.0


def performance_stats(equity: pd.Series, trades: pd.DataFrame | None = None, *,
                      periods_per_year: float | None = None) -> pd.Series:
    """Summary statistics of a backtest.

    Returns are simple bar-to-bar returns of ``equity``; annual figures scale
    by ``periods_per_year`` (by default the number of bars per calendar year
    of the curve itself, about 252 for trading days) and years are calendar
    days / 365.25. Sharpe and Sortino assume a zero risk-free rate; the
    Sortino denominator is the root mean square of the negative returns over
    all bars. A statistic that is undefined (no trades, a flat curve) is NaN.

    From ``trades`` (the trade table of a result): the number of trades, the
    win rate and profit factor of the closed trades (profit factor weighs each
    trade's return by its absolute entry weight), the mean bars held, the
    exposure (share of bars with at least one open trade) and the annual
    turnover: half the absolute change of target weight per year, counting a
    trade's weight when it is entered and exited and the weight change when a
    holding is re-sized into a new trade on the bar the previous one ended.
    """
    equity = pd.Series(equity, dtype=np.float64)
    values = equity.to_numpy()
    years = _years(equity.index)
    if periods_per_year is None:
        periods_per_year = (len(values) - 1) / years if years > 0 else np.nan
    returns = values[1:] / values[:-1] - 1.0 if len(values) > 1 else np.empty(0)
    total = values[-1] / values[0] - 1.0 if len(values) else np.nan
    cagr = (values[-1] / values[0]) ** (1.0 / years) - 1.0 if years > 0 else np.nan
    dd = drawdown(equity)
    max_dd = float(dd.min()) if len(dd) else np.nan
    peak, trough, recovery = _drawdown_dates(equity, dd)

    out = {
        "start": equity.index[0] if len(equity) else pd.NaT,
        "end": equity.index[-1] if len(equity) else pd.NaT,
        "total_return": float(total),
        "cagr": float(cagr),
        "annual_volatility": _std(returns) * np.sqrt(periods_per_year),
        "sharpe": _ratio(np.mean(returns) if len(returns) else np.nan, _std(returns)) * np.sqrt(periods_per_year),
        "sortino": _ratio(np.mean(returns) if len(returns) else np.nan, _downside(returns)) * np.sqrt(periods_per_year),
        "max_drawdown": max_dd,
        "max_drawdown_peak": peak,
        "max_drawdown_trough": trough,
        "max_drawdown_recovery": recovery,
        "calmar": _ratio(cagr, -max_dd) if max_dd < 0 else np.nan,
    }
    if trades is not None:
        out.update(trade_stats(trades, equity.index, years))
    return pd.Series(out, dtype=object, name="stats")


def trade_stats(trades: pd.DataFrame, index: pd.DatetimeIndex, years: float) -> dict:
    closed = trades[trades["exit_date"].notna()]
    pnl = (closed["weight"].abs() * closed["return"]).to_numpy()
    gains, losses = pnl[pnl > 0].sum(), -pnl[pnl < 0].sum()
    if losses > 0:
        profit_factor = gains / losses
    else:
        profit_factor = np.inf if gains > 0 else np.nan
    return {
        "trades": len(trades),
        "win_rate": float((closed["return"] > 0).mean()) if len(closed) else np.nan,
        "profit_factor": float(profit_factor),
        "avg_bars_held": float(trades["bars_held"].mean()) if len(trades) else np.nan,
        "exposure": _exposure(trades, index),
        "turnover": _traded_weight(trades) / 2.0 / years if years > 0 else np.nan,
    }


def _years(index) -> float:
    if len(index) < 2:
        return 0.0
    return (index[-1] - index[0]) / pd.Timedelta(days=1) / _DAYS_PER_YEAR


def _std(returns: np.ndarray) -> float:
    return float(np.std(returns, ddof=1)) if len(returns) > 1 else np.nan


def _downside(returns: np.ndarray) -> float:
    return float(np.sqrt(np.mean(np.minimum(returns, 0.0) ** 2))) if len(returns) else np.nan


def _ratio(numerator: float, denominator: float) -> float:
    if not denominator > 0:
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
    starts = index.searchsorted(pd.DatetimeIndex(trades["entry_date"]))
    exits = pd.DatetimeIndex(trades["exit_date"])
    stops = np.where(exits.isna(), len(index), index.searchsorted(exits))
    change = np.zeros(len(index) + 1, dtype=np.int64)
    np.add.at(change, starts, 1)
    np.add.at(change, stops, -1)
    return float((np.cumsum(change[:-1]) > 0).mean())


def _traded_weight(trades: pd.DataFrame) -> float:
    """Sum of absolute weight changes: a trade that starts on the bar its stock's
    previous trade ended is a resize, any other entry and every exit trade in full."""
    if not len(trades):
        return 0.0
    ordered = trades.sort_values("entry_date", kind="stable")
    weight = ordered["weight"].to_numpy(dtype=np.float64)
    exit_date = ordered["exit_date"]
    # A trade still open at the end leaves nothing to sell afterwards.
    held_after = pd.Series(np.where(exit_date.isna(), 0.0, weight), index=ordered.index)
    by_stock = ordered.groupby("stock", sort=False)
    previous_exit = by_stock["exit_date"].shift(1)
    previous_weight = held_after.groupby(ordered["stock"], sort=False).shift(1).fillna(0.0).to_numpy()
    resized = (previous_exit.notna() & (ordered["entry_date"] == previous_exit)).to_numpy()
    changes = np.where(resized, np.abs(weight - previous_weight),
                       np.abs(weight) + np.abs(previous_weight))
    last_held = held_after.groupby(ordered["stock"], sort=False).last().to_numpy()
    return float(changes.sum() + np.abs(last_held).sum())
