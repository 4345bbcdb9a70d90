"""How much of a sweep's best variant is selection: the deflated Sharpe ratio and PBO of its trials."""

from __future__ import annotations

import math
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from .._robustness import DeflatedSharpe, Overfitting, deflated_sharpe, probability_of_overfitting

__all__ = ["SweepOverfitting", "sweep_overfitting"]


@dataclass(frozen=True, eq=False)
class SweepOverfitting:
    """The overfitting statistics of a sweep; see :meth:`vantrel.SweepResult.overfitting`.

    Attributes
    ----------
    trials : int
        Variants that ran without error: the number of trials.
    failed : int
        Variants that raised (not trials).
    bars : int
        Rows of returns used: those every trial has (from the latest start).
    start, end : Timestamp
        The dates of the first and last of those rows (a row is dated by the
        bar its return ends on).
    best : int
        The variant number with the highest Sharpe ratio per bar on those rows.
    parameters : dict
        Its parameters.
    sharpe : float
        Its Sharpe ratio as the table (``result.stats``) has it: annualised,
        over its own span, in excess of the risk-free rate.
    sharpe_per_bar : float
        Its Sharpe ratio per bar on the shared rows (mean over sample
        standard deviation, no risk-free rate): what the statistics below use.
    deflated_sharpe : float
        The deflated Sharpe ratio of the best variant.
    pbo : float
        The probability of backtest overfitting (CSCV).
    slope, intercept, mean_in_sample, mean_out_of_sample, prob_oos_loss : float
        The performance degradation of CSCV's chosen variants (Sharpe per bar).
    deflated : DeflatedSharpe
        Every input of the deflated Sharpe ratio.
    cscv : Overfitting
        Every split of the combinatorially symmetric cross-validation.
    """

    trials: int
    failed: int
    bars: int
    start: pd.Timestamp
    end: pd.Timestamp
    best: int
    parameters: dict
    sharpe: float
    sharpe_per_bar: float
    deflated_sharpe: float
    pbo: float
    slope: float
    intercept: float
    mean_in_sample: float
    mean_out_of_sample: float
    prob_oos_loss: float
    deflated: DeflatedSharpe = field(repr=False)
    cscv: Overfitting = field(repr=False)

    def to_series(self) -> pd.Series:
        """The figures (not the per-split detail) as a Series, for tabulating."""
        names = (
            "trials",
            "failed",
            "bars",
            "start",
            "end",
            "best",
            "sharpe",
            "sharpe_per_bar",
            "deflated_sharpe",
            "pbo",
            "slope",
            "intercept",
            "mean_in_sample",
            "mean_out_of_sample",
            "prob_oos_loss",
        )
        values = {name: getattr(self, name) for name in names}
        return pd.Series({**values, **{f"best_{k}": v for k, v in self.parameters.items()}}, dtype=object)

    def __repr__(self) -> str:
        shown = ", ".join(f"{k}={v!r}" for k, v in self.parameters.items())
        return (
            f"SweepOverfitting({self.trials} trials on {self.bars} bars; best variant {self.best} ({shown}): "
            f"Sharpe {self.sharpe:.3g} ({self.sharpe_per_bar:.4g} per bar), deflated Sharpe ratio "
            f"{self.deflated_sharpe:.3f}, probability of backtest overfitting {self.pbo:.3f})"
        )


def sweep_overfitting(result, *, blocks: int = 16) -> SweepOverfitting:
    """The overfitting statistics of a :class:`SweepResult`; see its ``overfitting`` method."""
    returns = result.returns
    if returns is None:
        raise ValueError("overfitting needs the variants' returns: run the sweep with keep_returns=True (the default)")
    table = result.table
    ran = table.index[table["error"].isna()]
    if len(ran) < 2:
        raise ValueError(
            f"overfitting needs at least 2 successful trials (variants that ran without error), got {len(ran)} "
            f"of {len(table)}; see SweepResult.errors"
        )
    trials = returns[ran]
    shared = trials.notna().all(axis=1).to_numpy()
    if shared.sum() < 2:
        latest = int(trials.isna().sum().idxmax())
        raise ValueError(
            f"overfitting needs returns on at least 2 bars that every successful variant has; they share "
            f"{int(shared.sum())} (variant {latest} starts last)"
        )
    frame = trials[shared]
    dsr = deflated_sharpe(frame)
    cscv = probability_of_overfitting(frame, blocks=blocks)
    best = int(frame.columns[frame.columns.get_loc(dsr.best)])  # the label: a variant number
    row = table.loc[best]
    return SweepOverfitting(
        trials=len(ran),
        failed=len(table) - len(ran),
        bars=len(frame),
        start=frame.index[0],
        end=frame.index[-1],
        best=best,
        parameters={name: _plain(row[name]) for name in result.parameters},
        sharpe=float(row["sharpe"]) if "sharpe" in row.index else math.nan,
        sharpe_per_bar=dsr.sharpe,
        deflated_sharpe=dsr.value,
        pbo=cscv.pbo,
        slope=cscv.slope,
        intercept=cscv.intercept,
        mean_in_sample=cscv.mean_in_sample,
        mean_out_of_sample=cscv.mean_out_of_sample,
        prob_oos_loss=cscv.prob_oos_loss,
        deflated=dsr,
        cscv=cscv,
    )


def _plain(value):
    """A table cell as a plain Python value (numpy scalars as numbers)."""
    return value.item() if isinstance(value, np.generic) else value
