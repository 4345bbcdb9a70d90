"""What the same work costs without the engine, measured in the same process."""

from __future__ import annotations

import numpy as np

from benchmarks.market import Market
from benchmarks.strategies import Strategy


def read_prices_once(market: Market) -> float:
    """One NumPy pass over the trading-price matrix: the cost of reading it."""
    return float(market.open.sum())


def numpy_equity(market: Market, strategy: Strategy) -> np.ndarray:
    """The vectorised backtest a user would write: no stops, no fees, no drift.

    A signal row is in force from the first bar dated after it and held at
    constant weights; every bar costs a pass over the whole universe.
    """
    price = market.open
    rows = np.searchsorted(strategy.pos_index, market.index, side="left") - 1
    held = np.zeros_like(price)
    live = rows >= 0
    held[live] = strategy.pos_values[rows[live]]
    returns = np.zeros_like(price)
    np.divide(price[1:], price[:-1], out=returns[1:])
    returns[1:] -= 1.0
    return np.cumprod(1.0 + (held[:-1] * returns[1:]).sum(axis=1))
