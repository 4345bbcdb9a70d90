"""The engine's timing model as an order schedule, for order-based peers.

A signal row becomes current at the end of the last bar dated before the next
bar; it is traded on the following bar, provided the rebalancing calendar
marks the bar on which it became current and it differs from the row traded
last. The calendar marks, for each of its timestamps, the last bar dated at or
before it.
"""

from __future__ import annotations

import numpy as np

from benchmarks.market import Market
from benchmarks.strategies import Strategy


def calendar_mask(price_index: np.ndarray, resample: np.ndarray) -> np.ndarray:
    marked = np.zeros(price_index.size, dtype=bool)
    bars = np.searchsorted(price_index, resample, side="right") - 1
    marked[np.maximum(bars, 0)] = True
    return marked


def rebalance_rows(market: Market, strategy: Strategy) -> dict[int, int]:
    """Bar of each rebalance -> signal row traded there."""
    index = market.index
    marked = calendar_mask(index, strategy.resample)
    # Row current at the end of bar b: the latest row dated before bar b + 1.
    next_dates = np.append(index[1:], np.iinfo(np.int64).max)
    current = np.searchsorted(strategy.pos_index, next_dates, side="left") - 1
    started = index >= strategy.pos_index[0]
    traded: dict[int, int] = {}
    applied = -1
    for bar in range(index.size - 1):
        row = int(current[bar])
        if started[bar] and row != applied and marked[bar]:
            traded[bar + 1] = row
            applied = row
    return traded


def target_percent_orders(market: Market, strategy: Strategy) -> np.ndarray:
    """Bars x stocks target weights on rebalance bars, NaN elsewhere."""
    orders = np.full((market.n_bars, market.n_stocks), np.nan)
    for bar, row in rebalance_rows(market, strategy).items():
        orders[bar] = strategy.pos_values[row]
    return orders
