"""The outcome of a sweep: one row per variant, in input order, and optionally every equity curve."""

from __future__ import annotations

import numpy as np
import pandas as pd

from .job import Outcome

__all__ = ["SweepResult", "assemble"]


class SweepResult:
    """Statistics of every variant of a sweep.

    Attributes
    ----------
    table : DataFrame
        One row per variant, indexed 0, 1, ... in the order the variants were
        given: the variant's parameters, the statistics of its backtest (see
        ``BacktestResult.stats``) and ``error``, the text of the exception
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
        from .heatmap import heatmap_figure

        return heatmap_figure(self.table, self.parameters, stat, x, y, agg=agg)

    def __len__(self) -> int:
        return len(self.table)

    def __repr__(self) -> str:
        failed = int(self.table["error"].notna().sum())
        return f"SweepResult({len(self.table)} variants, {failed} failed)"

    def _repr_html_(self) -> str:
        """The best rows and a heat map of the first two varied parameters, for notebooks."""
        from ..report import sweep_html

        return sweep_html(self)


def assemble(param_names: list[str], variants: list[dict], outcomes: list[Outcome], *, keep_equity: bool,
             dates: pd.DatetimeIndex) -> SweepResult:
    """The result table from variants and their outcomes, both in input order."""
    index = pd.RangeIndex(len(variants), name="variant")
    params = pd.DataFrame({name: _column([v.get(name) for v in variants], index) for name in param_names},
                          index=index)
    ran = [number for number, outcome in enumerate(outcomes) if outcome.stats is not None]
    # Typed from the variants that ran; failed ones get the missing value of each type (NaN, NaT).
    stats = pd.DataFrame.from_records([outcomes[number].stats for number in ran], index=ran).reindex(index)
    errors = pd.Series([o.error for o in outcomes], index=index, dtype=object, name="error")
    table = pd.concat([params, stats, errors], axis=1)
    equity = _equity(outcomes, dates) if keep_equity else None
    return SweepResult(table, param_names, equity)


def _column(values: list, index: pd.RangeIndex) -> pd.Series:
    """One column, typed by its values (numbers stay numbers, dates dates) with gaps as missing."""
    return pd.Series(values, index=index, dtype=object).infer_objects()


def _equity(outcomes: list[Outcome], dates: pd.DatetimeIndex) -> pd.DataFrame:
    curves = np.full((len(dates), len(outcomes)), np.nan)
    for number, outcome in enumerate(outcomes):
        if outcome.equity is not None:
            rows = dates.get_indexer(outcome.equity.index)
            curves[rows, number] = outcome.equity.to_numpy()
    return pd.DataFrame(curves, index=dates, columns=pd.RangeIndex(len(outcomes), name="variant"))
