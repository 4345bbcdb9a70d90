"""How much of a sweep's best result is selection: the deflated Sharpe ratio and CSCV.

Both work from the trials' own per-bar returns (rows = bars, columns = trials).
The Sharpe ratio here is per bar: the mean simple return over its sample
standard deviation (ddof=1), with no risk-free rate and not annualised.

References
----------
Bailey, D. H. and López de Prado, M. (2014). The deflated Sharpe ratio:
correcting for selection bias, backtest overfitting and non-normality.
Journal of Portfolio Management 40(5), 94-107.

Bailey, D. H., Borwein, J. M., López de Prado, M. and Zhu, Q. J. (2017). The
probability of backtest overfitting. Journal of Computational Finance 20(4), 39-69.
"""

from __future__ import annotations

import itertools
import math
from dataclasses import dataclass, field
from statistics import NormalDist

import numpy as np
import pandas as pd

from .trials import CONSTANT, defined_trials, require_trials, trial_matrix

__all__ = [
    "DeflatedSharpe",
    "Overfitting",
    "deflated_sharpe",
    "expected_max_sharpe",
    "probabilistic_sharpe",
    "probability_of_overfitting",
    "sharpe_per_bar",
]

_NORMAL = NormalDist()
_EULER_GAMMA = 0.5772156649015329
# Combinations of blocks handled at once: bounds the memory of the 12,870 x N matrices.
_CHUNK = 128


def sharpe_per_bar(returns) -> np.ndarray:
    """Sharpe ratio per bar of each trial: mean / sample standard deviation (ddof=1).

    Parameters
    ----------
    returns : array-like
        Per-bar simple returns: a 2-D array (bars x trials), a DataFrame (a
        column per trial), a mapping or sequence of equally long 1-D arrays.

    Returns
    -------
    ndarray
        One ratio per trial; NaN for a trial with fewer than two bars or
        constant returns.
    """
    matrix, _ = trial_matrix(returns, "sharpe_per_bar")
    return _sharpe_columns(matrix)


def _sharpe_columns(matrix: np.ndarray) -> np.ndarray:
    defined = defined_trials(matrix)
    if matrix.shape[0] < 2:
        return np.full(matrix.shape[1], np.nan)
    mean, std = np.mean(matrix, axis=0), np.std(matrix, axis=0, ddof=1)
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(defined, mean / np.where(defined, std, 1.0), np.nan)


def expected_max_sharpe(n_trials: int, variance: float) -> float:
    """Expected largest Sharpe ratio of ``n_trials`` unskilled trials, SR0.

    ``sqrt(variance) * ((1 - g) * inv_cdf(1 - 1/N) + g * inv_cdf(1 - 1/(N e)))``
    with g the Euler-Mascheroni constant (Bailey and López de Prado, 2014):
    the Sharpe ratio the best of N trials reaches by luck alone, when the
    trials' ratios vary with ``variance`` around a true ratio of zero.
    """
    if n_trials < 2:
        raise ValueError(f"expected_max_sharpe needs at least 2 trials, got {n_trials}")
    if not variance >= 0:
        raise ValueError(f"the variance of the trials' Sharpe ratios must be >= 0, got {variance}")
    spread = (1.0 - _EULER_GAMMA) * _NORMAL.inv_cdf(1.0 - 1.0 / n_trials) + _EULER_GAMMA * _NORMAL.inv_cdf(
        1.0 - 1.0 / (n_trials * math.e)
    )
    return math.sqrt(variance) * spread


def probabilistic_sharpe(sharpe: float, benchmark: float, bars: int, skewness: float, kurtosis: float) -> float:
    """Probability that the true Sharpe ratio exceeds ``benchmark``, given the observed one.

    ``cdf((SR - SR*) sqrt(T - 1) / sqrt(1 - g3 SR + (g4 - 1) / 4 SR^2))`` with the
    per-bar ratio SR of ``bars`` returns, their skewness g3 and kurtosis g4
    (not in excess: 3 for normal returns). With SR* the expected largest ratio
    of the trials (:func:`expected_max_sharpe`) this is the deflated Sharpe ratio.
    """
    if bars < 2:
        raise ValueError(f"probabilistic_sharpe needs at least 2 bars, got {bars}")
    spread = 1.0 - skewness * sharpe + (kurtosis - 1.0) / 4.0 * sharpe**2
    if not spread > 0:
        return math.nan
    return _NORMAL.cdf((sharpe - benchmark) * math.sqrt(bars - 1) / math.sqrt(spread))


