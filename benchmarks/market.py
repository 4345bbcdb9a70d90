"""Deterministic synthetic daily market for the benchmarks.

Prices are integer ticks of 1/10000 of a currency unit produced by integer arithmetic from a counter-based
hash, so the same seed gives the same bytes on every machine and NumPy
version: no transcendental functions, no reliance on a random stream that a
library may change. Trading happens at the open; positions are valued at the
close.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

_GOLDEN = np.uint64(0x9E3779B97F4A7C15)
_MASK16 = np.uint64(0xFFFF)
_FIRST_MONDAY = np.datetime64("2000-01-03", "D")


def _mix(x: np.ndarray) -> np.ndarray:
    """splitmix64 finaliser over a uint64 array (wrapping arithmetic)."""
    x = (x ^ (x >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
    x = (x ^ (x >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    return x ^ (x >> np.uint64(31))


def hash_stream(seed: int, tag: int, shape: tuple[int, ...]) -> np.ndarray:
    """uint64 draws for `shape`, independent per (seed, tag)."""
    base = _mix(np.array([seed * 1_000_003 + tag], dtype=np.uint64))[0]
    counters = np.arange(int(np.prod(shape)), dtype=np.uint64) * _GOLDEN + base
    return _mix(counters).reshape(shape)


def _gaussian_bp(draws: np.ndarray, scale_bp: np.ndarray) -> np.ndarray:
    """Integer basis-point moves, roughly normal with std `scale_bp`.

    Sum of four 16-bit uniforms (Irwin-Hall), centred and scaled; only exact
    operations and a round-half-even, so results are portable.
    """
    lanes = sum(((draws >> np.uint64(16 * k)) & _MASK16).astype(np.int64) for k in range(4))
    unit = (lanes - 2 * 65535).astype(np.float64) / (65535.0 * 0.5773502691896258)
    return np.rint(unit * scale_bp).astype(np.int64)


def business_days(n_bars: int) -> np.ndarray:
    """Monday-to-Friday dates from 2000-01-03, as datetime64[D]."""
    k = np.arange(n_bars, dtype=np.int64)
    return _FIRST_MONDAY + (k + 2 * (k // 5)).astype("timedelta64[D]")


def month_end_bars(dates: np.ndarray) -> np.ndarray:
    """Indexes of the last bar of every calendar month (the last bar included)."""
    months = dates.astype("datetime64[M]")
    last = np.flatnonzero(months[1:] != months[:-1])
    return np.append(last, dates.size - 1)


@dataclass(frozen=True)
class Market:
    open: np.ndarray  # the trading price
    high: np.ndarray
    low: np.ndarray
    close: np.ndarray
    index: np.ndarray  # int64 ns timestamps
    columns: np.ndarray  # object array of labels
    dates: np.ndarray  # datetime64[D], for calendar logic

    @property
    def n_bars(self) -> int:
        return self.index.size

    @property
    def n_stocks(self) -> int:
        return self.columns.size


def make_market(n_bars: int, n_stocks: int, seed: int = 1) -> Market:
    """A market of `n_bars` business days by `n_stocks` stocks."""
    stock_draws = hash_stream(seed, 0, (3, n_stocks))
    start_ticks = 100_000 + (stock_draws[0] % np.uint64(1_900_000)).astype(np.int64)
    vol_bp = (80 + stock_draws[1] % np.uint64(220)).astype(np.float64)
    # Slightly positive drift offsets the volatility drag of compounding.
    drift_bp = (stock_draws[2] % np.uint64(7)).astype(np.int64) - 1

    intraday = _gaussian_bp(hash_stream(seed, 1, (n_bars, n_stocks)), vol_bp) + drift_bp
    gaps = _gaussian_bp(hash_stream(seed, 2, (n_bars, n_stocks)), vol_bp / 4)
    wicks = hash_stream(seed, 3, (n_bars, n_stocks))
    up_bp = ((wicks & _MASK16) % np.uint64(150)).astype(np.int64)
    down_bp = (((wicks >> np.uint64(16)) & _MASK16) % np.uint64(150)).astype(np.int64)

    opens = np.empty((n_bars, n_stocks), dtype=np.int64)
    closes = np.empty((n_bars, n_stocks), dtype=np.int64)
    prev_close = start_ticks
    for bar in range(n_bars):
        # Rounded, not floored, so the integer grid adds no downward bias.
        o = np.maximum((prev_close * (10_000 + gaps[bar]) + 5_000) // 10_000, 1)
        c = np.maximum((o * (10_000 + intraday[bar]) + 5_000) // 10_000, 1)
        opens[bar] = o
        closes[bar] = c
        prev_close = c
    highs = (np.maximum(opens, closes) * (10_000 + up_bp) + 5_000) // 10_000
    lows = np.maximum((np.minimum(opens, closes) * (10_000 - down_bp) + 5_000) // 10_000, 1)

    dates = business_days(n_bars)
    return Market(
        open=opens / 10_000.0,
        high=highs / 10_000.0,
        low=lows / 10_000.0,
        close=closes / 10_000.0,
        index=dates.astype("datetime64[ns]").astype(np.int64),
        columns=np.array([f"S{i:04d}" for i in range(n_stocks)], dtype=object),
        dates=dates,
    )
