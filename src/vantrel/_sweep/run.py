"""``vantrel.sweep``: run many backtest variants on one market and tabulate their statistics."""

from __future__ import annotations

import concurrent.futures as cf
import functools
import logging
import math
import numbers
import re
from collections.abc import Callable, Mapping
from pathlib import Path

import pandas as pd

from .._checks import preview
from .._results.sweep import SweepResult
from .._version import __version__
from ..market import Market
from .job import Outcome, SweepJob, pack
from .keys import Unencodable, fingerprint, market_fingerprint
from .main_guard import refuse_unguarded_main
from .pool import run_processes
from .progress import ProgressLine
from .routes import default_workers, is_dask_client, run_here, run_on_dask, run_on_executor, run_threads
from .store import StoreIdentity, SweepStore, grid_values
from .table import assemble
from .variants import check_parameter_names, expand_variants, split_parameters

__all__ = ["parse_memory", "sweep"]

log = logging.getLogger("vantrel.sweep")

_LOCAL = (None, "threads", "processes")


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
    keep_returns: bool = True,
    progress: bool | None = None,
    store: str | Path | None = None,
    resume: bool = False,
    overwrite: bool = False,
    timeout: float | None = None,
    max_memory: int | str | None = None,
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
        target weights from its own parameters. It is called once per
        distinct set of strategy parameters; variants that differ only in
        backtest options share its weights. On worker processes it must be
        picklable (defined at module level, or anything when cloudpickle is
        installed).
    weights : DataFrame, optional
        Fixed target weights for every variant, when only backtest options
        vary. Give ``weights`` or ``strategy``.
    options : dict, optional
        Backtest options shared by every variant; a variant's own parameter
        of the same name wins.
    executor : None, "threads", "processes", concurrent.futures.Executor or dask.distributed.Client
        Where the variants run. None (the default) is ``"threads"``, or
        ``"processes"`` when ``timeout`` or ``max_memory`` is given.
        ``"threads"``: ``workers`` threads of this process sharing the market
        (``workers=1`` runs in the calling thread). ``"processes"``:
        ``workers`` worker processes that each load the market once. A Dask
        client: the market is scattered to every worker once. Any other
        Executor: the market travels with each chunk of variants.
    workers : int, optional
        Threads or processes of the local routes; defaults to the CPUs this
        process may use.
    chunksize : int, optional
        Variants per task. Defaults to 1 where the workers hold the market,
        and to a few chunks per CPU on other executors.
    keep_equity : bool
        Also keep every variant's equity curve (``SweepResult.equity``).
    keep_returns : bool
        Keep every variant's per-bar returns (``SweepResult.returns``), which
        :meth:`SweepResult.overfitting` and :func:`vantrel.walk_forward` work
        on; in ``store`` they are kept as the equity curve they come from.
        False keeps only the table: for sweeps too large to hold a curve per
        variant.
    progress : bool, optional
        Show a progress line with ETA on stderr; by default only on a terminal.
    store : str or Path, optional
        An SQLite file to which every finished variant is written as it
        finishes, keyed by a fingerprint of its parameters, the options, the
        strategy, the market and the vantrel version. A store that already
        holds variants is refused unless ``resume`` is True; one written by a
        different sweep (market, grid, options, strategy or version) is
        refused unless ``overwrite`` is True.
    resume : bool
        Continue the sweep in ``store``: variants already there are read back,
        only the others run, and the result is the table an uninterrupted run
        gives. A missing store starts afresh.
    overwrite : bool
        Replace whatever sweep ``store`` holds with this one (not with ``resume``).
    timeout : float, optional
        Seconds a variant may run. One that runs longer gets an error row and
        its worker process is killed and replaced (on Dask the worker is
        restarted). Needs worker processes: not available with
        ``executor="threads"`` or another Executor.
    max_memory : int or str, optional
        Address-space cap of each worker process, in bytes or as text such as
        ``"2GiB"`` or ``"512MB"``. A variant that exceeds it gets an error row
        naming the cap. Local worker processes only (Dask workers have their
        own ``memory_limit``).

    Returns
    -------
    SweepResult
        ``.table`` has one row per variant in input order, the same whatever
        the route and however the work was scheduled. A variant that raised
        has its error text in the ``error`` column and missing statistics;
        the rest of the sweep still runs. Ctrl-C cancels the pending
        variants, stops the worker processes and re-raises; everything
        finished is already in ``store``.
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
    route = _route(executor, workers, timeout, max_memory)
    if route == "processes":
        refuse_unguarded_main()
    if chunksize is not None and chunksize < 1:
        raise ValueError(f"chunksize must be at least 1, got {chunksize}")
    if timeout is not None:
        timeout = _positive_seconds(timeout)
    if max_memory is not None:
        max_memory = parse_memory(max_memory)
    if resume and store is None:
        raise ValueError("resume=True continues a store: give store= as well")
    if resume and overwrite:
        raise ValueError("resume=True continues the store and overwrite=True replaces it: give one of them")

    # Returns are carried as the equity curves they come from.
    curves = bool(keep_equity) or bool(keep_returns)
    job = SweepJob(market, weights, strategy, options, curves)
    outcomes: list[Outcome | None] = [None] * len(variants)
    numbered = [(number, variant, _weights_key(strategy, variant)) for number, variant in enumerate(variants)]
    writer: SweepStore | None = None
    keys: list[str] = []
    if store is not None:
        keys, identity = _identity(market, strategy, weights, options, names, variants)
        writer = SweepStore.open(store, identity, market.index, resume=resume, overwrite=overwrite)
    try:
        if writer is not None:
            for number, outcome in writer.finished(keys, need_equity=curves).items():
                outcomes[number] = outcome
            numbered = [variant for variant in numbered if outcomes[variant[0]] is None]
            log.info(
                "store %s: %d of %d variants already there; running %d",
                writer.path,
                len(variants) - len(numbered),
                len(variants),
                len(numbered),
            )
        line = ProgressLine(len(variants), enabled=progress, already=len(variants) - len(numbered))

        def collect(finished: list) -> None:
            if writer is not None:  # first: a variant reported finished is always in the store
                writer.write((number, keys[number], variants[number], outcome) for number, outcome in finished)
            for number, outcome in finished:
                outcomes[number] = outcome
                if outcome.error is None:
                    log.debug("variant %d finished in %.3f s", number, outcome.seconds or 0.0)
                else:
                    log.debug("variant %d failed: %s", number, outcome.error)
            line.advance(len(finished))

        try:
            _dispatch(job, _grouped(numbered), collect, route, workers, chunksize, timeout, max_memory)
        finally:
            line.close()
    finally:
        if writer is not None:
            writer.close()
    done = [outcome for outcome in outcomes if outcome is not None]
    assert len(done) == len(outcomes), "every variant has an outcome"
    return assemble(
        names, variants, done, keep_equity=bool(keep_equity), keep_returns=bool(keep_returns), dates=market.index
    )


