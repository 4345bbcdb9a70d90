"""Statistics of many equity curves at once, from the engine's arrays: equal to the bit to
what :func:`vantrel.stats.performance_stats` and :func:`~vantrel.stats.performance_dates`
give for each curve and its trade log, without building a frame.

Curves that start on the same bar (the variants of one weight table) are the rows of
one 2-D array, and every per-bar figure (returns, excess returns, running peaks,
drawdowns) is one NumPy pass over all of them. A row of a
C-contiguous array is reduced exactly as the same values in a 1-D array are (NumPy
sums each row pairwise, as it sums a vector), so means, deviations and extremes are
the one-variant figures to the bit; the scalar formulas that follow are the one-variant
code's own. The trade logs are concatenated and counted with ``bincount`` keyed by
variant, which adds each group's values in their order, as the one-variant count does;
the few float sums over a variable subset of trades are taken per variant on
contiguous slices, as the one-variant code takes them.

Curves this does not cover (with a benchmark, too short to annualise, which warns,
or at or below 0, which raises) are left to :func:`vantrel.stats.performance_stats`.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

from ._series import risk_free_per_bar
from .stats import _NAT, MIN_YEARS, RELATIVE_KEYS, _ratio, _years

__all__ = ["CurveSpan", "covered", "curve_span", "curve_statistics"]


class CurveSpan:
    """The bars of the curves that start on one bar of a market, and their span in years:
    what the statistics take from the bars alone, made once per market and first bar."""

    __slots__ = ("_rates", "bars", "first", "years")

    def __init__(self, index: pd.DatetimeIndex, first: int) -> None:
        self.first = first
        self.bars = index[first:]
        self.years = _years(self.bars)
        self._rates: dict = {}

    def risk_free_per_bar(self, risk_free) -> tuple[float, np.ndarray]:
        """``risk_free_per_bar(risk_free, bars)``; kept for a plain rate (a Series may change)."""
        if type(risk_free) not in (float, int, np.float64):
            return risk_free_per_bar(risk_free, self.bars)
        key = float(risk_free).hex()  # -0.0 is shown as given, so it is not 0.0 here
        found = self._rates.get(key)
        if found is None:
            shown, per_bar = risk_free_per_bar(risk_free, self.bars)
            per_bar.flags.writeable = False  # shared by every curve on these bars
            found = self._rates.setdefault(key, (shown, per_bar))
        return found

    def __getstate__(self):
        return {"bars": self.bars, "first": self.first, "years": self.years}

    def __setstate__(self, state) -> None:
        self.bars, self.first, self.years, self._rates = state["bars"], state["first"], state["years"], {}


def curve_span(market, first: int) -> CurveSpan:
    """The market's :class:`CurveSpan` from bar ``first`` (the market is read-only)."""
    return market.cached(("curve span", first), lambda: CurveSpan(market.index, first))


def covered(values: np.ndarray) -> bool:
    """Whether :func:`curve_statistics` computes this curve (without a benchmark)."""
    return len(values) >= 3 and bool((values > 0).all())


