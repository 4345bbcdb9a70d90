"""Position tables and engine options of the benchmark strategies.

Every strategy ranks stocks by trailing close-to-close momentum and holds the
top `held` names at equal weight. Ranks break ties by column order (stable
sort), so tables are identical on every machine.
"""

from __future__ import annotations

from dataclasses import dataclass, field, replace
from typing import Any

import numpy as np

from benchmarks.market import Market, month_end_bars

MONTHLY_LOOKBACK = 20
DAILY_LOOKBACK = 60


@dataclass(frozen=True)
class Strategy:
    name: str
    pos_values: np.ndarray  # signal rows x stocks, target weights
    pos_index: np.ndarray  # int64 ns timestamp of every signal row
    resample: np.ndarray  # rebalancing calendar, int64 ns
    options: dict[str, Any] = field(default_factory=dict)
    held: int = 0  # names in the book

    def with_options(self, name: str, **options: Any) -> Strategy:
        return replace(self, name=name, options={**self.options, **options})


def top_k_weights(market: Market, signal_bars: np.ndarray, lookback: int, k: int) -> np.ndarray:
    """Equal weights 1/k on the k best trailing returns at each signal bar."""
    close = market.close
    momentum = close[signal_bars] / close[signal_bars - lookback]
    order = np.argsort(-momentum, axis=1, kind="stable")[:, :k]
    weights = np.zeros((signal_bars.size, market.n_stocks))
    np.put_along_axis(weights, order, 1.0 / k, axis=1)
    return weights


def monthly_top(market: Market, held: int = 50, name: str = "monthly_top50") -> Strategy:
    """Month-end signals, traded at the next open, with a 10% close-mode stop-loss."""
    ends = month_end_bars(market.dates)
    signal_bars = ends[ends >= MONTHLY_LOOKBACK]
    return Strategy(
        name=name,
        pos_values=top_k_weights(market, signal_bars, MONTHLY_LOOKBACK, held),
        pos_index=market.index[signal_bars],
        resample=market.index[ends],
        options={"stop_loss": 0.1},
        held=held,
    )


def daily_book(market: Market, held: int = 200) -> Strategy:
    """A book re-ranked and rebalanced on every bar."""
    held = min(held, market.n_stocks // 2)
    signal_bars = np.arange(DAILY_LOOKBACK, market.n_bars)
    return Strategy(
        name=f"daily_book{held}",
        pos_values=top_k_weights(market, signal_bars, DAILY_LOOKBACK, held),
        pos_index=market.index[signal_bars],
        resample=market.index,
        held=held,
    )


def dense_book(market: Market) -> Strategy:
    """Every stock at equal weight, rebalanced monthly."""
    ends = month_end_bars(market.dates)
    weights = np.full((ends.size, market.n_stocks), 1.0 / market.n_stocks)
    return Strategy(
        name="dense_all",
        pos_values=weights,
        pos_index=market.index[ends],
        resample=market.index[ends],
        held=market.n_stocks,
    )


def standard_strategies(market: Market) -> list[Strategy]:
    """The five strategies every workload runs."""
    monthly = monthly_top(market)
    return [
        monthly,
        monthly.with_options(
            "monthly_top50_touched",
            touched_exit=True,
            take_profit=0.2,
            trail_stop=0.08,
            trail_stop_activation=0.05,
        ),
        daily_book(market),
        monthly.with_options("monthly_top50_excursion", exvalo_window=60, exvalo_window_step=5),
        dense_book(market),
    ]


def without_stops(strategy: Strategy, name: str, fee_ratio: float) -> Strategy:
    """The same book with no stops and no tax: what an order-based peer can express."""
    options = {"fee_ratio": fee_ratio, "tax_ratio": 0.0}
    return replace(strategy, name=name, options=options)


def held_with_touched_stops(strategy: Strategy, name: str = "held_top50_touched_stops") -> Strategy:
    """The book's first row bought and held, leaving only by a 10% stop-loss or a 20%
    take-profit touched within a bar; no fees or tax. What a signal-based peer with
    stops can express exactly: no rebalancing, no costs whose models differ."""
    return replace(
        strategy,
        name=name,
        pos_values=strategy.pos_values[:1],
        pos_index=strategy.pos_index[:1],
        resample=strategy.pos_index[:1],
        options={"stop_loss": 0.1, "take_profit": 0.2, "touched_exit": True, "fee_ratio": 0.0, "tax_ratio": 0.0},
    )