def _route(executor, workers, timeout, max_memory):
    local = isinstance(executor, str) or executor is None
    if local and executor not in _LOCAL:
        raise ValueError(f'executor must be None, "threads" or "processes" when given as text, got {executor!r}')
    if workers is not None and (not local or not isinstance(workers, numbers.Integral) or workers < 1):
        raise ValueError(
            "workers sizes the local pool of threads or processes: a positive number, "
            'and only with executor None, "threads" or "processes"'
        )
    bounded = [name for name, value in (("timeout", timeout), ("max_memory", max_memory)) if value is not None]
    if executor is None:
        return "processes" if bounded else "threads"
    if executor == "threads" and bounded:
        raise ValueError(
            f"{' and '.join(bounded)} need worker processes (a thread cannot be stopped or capped): "
            'use executor="processes" or leave executor unset'
        )
    if local:
        return executor
    if is_dask_client(executor):
        if max_memory is not None:
            raise ValueError("max_memory caps local worker processes; on Dask, give the workers a memory_limit")
        return executor
    if isinstance(executor, cf.Executor):
        if bounded:
            raise ValueError(
                f'{" and ".join(bounded)} need the sweep\'s own workers: use executor="processes" '
                "or a Dask client, not another Executor"
            )
        return executor
    raise TypeError(
        'executor must be None, "threads", "processes", a concurrent.futures.Executor or a '
        f"dask.distributed.Client, got {type(executor).__name__}"
    )


def _dispatch(job, numbered: list, collect, route, workers, chunksize, timeout, max_memory) -> None:
    if not numbered:
        return
    # A variant that may be stopped on its own (timeout) or whose worker may die of a
    # memory cap runs alone; others run as native batches of one weight table each.
    bounded = timeout is not None or max_memory is not None
    shared = job.strategy is None
    if route in ("threads", "processes"):
        workers = min(workers or default_workers(), len(numbered))
        chunks = _chunks(numbered, chunksize or 1) if bounded else _batches(numbered, chunksize, workers, shared)
        if route == "processes":
            run_processes(
                job,
                chunks,
                collect,
                workers,
                blob=pack(job),
                timeout=timeout,
                max_memory=max_memory,
                batched=not bounded,
            )
        elif workers == 1:
            run_here(job, chunks, collect)
        else:
            run_threads(job, chunks, collect, workers)
    elif is_dask_client(route):
        # A Dask worker's variants are timed one by one when there is a timeout.
        if timeout is not None:
            chunks = _chunks(numbered, chunksize or 1)
        else:
            chunks = _batches(numbered, chunksize, default_workers(), shared)
        run_on_dask(route, job, chunks, collect, timeout=timeout)
    else:
        size = chunksize or max(1, math.ceil(len(numbered) / (4 * default_workers())))
        run_on_executor(route, job, _chunks(numbered, size), collect)


def _chunks(items: list, size: int) -> list[list]:
    return [items[start : start + size] for start in range(0, len(items), size)]


# Variants per native batch: enough that a batch costs little per variant, few enough
# that the workers share the work evenly and a batch's results stay small in memory.
_BATCH_MOST = 16


