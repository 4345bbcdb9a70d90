"""The sweep's table: one row per variant from the variants and their outcomes."""

from __future__ import annotations

import numpy as np
import pandas as pd

from .._results.sweep import SweepResult
from .job import Outcome

__all__ = ["assemble"]


def assemble(
    param_names: list[str],
    variants: list[dict],
    outcomes: list[Outcome],
    *,
    keep_equity: bool,
    dates: pd.DatetimeIndex,
    keep_returns: bool = False,
) -> SweepResult:
    """The result table from variants and their outcomes, both in input order."""
    index = pd.RangeIndex(len(variants), name="variant")
    params = pd.DataFrame({name: _column([v.get(name) for v in variants], index) for name in param_names}, index=index)
    ran = [number for number, outcome in enumerate(outcomes) if outcome.stats is not None]
    # Typed from the variants that ran; failed ones get the missing value of each type (NaN, NaT).
    stats = pd.DataFrame.from_records([outcomes[number].stats for number in ran], index=ran).reindex(index)
    # A swept cost (fee_ratio, tax_ratio) is also a statistic: one column of that name, the parameter's.
    stats = stats.drop(columns=[name for name in param_names if name in stats.columns])
    errors = pd.Series([o.error for o in outcomes], index=index, dtype=object, name="error")
    table = pd.concat([params, stats, errors], axis=1)
    curves = _equity(outcomes, dates) if keep_equity or keep_returns else None
    returns = _returns(curves) if keep_returns and curves is not None else None
    return SweepResult(table, param_names, curves if keep_equity else None, returns=returns)


def _column(values: list, index: pd.RangeIndex) -> pd.Series:
    """One column, typed by its values (numbers stay numbers, dates dates) with gaps as missing."""
    return pd.Series(values, index=index, dtype=object).infer_objects()


def _equity(outcomes: list[Outcome], dates: pd.DatetimeIndex) -> pd.DataFrame:
    curves = np.full((len(dates), len(outcomes)), np.nan)
    for number, outcome in enumerate(outcomes):
        if outcome.equity is not None:
            index, tail = outcome.equity.index, len(dates) - len(outcome.equity)
            if tail >= 0 and index.equals(dates[tail:]):  # the curve runs to the last bar, as every backtest's does
                curves[tail:, number] = outcome.equity.to_numpy()
            else:
                curves[dates.get_indexer(index), number] = outcome.equity.to_numpy()
    return pd.DataFrame(curves, index=dates, columns=pd.RangeIndex(len(outcomes), name="variant"))


def _returns(curves: pd.DataFrame) -> pd.DataFrame:
    """Per-bar returns from the bar after the first one any variant has equity on; NaN before
    a variant's own second bar. Each is ``equity[t] / equity[t - 1] - 1`` as the variant's own
    result computes it, so the values are the same to the bit."""
    values = curves.to_numpy()
    started = np.flatnonzero(~np.isnan(values).all(axis=1))
    first = int(started[0]) if len(started) else len(values)
    returns = values[first + 1 :] / values[first:-1] - 1.0 if first + 1 < len(values) else values[:0]
    return pd.DataFrame(returns, index=curves.index[first + 1 : first + 1 + len(returns)], columns=curves.columns)
