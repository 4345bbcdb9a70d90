"""Bootstrap intervals of a backtest's statistics: the stationary bootstrap of its returns.

Resampling keeps runs of consecutive bars together, so that the volatility
clustering and autocorrelation of returns survive into the resamples.

References
----------
Politis, D. N. and Romano, J. P. (1994). The stationary bootstrap. Journal of
the American Statistical Association 89(428), 1303-1313.

Politis, D. N. and White, H. (2004). Automatic block-length selection for the
dependent bootstrap. Econometric Reviews 23(1), 53-70.

Patton, A., Politis, D. N. and White, H. (2009). Correction to "Automatic
block-length selection for the dependent bootstrap" by D. Politis and H. White.
Econometric Reviews 28(4), 372-375.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from .._checks import is_real, is_whole
from . import measures
from .trials import CONSTANT

__all__ = [
    "BootstrapInterval",
    "Statistic",
    "cagr_stat",
    "max_drawdown_stat",
    "optimal_block_length",
    "sharpe_stat",
    "stationary_bootstrap",
]

# Resamples drawn at once, in bars: bounds the memory of the index and sample matrices.
_CELLS = 1 << 22


@dataclass(frozen=True, eq=False)
class Statistic:
    """A statistic of many return series at once: ``function(samples) -> one value per row``.

    ``aligned``, when given, is per-bar data that belongs to its bar (the
    risk-free rate the bar earned): the bootstrap resamples it with the
    returns and passes it as a second argument of the same shape.
    """

    name: str
    function: Callable = field(repr=False)
    aligned: np.ndarray | None = field(default=None, repr=False)

    def __call__(self, samples: np.ndarray, aligned: np.ndarray | None = None) -> np.ndarray:
        return self.function(samples) if self.aligned is None else self.function(samples, aligned)


def sharpe_stat(periods_per_year: float, risk_free=None) -> Statistic:
    """Annualised Sharpe ratio of each row, as ``result.stats["sharpe"]`` defines it.

    ``mean(excess) / std(excess, ddof=1) * sqrt(periods_per_year)``.

    Parameters
    ----------
    periods_per_year : float
        Bars per year.
    risk_free : array-like, optional
        Per-bar risk-free return of each bar (what the bar earned at the
        risk-free rate); resampled with the returns. None: zero.
    """
    periods_per_year = _positive(periods_per_year, "periods_per_year")
    if risk_free is None:
        return Statistic("sharpe", lambda samples: measures.sharpe(samples, periods_per_year))
    rates = np.asarray(risk_free, dtype=np.float64)
    if rates.ndim != 1 or not np.isfinite(rates).all():
        raise ValueError("risk_free must be a 1-D array of finite per-bar returns")
    return Statistic("sharpe", lambda samples, rf: measures.sharpe(samples - rf, periods_per_year), rates)


def cagr_stat(years: float) -> Statistic:
    """Compound annual growth of each row over ``years``: ``prod(1 + r) ** (1 / years) - 1``."""
    years = _positive(years, "years")
    return Statistic("cagr", lambda samples: measures.cagr(samples, years))


def max_drawdown_stat() -> Statistic:
    """Maximum drawdown of each row's compounded curve (starting at 1.0), a negative fraction."""
    return Statistic("max_drawdown", measures.max_drawdown)


@dataclass(frozen=True, eq=False)
class BootstrapInterval:
    """A percentile interval of a statistic; see :func:`stationary_bootstrap`."""

    low: float
    high: float
    estimate: float
    block: float
    n: int
    level: float
    statistic: str
    samples: np.ndarray = field(repr=False)

    def to_series(self) -> pd.Series:
        """The figures (not the samples) as a Series, for tabulating."""
        names = ("statistic", "estimate", "low", "high", "level", "block", "n")
        return pd.Series({k: getattr(self, k) for k in names}, dtype=object, name=self.statistic)

    def __repr__(self) -> str:
        return (
            f"BootstrapInterval({self.statistic} {self.estimate:.4g}, {self.level:.0%} interval "
            f"[{self.low:.4g}, {self.high:.4g}]; {self.n} stationary-bootstrap resamples, "
            f"mean block {self.block:.3g} bars)"
        )