def _batches(numbered: list, chunksize: int | None, workers: int, shared: bool) -> list[list]:
    """The variants (grouped by weight table) cut into batches of one weight table each:
    ``chunksize`` variants, or by default about two batches per worker (at most 16 each,
    so that a batch's results stay small)."""
    batches: list[list] = []
    start = 0
    while start < len(numbered):
        key = numbered[start][2]
        end = start + 1
        while end < len(numbered) and (shared or (key is not None and numbered[end][2] == key)):
            end += 1
        size = chunksize or min(_BATCH_MOST, max(1, math.ceil((end - start) / (2 * workers))))
        batches.extend(_chunks(numbered[start:end], size))
        start = end
    return batches


def _weights_key(strategy, variant: dict) -> str | None:
    """Fingerprint of a variant's strategy parameters; None where the weights cannot be shared."""
    if strategy is None:
        return None
    try:
        return fingerprint(split_parameters(variant)[1])
    except Unencodable:
        return None


def _grouped(numbered: list) -> list:
    """Variants with the same strategy parameters next to each other (at the first one's place), so
    their shared weights are built once and can be dropped soon after."""
    first: dict = {}
    order = []
    for position, (_, _, key) in enumerate(numbered):
        order.append((position if key is None else first.setdefault(key, position), position))
    return [numbered[position] for _, position in sorted(order)]


def _identity(market: Market, strategy, weights, options: dict, names: list[str], variants: list[dict]):
    version = __version__
    market_id = market_fingerprint(market)
    source = _source(strategy) if strategy is not None else f"weights {fingerprint(weights)}"
    try:
        shared = fingerprint(options, source, market_id, version)
    except Unencodable as error:
        raise TypeError(f"options cannot be written to a store: {error}") from None
    keys = []
    for number, variant in enumerate(variants):
        try:
            keys.append(fingerprint(variant, shared))
        except Unencodable:
            bad = [name for name, value in variant.items() if _unencodable(value)]
            raise TypeError(
                f"variant {number} cannot be written to a store: parameters {preview(bad)} have no stable "
                "fingerprint (use numbers, text, dates, arrays or pandas objects)"
            ) from None
    identity = StoreIdentity(
        version=version,
        market=market_id,
        source=source,
        options=_options_text(options),
        sweep=fingerprint(names, keys),
        parameters=tuple(names),
        variants=len(variants),
        grid=grid_values(names, variants),
    )
    return keys, identity


def _options_text(options: dict) -> str:
    """The shared options as a reader can compare them; a fingerprint stands for what text cannot show."""
    if not options:
        return "no options"
    text = ", ".join(f"{name}={value!r}" for name, value in sorted(options.items()))
    plain = all(value is None or isinstance(value, (str, bool, numbers.Number)) for value in options.values())
    return text if plain and len(text) <= 200 else f"{text[:200]}... (fingerprint {fingerprint(options)[:12]})"


def _unencodable(value) -> bool:
    try:
        fingerprint(value)
    except Unencodable:
        return True
    return False


def _source(strategy) -> str:
    """The strategy by name (its code cannot be fingerprinted): module, qualified name, bound arguments."""
    if isinstance(strategy, functools.partial):
        try:
            bound = fingerprint(list(strategy.args), dict(strategy.keywords))
        except Unencodable:
            bound = "?"
        return f"{_source(strategy.func)} with arguments {bound}"
    target = strategy if hasattr(strategy, "__qualname__") else type(strategy)
    return f"strategy {getattr(target, '__module__', '?')}.{target.__qualname__}"


def _positive_seconds(value) -> float:
    seconds = float(value) if not isinstance(value, bool) and isinstance(value, numbers.Real) else math.nan
    if not (math.isfinite(seconds) and seconds > 0):
        raise ValueError(f"timeout must be a positive number of seconds, got {value!r}")
    return seconds


_UNITS = {
    "": 1,
    "b": 1,
    "k": 10**3,
    "kb": 10**3,
    "kib": 2**10,
    "m": 10**6,
    "mb": 10**6,
    "mib": 2**20,
    "g": 10**9,
    "gb": 10**9,
    "gib": 2**30,
    "t": 10**12,
    "tb": 10**12,
    "tib": 2**40,
}


def parse_memory(value) -> int:
    """Bytes from a number of bytes or text such as ``"2GiB"``, ``"512 MB"``, ``"1.5g"``."""
    if not isinstance(value, bool) and isinstance(value, numbers.Integral) and int(value) > 0:
        return int(value)
    match = re.fullmatch(r"\s*([0-9]+(?:\.[0-9]*)?)\s*([a-zA-Z]*)\s*", value) if isinstance(value, str) else None
    unit = match and _UNITS.get(match.group(2).lower())
    if not match or unit is None or float(match.group(1)) * unit < 1:
        raise ValueError(
            f'max_memory must be a positive number of bytes or text such as "2GiB" or "512MB", got {value!r}'
        )
    return int(float(match.group(1)) * unit)
