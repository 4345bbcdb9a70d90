"""Many backtests at once on threads of one process, sharing read-only inputs: each run
gives exactly what it gives alone (the engine keeps no state and releases the GIL)."""

import random
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from engine_builders import arrays, package_arguments, package_run, positional, ts

_engine = pytest.importorskip("vantrel.core._engine")

VARIANTS = [
    dict(stop_loss=0.05),
    dict(stop_loss=0.08, take_profit=0.1, touched_exit=True),
    dict(trail_stop=0.04, trail_stop_activation=0.02, touched_exit=True),
    dict(stop_loss=0.1, exvalo_window=20, exvalo_window_step=5, retain_cost_when_rebalance=True),
    dict(position_limit=0.05, periodically_rebalance=False, stop_trading_next_period=False),
    dict(take_profit=0.06, fee_ratio=0.002, tax_ratio=0.003),
]


def shared_market(n_bars=1500, n_stocks=60, seed=11):
    rng = np.random.default_rng(seed)
    close = 100 * np.exp(np.cumsum(rng.normal(0, 0.02, (n_bars, n_stocks)), axis=0))
    open_ = close * np.exp(rng.normal(0, 0.01, close.shape))
    high = np.maximum(open_, close) * np.exp(np.abs(rng.normal(0, 0.01, close.shape)))
    low = np.minimum(open_, close) * np.exp(-np.abs(rng.normal(0, 0.01, close.shape)))
    weights = {}
    for b in range(20, n_bars - 1, 21):  # monthly: the 15 best of the last month, equal weight
        momentum = close[b] / close[b - 20]
        row = np.zeros(n_stocks)
        row[np.argsort(-momentum)[:15]] = 1 / 15
        weights[ts(b) + 1] = row
    args = arrays(open_, weights, close=close, high=high, low=low, open=open_)
    for value in args.values():
        if isinstance(value, np.ndarray):
            value.flags.writeable = False  # shared, read-only
    return positional(args)


def identical(a, b) -> bool:
    """Two results are the same to the bit, field by field."""
    if a.values.tobytes() != b.values.tobytes():
        return False
    for table in ("trades", "portfolio"):
        x, y = getattr(a, table), getattr(b, table)
        if x.dtype != y.dtype or x.shape != y.shape or x.tobytes() != y.tobytes():
            return False
    return (a.weight_row, a.next_weight_row) == (b.weight_row, b.next_weight_row)


def test_threads_give_what_sequential_runs_give():
    args = shared_market()
    alone = [package_run(*args, **options) for options in VARIANTS]
    assert all(len(result.trades) > 50 for result in alone)
    jobs = [i for i in range(len(VARIANTS)) for _ in range(4)]
    random.Random(1).shuffle(jobs)

    def job(i):
        return i, package_run(*args, **VARIANTS[i])

    with ThreadPoolExecutor(max_workers=6) as pool:
        results = list(pool.map(job, jobs))
    for i, result in results:
        assert identical(result, alone[i]), VARIANTS[i]


def test_other_threads_run_while_a_backtest_is_inside_the_engine():
    """With time slicing switched off, a thread gets the interpreter during a run only if
    the run releases it: it counts its turns from the run's start to its end."""
    args = shared_market(n_bars=3000, n_stocks=200)
    started, done = threading.Event(), threading.Event()
    turns = 0

    def backtest():
        started.set()
        package_run(*args, stop_loss=0.05, exvalo_window=60)
        done.set()

    def count_turns():
        nonlocal turns
        started.wait()
        while not done.is_set():
            turns += 1
            time.sleep(0)  # hands the interpreter back whenever someone waits for it

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        threads = [threading.Thread(target=count_turns), threading.Thread(target=backtest)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    # Setup in Python may hand over a few turns; a run that keeps the interpreter gives
    # no more than that (0 to 3 seen), one that releases it gives hundreds.
    assert turns >= 20, turns


def test_a_batch_on_native_threads_gives_what_single_runs_give():
    """One call, the shared arguments once and each variant's own on top, on a pool of
    native threads; a refused variant keeps its error and the rest still run. The long
    rows (above the kernel's own 8,192-stock sum) take the interpreter from pool threads."""
    args = shared_market()
    shared = {k: v for k, v in package_arguments(*args).items() if v is not None}
    overrides = [
        {k: v for k, v in package_arguments(*args, **options).items() if v is not None and v is not shared.get(k)}
        for options in VARIANTS
    ]
    alone = [package_run(*args, **options) for options in VARIANTS]
    refused = dict(fee_ratio=float("nan"))
    rng = np.random.default_rng(4)
    n = 9_000
    prices = 100 * np.exp(np.cumsum(rng.normal(0, 0.02, (4, n)), axis=0))
    wide = arrays(prices, {ts(0) - 1: rng.normal(0, 1, n)}, columns=[f"S{i}" for i in range(n)])
    wide_shared = {k: v for k, v in package_arguments(*positional(wide)).items() if v is not None}
    for threads in (1, 4):
        out = _engine.run_batch(shared, [*overrides[:3], refused, *overrides[3:]] * 2, threads=threads)
        assert isinstance(out[3], ValueError) and isinstance(out[len(VARIANTS) + 4], ValueError)
        kept = [result for result in out if not isinstance(result, ValueError)]
        assert all(identical(a, b) for a, b in zip(kept, alone * 2, strict=True))
        wide_out = _engine.run_batch(wide_shared, [{}, {"fee_ratio": 0.01}] * 3, threads=threads)
        wide_alone = [_engine.run(**wide_shared), _engine.run(**{**wide_shared, "fee_ratio": 0.01})]
        assert all(identical(a, b) for a, b in zip(wide_out, wide_alone * 3, strict=True))
