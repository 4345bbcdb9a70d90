"""What a worker runs: the sweep's shared data, one variant, and a chunk of variants.

The market (and fixed weights or the strategy) reach a worker once, as a
``SweepJob``: threads share the caller's objects, worker processes load a
pickled copy once. Tasks then carry only variant numbers and parameters.

Variants that differ only in backtest options (stop levels, calendars) share
their strategy parameters, so a job computes the weights once per strategy
parameter set and hands the same frame to each of those backtests (the
backtest never modifies it).
"""

from __future__ import annotations

import pickle
import signal
import threading
import time
from collections import OrderedDict
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import pandas as pd

from .._backtest import CheckedWeights, backtest
from .._backtest.backtest import prepare_backtest
from .._backtest.engine import run_engine_batch
from ..market import Market
from ..stats import with_dates
from .batch_stats import batch_stats
from .variants import split_parameters

__all__ = ["Outcome", "PackedJob", "SweepJob", "Variant", "describe", "format_bytes", "install", "pack", "run_chunk"]

Variant = tuple  # (variant number, parameters, key of its strategy parameters or None)


@dataclass(frozen=True)
class Outcome:
    """One variant's statistics (and equity), or the error that stopped it."""

    stats: dict | None = None
    equity: pd.Series | None = None
    error: str | None = None
    seconds: float | None = None  # wall time of the variant in its worker


class SweepJob:
    """The data every variant of a sweep shares, and the weights recently built from it."""

    def __init__(
        self,
        market: Market,
        weights: pd.DataFrame | None,
        strategy: Callable[..., pd.DataFrame] | None,
        options: dict | None = None,
        keep_equity: bool = False,
    ) -> None:
        self.market = market
        self.weights = weights
        self.strategy = strategy
        self.options = dict(options or {})
        self.keep_equity = keep_equity
        self.memory_cap: int | None = None  # set in a worker process capped by max_memory
        self.cache = WeightCache()

    def __getstate__(self) -> dict:
        state = self.__dict__.copy()
        del state["cache"]  # built weights stay where they were built
        return state

    def __setstate__(self, state: dict) -> None:
        self.__dict__.update(state)
        self.cache = WeightCache()

    def run(self, params: dict, weights_key: str | None = None) -> Outcome:
        started = time.perf_counter()
        try:
            engine, strategy_params = split_parameters(params)
            weights = self._weights(strategy_params, weights_key)
            result = backtest(weights, self.market, **{**self.options, **engine})
            stats = with_dates(result.stats, result.dates).to_dict()
        except Exception as error:  # the variant's own failure: report it, keep sweeping
            return Outcome(error=self._describe(error), seconds=time.perf_counter() - started)
        return Outcome(
            stats=stats, equity=result.equity if self.keep_equity else None, seconds=time.perf_counter() - started
        )

    def _weights(self, strategy_params: dict, weights_key: str | None):
        """Weights are checked once per strategy parameter set (and once for fixed
        weights), then shared by every variant that uses them."""
        strategy = self.strategy
        if strategy is None:
            return self.cache.get("", lambda: CheckedWeights(self.weights, self.market))
        if weights_key is None:
            return strategy(self.market, **strategy_params)
        return self.cache.get(
            weights_key, lambda: CheckedWeights(strategy(self.market, **strategy_params), self.market)
        )

    def run_many(self, chunk: list[Variant], *, threads: int | None = 1) -> list[tuple[int, Outcome]]:
        """Consecutive variants; those that share a weight table run as one native batch.

        Each variant is checked as ``backtest`` checks it (a refused one gets its
        error row), the batch runs with the GIL released on ``threads`` native
        threads, and the statistics of all its variants are computed together.
        The rows are those of single runs, to the bit.
        """
        done: list[tuple[int, Outcome]] = []
        for start, end in _runs_of_one_table(chunk, shared=self.strategy is None):
            group = chunk[start:end]
            if end - start == 1 and self.strategy is not None and group[0][2] is None:
                number, params, weights_key = group[0]
                done.append((number, self.run(params, weights_key)))
            else:
                done.extend(self._run_batch(group, threads))
        return done

    def _run_batch(self, group: list[Variant], threads: int | None) -> list[tuple[int, Outcome]]:
        started = time.perf_counter()
        outcomes: dict[int, Outcome] = {}
        prepared = []
        try:
            weights = self._weights(split_parameters(group[0][1])[1], group[0][2])
        except Exception as error:  # the strategy failed: every variant of its parameter set does
            failed = Outcome(error=self._describe(error), seconds=time.perf_counter() - started)
            return [(number, failed) for number, *_ in group]
        for number, params, _ in group:
            try:
                prepared.append(
                    (number, prepare_backtest(weights, self.market, **{**self.options, **split_parameters(params)[0]}))
                )
            except Exception as error:
                outcomes[number] = Outcome(error=self._describe(error))
        try:
            outputs: list = run_engine_batch([run.engine for _, run in prepared], threads=threads)
        except Exception as error:  # the batch refused as a whole: every variant in it fails alike
            outputs = [error] * len(prepared)
        ran = []
        for (number, run), output in zip(prepared, outputs, strict=True):
            if isinstance(output, BaseException):
                outcomes[number] = Outcome(error=self._describe(output))
            else:
                ran.append((number, run, output))
        try:
            rows = batch_stats([run for _, run, _ in ran], [output for *_, output in ran])
        except Exception:  # a statistic that fails for one fails it alone: find it one by one
            rows = None
        for position, (number, run, output) in enumerate(ran):
            try:
                stats = rows[position] if rows is not None else batch_stats([run], [output])[0]
                # The curve as the variant's result holds it, on the bars its checked weights give.
                curve = output.values[run.first :]
                equity = pd.Series(curve, index=run.book.curve_bars, name="equity") if self.keep_equity else None
            except Exception as error:
                outcomes[number] = Outcome(error=self._describe(error))
            else:
                outcomes[number] = Outcome(stats=stats, equity=equity)
        seconds = (time.perf_counter() - started) / len(group)  # a share of the batch
        return [(number, _with_seconds(outcomes[number], seconds)) for number, *_ in group]

    def _describe(self, error: BaseException) -> str:
        text = describe(error)
        if isinstance(error, MemoryError) and self.memory_cap is not None:
            text += f" (the worker process is capped at {format_bytes(self.memory_cap)} by max_memory)"
        return text


