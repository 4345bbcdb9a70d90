"""Real market data for differential runs: loaders and the strategies run on them."""

from __future__ import annotations

import csv
import gzip
from pathlib import Path

import numpy as np

DATA = Path(__file__).resolve().parents[2] / ".." / "shared" / "data"
OHLC_TICKERS = ("AAPL", "GOOG", "IBM", "MSFT", "FB")


def _timestamps(dates) -> np.ndarray:
    return np.array(dates, dtype="datetime64[ns]").astype(np.int64)


def load_closes(since: str = "2005-01-01"):
    """Dates, tickers and the adjusted close table of the 20-stock file."""
    with gzip.open(DATA / "sp500_close_20stocks.csv.gz", "rt", newline="") as f:
        reader = csv.reader(f)
        tickers = next(reader)[1:]
        rows = [r for r in reader if r[0] >= since]
    closes = np.array([[float(x) if x else np.nan for x in r[1:]] for r in rows])
    return [r[0] for r in rows], tickers, closes


def load_ohlc():
    """Dates (union over the tickers) and open, high, low, close tables, NaN where a
    ticker has no row."""
    per_ticker = {}
    for ticker in OHLC_TICKERS:
        with open(DATA / f"ohlc_{ticker}.csv", newline="") as f:
            per_ticker[ticker] = {r["Date"]: r for r in csv.DictReader(f)}
    dates = sorted(set().union(*per_ticker.values()))
    tables = {}
    for field in ("Open", "High", "Low", "Close"):
        tables[field] = np.array(
            [[float(per_ticker[t][d][field]) if d in per_ticker[t] else np.nan for t in OHLC_TICKERS] for d in dates]
        )
    return dates, list(OHLC_TICKERS), tables


def month_ends(dates) -> np.ndarray:
    months = [d[:7] for d in dates]
    return np.array([i for i in range(len(dates)) if i + 1 == len(dates) or months[i + 1] != months[i]])


def momentum_top5(dates, tickers, closes, lookback: int = 60):
    """Month-end signals holding the five stocks with the best trailing return."""
    ends = month_ends(dates)
    ends = ends[ends >= lookback]
    momentum = closes[ends] / closes[ends - lookback]
    weights = np.zeros((ends.size, len(tickers)))
    for row, scores in enumerate(momentum):
        weights[row, np.argsort(-np.nan_to_num(scores, nan=-np.inf))[:5]] = 0.2
    bars = _timestamps(dates)
    labels = np.array(tickers, dtype=object)
    return dict(
        price_values=closes,
        close_values=closes,
        high_values=None,
        low_values=None,
        open_values=None,
        price_index=bars,
        price_columns=labels,
        pos_values=weights,
        pos_index=bars[ends],
        pos_columns=labels,
        resample=bars[ends],
    )


def weekly_equal_weight(dates, tickers, tables):
    """Every fifth bar, equal weights over the stocks that have a price."""
    closes = tables["Close"]
    signal_bars = np.arange(0, len(dates), 5)
    have = ~np.isnan(closes[signal_bars])
    weights = have / np.maximum(have.sum(axis=1, keepdims=True), 1)
    bars = _timestamps(dates)
    labels = np.array(tickers, dtype=object)
    return dict(
        price_values=tables["Open"],
        close_values=closes,
        high_values=tables["High"],
        low_values=tables["Low"],
        open_values=tables["Open"],
        price_index=bars,
        price_columns=labels,
        pos_values=weights.astype(np.float64),
        pos_index=bars[signal_bars],
        pos_columns=labels,
        resample=bars,
    )
