"""Many runs in one process: borrowed arguments are released and memory stays flat."""

import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

from engine_builders import arrays, labels, positional, ts
from vantrel._stops import StopTable
from vantrel.core import simora

N_BARS, N_STOCKS, WARM_UP, RUNS = 120, 30, 200, 300


def scenario():
    """A busy run: monthly rows of mixed longs and shorts, swinging prices with
    gaps and missing values, stops that fire, a delisting."""
    rng = np.random.default_rng(7)
    prices = 10 * np.exp(np.cumsum(rng.normal(0, 0.04, (N_BARS, N_STOCKS)), axis=0))
    prices[rng.random(prices.shape) < 0.02] = np.nan
    weights = {ts(b): list(rng.choice([-0.1, 0.0, 0.05, 0.1], N_STOCKS)) for b in range(0, N_BARS, 20)}
    # Labels made at run time, not shared with the interpreter's caches.
    names = [f"stock {i}" for i in range(N_STOCKS)]
    args = arrays(
        prices, weights, close=prices * 1.01, columns=names, high=prices * 1.03, low=prices * 0.97, open=prices * 1.002
    )
    delisting = np.full(N_STOCKS, -1, np.int64)
    delisting[3] = N_BARS // 2
    stop = StopTable(np.full((2, N_STOCKS), 0.08), np.arange(N_BARS) % 2)
    options = {
        "stop_loss": stop,
        "take_profit": 0.15,
        "trail_stop": 0.05,
        "trail_stop_activation": 0.02,
        "delisting_bars": delisting,
        "exvalo_window": 5,
        "exvalo_window_step": 2,
    }
    return args, options


def run_variants(args, options):
    values = simora.backtest_(*positional(args), **options)
    simora.backtest_(
        *positional(args), touched_exit=True, stop_trading_next_period=False, retain_cost_when_rebalance=True, **options
    )
    simora.get_trade_stocks(args["pos_columns"], args["price_index"], True)
    simora.get_stock_operations()
    bad = dict(args, price_values=args["price_values"].copy())
    bad["price_values"][62, :] = -1.0  # the bar after a rebalance
    with pytest.raises(ValueError, match="^Invalid trading price"):
        simora.backtest_(*positional(bad), **options)
    with pytest.raises(ValueError, match="^Position values do not match"):
        simora.backtest_(*positional(dict(args, pos_columns=labels(["A"]))), **options)
    return values


def refcounts(args, options):
    # Small ints are shared by the whole interpreter: leave them out.
    objects = list(args.values()) + [o for o in options.values() if not isinstance(o, int)]
    objects += list(args["price_columns"]) + list(args["pos_columns"])
    objects += [options["stop_loss"].values, options["stop_loss"].rows]
    return [sys.getrefcount(o) for o in objects]


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def small_blocks(snapshot):
    # The interpreter's string table is reallocated whole now and then (one
    # block of a megabyte or more); that is not growth of the engine's state.
    return sum(trace.size for trace in snapshot.traces if trace.size < 256 * 1024)


def test_repeated_runs_release_arguments_and_memory():
    args, options = scenario()
    first = run_variants(args, options)
    assert np.isfinite(first).all()
    gc.collect()
    counts = refcounts(args, options)
    tracemalloc.start()
    try:
        # The first runs settle the results kept between runs and the
        # interpreter's free lists; after them nothing may grow.
        for _ in range(WARM_UP):
            run_variants(args, options)
        gc.collect()
        before = small_blocks(tracemalloc.take_snapshot())
        rss = resident_bytes()
        for _ in range(RUNS):
            assert np.array_equal(run_variants(args, options), first)
        gc.collect()
        after = small_blocks(tracemalloc.take_snapshot())
    finally:
        tracemalloc.stop()
    assert refcounts(args, options) == counts
    # Anything over about 130 bytes a run would show in the traced blocks; a
    # leaked native run state in the resident size.
    assert after - before < 40_000
    assert resident_bytes() - rss < 32 * 2**20
