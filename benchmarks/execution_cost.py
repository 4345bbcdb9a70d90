"""What the execution model costs: the monthly top-50 book with execution options on, against the
same book with every option off, on both routes, as ratios measured in one run.

The book is the L workload's `monthly_top50` (5,040 bars x 2,000 stocks, 20-day momentum top 50 at
each month end, traded at the next open, a 10% close-mode stop-loss), on the workload's prices and a
synthetic volume matrix (below). Each feature is switched on alone, then the target's set all
together:

- `capital`: whole shares from 10,000,000 of capital;
- `lots`: the same in board lots of 100 shares;
- `fees`: capital with the 0.1425% fee, 0.3% tax and a minimum fee of 20 per fill;
- `slippage` 0.05%, `impact` k = 0.1, `participation` 10% of a bar's volume, `price_limit` 10%
  (on fractional weights);
- `all (target)`: capital, lots, fees, slippage, impact, participation and price limits at once;
- beyond the target's set, `cash_rate` 3% a year and `dividends` (a quarterly dividend of 0.5% of
  the price on every stock), and `everything`: all of them.

Two routes: the array entry (`vantrel.core._engine.run`, on the workload's arrays) and the whole
user call (`vantrel.backtest` on a `vantrel.Market` of pandas frames built beforehand, the trade
table included). Within a route the variants take turns, sample by sample, so that a change in the
machine's load falls on all of them alike; each ratio is a median over the off run's median (and,
beside it, the best run over the off run's best: on a shared machine the least disturbed runs).
Target: `all (target)` at most 1.5x `off` on each route. The fills column counts the array entry's
fills: a feature that carries or holds back orders does more (or less) work, not only dearer work.

    python -m benchmarks.execution_cost [--workload L] [--repeat 15] [--json out.json]
"""

from __future__ import annotations

import argparse
import json
import platform
import sys
import time
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from benchmarks.engine import fast_engine, package_arguments
from benchmarks.market import Market, hash_stream, month_end_bars
from benchmarks.package import package_call
from benchmarks.strategies import monthly_top
from benchmarks.timing import measure_together
from benchmarks.workloads import SIZES, market_for

TARGET = 1.5
CAPITAL = 10_000_000.0
NO_COSTS = {"fee_ratio": 0.0, "tax_ratio": 0.0}
FEES = {"fee_ratio": 0.001425, "tax_ratio": 0.003, "min_fee": 20.0}

# Feature -> the options it switches on (the dividends come from the market, see `dividends`).
FEATURES: dict[str, dict[str, Any]] = {
    "off": {},
    "capital": {"capital": CAPITAL},
    "lots": {"capital": CAPITAL, "lot_size": 100},
    "fees": {"capital": CAPITAL, **FEES},
    "slippage": {"slippage": 0.0005},
    "impact": {"impact": 0.1},
    "participation": {"participation": 0.1},
    "price_limit": {"price_limit": 0.1},
    "all (target)": {
        "capital": CAPITAL,
        "lot_size": 100,
        **FEES,
        "slippage": 0.0005,
        "impact": 0.1,
        "participation": 0.1,
        "price_limit": 0.1,
    },
    "cash_rate": {"cash_rate": 0.03},
    "dividends": {},
}
FEATURES["everything"] = {**FEATURES["all (target)"], "cash_rate": 0.03}
WITH_DIVIDENDS = ("dividends", "everything")
NEEDS_VOLUME = ("impact", "participation")


def synthetic_volume(market: Market, seed: int = 1) -> np.ndarray:
    """Shares traded per bar: a value traded per stock from 300,000 to 100,000,000 a day (log-uniform
    in steps), times a factor from 0.5 to 1.5 per bar, divided by the close and rounded down.

    From the counter hash, like the prices: the same bytes on every machine. The thinnest stocks
    trade less per bar than the book's position in them, so the participation cap carries orders.
    """
    stock = hash_stream(seed, 11, (market.n_stocks,))
    steps = (stock % np.uint64(1001)).astype(np.float64) / 1000.0  # 0 to 1
    daily_value = 3e5 * (1e8 / 3e5) ** steps
    bar = hash_stream(seed, 12, (market.n_bars, market.n_stocks))
    factor = 0.5 + (bar % np.uint64(1001)).astype(np.float64) / 1000.0
    return np.floor(daily_value * factor / market.close)


def dividend_events(market: Market) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """A dividend of 0.5% of the close on every stock on the last bar of every quarter: (bars, columns, amounts)."""
    ends = month_end_bars(market.dates)
    quarters = ends[market.dates[ends].astype("datetime64[M]").astype(np.int64) % 3 == 2]
    bars = np.repeat(quarters, market.n_stocks).astype(np.int64)
    columns = np.tile(np.arange(market.n_stocks, dtype=np.int64), quarters.size)
    return bars, columns, 0.005 * market.close[bars, columns]


