"""The outcome of a sweep: one row per variant, in input order, every variant's returns and
optionally every equity curve."""

from __future__ import annotations

from pathlib import Path

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
    returns : DataFrame or None
        With ``keep_returns=True`` (the default): the per-bar simple returns
        of each variant, bars x variant number in the table's order, each
        ``equity[t] / equity[t - 1] - 1`` of the variant's own backtest (its
        ``result.returns``, to the bit). The rows are the market's bars from
        the one after the first bar on which any variant has equity (row 0
        is the first bar-to-bar return), dated by the bar a return ends on; a
        variant that starts later is NaN before its own first return, a
        failed variant NaN throughout. None with ``keep_returns=False``.
    """

    # Default for results pickled before returns were kept.
    returns: pd.DataFrame | None = None

    def __init__(
        self,
        table: pd.DataFrame,
        parameters: list[str],
        equity: pd.DataFrame | None = None,
        *,
        returns: pd.DataFrame | None = None,
    ) -> None:
        self.table = table
        self.parameters = list(parameters)
        self.equity = equity
        self.returns = returns

    @property
    def errors(self) -> pd.DataFrame:
        """The rows of the variants that failed."""
        return self.table[self.table["error"].notna()]

    def overfitting(self, *, blocks: int = 16):
        """How much of the best variant's Sharpe ratio is the luck of picking the best of many.

        Computed from :attr:`returns` on the rows every variant that ran
        without error has (from the latest start on; all of them when the
        variants start together), with those variants as the trials.

        Parameters
        ----------
        blocks : int
            Blocks of the combinatorially symmetric cross-validation, even;
            16 gives 12,870 splits and needs at least 32 shared bars.

        Returns
        -------
        SweepOverfitting
            ``trials`` (variants that ran without error), the ``best`` variant
            (the highest Sharpe ratio per bar on the shared rows) with its
            ``parameters``, its ``sharpe`` (annualised, as in the table) and
            ``sharpe_per_bar``, its ``deflated_sharpe`` (Bailey and López de
            Prado, 2014: the probability that its true Sharpe ratio is above
            zero once the selection among the trials is allowed for), ``pbo``
            (Bailey, Borwein, López de Prado and Zhu: the probability that the
            in-sample best ranks in the bottom half out of sample) and the
            degradation of CSCV's chosen variants (``slope``, ``intercept``,
            ``mean_in_sample``, ``mean_out_of_sample``, ``prob_oos_loss``).
            docs/trust.md gives the definitions.

        Raises
        ------
        ValueError
            Fewer than 2 successful trials, no returns kept
            (``keep_returns=False``), or too few shared bars.
        """
        from .sweep_overfitting import sweep_overfitting

        return sweep_overfitting(self, blocks=blocks)

    def heatmap(self, stat: str = "sharpe", x: str | None = None, y: str | None = None, *, agg: str = "mean"):
        """A matplotlib Figure of one statistic over two parameters.

        ``x`` and ``y`` default to the first two parameters that take more
        than one value. Variants that share a cell (other parameters varied
        too) are combined with ``agg``; failed variants are left out.
        """
        from .._report.heatmap import heatmap_figure

        return heatmap_figure(self.table, self.parameters, stat, x, y, agg=agg)

    def report(self, path, *, title: str = "Sweep report", stat: str = "sharpe", best: int = 20) -> Path:
        """Write the sweep as one self-contained HTML page.

        The overfitting statistics of :meth:`overfitting` beside the best
        variant, the ``best`` variants by ``stat``, a heat map of ``stat``
        over the first two varied parameters and the failed variants.

        Parameters
        ----------
        path : str or Path
            The file to write; missing folders are created.
        title : str
            The page title.
        stat : str
            The statistic the variants are ranked and mapped by.
        best : int
            How many of the best variants the table shows.

        Returns
        -------
        Path
            The path written.
        """
        from .._report.sweep_page import write_sweep_report

        return write_sweep_report(self, Path(path), title=title, stat=stat, best=best)

    def __len__(self) -> int:
        return len(self.table)

    def __repr__(self) -> str:
        failed = int(self.table["error"].notna().sum())
        return f"SweepResult({len(self.table)} variants, {failed} failed)"

    def _repr_html_(self) -> str:
        """The best rows and a heat map of the first two varied parameters, for notebooks."""
        from .._report.notebook import sweep_html

        return sweep_html(self)
