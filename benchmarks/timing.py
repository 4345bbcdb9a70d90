"""Repeated timing: warm-up runs first, then the median and spread of the rest."""

from __future__ import annotations

import gc
import statistics
import time
from collections.abc import Callable
from typing import Any


def measure(fn: Callable[[], Any], repeats: int, warmup: int = 1) -> dict[str, float]:
    """Seconds per call of `fn`: median, quartile spread, min and max."""
    for _ in range(warmup):
        fn()
    samples = []
    for _ in range(repeats):
        gc.collect()  # no collector debt carried from one sample into the next
        start = time.perf_counter_ns()
        fn()
        samples.append((time.perf_counter_ns() - start) * 1e-9)
    return _summary(samples)


def measure_together(
    fns: dict[str, Callable[[], Any]], repeats: int, warmup: int = 1, clock: Callable[[], int] = time.perf_counter_ns
) -> dict[str, dict[str, float]]:
    """`measure` for several calls taking turns, so that a change in the machine's load
    during the run falls on all of them alike and their ratios stay meaningful. `clock`
    counts nanoseconds: wall time by default, `time.thread_time_ns` for this thread's CPU time."""
    for _ in range(warmup):
        for fn in fns.values():
            fn()
    samples: dict[str, list[float]] = {name: [] for name in fns}
    for _ in range(repeats):
        for name, fn in fns.items():
            gc.collect()
            start = clock()
            fn()
            samples[name].append((clock() - start) * 1e-9)
    return {name: _summary(s) for name, s in samples.items()}


def _summary(samples: list[float]) -> dict[str, float]:
    samples = sorted(samples)
    quartiles = statistics.quantiles(samples, n=4) if len(samples) > 1 else samples * 3
    median = statistics.median(samples)
    return {
        "median_s": median,
        "min_s": samples[0],
        "max_s": samples[-1],
        "iqr_rel": (quartiles[2] - quartiles[0]) / median if median > 0 else 0.0,
        "repeats": len(samples),
    }
