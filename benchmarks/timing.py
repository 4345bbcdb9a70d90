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
    samples.sort()
    quartiles = statistics.quantiles(samples, n=4) if len(samples) > 1 else samples * 3
    median = statistics.median(samples)
    return {
        "median_s": median,
        "min_s": samples[0],
        "max_s": samples[-1],
        "iqr_rel": (quartiles[2] - quartiles[0]) / median if median > 0 else 0.0,
        "repeats": len(samples),
    }