def curve_statistics(
    index: pd.DatetimeIndex,
    first: int,
    curves: list[np.ndarray],
    logs: list[np.ndarray],
    risk_free,
    costs: list[tuple[float, float]],
    extra: list[dict] | None = None,
    timestamps: list | None = None,
    *,
    span: CurveSpan | None = None,
    dates_as_bars: bool = False,
) -> list[tuple[dict, dict]] | None:
    """Per curve, its statistics (``performance_stats`` with the trade log's round trips,
    then ``fee_ratio`` and ``tax_ratio``) and its dates, as plain dicts.

    ``index`` is the market's bars, ``first`` the bar every curve starts on, ``curves``
    the engine's value series (all bars), ``logs`` the engine's trade logs, ``costs``
    each curve's (fee, tax), ``extra`` the figures that follow them (the costs paid).
    ``timestamps``, the bars as Timestamps, saves making them; ``span``, the bars from
    ``first`` and their years, saves deriving them. With ``dates_as_bars`` the dates are
    bar numbers of ``index`` (-1 for none), for a caller that makes them Timestamps when asked.
    None when the span is too short to annualise: the one-curve path warns about that.
    """
    if span is None or span.first != first:
        span = CurveSpan(index, first)
    years = span.years
    if not (years >= MIN_YEARS and years > 0):
        return None
    count = len(curves)
    if count == 1 and curves[0].flags.c_contiguous:
        values = curves[0][first:][None, :]  # one row, C order, no copy
    else:
        values = np.stack([curve[first:] for curve in curves])  # curves x bars, C order
    periods_per_year = (values.shape[1] - 1) / years
    shown_rate, rf = span.risk_free_per_bar(risk_free)
    returns = values[:, 1:] / values[:, :-1] - 1.0
    # np.std(ddof=1) and np.mean per row, as the one-curve helpers call them.
    std_returns = np.std(returns, axis=1, ddof=1)
    if shown_rate == 0.0 and not isinstance(risk_free, pd.Series):
        # The per-bar rate is +0.0 throughout, and x - 0.0 is x to the bit (-0.0 and NaN too).
        excess, std_excess = returns, std_returns
    else:
        excess = returns - rf
        std_excess = np.std(excess, axis=1, ddof=1)
    mean_excess = np.mean(excess, axis=1)
    downside = np.sqrt(np.mean(np.minimum(excess, 0.0) ** 2, axis=1))
    peaks = np.maximum.accumulate(values, axis=1)
    drawdowns = values / peaks - 1.0
    max_dd = drawdowns.min(axis=1)
    trough_at = np.argmin(drawdowns, axis=1)
    # The last bar at the peak before the trough, and the first back at it from the trough on.
    rows_at = np.arange(count)
    bar = np.arange(values.shape[1])
    at_peak = values == peaks[rows_at, trough_at][:, None]
    peak_at = values.shape[1] - 1 - np.argmax((at_peak & (bar <= trough_at[:, None]))[:, ::-1], axis=1)
    back = (values >= values[rows_at, peak_at][:, None]) & (bar >= trough_at[:, None])
    recovered, recovery_at = back.any(axis=1), np.argmax(back, axis=1)
    trade_rows = _trade_stats(logs, len(index), first, years, count)

    scale = periods_per_year
    root = np.sqrt(scale)
    bars_at = timestamps if timestamps is not None else index  # a Timestamp per bar either way
    no_date = -1 if dates_as_bars else pd.NaT

    def stamp(at):
        return first + int(at) if dates_as_bars else bars_at[first + int(at)]

    out = []
    for v in range(count):
        cagr = (values[v, -1] / values[v, 0]) ** (1.0 / years) - 1.0
        worst = float(max_dd[v])
        stats = {
            "total_return": float(values[v, -1] / values[v, 0] - 1.0),
            "cagr": float(cagr),
            "annual_volatility": float(std_returns[v]) * root,
            "sharpe": _ratio(float(mean_excess[v]), float(std_excess[v])) * root,
            "sortino": _ratio(float(mean_excess[v]), float(downside[v])) * root,
            "max_drawdown": worst,
            "calmar": _ratio(cagr, -worst) if worst < 0 else np.nan,
            **dict.fromkeys(RELATIVE_KEYS, np.nan),
            "risk_free": shown_rate,
            **trade_rows[v],
            "fee_ratio": costs[v][0],
            "tax_ratio": costs[v][1],
            **(extra[v] if extra is not None else {}),
        }
        if worst < 0:
            peak, trough = stamp(peak_at[v]), stamp(trough_at[v])
            recovery = stamp(recovery_at[v]) if recovered[v] else no_date
        else:
            peak = trough = recovery = no_date
        dates = {
            "start": stamp(0),
            "end": stamp(values.shape[1] - 1),
            "max_drawdown_peak": peak,
            "max_drawdown_trough": trough,
            "max_drawdown_recovery": recovery,
        }
        out.append((stats, dates))
    return out


# The trade log's fields the statistics read, as the one-variant code converts them.
_FIELDS = {
    "stock": np.int64,
    "entry_bar": np.int64,
    "exit_bar": np.int64,
    "weight": np.float64,
    "profit": np.float64,
    "round_trip": np.int64,
}