@dataclass(frozen=True)
class DeflatedSharpe:
    """The deflated Sharpe ratio of a sweep's best trial; see :func:`deflated_sharpe`."""

    value: float
    best: object
    sharpe: float
    expected_max: float
    n_trials: int
    sharpe_variance: float
    bars: int
    skewness: float
    kurtosis: float
    undefined: int = 0

    def to_series(self) -> pd.Series:
        """The fields as a Series, for tabulating."""
        return pd.Series(self.__dict__, dtype=object, name="deflated_sharpe")

    def __repr__(self) -> str:
        left_out = f"; {self.undefined} trials without a Sharpe ratio left out" if self.undefined else ""
        return (
            f"DeflatedSharpe({self.value:.4f}: the best trial, {self.best!r}, has a Sharpe ratio of "
            f"{self.sharpe:.4g} per bar against {self.expected_max:.4g} expected from the best of "
            f"{self.n_trials} unskilled trials (variance of their ratios {self.sharpe_variance:.4g}); "
            f"{self.bars} bars, skewness {self.skewness:.3g}, kurtosis {self.kurtosis:.3g}{left_out})"
        )


def deflated_sharpe(returns) -> DeflatedSharpe:
    """Deflated Sharpe ratio of the trial with the highest Sharpe ratio per bar.

    The probability that the best trial's true Sharpe ratio is above zero,
    allowing for it being the best of N (Bailey and López de Prado, 2014):
    ``probabilistic_sharpe(SR, expected_max_sharpe(N, V), T, g3, g4)`` with V
    the sample variance (ddof=1) of the N trials' ratios, and SR, T, g3, g4
    the best trial's ratio, bars, skewness and kurtosis (biased moment
    estimators, kurtosis not in excess).

    Parameters
    ----------
    returns : array-like
        Per-bar simple returns of every trial of the sweep: a 2-D array (bars
        x trials), a DataFrame (a column per trial), a mapping or sequence of
        equally long 1-D arrays.

    Returns
    -------
    DeflatedSharpe
        ``value`` (the DSR), the ``best`` trial's label and inputs. Trials
        whose Sharpe ratio is undefined (constant returns: a variant that
        never trades) are left out of N and V and counted in ``undefined``.

    Raises
    ------
    ValueError
        Fewer than 2 trials with a defined Sharpe ratio, or returns of
        unequal length or not finite.
    """
    who = "deflated_sharpe"
    matrix, labels = trial_matrix(returns, who)
    ratios = _sharpe_columns(matrix)
    defined = ~np.isnan(ratios)
    count = int(defined.sum())
    require_trials(count, who)
    best = int(np.argmax(np.where(defined, ratios, -np.inf)))  # the first on a tie
    variance = float(np.var(ratios[defined], ddof=1))
    column = matrix[:, best]
    centred = column - column.mean()
    m2 = float(np.mean(centred**2))
    skewness = float(np.mean(centred**3)) / m2**1.5
    kurtosis = float(np.mean(centred**4)) / m2**2
    sr, bars = float(ratios[best]), len(column)
    benchmark = expected_max_sharpe(count, variance)
    return DeflatedSharpe(
        value=probabilistic_sharpe(sr, benchmark, bars, skewness, kurtosis),
        best=labels[best],
        sharpe=sr,
        expected_max=benchmark,
        n_trials=count,
        sharpe_variance=variance,
        bars=bars,
        skewness=skewness,
        kurtosis=kurtosis,
        undefined=len(labels) - count,
    )