def stationary_bootstrap(
    returns,
    stat: Callable[..., np.ndarray],
    *,
    n: int = 1000,
    seed=None,
    block: float | None = None,
    level: float = 0.95,
) -> BootstrapInterval:
    """Percentile interval of a statistic of per-bar returns, by the stationary bootstrap.

    Each resample is as long as ``returns`` and made of blocks of consecutive
    bars: each block starts at a uniformly drawn bar, has a geometric length
    of mean ``block`` and wraps from the last bar to the first (Politis and
    Romano, 1994).

    Parameters
    ----------
    returns : array-like
        Simple per-bar returns, 1-D.
    stat : callable
        Takes a 2-D array (a resample per row) and returns one value per row,
        e.g. :func:`sharpe_stat`, :func:`cagr_stat`, :func:`max_drawdown_stat`.
        It must work on all rows at once: a Python loop per resample is slow.
    n : int
        Number of resamples, at least 100.
    seed : int or numpy.random.Generator, optional
        Seed of ``numpy.random.default_rng``: the same seed gives the same
        resamples.
    block : float, optional
        Mean block length in bars, at least 1 (1 resamples bars
        independently). None: :func:`optimal_block_length` of ``returns``.
    level : float
        Coverage of the interval, between 0 and 1.

    Returns
    -------
    BootstrapInterval
        ``low`` and ``high`` (the ``(1 - level) / 2`` and ``(1 + level) / 2``
        quantiles of the resampled statistic, NaN resamples left out),
        ``estimate`` (the statistic of ``returns`` itself), the ``block``
        length used, ``n``, ``level`` and the ``samples``.
    """
    x = np.asarray(returns, dtype=np.float64)
    if x.ndim != 1:
        raise ValueError(f"returns must be 1-D (one series), got {x.ndim}-D")
    if len(x) < 2:
        raise ValueError(f"returns must have at least 2 bars to resample, got {len(x)}")
    if not np.isfinite(x).all():
        at = int(np.argmax(~np.isfinite(x)))
        raise ValueError(f"returns must be finite: {x[at]} at bar {at}")
    if not is_whole(n) or n < 100:
        raise ValueError(f"n must be a whole number of at least 100 resamples, got {n!r}")
    if not is_real(level) or not 0 < level < 1:
        raise ValueError(f"level must be between 0 and 1 (exclusive), got {level!r}")
    if block is None:
        block = optimal_block_length(x)
    elif not is_real(block) or not 1 <= block < math.inf:
        raise ValueError(f"block must be a mean block length of at least 1 bar, got {block!r}")
    block, n = float(block), int(n)
    aligned = getattr(stat, "aligned", None)
    if aligned is not None and len(aligned) != len(x):
        raise ValueError(f"the statistic's per-bar data has {len(aligned)} bars, the returns {len(x)}")

    def evaluate(positions: np.ndarray) -> np.ndarray:
        values = stat(x[positions]) if aligned is None else stat(x[positions], aligned[positions])
        values = np.asarray(values, dtype=np.float64)
        if values.shape != (len(positions),):
            raise ValueError(
                f"stat must return one value per resample (shape ({len(positions)},)), got shape "
                f"{values.shape}; it receives a 2-D array with a resample per row"
            )
        return values

    estimate = float(evaluate(np.arange(len(x))[None, :])[0])
    rng = np.random.default_rng(seed)
    rows = max(1, _CELLS // len(x))
    samples = np.concatenate(
        [evaluate(_positions(rng, min(rows, n - start), len(x), block)) for start in range(0, n, rows)]
    )
    tail = (1.0 - level) / 2.0
    kept = samples[~np.isnan(samples)]
    low, high = np.quantile(kept, [tail, 1.0 - tail]) if len(kept) else (math.nan, math.nan)
    return BootstrapInterval(
        low=float(low),
        high=float(high),
        estimate=estimate,
        block=block,
        n=n,
        level=float(level),
        statistic=str(getattr(stat, "name", getattr(stat, "__name__", "statistic"))),
        samples=samples,
    )


def _positions(rng: np.random.Generator, rows: int, bars: int, block: float) -> np.ndarray:
    """Bar positions of ``rows`` stationary-bootstrap resamples of ``bars`` bars.

    A block starts at each bar with probability 1 / block (always at the first),
    at a uniformly drawn bar of the data. Position = the block's start in the data
    plus the bars since the block began, wrapped: the difference of the two is
    spread over the block by one cumulative sum over all rows at once.
    """
    starts_here = rng.random((rows, bars)) < 1.0 / block
    starts_here[:, 0] = True
    at = np.flatnonzero(starts_here)
    shift = rng.integers(0, bars, size=len(at)) - at % bars
    steps = np.zeros(rows * bars, dtype=np.int64)
    steps[at] = np.diff(shift, prepend=0)
    positions = np.cumsum(steps).reshape(rows, bars)
    positions += np.arange(bars)
    np.subtract(positions, bars, out=positions, where=positions >= bars)
    return positions


def optimal_block_length(returns) -> float:
    """Mean block length for the stationary bootstrap, by Politis and White's rule.

    The automatic selection of Politis and White (2004) with the correction of
    Patton, Politis and White (2009): with ``N`` bars, ``K = max(5,
    ceil(sqrt(log10 N)))`` and autocorrelations counted significant above
    ``2 sqrt(log10 N / N)``, ``m`` is the smallest lag after which ``K``
    consecutive autocorrelations are insignificant, the smallest positive one
    (among lags up to ``ceil(sqrt(N)) + K``; if none, the largest significant
    lag). With the
    flat-top lag window over ``M = 2 m`` lags, ``G = sum w(k/M) |k| R(k)`` and
    ``D = 2 (sum w(k/M) R(k))^2`` from the autocovariances ``R``, the length is
    ``(2 G^2 / D)^(1/3) N^(1/3)``, kept between 1 and ``ceil(min(3 sqrt(N), N / 3))``.

    Parameters
    ----------
    returns : array-like
        Per-bar returns, 1-D.

    Returns
    -------
    float
        The mean block length in bars (1 for constant returns).
    """
    x = np.asarray(returns, dtype=np.float64)
    if x.ndim != 1 or len(x) < 2:
        raise ValueError(f"optimal_block_length needs 1-D returns of at least 2 bars, got shape {x.shape}")
    bars = len(x)
    ceiling = max(1.0, float(math.ceil(min(3.0 * math.sqrt(bars), bars / 3.0))))
    centred = x - x.mean()
    if not np.std(x) > CONSTANT * np.max(np.abs(x)):
        return 1.0
    k_n = max(5, math.ceil(math.sqrt(math.log10(bars))))
    lags = min(math.ceil(math.sqrt(bars)) + k_n, bars - 1)
    covariance = np.array([centred[: bars - k] @ centred[k:] for k in range(lags + 1)]) / bars
    threshold = 2.0 * math.sqrt(math.log10(bars) / bars)
    significant = np.abs(covariance[1:] / covariance[0]) >= threshold  # lags 1..lags
    # significant[m:m + K] are lags m + 1 .. m + K.
    quiet = next((m for m in range(1, lags - k_n + 1) if not significant[m : m + k_n].any()), None)
    if quiet is None:  # no run of K quiet lags within reach: the last significant lag
        quiet = int(np.flatnonzero(significant)[-1]) + 1 if significant.any() else 1
    window = min(2 * quiet, lags)
    k = np.arange(-window, window + 1)
    t = np.abs(k) / window
    weight = np.where(t <= 0.5, 1.0, 2.0 * (1.0 - t))
    acv = covariance[np.abs(k)]
    g = float(np.sum(weight * np.abs(k) * acv))
    d = 2.0 * float(np.sum(weight * acv)) ** 2
    if not d > 0:
        return ceiling
    length = (2.0 * g * g / d) ** (1.0 / 3.0) * bars ** (1.0 / 3.0)
    return float(min(max(length, 1.0), ceiling))


def _positive(value, name: str) -> float:
    number = float(value) if is_real(value) else math.nan
    if not 0 < number < math.inf:
        raise ValueError(f"{name} must be a positive number, got {value!r}")
    return number
