"""The tables behind the tear sheet: calendar returns, drawdown episodes, rolling risk,
exposure from the trade records, and trades grouped by exit reason.

Every function takes plain pandas objects (an equity curve, a trade table) so that the
charts, the report and the notebook display all read the same numbers.
"""

from __future__ import annotations

import calendar

import numpy as np
import pandas as pd

__all__ = [
    "bars_per_year",
    "drawdown_episodes",
    "exit_reasons",
    "exposure",
    "monthly_table",
    "period_returns",
    "rolling_risk",
    "sector_weights",
]

_DAYS_PER_YEAR = 365.25
MONTHS = [calendar.month_abbr[m] for m in range(1, 13)]


def bars_per_year(index: pd.DatetimeIndex) -> float:
    """Observed bars per calendar year of ``index`` (NaN for fewer than two bars)."""
    if len(index) < 2:
        return np.nan
    years = (index[-1] - index[0]) / pd.Timedelta(days=1) / _DAYS_PER_YEAR
    return (len(index) - 1) / years if years > 0 else np.nan


def period_returns(equity: pd.Series, period: str) -> pd.Series:
    """Compounded return of each calendar month (``"M"``) or year (``"Y"``).

    A period's return runs from the last value of the period before it (the
    first value of the curve for the first period) to its own last value, so
    the periods compound exactly to the total return. Indexed by ``(year,
    month)`` for months and by year for years.
    """
    if period not in ("M", "Y"):
        raise ValueError(f'period must be "M" or "Y", got {period!r}')
    if not len(equity):
        return pd.Series(dtype=np.float64)
    # Grouping by the index's fields (not to_period) keeps timezone-aware curves quiet.
    keys = [equity.index.year, equity.index.month] if period == "M" else [equity.index.year]
    ends = equity.groupby(keys).last()
    starts = ends.shift(1)
    starts.iloc[0] = equity.iloc[0]
    out = ends / starts - 1.0
    out.index.names = ["year", "month"] if period == "M" else ["year"]
    return out.rename("return")


def monthly_table(equity: pd.Series) -> pd.DataFrame:
    """Years x months of monthly returns, with the year's compounded return last."""
    monthly = period_returns(equity, "M")
    if not len(monthly):
        return pd.DataFrame(columns=[*MONTHS, "Year"], dtype=np.float64)
    table = monthly.unstack("month").reindex(columns=range(1, 13))
    table.columns = MONTHS
    table["Year"] = period_returns(equity, "Y")
    table.index.name = None
    return table


def drawdown_episodes(equity: pd.Series, top: int = 5) -> pd.DataFrame:
    """The ``top`` deepest falls below a running peak, deepest first.

    Columns: ``peak`` (the last bar at the high before the fall), ``trough``,
    ``recovery`` (the first bar back at or above the peak; NaT while still
    under water), ``depth`` (the trough's fall from the peak, negative),
    ``bars`` and ``days`` (from the peak to the recovery, or to the last bar
    when not recovered).
    """
    columns = ["peak", "trough", "recovery", "depth", "bars", "days"]
    values = equity.to_numpy(dtype=np.float64)
    if len(values) < 2:
        return pd.DataFrame(columns=columns)
    dd = values / np.maximum.accumulate(values) - 1.0
    under = np.concatenate([[0], (dd < 0).astype(np.int8), [0]])
    edges = np.diff(under)
    starts, ends = np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)  # ends: first bar back up
    last = len(values) - 1
    rows = []
    for start, end in zip(starts, ends, strict=True):
        peak = start - 1  # the curve starts at its own high, so a fall never starts on bar 0
        trough = start + int(np.argmin(dd[start:end]))
        stop = end if end <= last else last
        rows.append(
            {
                "peak": equity.index[peak],
                "trough": equity.index[trough],
                "recovery": equity.index[end] if end <= last else pd.NaT,
                "depth": float(dd[trough]),
                "bars": int(stop - peak),
                "days": int((equity.index[stop] - equity.index[peak]) / pd.Timedelta(days=1)),
            }
        )
    table = pd.DataFrame(rows, columns=columns)
    table["recovery"] = pd.to_datetime(table["recovery"]) if len(table) else table["recovery"]
    return table.sort_values("depth", kind="stable").head(top).reset_index(drop=True)


def rolling_risk(equity: pd.Series, months=(6, 12), risk_free: float | None = None) -> pd.DataFrame:
    """Annualised volatility and Sharpe ratio over trailing windows of ``months``.

    A window of ``m`` months spans ``round(m / 12 * bars per year)`` bars of
    the curve; values start once a full window is available. The Sharpe ratio
    is of the returns in excess of ``risk_free`` (an annual rate, compounded
    per bar), the volatility of the returns themselves. Columns
    ``volatility_<m>m`` and ``sharpe_<m>m``.
    """
    returns = equity.pct_change().iloc[1:]
    per_year = bars_per_year(equity.index)
    out = pd.DataFrame(index=returns.index)
    excess = returns
    if risk_free is not None and np.isfinite(risk_free) and np.isfinite(per_year):
        excess = returns - ((1.0 + risk_free) ** (1.0 / per_year) - 1.0)
    for m in months:
        window = max(2, round(m / 12 * per_year)) if np.isfinite(per_year) else len(returns) + 1
        std = returns.rolling(window).std()
        out[f"volatility_{m}m"] = std * np.sqrt(per_year)
        excess_std = excess.rolling(window).std()
        out[f"sharpe_{m}m"] = (excess.rolling(window).mean() / excess_std.where(excess_std > 0)) * np.sqrt(per_year)
    return out


