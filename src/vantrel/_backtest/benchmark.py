"""The benchmark of a backtest: a price Series, a stock of the market, or the equal-weight universe."""

from __future__ import annotations

import numpy as np
import pandas as pd

from ..market import Market
from .execution import split_adjusted

EQUAL_WEIGHT = "equal_weight"
_FORMS = 'a price Series, a stock label of the market, or "equal_weight"'


def benchmark_prices(benchmark, market: Market) -> pd.Series | None:
    """The benchmark as prices (any scale), to be read as of the backtest's bars."""
    if benchmark is None:
        return None
    if isinstance(benchmark, pd.Series):
        return benchmark
    if isinstance(benchmark, str) and benchmark == EQUAL_WEIGHT:
        return market.cached("equal_weight", lambda: equal_weight_index(market))
    if isinstance(benchmark, (pd.DataFrame, np.ndarray, list, dict)):
        raise TypeError(f"benchmark must be {_FORMS}; got a {type(benchmark).__name__}")
    try:
        column = market.columns.get_loc(benchmark)
    except (KeyError, TypeError, pd.errors.InvalidIndexError):
        raise ValueError(f"benchmark must be {_FORMS}; {benchmark!r} is not a stock of the market") from None
    return pd.Series(split_adjusted(market, "close")[:, column], index=market.index, name=benchmark)


def equal_weight_index(market: Market) -> pd.Series:
    """The equal-weight universe: each bar's mean return over the stocks priced on
    both that bar and the one before, compounded from 1.0 on the first bar (a split
    is no return: closes are split-adjusted where the market has splits)."""
    close = split_adjusted(market, "close")
    with np.errstate(invalid="ignore", divide="ignore"):
        change = close[1:] / close[:-1] - 1.0
    priced = ~np.isnan(change)
    count = priced.sum(axis=1)
    total = np.where(priced, change, 0.0).sum(axis=1)
    mean = np.divide(total, count, out=np.zeros(len(total)), where=count > 0)
    curve = np.concatenate([[1.0], np.cumprod(1.0 + mean)])
    return pd.Series(curve, index=market.index, name=EQUAL_WEIGHT)


def describe_benchmark(benchmark):
    """How the settings show the benchmark: a Series by its name, anything else as given."""
    if isinstance(benchmark, pd.Series):
        return f"Series {benchmark.name!r}" if benchmark.name is not None else "Series"
    return benchmark
