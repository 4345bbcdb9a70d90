"""Bootstrap intervals of a backtest's statistics, defined as its ``stats`` define them."""

from __future__ import annotations

import numpy as np
import pandas as pd

from .._robustness import (
    BootstrapInterval,
    Statistic,
    cagr_stat,
    max_drawdown_stat,
    measures,
    sharpe_stat,
    stationary_bootstrap,
)
from .._series import risk_free_per_bar
from ..stats import MIN_YEARS

__all__ = ["BOOTSTRAP_STATS", "bootstrap"]

# The statistics bootstrap takes by name: those of result.stats, with its risk-free rate.
BOOTSTRAP_STATS = ("sharpe", "sortino", "cagr", "max_drawdown", "total_return")
ANNUALISED = ("sharpe", "sortino", "cagr")


def bootstrap(result, stat, *, n: int, seed, block, level: float) -> BootstrapInterval:
    """The stationary-bootstrap interval of one statistic of ``result``'s per-bar returns."""
    equity = result.equity
    if len(equity) < 3:
        raise ValueError(f"bootstrap needs an equity curve of at least 3 bars (2 returns), got {len(equity)}")
    returns = equity.to_numpy(dtype=np.float64)
    returns = returns[1:] / returns[:-1] - 1.0
    return stationary_bootstrap(returns, _statistic(result, stat), n=n, seed=seed, block=block, level=level)


def _statistic(result, stat):
    if callable(stat):
        return stat
    if stat not in BOOTSTRAP_STATS:
        raise ValueError(f"stat must be a callable or one of {', '.join(map(repr, BOOTSTRAP_STATS))}; got {stat!r}")
    index = result.equity.index
    years = (index[-1] - index[0]) / pd.Timedelta(days=1) / 365.25
    if stat in ANNUALISED and not years >= MIN_YEARS:
        # result.stats leaves annualised figures undefined here: an interval of them would be noise.
        raise ValueError(
            f"bootstrap of {stat!r} needs a curve spanning at least {MIN_YEARS:g} years, as the statistics "
            f"annualise only such curves; this one spans {years:.3g} years"
        )
    per_year = (len(index) - 1) / years  # as the statistics count bars per year
    if stat == "cagr":
        return cagr_stat(years)
    if stat == "max_drawdown":
        return max_drawdown_stat()
    if stat == "total_return":
        return Statistic("total_return", measures.total_return)
    _, per_bar = risk_free_per_bar(result.risk_free, index)
    rates = per_bar if per_bar.any() else None
    if stat == "sharpe":
        return sharpe_stat(per_year, risk_free=rates)
    if rates is None:
        return Statistic("sortino", lambda samples: measures.sortino(samples, per_year))
    # Each bar keeps the rate it earned: resampled with its return.
    return Statistic("sortino", lambda samples, rf: measures.sortino(samples - rf, per_year), rates)
