"""Walk-forward selection on a returns matrix: train, pick the best variant, test, move on.

Rows are bar-to-bar returns (row 0 is the return from the first bar to the
second); columns are the variants of a sweep. Each fold picks the variant
with the best in-sample statistic on its training rows and holds it over its
test rows; stitched together, the test rows are what a researcher who
re-optimised on schedule would have earned.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from .._checks import is_real, is_whole
from . import measures
from .trials import trial_matrix

__all__ = ["SELECT", "WalkForward", "walk_forward_folds", "walk_forward_select"]

# Higher is better for every one: a drawdown is negative, so the shallowest wins.
SELECT = ("sharpe", "sortino", "cagr", "total_return", "calmar", "max_drawdown")

Fold = tuple[int, int, int, int]


def walk_forward_folds(n_rows: int, train: int, test: int, anchored: bool = False) -> list[Fold]:
    """The folds of a walk-forward over ``n_rows`` rows of returns.

    Fold k trains on rows ``[k * test, k * test + train)`` (from row 0 when
    ``anchored``) and tests on the next ``test`` rows; the last fold may test
    on fewer, and every fold tests on at least one.

    Returns
    -------
    list of (train_start, train_stop, test_start, test_stop)
        Half-open row ranges.

    Raises
    ------
    ValueError
        A count that is not a positive whole number, or ``train`` and
        ``test`` that leave no fold in ``n_rows``.
    """
    n_rows = _count(n_rows, "n_rows", minimum=0)
    train, test = _count(train, "train"), _count(test, "test")
    if train >= n_rows:
        raise ValueError(
            f"train={train} and test={test} leave no walk-forward fold in {n_rows} rows: the first fold "
            f"trains on {train} rows and needs at least one row after them to test on"
        )
    folds = []
    for test_start in range(train, n_rows, test):
        offset = test_start - train
        folds.append((0 if anchored else offset, test_start, test_start, min(test_start + test, n_rows)))
    return folds


@dataclass(frozen=True, eq=False)
class WalkForward:
    """A walk-forward selection; see :func:`walk_forward_select`."""

    select: str
    periods_per_year: float | None
    folds: tuple[Fold, ...]
    chosen: tuple
    positions: np.ndarray = field(repr=False)
    in_sample: np.ndarray = field(repr=False)
    out_of_sample: np.ndarray = field(repr=False)
    returns: np.ndarray = field(repr=False)

    @property
    def equity(self) -> np.ndarray:
        """The stitched curve: 1.0 on the bar before the first test row, then compounding."""
        return np.concatenate([[1.0], np.cumprod(1.0 + self.returns)])

    def to_frame(self) -> pd.DataFrame:
        """One row per fold: its row ranges, the chosen variant and its two statistics."""
        frame = pd.DataFrame(list(self.folds), columns=["train_start", "train_stop", "test_start", "test_stop"])
        frame["chosen"] = list(self.chosen)
        frame["in_sample"] = self.in_sample
        frame["out_of_sample"] = self.out_of_sample
        return frame.rename_axis("fold")

    def to_series(self) -> pd.Series:
        """Summary figures as a Series, for tabulating."""
        return pd.Series(
            {
                "select": self.select,
                "folds": len(self.folds),
                "test_rows": len(self.returns),
                "total_return": float(self.equity[-1] - 1.0),
                "mean_in_sample": float(np.nanmean(self.in_sample)) if np.isfinite(self.in_sample).any() else math.nan,
                "mean_out_of_sample": float(np.nanmean(self.out_of_sample))
                if np.isfinite(self.out_of_sample).any()
                else math.nan,
                "distinct_chosen": len(set(self.chosen)),
            },
            dtype=object,
            name="walk_forward",
        )

    def __repr__(self) -> str:
        shown = ", ".join(repr(c) for c in self.chosen[:6]) + (", ..." if len(self.chosen) > 6 else "")
        return (
            f"WalkForward({len(self.folds)} folds by {self.select}: out of sample "
            f"{self.equity[-1] - 1.0:+.2%} over {len(self.returns)} rows; chosen {shown})"
        )


def walk_forward_select(
    returns, folds, select: str = "sharpe", *, periods_per_year: float | None = None
) -> WalkForward:
    """Pick the best variant on each fold's training rows and stitch its test rows together.

    Parameters
    ----------
    returns : array-like
        Per-bar simple returns, rows x variants: a 2-D array, a DataFrame (a
        column per variant), a mapping or sequence of equally long 1-D arrays.
    folds : sequence of (train_start, train_stop, test_start, test_stop)
        Row ranges, as :func:`walk_forward_folds` makes them.
    select : str
        The in-sample statistic, higher is better: "sharpe", "sortino",
        "cagr", "total_return", "calmar" or "max_drawdown" (the shallowest).
        The variant with the best score is chosen, the first on a tie; a
        variant whose score is undefined (NaN) is chosen only if all are.
    periods_per_year : float, optional
        Rows per year, for annualising Sharpe, Sortino, CAGR and Calmar.
        None: per row (the choice is the same, the figures are per bar).

    Returns
    -------
    WalkForward
        Per fold the ``chosen`` variant (its label), its ``in_sample`` and
        ``out_of_sample`` statistic; the stitched out-of-sample ``returns``
        and ``equity``.
    """
    who = "walk_forward_select"
    if select not in SELECT:
        raise ValueError(f"select must be one of {', '.join(map(repr, SELECT))}; got {select!r}")
    if periods_per_year is not None:
        if not is_real(periods_per_year) or not 0 < periods_per_year < math.inf:
            raise ValueError(f"periods_per_year must be a positive number, got {periods_per_year!r}")
        periods_per_year = float(periods_per_year)
    matrix, labels = trial_matrix(returns, who)
    if not labels:
        raise ValueError(f"{who}: returns have no variants")
    rows = matrix.shape[0]
    folds = tuple(_fold(f, i, rows) for i, f in enumerate(folds))
    if not folds:
        raise ValueError(f"{who}: folds is empty")
    per_year = 1.0 if periods_per_year is None else periods_per_year
    picks, ins, outs, pieces = [], [], [], []
    for train_start, train_stop, test_start, test_stop in folds:
        scores = _score(select, matrix[train_start:train_stop].T, per_year)
        pick = int(np.argmax(np.where(np.isnan(scores), -np.inf, scores)))
        tested = matrix[test_start:test_stop, pick]
        picks.append(pick)
        ins.append(scores[pick])
        outs.append(_score(select, tested[None, :], per_year)[0])
        pieces.append(tested)
    return WalkForward(
        select=select,
        periods_per_year=periods_per_year,
        folds=folds,
        chosen=tuple(labels[p] for p in picks),
        positions=np.array(picks),
        in_sample=np.array(ins, dtype=np.float64),
        out_of_sample=np.array(outs, dtype=np.float64),
        returns=np.concatenate(pieces),
    )


def _score(select: str, series: np.ndarray, per_year: float) -> np.ndarray:
    """The statistic of each row of ``series`` (one row per variant)."""
    years = series.shape[-1] / per_year
    if select == "sharpe":
        return measures.sharpe(series, per_year)
    if select == "sortino":
        return measures.sortino(series, per_year)
    if select == "cagr":
        return measures.cagr(series, years)
    if select == "total_return":
        return measures.total_return(series)
    if select == "calmar":
        return measures.calmar(series, years)
    return measures.max_drawdown(series)


def _fold(fold, index: int, rows: int) -> Fold:
    try:
        a, b, c, d = (int(v) for v in fold)
    except (TypeError, ValueError):
        raise ValueError(
            f"fold {index} must be four row numbers (train_start, train_stop, test_start, test_stop), got {fold!r}"
        ) from None
    if not (0 <= a < b <= c < d <= rows):
        raise ValueError(
            f"fold {index} {(a, b, c, d)} does not fit {rows} rows of returns: it needs "
            "0 <= train_start < train_stop <= test_start < test_stop <= rows"
        )
    return a, b, c, d


def _count(value, name: str, minimum: int = 1) -> int:
    if not is_whole(value) or value < minimum:
        kind = "a positive" if minimum == 1 else "a non-negative"
        raise ValueError(f"{name} must be {kind} whole number of rows, got {value!r}")
    return int(value)
