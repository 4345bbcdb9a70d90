"""The strategy against portfolios that hold as many stocks, picked at random."""

from __future__ import annotations

import concurrent.futures as cf
import math
import os
from dataclasses import dataclass, field

import numpy as np
import pandas as pd

from .._checks import is_whole
from ..stats import performance_stats

__all__ = ["RandomBenchmark", "random_benchmark"]

# Fewer random portfolios than this say little about where the strategy ranks.
MIN_PORTFOLIOS = 100


@dataclass(frozen=True, eq=False)
class RandomBenchmark:
    """The strategy's Sharpe ratio among random portfolios; see :meth:`vantrel.BacktestResult.random_benchmark`.

    Attributes
    ----------
    sharpe : float
        The strategy's Sharpe ratio (``result.stats["sharpe"]``).
    samples : ndarray
        The Sharpe ratio of each random portfolio, computed the same way.
    share : float
        The share of random portfolios with a Sharpe ratio at least the
        strategy's (an undefined one counts as lower): a p-value of the null
        hypothesis that the strategy picks stocks no better than chance.
    n : int
        The number of random portfolios.
    seed : int or None
        The seed they were drawn with.
    """

    sharpe: float
    samples: np.ndarray = field(repr=False)
    share: float
    n: int
    seed: int | None

    def quantiles(self, q=(0.05, 0.5, 0.95)) -> pd.Series:
        """Quantiles of the random portfolios' Sharpe ratios (undefined ones left out)."""
        kept = self.samples[~np.isnan(self.samples)]
        values = np.quantile(kept, q) if len(kept) else np.full(len(q), np.nan)
        return pd.Series(values, index=pd.Index(list(q), name="quantile"), name="sharpe")

    def __repr__(self) -> str:
        low, median, high = self.quantiles()
        return (
            f"RandomBenchmark(Sharpe {self.sharpe:.3g} against {self.n} random portfolios: median {median:.3g}, "
            f"5% to 95% {low:.3g} to {high:.3g}; {self.share:.1%} of them at least as high)"
        )


def random_benchmark(result, rerun, *, n: int, seed, workers: int | None) -> RandomBenchmark:
    """Backtest ``n`` random portfolios like ``result``'s and rank its Sharpe ratio among them."""
    if not is_whole(n) or n < MIN_PORTFOLIOS:
        raise ValueError(f"n must be a whole number of at least {MIN_PORTFOLIOS} random portfolios, got {n!r}")
    if seed is not None and not is_whole(seed):
        raise ValueError(f"seed must be a whole number or None, got {seed!r}")
    n = int(n)
    draw = _Draw(rerun.weights, rerun.market)
    seeds = np.random.SeedSequence(None if seed is None else int(seed)).spawn(n)

    def sharpe(child: np.random.SeedSequence) -> float:
        curve = rerun(weights=draw(np.random.default_rng(child))).equity
        return float(performance_stats(curve, risk_free=result.risk_free)["sharpe"])

    if workers is not None and (not is_whole(workers) or workers < 1):
        raise ValueError(f"workers must be a positive whole number of threads, got {workers!r}")
    # The engine runs without the GIL, so threads of this process share the market.
    with cf.ThreadPoolExecutor(max_workers=min(int(workers or _cpus()), n)) as pool:
        samples = np.fromiter(pool.map(sharpe, seeds), dtype=np.float64, count=n)
    own = float(result.stats["sharpe"])
    share = float(np.mean(samples >= own)) if not math.isnan(own) else math.nan
    return RandomBenchmark(sharpe=own, samples=samples, share=share, n=n, seed=seed)


class _Draw:
    """Random weight tables with the strategy's rows, holdings per row and weights.

    On each weight row, as many stocks as the strategy holds there are drawn
    without replacement among those with a close price on the bar the row
    is read on (and not delisted by then), and given the strategy's weights
    of that row in random order: the same gross and net exposure, sizes and
    dates; only the choice of stocks is left to chance. A row with fewer
    priced stocks than holdings gives all of them a weight.
    """

    def __init__(self, book, market) -> None:
        self.index = book.signals
        self.columns = market.columns
        values = np.asarray(book.values)
        held = values != 0.0
        self.width = max(int(held.sum(axis=1).max(initial=0)), 1)
        # Each row's nonzero weights first, in column order; zeros after.
        order = np.argsort(~held, axis=1, kind="stable")[:, : self.width]
        self.weights = np.take_along_axis(np.where(held, values, 0.0), order, axis=1)
        bars = np.clip(market.index.searchsorted(book.signals, side="right") - 1, 0, None)
        priced = ~np.isnan(market.values("close")[bars])
        delisted = market.delisting_bars(market.columns)
        priced &= ~((delisted >= 0)[None, :] & (delisted[None, :] <= bars[:, None]))
        self.priced = priced
        # A row with fewer priced stocks than holdings keeps only as many weights as it has stocks.
        self.weights[np.arange(self.width)[None, :] >= priced.sum(axis=1)[:, None]] = 0.0

    def __call__(self, rng: np.random.Generator) -> pd.DataFrame:
        keys = rng.random(self.priced.shape)
        keys[~self.priced] = 2.0  # unpriced stocks sort last
        picks = np.argpartition(keys, self.width - 1, axis=1)[:, : self.width] if self.width < keys.shape[1] else None
        if picks is None:
            picks = np.argsort(keys, axis=1)
        else:  # argpartition leaves the first ``width`` unordered: order them by key
            picks = np.take_along_axis(picks, np.argsort(np.take_along_axis(keys, picks, axis=1), axis=1), axis=1)
        table = np.zeros(self.priced.shape)
        np.put_along_axis(table, picks[:, : self.width], self.weights, axis=1)
        return pd.DataFrame(table, index=self.index, columns=self.columns)


def _cpus() -> int:
    """The CPUs this process may use."""
    if hasattr(os, "process_cpu_count"):
        return os.process_cpu_count() or 1
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0)) or 1
    return os.cpu_count() or 1
