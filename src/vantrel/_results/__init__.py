"""What runs return: a backtest's result (with its round trips), a sweep's and a walk-forward's."""

from .backtest import BacktestResult
from .sweep import SweepResult
from .walk_forward import WalkForwardResult

__all__ = ["BacktestResult", "SweepResult", "WalkForwardResult"]
