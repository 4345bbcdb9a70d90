"""A backtest's own inputs, kept so that its result can run it again with some of them changed."""

from __future__ import annotations

from typing import Any

__all__ = ["Rerun"]


class Rerun:
    """``rerun(weights=None, **changes)``: the same backtest with other weights or options.

    Holds the market and the checked weights by reference (nothing is
    copied), so a result that keeps one keeps its market alive; results do
    not pickle it (see ``BacktestResult``).
    """

    __slots__ = ("market", "options", "weights")

    def __init__(self, weights, market, options: dict[str, Any]) -> None:
        self.weights = weights  # CheckedWeights of ``market``
        self.market = market
        self.options = dict(options)

    def __call__(self, weights=None, **changes):
        from .backtest import backtest

        return backtest(self.weights if weights is None else weights, self.market, **{**self.options, **changes})
