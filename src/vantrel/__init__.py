"""vantrel: research stock-portfolio strategies with a fast, bit-reproducible backtester."""

__version__ = "0.1.0"

from ._backtest import backtest
from .market import Market
from .result import BacktestResult
from .stats import performance_stats
from ._sweep import SweepResult, sweep
from . import datasets

__all__ = [
    "backtest", "Market", "BacktestResult", "performance_stats", "sweep", "SweepResult", "datasets", "__version__",
]
