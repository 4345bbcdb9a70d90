"""The demo strategy: a monthly top-N momentum portfolio with a stop-loss."""

from __future__ import annotations

from typing import Any

import pandas as pd

__all__ = ["DEMO_OPTIONS", "momentum_weights"]

# Options of the demo backtest: month-end rebalancing, a 10% stop-loss, and
# excursions sampled weekly over each trade's first month.
DEMO_OPTIONS: dict[str, Any] = dict(rebalance="ME", stop_loss=0.10, excursion_window=21, excursion_window_step=5)


def momentum_weights(close: pd.DataFrame, *, lookback: int = 126, skip: int = 21, top: int = 20) -> pd.DataFrame:
    """Equal weights in the ``top`` stocks with the best past return, one row per month end.

    The score is the return from ``lookback`` bars ago to ``skip`` bars ago
    (the latest month is left out, where short-term reversal dominates).
    Stocks without a price on the scoring day or either end of the window
    are not eligible.
    """
    score = close.shift(skip) / close.shift(lookback) - 1.0
    score = score.where(close.notna())
    month_end = score.groupby(score.index.to_period("M")).tail(1)
    month_end = month_end[month_end.notna().sum(axis=1) >= top]
    chosen = month_end.rank(axis=1, ascending=False, method="first") <= top
    return chosen.astype(float) / top