def _held_intervals(trades: pd.DataFrame, index: pd.DatetimeIndex) -> tuple[np.ndarray, np.ndarray]:
    """First bar and the bar after the last on which each record is held, as positions in ``index``.

    A record is held at the close of its entry bar up to, not including, its
    exit bar (it is sold there); an open record to the end.
    """
    starts = index.searchsorted(pd.DatetimeIndex(trades["entry_date"]))
    exits = pd.DatetimeIndex(trades["exit_date"])
    stops = np.where(exits.isna(), len(index), index.searchsorted(exits))
    return starts, np.maximum(stops, starts)


def _held_sum(starts, stops, amounts, n: int) -> np.ndarray:
    change = np.zeros(n + 1, dtype=np.float64)
    np.add.at(change, starts, amounts)
    np.add.at(change, stops, -np.asarray(amounts, dtype=np.float64))
    return np.cumsum(change[:-1])


def exposure(trades: pd.DataFrame, index: pd.DatetimeIndex) -> pd.DataFrame:
    """Per bar: the ``long`` and ``short`` weight held (both 0 or positive), ``net``
    (long - short), ``gross`` (long + short) and ``holdings`` (records held).

    Weights are the records' entry weights (the target weights the book was
    sized to), so drift between rebalances is not shown.
    """
    n = len(index)
    if not len(trades):
        zeros = np.zeros(n)
        return pd.DataFrame(
            {"long": zeros, "short": zeros, "net": zeros, "gross": zeros, "holdings": np.zeros(n, dtype=np.int64)},
            index=index,
        )
    starts, stops = _held_intervals(trades, index)
    weight = trades["weight"].to_numpy(dtype=np.float64)
    long = _held_sum(starts, stops, np.clip(weight, 0.0, None), n)
    short = _held_sum(starts, stops, np.clip(-weight, 0.0, None), n)
    held = np.rint(_held_sum(starts, stops, np.ones(len(weight)), n)).astype(np.int64)
    # Sums of added and removed weights leave rounding dust where nothing is held.
    long[held == 0] = 0.0
    short[held == 0] = 0.0
    return pd.DataFrame(
        {"long": long, "short": short, "net": long - short, "gross": long + short, "holdings": held}, index=index
    )


def sector_weights(trades: pd.DataFrame, index: pd.DatetimeIndex, sectors: pd.Series) -> pd.DataFrame:
    """Per bar and sector, the absolute weight held (entry weights, as in :func:`exposure`).

    Stocks the mapping does not name are grouped under ``"(no sector)"``.
    Columns are the sectors in order of their average weight, largest first.
    """
    if not len(trades):
        return pd.DataFrame(index=index, dtype=np.float64)
    starts, stops = _held_intervals(trades, index)
    weight = np.abs(trades["weight"].to_numpy(dtype=np.float64))
    group = trades["stock"].map(sectors).astype(object).where(lambda s: s.notna(), "(no sector)")
    group = group.astype(str).to_numpy()
    frame = {}
    for name in pd.unique(group):
        mask = group == name
        values = _held_sum(starts[mask], stops[mask], weight[mask], len(index))
        frame[name] = np.where(np.abs(values) < 1e-12, 0.0, values)
    table = pd.DataFrame(frame, index=index)
    return table[table.mean().sort_values(ascending=False, kind="stable").index]


def exit_reasons(trades: pd.DataFrame) -> pd.DataFrame | None:
    """Trades grouped by ``exit_reason``: count, win rate, mean return, mean bars held
    (and total profit when the trades carry ``profit``); None without the column.

    Reasons come in the order of the column's categories; those with no trade
    are left out. A win is a trade with a positive ``return``.
    """
    if "exit_reason" not in trades.columns:
        return None
    reason = trades["exit_reason"]
    if not isinstance(reason.dtype, pd.CategoricalDtype):
        reason = reason.astype("category")
    groups = trades.groupby(reason, observed=True, sort=True)
    returns = groups["return"]
    table = pd.DataFrame(
        {
            "trades": groups.size(),
            "win_rate": returns.apply(lambda r: float((r > 0).mean())),
            "mean_return": returns.mean(),
        }
    )
    if "bars_held" in trades.columns:
        table["mean_bars_held"] = groups["bars_held"].mean()
    if "profit" in trades.columns:
        table["profit"] = groups["profit"].sum()
    table.index = table.index.astype(str)
    table.index.name = "exit_reason"
    return table
