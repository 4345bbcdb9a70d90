"""The results of vantrel's runs: :class:`BacktestResult` from :func:`vantrel.backtest`,
:class:`SweepResult` from :func:`vantrel.sweep` and :class:`WalkForwardResult` from
:func:`vantrel.walk_forward`, and what their trust methods return."""

from ._results import BacktestResult, SweepResult, WalkForwardResult
from ._results.costs import CostSensitivity
from ._results.random_portfolios import RandomBenchmark
from ._results.sweep_overfitting import SweepOverfitting
from ._robustness import BootstrapInterval

__all__ = [
    "BacktestResult",
    "BootstrapInterval",
    "CostSensitivity",
    "RandomBenchmark",
    "SweepOverfitting",
    "SweepResult",
    "WalkForwardResult",
]
