"""``vantrel.sweep``: run many backtest variants on one market and tabulate their statistics."""

from __future__ import annotations

import concurrent.futures as cf
import math
from collections.abc import Callable, Mapping

import pandas as pd

from ..market import Market
from .job import Outcome, SweepJob
from .progress import ProgressLine
from .result import SweepResult, assemble
from .routes import default_workers, is_dask_client, run_here, run_local_pool, run_on_dask, run_on_executor
from .variants import check_parameter_names, expand_variants

__all__ = ["sweep"]


def sweep(
    market: Market | pd.DataFrame,
    params,
    *,
    strategy: Callable[..., pd.DataFrame] | None = None,
    weights: pd.DataFrame | None = None,
    options: Mapping | None = None,
    executor=None,
    workers: int | None = None,
    chunksize: int | None = None,
    keep_equity: bool = False,
    progress: bool | None = None,
) -> SweepResult:
    """Backtest every variant of a parameter sweep and tabulate their statistics.

    Parameters
    ----------
    market : Market or DataFrame
        The prices every variant trades; a DataFrame is taken as close prices.
    params : dict, list of dicts or DataFrame
        The variants. A dict is a grid: its lists, tuples, ranges and 1-D
        arrays are axes combined in every way (the first name varies slowest),
        any other value is fixed. A list of dicts or the rows of a DataFrame
        are the variants themselves. Parameters named like ``backtest``
        options (``stop_loss``, ``rebalance``, ...) go to the backtest, all
        others to ``strategy``.
    strategy : callable, optional
        ``strategy(market, **params) -> weights``: builds each variant's
        target weights from its own parameters. Must be picklable for other
        processes (defined at module level, or anything when cloudpickle is
        installed).
    weights : DataFrame, optional
        Fixed target weights for every variant, when only backtest options
        vary. Give ``weights`` or ``strategy``.
    options : dict, optional
        Backtest options shared by every variant; a variant's own parameter
        of the same name wins.
    executor : None, concurrent.futures.Executor or dask.distributed.Client
        None: a process pool of ``workers`` processes, each loading the market
        once (``workers=1`` runs here, in this process). A Dask client: the
        market is scattered to every worker once. Any other Executor: the
        market travels with each chunk of variants.
    workers : int, optional
        Size of the local pool; defaults to the CPUs this process may use.
    chunksize : int, optional
        Variants per task. Defaults to 1 where the workers hold the market,
        and to a few chunks per CPU on other executors.
    keep_equity : bool
        Also keep every variant's equity curve (``SweepResult.equity``).
    progress : bool, optional
        Show a progress line with ETA on stderr; by default only on a terminal.

    Returns
    -------
    SweepResult
        ``.table`` has one row per variant in input order, the same whatever
        the route and however the work was scheduled. A variant that raised
        has its error text in the ``error`` column and missing statistics;
        the rest of the sweep still runs. Ctrl-C cancels the pending
        variants, stops the local pool's workers and re-raises.
    """
    if isinstance(market, pd.DataFrame):
        market = Market(market)
    if not isinstance(market, Market):
        raise TypeError(f"market must be a Market or a DataFrame of close prices, got {type(market).__name__}")
    if (strategy is None) == (weights is None):
        raise ValueError("give either weights (fixed for every variant) or a strategy that builds them")
    if strategy is not None and not callable(strategy):
        raise TypeError(f"strategy must be callable, got {type(strategy).__name__}")
    options = dict(options or {})
    names, variants = expand_variants(params)
    check_parameter_names(names, options, strategy)
    if workers is not None and (executor is not None or workers < 1):
        raise ValueError("workers sizes the local pool: a positive number, and only without an executor")
    if chunksize is not None and chunksize < 1:
        raise ValueError(f"chunksize must be at least 1, got {chunksize}")

    job = SweepJob(market, weights, strategy, options, bool(keep_equity))
    outcomes: list[Outcome | None] = [None] * len(variants)
    line = ProgressLine(len(variants), enabled=progress)

    def collect(finished: list) -> None:
        for number, outcome in finished:
            outcomes[number] = outcome
        line.advance(len(finished))

    try:
        _dispatch(job, list(enumerate(variants)), collect, executor, workers, chunksize)
    finally:
        line.close()
    return assemble(names, variants, outcomes, keep_equity=bool(keep_equity), dates=market.index)


def _dispatch(job, numbered: list, collect, executor, workers, chunksize) -> None:
    if not numbered:
        return
    if executor is None:
        workers = min(workers or default_workers(), len(numbered))
        chunks = _chunks(numbered, chunksize or 1)
        if workers == 1:
            run_here(job, chunks, collect)
        else:
            run_local_pool(job, chunks, collect, workers)
    elif is_dask_client(executor):
        run_on_dask(executor, job, _chunks(numbered, chunksize or 1), collect)
    elif isinstance(executor, cf.Executor):
        size = chunksize or max(1, math.ceil(len(numbered) / (4 * default_workers())))
        run_on_executor(executor, job, _chunks(numbered, size), collect)
    else:
        raise TypeError(
            "executor must be None, a concurrent.futures.Executor or a dask.distributed.Client, "
            f"got {type(executor).__name__}"
        )


def _chunks(items: list, size: int) -> list[list]:
    return [items[start:start + size] for start in range(0, len(items), size)]