@dataclass(frozen=True, eq=False)
class Overfitting:
    """Probability of backtest overfitting by CSCV; see :func:`probability_of_overfitting`.

    Per combination of in-sample blocks (in the order of
    ``itertools.combinations(range(blocks), blocks // 2)``): the ``chosen``
    trial's position, its ``in_sample`` and ``out_of_sample`` Sharpe ratios
    per bar, and the ``logits`` of its out-of-sample rank.
    """

    pbo: float
    blocks: int
    bars_used: int
    n_trials: int
    slope: float
    intercept: float
    mean_in_sample: float
    mean_out_of_sample: float
    prob_oos_loss: float
    labels: list = field(repr=False)
    chosen: np.ndarray = field(repr=False)
    in_sample: np.ndarray = field(repr=False)
    out_of_sample: np.ndarray = field(repr=False)
    logits: np.ndarray = field(repr=False)
    undefined: int = 0

    @property
    def n_combinations(self) -> int:
        return len(self.logits)

    def to_series(self) -> pd.Series:
        """The summary figures as a Series, for tabulating."""
        names = (
            "pbo",
            "blocks",
            "n_combinations",
            "bars_used",
            "n_trials",
            "undefined",
            "slope",
            "intercept",
            "mean_in_sample",
            "mean_out_of_sample",
            "prob_oos_loss",
        )
        return pd.Series({n: getattr(self, n) for n in names}, dtype=object, name="overfitting")

    def __repr__(self) -> str:
        return (
            f"Overfitting(pbo={self.pbo:.3f}: the in-sample best of {self.n_trials} trials ranks in the "
            f"bottom half out of sample in {self.pbo:.1%} of {self.n_combinations} splits of "
            f"{self.blocks} blocks ({self.bars_used} bars); Sharpe per bar in sample "
            f"{self.mean_in_sample:.4g}, out of sample {self.mean_out_of_sample:.4g} "
            f"(OOS = {self.intercept:.3g} {'-' if self.slope < 0 else '+'} {abs(self.slope):.3g} x IS); "
            f"out-of-sample loss in "
            f"{self.prob_oos_loss:.1%})"
        )


def probability_of_overfitting(returns, *, blocks: int = 16) -> Overfitting:
    """Probability of backtest overfitting by combinatorially symmetric cross-validation.

    The first ``T - T % blocks`` bars are split into ``blocks`` consecutive
    blocks of equal length. For each of the C(blocks, blocks/2) ways to take
    half of them as in-sample (the rest out-of-sample), the trial with the
    best in-sample Sharpe ratio per bar is chosen (the first on a tie) and
    ranked out of sample among all trials (1 = the worst, average ranks for
    ties): ``w = rank / (N + 1)``, ``logit = ln(w / (1 - w))``. PBO is the
    share of combinations with ``logit <= 0`` (Bailey, Borwein, López de Prado
    and Zhu, 2017).

    Parameters
    ----------
    returns : array-like
        Per-bar simple returns of every trial: a 2-D array (bars x trials), a
        DataFrame (a column per trial), a mapping or sequence of equally long
        1-D arrays.
    blocks : int
        Number of blocks S, even; 16 gives 12,870 combinations.

    Returns
    -------
    Overfitting
        ``pbo``; the performance degradation: ``slope`` and ``intercept`` of
        the least-squares line of out-of-sample on in-sample Sharpe ratio of
        the chosen trials, their means, and ``prob_oos_loss`` (the share of
        combinations whose chosen trial loses out of sample); per combination
        the chosen trial, its Sharpe ratios and logit.

    Raises
    ------
    ValueError
        Fewer than 2 trials with a defined Sharpe ratio, fewer than two bars
        per block, an odd or too small ``blocks``, returns of unequal length.

    Notes
    -----
    Trials constant over the whole sample are left out (``undefined``). A
    Sharpe ratio undefined on one side of a split (a trial constant there)
    counts as the worst: never chosen in sample, ranked lowest out of sample.
    Means and variances of each side come from per-block aggregates, once per
    trial and block, so the cost barely grows with the number of bars.
    """
    who = "probability_of_overfitting"
    if isinstance(blocks, bool) or not isinstance(blocks, int | np.integer) or blocks < 2 or blocks % 2:
        raise ValueError(f"{who}: blocks must be an even whole number of at least 2, got {blocks!r}")
    blocks = int(blocks)
    matrix, labels = trial_matrix(returns, who)
    defined = defined_trials(matrix)
    require_trials(int(defined.sum()), who)
    bars = matrix.shape[0]
    if bars < 2 * blocks:
        raise ValueError(f"{who} needs at least {2 * blocks} bars for {blocks} blocks (two per block), got {bars}")
    kept = np.flatnonzero(defined)
    length = bars // blocks
    used = length * blocks
    x = matrix[:used, kept]
    # Centred per trial, a side's sum of squares is not much larger than its sum of squared
    # deviations, so taking the one from the other loses little to cancellation.
    level = np.mean(x, axis=0)
    per_block = (x - level).reshape(blocks, length, -1)
    # Per block, the sum and the sum of squares of the centred returns, side by side.
    aggregates = np.concatenate([per_block.sum(axis=1), (per_block**2).sum(axis=1)], axis=1)
    totals = aggregates.sum(axis=0)
    half = blocks // 2
    sides = np.array(list(itertools.combinations(range(blocks), half)))
    # The sums over every subset of the first half of the blocks and of the second: each
    # split's in-sample sums are then one of each added, whatever the number of blocks.
    # The additions run in a fixed order (no BLAS), so every machine gets the same bits.
    first, second = _subset_sums(aggregates[:half]), _subset_sums(aggregates[half:])
    weights = 1 << np.arange(blocks) % half
    low = np.where(sides < half, weights[sides], 0).sum(axis=1)
    high = np.where(sides >= half, weights[sides], 0).sum(axis=1)

    picks, ins, outs, logits = [], [], [], []
    trials = len(kept)
    for start in range(0, len(sides), _CHUNK):
        stop = start + _CHUNK
        inside = first[low[start:stop]]
        inside += second[high[start:stop]]
        outside = totals - inside
        with np.errstate(divide="ignore", invalid="ignore"):
            sharpe_is = _side_sharpe(inside, trials, half * length, level)
            sharpe_oos = _side_sharpe(outside, trials, half * length, level)
        pick = np.argmax(sharpe_is, axis=1)  # NaN was made -inf: never chosen unless all are
        rows = np.arange(len(inside))
        chosen_oos = sharpe_oos[rows, pick]
        below = np.count_nonzero(sharpe_oos < chosen_oos[:, None], axis=1)
        equal = np.count_nonzero(sharpe_oos == chosen_oos[:, None], axis=1)
        omega = (below + (equal + 1) / 2.0) / (trials + 1)
        picks.append(pick)
        ins.append(sharpe_is[rows, pick])
        outs.append(chosen_oos)
        logits.append(np.log(omega / (1.0 - omega)))
    chosen_all = kept[np.concatenate(picks)]
    is_all, oos_all, logit_all = (np.concatenate(v) for v in (ins, outs, logits))
    is_all[~np.isfinite(is_all)] = np.nan
    oos_all[~np.isfinite(oos_all)] = np.nan
    finite = ~np.isnan(is_all) & ~np.isnan(oos_all)
    slope, intercept = _line(is_all[finite], oos_all[finite])
    defined_oos = oos_all[~np.isnan(oos_all)]
    return Overfitting(
        pbo=float(np.mean(logit_all <= 0)),
        blocks=blocks,
        bars_used=used,
        n_trials=trials,
        slope=slope,
        intercept=intercept,
        mean_in_sample=float(np.mean(is_all[finite])) if finite.any() else math.nan,
        mean_out_of_sample=float(np.mean(oos_all[finite])) if finite.any() else math.nan,
        prob_oos_loss=float(np.mean(defined_oos < 0)) if len(defined_oos) else math.nan,
        labels=labels,
        chosen=chosen_all,
        in_sample=is_all,
        out_of_sample=oos_all,
        logits=logit_all,
        undefined=len(labels) - trials,
    )


