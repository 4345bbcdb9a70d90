"""The outcome of a backtest: equity curve, trades, final portfolio, statistics, charts."""

from __future__ import annotations

from functools import cached_property
from pathlib import Path

import pandas as pd

from .stats import drawdown, performance_stats

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
    """

    def __init__(self, equity: pd.Series, trades: pd.DataFrame, portfolio: pd.DataFrame,
                 settings: dict | None = None) -> None:
        self.equity = equity
        self.trades = trades
        self.portfolio = portfolio
        self.settings = dict(settings or {})

    @property
    def returns(self) -> pd.Series:
        """Simple return of each bar against the previous one."""
        return (self.equity / self.equity.shift(1) - 1.0).iloc[1:].rename("returns")

    @property
    def drawdown(self) -> pd.Series:
        return drawdown(self.equity).rename("drawdown")

    def round_trips(self) -> pd.DataFrame:
        """One row per round trip: a position from its entry to its exit back to nothing.

        ``trades`` has one row per trade record (a holding re-sized at a rebalance
        starts a new record); a round trip joins the records of one position. Its
        ``return`` compounds the records' returns, so for a trip out of cash and back
        it is what the trip made for the portfolio; ``profit``, ``fees`` and ``taxes``
        add up. See :func:`vantrel._trades.round_trip_table`.
        """
        from ._trades import round_trip_table

        return round_trip_table(self.trades)

    @cached_property
    def stats(self) -> pd.Series:
        """Performance statistics; see :func:`vantrel.stats.performance_stats`."""
        return performance_stats(self.equity, self.trades)

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
