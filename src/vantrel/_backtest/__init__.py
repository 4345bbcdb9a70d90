"""The backtest call: the weights checked against the market, stop inputs, the rebalancing
calendar, the benchmark, the engine call and the engine's trade log as tables."""

from .backtest import backtest
from .costs import CostWarning
from .weights import CheckedWeights

__all__ = ["CheckedWeights", "CostWarning", "backtest"]
