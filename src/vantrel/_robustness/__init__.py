"""Statistics that say how much to trust a backtest.

A sweep's best variant is the best of many tries, and one backtest is one
path of many the market could have taken. These measures, computed from the
per-bar returns of the trials themselves, put an honest figure next to the
best one: the deflated Sharpe ratio and the probability of backtest
overfitting (:mod:`.overfitting`), bootstrap intervals of a statistic
(:mod:`.bootstrap`) and walk-forward selection (:mod:`.walk_forward_folds`).
docs/trust.md gives the definitions, their sources and their limits.
"""

from .bootstrap import (
    BootstrapInterval,
    Statistic,
    cagr_stat,
    max_drawdown_stat,
    optimal_block_length,
    sharpe_stat,
    stationary_bootstrap,
)
from .overfitting import (
    DeflatedSharpe,
    Overfitting,
    deflated_sharpe,
    expected_max_sharpe,
    probabilistic_sharpe,
    probability_of_overfitting,
    sharpe_per_bar,
)
from .walk_forward_folds import SELECT, WalkForward, walk_forward_folds, walk_forward_select

__all__ = [
    "SELECT",
    "BootstrapInterval",
    "DeflatedSharpe",
    "Overfitting",
    "Statistic",
    "WalkForward",
    "cagr_stat",
    "deflated_sharpe",
    "expected_max_sharpe",
    "max_drawdown_stat",
    "optimal_block_length",
    "probabilistic_sharpe",
    "probability_of_overfitting",
    "sharpe_per_bar",
    "sharpe_stat",
    "stationary_bootstrap",
    "walk_forward_folds",
    "walk_forward_select",
]
