"""What runs return: a backtest's result (with its round trips) and a sweep's."""

from .backtest import BacktestResult
from .sweep import SweepResult

__all__ = ["BacktestResult", "SweepResult"]