def _with_seconds(outcome: Outcome, seconds: float) -> Outcome:
    return Outcome(stats=outcome.stats, equity=outcome.equity, error=outcome.error, seconds=seconds)


def _runs_of_one_table(chunk: list[Variant], *, shared: bool) -> list[tuple[int, int]]:
    """(start, end) of the runs of consecutive variants with one weight table: all of
    them for fixed weights, else those of one strategy parameter set (a variant whose
    parameters have no fingerprint is a run of its own)."""
    spans: list[tuple[int, int]] = []
    for position, (_, _, key) in enumerate(chunk):
        if spans and (shared or (key is not None and chunk[spans[-1][0]][2] == key)):
            spans[-1] = (spans[-1][0], position + 1)
        else:
            spans.append((position, position + 1))
    return spans


class _Slot:
    def __init__(self) -> None:
        self.ready = threading.Event()
        self.weights = None
        self.error: BaseException | None = None


class WeightCache:
    """The weights of the last few strategy parameter sets; each is built once even when threads race for it.

    A sweep hands out variants grouped by strategy parameters, so a handful
    of entries (one per worker, and one to spare) serve every hit. A strategy
    that raises raises the same way for every variant of its parameter set.
    """

    def __init__(self, capacity: int = 4) -> None:
        self.capacity = capacity
        self._lock = threading.Lock()
        self._slots: OrderedDict[str, _Slot] = OrderedDict()

    def get(self, key: str, build: Callable[[], Any]):
        with self._lock:
            slot = self._slots.get(key)
            builder = slot is None
            if slot is None:
                slot = self._slots[key] = _Slot()
                while len(self._slots) > self.capacity:
                    self._slots.popitem(last=False)
            else:
                self._slots.move_to_end(key)
        if builder:
            try:
                slot.weights = build()
            except Exception as error:
                slot.error = error
            except BaseException as error:  # SystemExit and the like: not a result to share
                slot.error = error
                with self._lock:
                    if self._slots.get(key) is slot:
                        del self._slots[key]
                raise
            finally:
                slot.ready.set()
        else:
            slot.ready.wait()
        if slot.error is not None:
            raise slot.error.with_traceback(None)
        return slot.weights


def describe(error: BaseException) -> str:
    text = str(error)
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


def format_bytes(size: int) -> str:
    for unit, scale in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if size >= scale:
            return f"{size / scale:.3g} {unit}"
    return f"{size} bytes"


@dataclass(frozen=True)
class PackedJob:
    """A reference to a job by token, with its pickled bytes unless the worker already holds it."""

    token: str
    blob: bytes | None = None


def pack(job: SweepJob) -> bytes:
    """Pickle a job for other processes; strategies defined interactively go by value where cloudpickle is installed."""
    try:
        import cloudpickle as pickler
    except ImportError:
        pickler = pickle
    try:
        return pickler.dumps(job, protocol=pickle.HIGHEST_PROTOCOL)
    except Exception as error:
        raise TypeError(
            f"the sweep cannot be sent to worker processes ({describe(error)}); "
            "define the strategy at module level, or install cloudpickle"
        ) from error


# The job this worker process holds (at most one: a sweep's data can be large),
# or the error that unpickling it raised.
_held: dict[str, Any] = {}


def install(token: str, blob: bytes) -> None:
    """Process-pool initializer: load the job once; Ctrl-C is the parent's to handle."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    _load(token, blob)


def _load(token: str, blob: bytes) -> None:
    _held.clear()
    try:
        _held[token] = pickle.loads(blob)
    except Exception as error:  # e.g. a strategy this process cannot import
        _held[token] = RuntimeError(f"the worker could not load the sweep's data: {describe(error)}")


def _resolve(job: SweepJob | PackedJob) -> SweepJob:
    if isinstance(job, SweepJob):
        return job
    if job.token not in _held:
        if job.blob is None:
            raise RuntimeError("the worker does not hold the sweep's data")
        _load(job.token, job.blob)
    held = _held[job.token]
    if isinstance(held, Exception):
        raise held
    return held


def run_chunk(job: SweepJob | PackedJob, chunk: list[Variant]) -> list[tuple[int, Outcome]]:
    """Run consecutive variants; every one of them gets an outcome."""
    try:
        job = _resolve(job)
    except Exception as error:
        failed = Outcome(error=describe(error))
        return [(number, failed) for number, *_ in chunk]
    return job.run_many(chunk)
