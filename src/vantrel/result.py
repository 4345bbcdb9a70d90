"""The results of vantrel's runs: :class:`BacktestResult` from :func:`vantrel.backtest`,
:class:`SweepResult` from :func:`vantrel.sweep` and :class:`WalkForwardResult` from
:func:`vantrel.walk_forward`."""

from ._results import BacktestResult, SweepResult, WalkForwardResult

__all__ = ["BacktestResult", "SweepResult", "WalkForwardResult"]
