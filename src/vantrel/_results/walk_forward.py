"""The outcome of a walk-forward analysis: the folds, the stitched out-of-sample curve and its statistics."""

from __future__ import annotations

from functools import cached_property
from pathlib import Path

import numpy as np
import pandas as pd

from ..stats import drawdown, performance_dates, performance_stats

__all__ = ["WalkForwardResult"]


class WalkForwardResult:
    """What :func:`vantrel.walk_forward` found.

    Attributes
    ----------
    folds : DataFrame
        One row per fold (index ``fold``): ``train_start``, ``train_end``,
        ``test_start`` and ``test_end`` (the dates of the first and last row
        of each window, a row dated by the bar its return ends on), the
        chosen ``variant`` and its parameters, its ``in_sample`` statistic
        (on the training rows) and its ``out_of_sample`` one (the same
        statistic on the test rows).
    equity : Series
        1.0 on the bar before the first test row, then the chosen variants'
        returns compounded over each test window in turn.
    sweep : SweepResult
        The sweep over the whole market the folds chose from.
    selection : WalkForward
        The row-level detail: the folds as row ranges, the stitched returns.
    settings : dict
        ``select``, ``train`` and ``test`` as given and in rows
        (``train_rows``, ``test_rows``), ``anchored``, the
        ``periods_per_year`` used to annualise and the number of ``trials``.
    risk_free : float or Series
        The annual risk-free rate of the sweep's options, for :attr:`stats`.
    """

    benchmark = None  # the charts draw a benchmark when a result has one

    def __init__(
        self,
        *,
        folds: pd.DataFrame,
        equity: pd.Series,
        sweep,
        selection,
        settings: dict,
        risk_free: float | pd.Series = 0.0,
    ) -> None:
        self.folds = folds
        self.equity = equity
        self.sweep = sweep
        self.selection = selection
        self.settings = dict(settings)
        self.risk_free = risk_free

    @cached_property
    def stats(self) -> pd.Series:
        """The performance statistics of the stitched curve (see :func:`vantrel.performance_stats`);
        their dates are in :attr:`dates`."""
        return performance_stats(self.equity, risk_free=self.risk_free)

    @cached_property
    def dates(self) -> pd.Series:
        """The dates of the statistics (see :func:`vantrel.performance_dates`)."""
        return performance_dates(self.equity)

    @property
    def returns(self) -> pd.Series:
        """The stitched out-of-sample returns, one per test row."""
        return (self.equity / self.equity.shift(1) - 1.0).iloc[1:].rename("returns")

    @property
    def drawdown(self) -> pd.Series:
        """Fall of the stitched curve below its running peak."""
        return drawdown(self.equity).rename("drawdown")

    @property
    def decay(self) -> pd.Series:
        """How the ``select`` statistic held up out of sample, over the folds.

        ``mean_in_sample`` and ``mean_out_of_sample`` (the means over the
        folds where each is defined), ``efficiency`` (their ratio: 1 kept
        everything the training windows promised, 0 or below nothing; NaN
        when the in-sample mean is not positive, as for ``max_drawdown``),
        ``correlation`` of the two over the folds (NaN for fewer than 3),
        and ``share_oos_positive``, the share of folds whose out-of-sample
        statistic is above 0.
        """
        ins = self.folds["in_sample"].to_numpy(dtype=np.float64)
        outs = self.folds["out_of_sample"].to_numpy(dtype=np.float64)
        both = np.isfinite(ins) & np.isfinite(outs)
        mean_in = float(np.mean(ins[np.isfinite(ins)])) if np.isfinite(ins).any() else np.nan
        mean_out = float(np.mean(outs[np.isfinite(outs)])) if np.isfinite(outs).any() else np.nan
        correlation = np.nan
        if both.sum() >= 3 and np.std(ins[both]) > 0 and np.std(outs[both]) > 0:
            correlation = float(np.corrcoef(ins[both], outs[both])[0, 1])
        return pd.Series(
            {
                "mean_in_sample": mean_in,
                "mean_out_of_sample": mean_out,
                "efficiency": mean_out / mean_in if mean_in > 0 else np.nan,
                "correlation": correlation,
                "share_oos_positive": float(np.mean(outs[np.isfinite(outs)] > 0))
                if np.isfinite(outs).any()
                else np.nan,
            },
            name=f"decay of {self.settings.get('select', 'the statistic')}",
        )

    def report(self, path, *, title: str = "Walk-forward report") -> Path:
        """Write the walk-forward analysis as one self-contained HTML page.

        The settings, the statistics of the stitched curve, its chart, the
        in-sample against out-of-sample decay (a chart and the figures of
        :attr:`decay`) and the table of folds.

        Parameters
        ----------
        path : str or Path
            The file to write; missing folders are created.
        title : str
            The page title.

        Returns
        -------
        Path
            The path written.
        """
        from .._report.walk_forward import write_walk_forward_report

        return write_walk_forward_report(self, Path(path), title=title)

    def __repr__(self) -> str:
        s = self.settings
        total = float(self.equity.iloc[-1] - 1.0) if len(self.equity) else np.nan
        return (
            f"WalkForwardResult({len(self.folds)} folds by {s.get('select')} over {s.get('trials')} variants "
            f"(train {s.get('train_rows')} rows, test {s.get('test_rows')}{', anchored' if s.get('anchored') else ''}):"
            f" out of sample {total:+.2%} over {len(self.equity) - 1} rows, "
            f"{self.folds['variant'].nunique()} distinct variants chosen)"
        )

    def _repr_html_(self) -> str:
        """The folds, the stitched curve's key statistics and the decay, for notebooks."""
        from .._report.walk_forward import walk_forward_html

        return walk_forward_html(self)
