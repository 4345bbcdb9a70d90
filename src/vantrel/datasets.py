"""Market data: a deterministic synthetic market, and loaders for the user's own files."""

from __future__ import annotations

import warnings
from pathlib import Path

import numpy as np
import pandas as pd

from .market import Market

__all__ = ["synthetic_market", "read_wide", "load_market"]

SECTORS = (
    "Energy", "Materials", "Industrials", "Consumer Discretionary", "Consumer Staples",
    "Health Care", "Financials", "Information Technology", "Communication", "Utilities", "Real Estate",
)


def synthetic_market(n_stocks: int = 300, n_days: int = 1500, *, n_sectors: int = 10,
                     start: str = "2016-01-04", seed: int = 7) -> Market:
    """A reproducible market of ``n_stocks`` stocks over ``n_days`` business days.

    Daily log returns combine a market factor with volatility clustering, a
    sector factor and a stock-specific part, all Student-t distributed (fat
    tails), plus a slowly drifting per-stock trend so that momentum exists
    to be found. Open, high, low and close are consistent (low <= open, close
    <= high). Some stocks list late, some delist (with delisting dates set),
    some are suspended for a few days (NaN prices, resuming with a gap).
    The same arguments always give the same market.
    """
    if n_stocks < 1 or n_days < 2:
        raise ValueError("a synthetic market needs at least 1 stock and 2 days")
    if not 1 <= n_sectors <= len(SECTORS):
        raise ValueError(f"n_sectors must be between 1 and {len(SECTORS)}")
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range(start, periods=n_days, name="date")
    labels = pd.Index([f"S{i:03d}" for i in range(n_stocks)], name="stock")
    sector_of = rng.integers(0, n_sectors, n_stocks)

    log_returns = _factor_returns(rng, n_days, n_stocks, n_sectors, sector_of)
    close = rng.uniform(10.0, 200.0, n_stocks) * np.exp(np.cumsum(log_returns, axis=0))
    overnight = 0.3 * log_returns + rng.normal(0.0, 0.002, log_returns.shape)
    previous_close = np.vstack([close[:1] / np.exp(log_returns[:1]), close[:-1]])
    open_ = previous_close * np.exp(overnight)
    spread = np.abs(rng.normal(0.0, 0.008, (2,) + log_returns.shape))
    high = np.maximum(open_, close) * np.exp(spread[0])
    low = np.minimum(open_, close) * np.exp(-spread[1])

    missing = _missing_bars(rng, n_days, n_stocks)
    frames = {}
    for name, values in (("close", close), ("open", open_), ("high", high), ("low", low)):
        values = np.round(values, 4)
        values[missing] = np.nan
        frames[name] = pd.DataFrame(values, index=dates, columns=labels)
    return Market(
        frames["close"], open=frames["open"], high=frames["high"], low=frames["low"],
        delisting="infer",
        sectors=pd.Series([SECTORS[s] for s in sector_of], index=labels, name="sector"),
    )


def _factor_returns(rng, n_days, n_stocks, n_sectors, sector_of) -> np.ndarray:
    def fat(df, shape, scale):
        # Student-t scaled to the given standard deviation.
        return rng.standard_t(df, shape) * scale / np.sqrt(df / (df - 2.0))

    shocks = fat(5, n_days, 1.0)
    market = np.empty(n_days)
    variance = 1e-4
    for t in range(n_days):  # GARCH(1,1): calm and turbulent spells
        market[t] = 0.0003 + np.sqrt(variance) * shocks[t]
        variance = 2e-6 + 0.08 * (market[t] - 0.0003) ** 2 + 0.9 * variance
    sector = fat(4, (n_days, n_sectors), 0.007)
    beta = rng.uniform(0.6, 1.4, n_stocks)
    loading = rng.uniform(0.5, 1.2, n_stocks)
    idio_vol = rng.uniform(0.01, 0.03, n_stocks)
    # The +vol^2/2 keeps the expected simple return of a volatile stock from sinking.
    idio = fat(4, (n_days, n_stocks), 1.0) * idio_vol + 0.5 * idio_vol**2
    trend = np.empty((n_days, n_stocks))
    trend[0] = rng.normal(0.0, 0.0008, n_stocks)
    steps = rng.normal(0.0, 0.00006, (n_days, n_stocks))
    for t in range(1, n_days):  # persistent drift: winners tend to keep winning for a while
        trend[t] = 0.995 * trend[t - 1] + steps[t]
    returns = market[:, None] * beta + sector[:, sector_of] * loading + idio + trend
    return np.clip(returns, -0.5, 0.5)


def _missing_bars(rng, n_days, n_stocks) -> np.ndarray:
    """Bars without prices: before a late listing, after a delisting, during suspensions.

    Suspensions end before the last bar, so trailing gaps are delistings only.
    """
    missing = np.zeros((n_days, n_stocks), dtype=bool)
    if n_days < 50:
        return missing
    for stock in range(n_stocks):
        listed = 0
        if rng.random() < 0.15:
            listed = int(rng.integers(1, int(n_days * 0.6)))
            missing[:listed, stock] = True
        if rng.random() < 0.08:
            missing[int(rng.integers(max(listed + 20, int(n_days * 0.3)), n_days - 1)):, stock] = True
        if rng.random() < 0.10:
            for _ in range(rng.integers(1, 4)):
                begin = int(rng.integers(0, n_days - 2))
                missing[begin : min(begin + int(rng.integers(1, 21)), n_days - 1), stock] = True
    return missing


def read_wide(path) -> pd.DataFrame:
    """Read a wide table (dates x stocks) from CSV (optionally compressed) or Parquet.

    CSV: the first column holds the dates. Parquet: a DatetimeIndex, or a
    first column of dates.
    """
    path = Path(path)
    suffixes = [s.lower() for s in path.suffixes]
    if suffixes and suffixes[-1] in (".parquet", ".pq"):
        frame = pd.read_parquet(path)
        if not isinstance(frame.index, pd.DatetimeIndex):
            frame = frame.set_index(frame.columns[0])
    elif ".csv" in suffixes:
        frame = pd.read_csv(path, index_col=0)
    else:
        raise ValueError(f"{path.name}: expected a .csv, .csv.gz or .parquet file")
    try:
        # A column that is not dates would warn about its format before failing.
        with warnings.catch_warnings(action="ignore", category=UserWarning):
            frame.index = pd.DatetimeIndex(pd.to_datetime(frame.index), name=frame.index.name)
    except (TypeError, ValueError) as error:
        raise ValueError(f"{path.name}: the first column does not hold dates ({error})") from None
    frame.columns = frame.columns.astype(str)
    return frame


def load_market(close, *, open=None, high=None, low=None, delisting=None) -> Market:
    """A Market from wide files of prices (paths); see :func:`read_wide`."""
    frames = {name: None if p is None else read_wide(p) for name, p in
              (("open", open), ("high", high), ("low", low))}
    return Market(read_wide(close), delisting=delisting, **frames)