def _trade_stats(logs: list, n_market: int, first: int, years: float, count: int) -> list[dict]:
    """``stats.trade_stats`` (round trips) of every variant, from their trade logs at once."""
    sizes = np.array([len(log) for log in logs])
    offsets = np.concatenate([[0], np.cumsum(sizes)])

    def column(name: str, dtype) -> np.ndarray:  # one field of every log, end to end
        if len(logs) == 1:
            return logs[0][name].astype(dtype)
        return np.concatenate([log[name] for log in logs]).astype(dtype, copy=False)

    log = {name: column(name, dtype) for name, dtype in _FIELDS.items()}
    variant = np.repeat(np.arange(count), sizes)
    entry_bar, exit_bar = log["entry_bar"], log["exit_bar"]
    closed_record = exit_bar >= 0
    bars_held = np.where(closed_record, exit_bar - entry_bar, n_market - entry_bar).astype(np.float64)
    profit = log["profit"]
    ids = log["round_trip"]

    # Round trips: the one-variant code numbers a variant's trips by the rank of their id;
    # ranked by (variant, id) here, which numbers each variant's trips alike, one after another.
    if len(ids):
        low = int(ids.min())
        span = int(ids.max()) - low + 1
        key = variant * span + (ids - low)
        if span * count <= 4 * len(ids) + 64:  # dense ids (the engine's): rank them by counting, no sort
            present = np.bincount(key, minlength=count * span) > 0
            trip = (np.cumsum(present) - 1)[key]
            trips_per = np.count_nonzero(present.reshape(count, span), axis=1)
        else:
            keys, trip = np.unique(key, return_inverse=True)
            trips_per = np.bincount(keys // span, minlength=count)
    else:
        trip, trips_per = np.zeros(0, dtype=np.int64), np.zeros(count, dtype=np.int64)
    trip_offsets = np.concatenate([[0], np.cumsum(trips_per)])
    n_trips = int(trip_offsets[-1])
    trip_profit = np.bincount(trip, weights=profit, minlength=n_trips)
    trip_open = np.bincount(trip, weights=(~closed_record).astype(np.float64), minlength=n_trips)
    trip_bars = np.bincount(trip, weights=bars_held, minlength=n_trips)
    trip_closed = trip_open == 0

    # Exposure: bars of the curve on which some record is open (entry bar up to the exit bar).
    curve_bars = n_market - first
    starts = np.minimum(np.maximum(entry_bar - first, 0), curve_bars)  # np.clip, without its dispatch
    stops = np.where(closed_record, np.minimum(np.maximum(exit_bar - first, 0), curve_bars), curve_bars)
    width = curve_bars + 1
    change = np.bincount(variant * width + starts, minlength=count * width) - np.bincount(
        variant * width + stops, minlength=count * width
    )
    open_bars = np.count_nonzero(np.cumsum(change.reshape(count, width)[:, :-1], axis=1) > 0, axis=1)

    traded = _traded_weights(log, variant, entry_bar, exit_bar, closed_record, offsets, count)
    # Counts and whole-bar totals are exact in any order: one pass for every variant.
    trip_variant = np.repeat(np.arange(count), trips_per)
    closed_trips = np.bincount(trip_variant, weights=trip_closed, minlength=count)
    won_trips = np.bincount(trip_variant, weights=trip_closed & (trip_profit > 0), minlength=count)
    held_bars = np.bincount(trip_variant, weights=trip_bars, minlength=count)
    rows = []
    for v in range(count):
        lo, hi = trip_offsets[v], trip_offsets[v + 1]
        won = trip_profit[lo:hi][trip_closed[lo:hi]]
        gains, losses = won[won > 0].sum(), -won[won < 0].sum()
        profit_factor = gains / losses if losses > 0 else np.inf if gains > 0 else np.nan
        rows.append(
            {
                "trades": float(hi - lo),
                "win_rate": float(won_trips[v] / closed_trips[v]) if closed_trips[v] else np.nan,
                "profit_factor": float(profit_factor),
                "avg_bars_held": float(held_bars[v] / (hi - lo)) if hi > lo else np.nan,
                "exposure": float(open_bars[v] / curve_bars),
                "turnover": traded[v] / 2.0 / years if years > 0 else np.nan,
            }
        )
    return rows


def _traded_weights(log, variant, entry_bar, exit_bar, closed, offsets, count) -> list[float]:
    """``stats._traded_weight`` of every variant: sorted by variant, then stock in the order
    each variant's log first names it, then entry bar, as each variant's own sort does."""
    n = len(entry_bar)
    if not n:
        return [0.0] * count
    # Each (variant, stock) is known by the position of its first record: ordered as
    # factorize numbers them, without hashing (codes are small integers).
    codes = variant * (int(log["stock"].max()) + 1) + log["stock"]
    first_seen = np.full(int(codes.max()) + 1, n, dtype=np.int64)
    np.minimum.at(first_seen, codes, np.arange(n))
    stock = first_seen[codes]
    exit_ = np.where(closed, exit_bar, _NAT)
    # One stable sort of a combined key is lexsort's order (variant, stock, entry bar);
    # first positions already grow with the variant. Made unique by the record's position,
    # the keys sort as plain values in that order (a fifth of a stable argsort's time).
    key = stock * (int(entry_bar.max()) + 1) + entry_bar
    if (int(key.max()) + 1) * n < 2**62:
        order = np.sort(key * n + np.arange(n)) % n
    else:
        order = np.argsort(key, kind="stable")
    stock, entry, exit_ = stock[order], entry_bar[order], exit_[order]
    weight = log["weight"][order]
    closed = exit_ != _NAT
    held_after = np.where(closed, weight, 0.0)
    # Each record against the one above it (same stock codes only within a variant); the
    # first record has none.
    follows = np.empty(n, dtype=bool)
    follows[0] = False
    np.equal(stock[1:], stock[:-1], out=follows[1:])
    previous_weight = np.zeros(n)
    previous_weight[1:] = np.where(follows[1:], held_after[:-1], 0.0)
    resized = np.zeros(n, dtype=bool)
    resized[1:] = follows[1:] & closed[:-1] & (entry[1:] == exit_[:-1])
    changes = np.where(resized, np.abs(weight - previous_weight), np.abs(weight) + np.abs(previous_weight))
    last = np.empty(n, dtype=bool)
    last[-1] = True
    np.not_equal(stock[1:], stock[:-1], out=last[:-1])
    last_held = np.abs(held_after)
    if count == 1:
        return [float(changes.sum() + last_held[last].sum())]
    totals = []
    for v in range(count):
        lo, hi = offsets[v], offsets[v + 1]
        if lo == hi:
            totals.append(0.0)
            continue
        totals.append(float(changes[lo:hi].sum() + last_held[lo:hi][last[lo:hi]].sum()))
    return totals
