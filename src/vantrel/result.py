"""The results of vantrel's runs: :class:`BacktestResult` from :func:`vantrel.backtest`
and :class:`SweepResult` from :func:`vantrel.sweep`."""

from ._results import BacktestResult, SweepResult

__all__ = ["BacktestResult", "SweepResult"]
