"""What a worker runs: the sweep's shared data, one variant, and a chunk of variants.

The market (and fixed weights or the strategy) travel to a worker once, as a
``SweepJob``; tasks then carry only variant numbers and parameters. The engine
keeps its results in process-wide state, so a worker process runs one variant
at a time.
"""

from __future__ import annotations

import pickle
import signal
from dataclasses import dataclass, field
from typing import Any, Callable

import pandas as pd

from .._backtest import backtest
from ..market import Market
from .variants import split_parameters

__all__ = ["SweepJob", "PackedJob", "Outcome", "pack", "install", "run_chunk"]


@dataclass(frozen=True)
class Outcome:
    """One variant's statistics (and equity), or the error that stopped it."""

    stats: dict | None = None
    equity: pd.Series | None = None
    error: str | None = None


@dataclass(frozen=True)
class SweepJob:
    """The data every variant of a sweep shares."""

    market: Market
    weights: pd.DataFrame | None
    strategy: Callable[..., pd.DataFrame] | None
    options: dict = field(default_factory=dict)
    keep_equity: bool = False

    def run(self, params: dict) -> Outcome:
        try:
            engine, strategy_params = split_parameters(params)
            if self.strategy is None:
                weights = self.weights
            else:
                weights = self.strategy(self.market, **strategy_params)
            result = backtest(weights, self.market, **{**self.options, **engine})
            stats = result.stats.to_dict()
        except Exception as error:  # the variant's own failure: report it, keep sweeping
            return Outcome(error=describe(error))
        return Outcome(stats=stats, equity=result.equity if self.keep_equity else None)


def describe(error: BaseException) -> str:
    text = str(error)
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


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


def run_chunk(job: SweepJob | PackedJob, chunk: list[tuple[int, dict]]) -> list[tuple[int, Outcome]]:
    """Run consecutive variants; every one of them gets an outcome."""
    try:
        job = _resolve(job)
    except Exception as error:
        failed = Outcome(error=describe(error))
        return [(number, failed) for number, _ in chunk]
    return [(number, job.run(params)) for number, params in chunk]
