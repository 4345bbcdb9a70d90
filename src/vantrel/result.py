"""The outcome of a backtest: equity curve, trades, final portfolio, statistics, charts."""

from __future__ import annotations

from functools import cached_property
from pathlib import Path

import pandas as pd

from .stats import MIN_YEARS, drawdown, performance_stats

__all__ = ["BacktestResult"]


class BacktestResult:
    """Everything a backtest produced, as plain pandas objects (picklable).

    Attributes
    ----------
    equity : Series
        Portfolio value per bar, 1.0 at the start, from the bar on which the
        first weight row becomes visible to the last bar.
    trades : DataFrame
        One row per trade: stock, entry/exit dates and the dates their signals
        became visible, entry weight, bars held, the excursion statistics at
        the exit (or at the last bar for a trade still open) and, with an
        excursion window, the same statistics sampled ``k`` bars after entry
        in columns ``<statistic>_<k>``.
    portfolio : DataFrame
        Final holdings by stock: ``weight`` now held, ``next_weight`` of the
        latest weight row, and the pending ``action``; ``attrs`` holds
        ``weight_date`` and ``next_weight_date``.
    settings : dict
        The options the run used.
    benchmark : Series or None
        The benchmark's value per bar, 1.0 at the start, on the same bars as
        ``equity``; None without a benchmark.
    risk_free : float or Series
        The annual risk-free rate (or rates by date) the statistics use.
    """

    # Defaults for results pickled before these existed.
    benchmark: pd.Series | None = None
    risk_free: float | pd.Series = 0.0

    def __init__(self, equity: pd.Series, trades: pd.DataFrame, portfolio: pd.DataFrame,
                 settings: dict | None = None, *, benchmark: pd.Series | None = None,
                 risk_free: float | pd.Series = 0.0) -> None:
        self.equity = equity
        self.trades = trades
        self.portfolio = portfolio
        self.settings = dict(settings or {})
        self.benchmark = benchmark
        self.risk_free = risk_free

    @property
    def returns(self) -> pd.Series:
        """Simple return of each bar against the previous one."""
        return (self.equity / self.equity.shift(1) - 1.0).iloc[1:].rename("returns")

    @property
    def drawdown(self) -> pd.Series:
        return drawdown(self.equity).rename("drawdown")

    @cached_property
    def stats(self) -> pd.Series:
        """Performance statistics, with the costs the run used (``fee_ratio``, ``tax_ratio``).

        Trades count round trips; see :meth:`compute_stats` for other choices
        and :func:`vantrel.performance_stats` for the definitions.
        """
        return self.compute_stats()

    @cached_property
    def benchmark_stats(self) -> pd.Series | None:
        """The same performance statistics for the benchmark's curve, or None."""
        if self.benchmark is None:
            return None
        return performance_stats(self.benchmark, risk_free=self.risk_free)

    def compute_stats(self, *, trades_by: str | None = None, periods_per_year: float | None = None,
                      min_years: float = MIN_YEARS) -> pd.Series:
        """Performance statistics with other choices than :attr:`stats`.

        Parameters
        ----------
        trades_by : "round_trip" or "record", optional
            Count round trips (the default when the trade table has them) or
            trade records (each rebalance that re-sizes a holding starts one).
        periods_per_year, min_years
            As in :func:`vantrel.performance_stats`.
        """
        if trades_by is None:
            trades_by = "round_trip" if "round_trip" in self.trades.columns else "record"
        out = performance_stats(
            self.equity, self.trades, benchmark=self.benchmark, risk_free=self.risk_free,
            periods_per_year=periods_per_year, trades_by=trades_by, min_years=min_years,
        )
        out["fee_ratio"] = self.settings.get("fee_ratio", float("nan"))
        out["tax_ratio"] = self.settings.get("tax_ratio", float("nan"))
        return out

    def plot(self, kind: str = "equity"):
        """A matplotlib Figure: ``"equity"`` (equity and drawdown) or ``"excursions"``."""
        from . import plotting

        if kind == "equity":
            return plotting.equity_figure(self)
        if kind == "excursions":
            return plotting.excursion_figure(self)
        raise ValueError(f'plot kind must be "equity" or "excursions", got {kind!r}')

    def report(self, path, *, title: str = "Backtest report") -> Path:
        """Write one self-contained HTML file (statistics, charts, trades); return its path."""
        from .report import write_report

        return write_report(self, Path(path), title=title)

    def __repr__(self) -> str:
        if not len(self.equity):
            return "BacktestResult(no bars)"
        s = self.stats
        return (
            f"BacktestResult({s['start'].date()} to {s['end'].date()}, total return {s['total_return']:.2%}, "
            f"CAGR {s['cagr']:.2%}, Sharpe {s['sharpe']:.2f}, max drawdown {s['max_drawdown']:.2%}, "
            f"{s['trades']} trades)"
        )