def _side_sharpe(sums: np.ndarray, trials: int, bars: int, level: np.ndarray) -> np.ndarray:
    """Sharpe ratio per bar of one side of each split, from its sums; -inf where undefined.

    ``sums`` holds per split the sum of the side's centred returns (the first ``trials``
    columns) and the sum of their squares (the rest); the side has ``bars`` bars.
    Works in place on ``sums``.
    """
    total, squares = sums[:, :trials], sums[:, trials:]
    spread = total * total
    spread *= -1.0 / bars
    spread += squares  # the sum of squared deviations from the side's mean
    # A side whose deviations are rounding noise against its squares is constant (a trial
    # that does not trade there): its ratio is undefined, not a large number.
    undefined = spread <= CONSTANT * squares
    np.sqrt(spread, out=spread)
    total += bars * level
    total *= math.sqrt(bars - 1) / bars
    np.divide(total, spread, out=total)
    np.copyto(total, -np.inf, where=undefined)
    return total


def _subset_sums(rows: np.ndarray) -> np.ndarray:
    """Row ``mask`` is the sum of the rows whose bits are set in ``mask``."""
    sums = np.zeros((1 << len(rows), rows.shape[1]))
    for bit, row in enumerate(rows):
        sums[1 << bit : 2 << bit] = sums[: 1 << bit] + row
    return sums


def _line(x: np.ndarray, y: np.ndarray) -> tuple[float, float]:
    """Slope and intercept of the least-squares line of y on x."""
    if len(x) < 2:
        return math.nan, math.nan
    dx = x - x.mean()
    spread = float(dx @ dx)
    if not spread > 0:
        return math.nan, math.nan
    slope = float(dx @ (y - y.mean())) / spread
    return slope, float(y.mean() - slope * x.mean())