def engine_calls(market: Market, volume: np.ndarray) -> dict[str, Any]:
    """Each feature's run of the array entry, as a call without arguments."""
    engine = fast_engine()
    if engine is None:
        raise SystemExit("this build has no array entry (vantrel.core._engine)")
    book = monthly_top(market)
    base = {**package_arguments(market, book), **NO_COSTS}
    bars, columns, amounts = dividend_events(market)
    calls = {}
    for feature, options in FEATURES.items():
        arguments = {**base, **options}
        if any(name in options for name in NEEDS_VOLUME):
            arguments["volume"] = volume
        if feature in WITH_DIVIDENDS:
            arguments.update(dividend_bars=bars, dividend_columns=columns, dividend_amounts=amounts)
        calls[feature] = _bound(engine.run, arguments)
    return calls


def package_calls(market: Market, volume: np.ndarray) -> dict[str, Any]:
    """Each feature's whole user call `vantrel.backtest(weights, market, ...)`."""
    import vantrel

    book = monthly_top(market)
    call = package_call(market, book)
    frames = call.market
    with_volume = frames.with_data(volume=pd.DataFrame(volume, index=frames.index, columns=frames.columns))
    bars, columns, amounts = dividend_events(market)
    table = np.full((market.n_bars, market.n_stocks), np.nan)
    table[bars, columns] = amounts
    dividends = pd.DataFrame(table, index=frames.index, columns=frames.columns).iloc[np.unique(bars)]
    with_dividends = with_volume.with_data(dividends=dividends)
    calls = {}
    for feature, options in FEATURES.items():
        prices = with_dividends if feature in WITH_DIVIDENDS else with_volume
        keywords = {**call.keywords, **NO_COSTS, **options}
        calls[feature] = _bound(_whole_call, (vantrel.backtest, call.weights, prices, keywords))
    return calls


def _whole_call(backtest, weights, market, keywords):
    result = backtest(weights, market, **keywords)
    _ = result.trades  # built on first use: timed with the call
    return result


def _bound(function, arguments):
    if isinstance(arguments, dict):
        return lambda: function(**arguments)
    return lambda: function(*arguments)


def measure_route(calls: dict[str, Any], repeats: int) -> dict[str, dict[str, float]]:
    """Timings of every feature, with the ratios of their medians (and of their best runs) to the off
    run's, in wall time and in the CPU time of this thread (which a busy machine disturbs far less:
    time spent waiting for a core is not counted)."""
    timings = measure_together(calls, repeats=repeats, warmup=1)
    cpu = measure_together(calls, repeats=repeats, warmup=0, clock=time.thread_time_ns)
    off, cpu_off = timings["off"], cpu["off"]
    for name, timing in timings.items():
        timing["ratio"] = timing["median_s"] / off["median_s"]
        timing["best_ratio"] = timing["min_s"] / off["min_s"]
        timing["cpu_median_s"] = cpu[name]["median_s"]
        timing["cpu_ratio"] = cpu[name]["median_s"] / cpu_off["median_s"]
    return timings


def fill_counts(calls: dict[str, Any]) -> dict[str, int]:
    """Fills of each feature's array-entry run: the work differs when orders are carried or held back."""
    return {feature: len(call().fills) for feature, call in calls.items()}


def table(routes: dict[str, dict[str, dict[str, float]]], fills: dict[str, int]) -> str:
    names = list(next(iter(routes.values())))
    head = "| feature | fills | " + " | ".join(f"{route} ms | x off | best x off | CPU x off" for route in routes)
    rule = "|---|--:|" + "--:|--:|--:|--:|" * len(routes)
    lines = [head + " |", rule]
    for name in names:
        cells = [f"{fills[name]:,}"]
        for timings in routes.values():
            t = timings[name]
            cells += [
                f"{t['median_s'] * 1e3:,.1f}",
                f"{t['ratio']:.2f}",
                f"{t['best_ratio']:.2f}",
                f"{t['cpu_ratio']:.2f}",
            ]
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    verdicts = []
    for route, timings in routes.items():
        t = timings["all (target)"]
        verdicts.append(
            f"{route}: all (target) {t['ratio']:.2f}x off (median wall time; best runs {t['best_ratio']:.2f}x, "
            f"CPU time {t['cpu_ratio']:.2f}x), target at most {TARGET}x: "
            + ("met" if t["ratio"] <= TARGET else "NOT met")
        )
    return "\n".join([*lines, "", *verdicts])


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--workload", choices=list(SIZES), default="L")
    parser.add_argument("--repeat", type=int, default=15, help="samples per variant and route (default 15)")
    parser.add_argument("--json", type=Path, help="also write the timings here")
    args = parser.parse_args(argv)

    market = market_for(args.workload)
    volume = synthetic_volume(market)
    engine = engine_calls(market, volume)
    fills = fill_counts(engine)
    routes = {
        "_engine": measure_route(engine, args.repeat),
        "vantrel.backtest": measure_route(package_calls(market, volume), args.repeat),
    }
    print(f"{args.workload} ({market.n_bars}x{market.n_stocks}) monthly_top50, Python {platform.python_version()}")
    print(table(routes, fills))
    if args.json:
        args.json.write_text(json.dumps({"workload": args.workload, "fills": fills, "routes": routes}, indent=2))
    met = all(timings["all (target)"]["ratio"] <= TARGET for timings in routes.values())
    return 0 if met else 1


if __name__ == "__main__":
    raise SystemExit(main())
