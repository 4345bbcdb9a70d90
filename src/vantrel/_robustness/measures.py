"""Performance measures of many return series at once, along the last axis.

Each row is one series of simple per-bar returns (a resample, or a variant's
training window). The definitions are those of ``vantrel.stats`` (zero
risk-free rate), computed in the same order, so that one row gives what the
statistics of a result give, to rounding.
"""

from __future__ import annotations

import numpy as np

from .trials import CONSTANT


def _ratio(numerator, denominator, returns: np.ndarray) -> np.ndarray:
    """numerator / denominator, NaN where the denominator is zero or rounding noise."""
    defined = denominator > CONSTANT * np.max(np.abs(returns), axis=-1, initial=0.0)
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(defined, numerator / np.where(defined, denominator, 1.0), np.nan)


def sharpe(returns: np.ndarray, periods_per_year: float = 1.0) -> np.ndarray:
    """Mean over sample standard deviation (ddof=1), times sqrt(periods_per_year)."""
    returns = np.asarray(returns, dtype=np.float64)
    if returns.shape[-1] < 2:
        return np.full(returns.shape[:-1], np.nan)
    mean = np.mean(returns, axis=-1)
    return _ratio(mean, np.std(returns, axis=-1, ddof=1), returns) * np.sqrt(periods_per_year)


def sortino(returns: np.ndarray, periods_per_year: float = 1.0) -> np.ndarray:
    """Mean over the root mean square of the negative returns (over all bars), annualised."""
    returns = np.asarray(returns, dtype=np.float64)
    if returns.shape[-1] < 1:
        return np.full(returns.shape[:-1], np.nan)
    downside = np.sqrt(np.mean(np.minimum(returns, 0.0) ** 2, axis=-1))
    return _ratio(np.mean(returns, axis=-1), downside, returns) * np.sqrt(periods_per_year)


def total_return(returns: np.ndarray) -> np.ndarray:
    """Growth of 1.0 compounded over the bars, less 1."""
    return np.prod(1.0 + np.asarray(returns, dtype=np.float64), axis=-1) - 1.0


def cagr(returns: np.ndarray, years: float) -> np.ndarray:
    """Compound annual growth over a span of ``years``: prod(1 + r) ** (1 / years) - 1."""
    growth = np.prod(1.0 + np.asarray(returns, dtype=np.float64), axis=-1)
    if not years > 0:
        return np.full(np.shape(growth), np.nan)
    with np.errstate(invalid="ignore"):
        return growth ** (1.0 / years) - 1.0


def max_drawdown(returns: np.ndarray) -> np.ndarray:
    """Deepest fall of the compounded curve (starting at 1.0) below its running high, <= 0."""
    returns = np.asarray(returns, dtype=np.float64)
    shape = returns.shape[:-1]
    curve = np.cumprod(1.0 + returns, axis=-1)
    high = np.maximum(np.maximum.accumulate(curve, axis=-1), 1.0)  # the 1.0 before the first bar
    fall = np.min(curve / high, axis=-1, initial=1.0) - 1.0
    return np.reshape(fall, shape)


def calmar(returns: np.ndarray, years: float) -> np.ndarray:
    """CAGR over the depth of the maximum drawdown; NaN without a drawdown."""
    growth, fall = cagr(returns, years), max_drawdown(returns)
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(fall < 0, growth / np.where(fall < 0, -fall, 1.0), np.nan)
