"""The outcome of a sweep: one row per variant, in input order, and optionally every equity curve."""

from __future__ import annotations

import pandas as pd

__all__ = ["SweepResult"]


class SweepResult:
    """Statistics of every variant of a sweep.

    Attributes
    ----------
    table : DataFrame
        One row per variant, indexed 0, 1, ... in the order the variants were
        given: the variant's parameters, the statistics of its backtest (see
        ``BacktestResult.stats``) with their dates (``BacktestResult.dates``:
        ``start``, ``end`` and the drawdown's) and ``error``, the text of the exception
        that stopped the variant (missing where it ran; its statistics are
        then missing).
    parameters : list of str
        The names of the parameter columns.
    equity : DataFrame or None
        With ``keep_equity=True``: the equity curve of each variant, bars x
        variant number (NaN before a variant's first signal and for failed
        variants).
    """

    def __init__(self, table: pd.DataFrame, parameters: list[str], equity: pd.DataFrame | None = None) -> None:
        self.table = table
        self.parameters = list(parameters)
        self.equity = equity

    @property
    def errors(self) -> pd.DataFrame:
        """The rows of the variants that failed."""
        return self.table[self.table["error"].notna()]

    def heatmap(self, stat: str = "sharpe", x: str | None = None, y: str | None = None, *, agg: str = "mean"):
        """A matplotlib Figure of one statistic over two parameters.

        ``x`` and ``y`` default to the first two parameters that take more
        than one value. Variants that share a cell (other parameters varied
        too) are combined with ``agg``; failed variants are left out.
        """
        from .._report.heatmap import heatmap_figure

        return heatmap_figure(self.table, self.parameters, stat, x, y, agg=agg)

    def __len__(self) -> int:
        return len(self.table)

    def __repr__(self) -> str:
        failed = int(self.table["error"].notna().sum())
        return f"SweepResult({len(self.table)} variants, {failed} failed)"

    def _repr_html_(self) -> str:
        """The best rows and a heat map of the first two varied parameters, for notebooks."""
        from .._report.notebook import sweep_html

        return sweep_html(self)
