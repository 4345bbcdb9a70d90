"""What the whole user call costs beside the engine, as ratios measured in one run.

For each book, four calls take turns round by round (so that a change in the
machine's load falls on all of them alike), and each one's best time (the least
disturbed on a shared machine) is divided by the others'; medians are kept too:

- one NumPy read pass (``sum()``) of the trading-price matrix the call trades on;
- the array entry alone (``vantrel.core._engine.run``) on the very arguments the call
  hands it (prepared once, outside the timing);
- ``vantrel.backtest(weights, market, ...)``;
- ``vantrel.backtest(weights, market, ...).stats``.

Books: ``synthetic``, the synthetic market of 120 stocks x 800 days with monthly
top-20 momentum (no costs, no stops); ``L``, the benchmark's 5,040 bars x 2,000
stocks with the monthly top-50 book (10% stop-loss, fees and tax, filled at the
open). Targets: ``.stats`` at most 1.25x the array entry on both; ``vantrel.backtest``
on L at most 1.5 NumPy reads of the trading prices.

    python -m benchmarks.user_call [--books synthetic,L] [--rounds 15] [--json out.json]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
import time
from pathlib import Path

if __package__ in (None, ""):
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

STATS_TARGET = 1.25
READS_TARGET = 1.5


def _synthetic():
    from vantrel.datasets import synthetic_market
    from vantrel.demo import momentum_weights

    market = synthetic_market(120, 800, seed=7)
    return market, momentum_weights(market.close, top=20), {"rebalance": "ME"}, "close"


def _large():
    from benchmarks.package import package_call
    from benchmarks.workloads import market_for, strategy_named

    bench_market = market_for("L")
    call = package_call(bench_market, strategy_named(bench_market, "monthly_top50"))
    keywords = dict(call.keywords)
    return call.market, call.weights, keywords, keywords["trade_at"]


BOOKS = {
    "synthetic": ("synthetic 120 stocks x 800 days, monthly top-20", _synthetic),
    "L": ("L: 5,040 bars x 2,000 stocks, monthly top-50, 10% stop, fees and tax, open fills", _large),
}


def measure(book: str, rounds: int) -> dict:
    import vantrel
    from vantrel._backtest.backtest import prepare_backtest
    from vantrel.core import _engine

    description, build = BOOKS[book]
    market, weights, keywords, trade_at = build()
    prices = market.values(trade_at)
    engine_arguments = prepare_backtest(weights, market, **keywords).engine
    calls = {
        "numpy_read": prices.sum,
        "engine": lambda: _engine.run(**engine_arguments),
        "backtest": lambda: vantrel.backtest(weights, market, **keywords),
        "backtest_stats": lambda: vantrel.backtest(weights, market, **keywords).stats,
    }
    reference = vantrel.backtest(weights, market, **keywords)
    same = (
        reference.equity.to_numpy().tobytes()
        == _engine.run(**engine_arguments).values[len(market.index) - len(reference.equity) :].tobytes()
    )
    samples: dict[str, list[float]] = {name: [] for name in calls}
    for call in calls.values():
        call()  # warm: imports and the market's caches
    for _ in range(rounds):
        for name, call in calls.items():
            started = time.perf_counter()
            call()
            samples[name].append(time.perf_counter() - started)
    best = {name: min(times) for name, times in samples.items()}
    medians = {name: statistics.median(times) for name, times in samples.items()}
    stats_ratio = best["backtest_stats"] / best["engine"]
    reads = best["backtest"] / best["numpy_read"]
    out = dict(
        description=description,
        rounds=rounds,
        best_ms={name: 1000 * value for name, value in best.items()},
        medians_ms={name: 1000 * value for name, value in medians.items()},
        engine_reads=best["engine"] / best["numpy_read"],
        backtest_reads=reads,
        stats_over_engine=stats_ratio,
        stats_over_engine_medians=medians["backtest_stats"] / medians["engine"],
        backtest_over_engine=best["backtest"] / best["engine"],
        equity_equals_engine=same,
        stats_target=f".stats <= {STATS_TARGET}x the array entry",
        stats_met=stats_ratio <= STATS_TARGET,
    )
    if book == "L":
        out["reads_target"] = f"vantrel.backtest <= {READS_TARGET} NumPy reads"
        out["reads_met"] = reads <= READS_TARGET
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--books", default="synthetic,L")
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()
    load = os.getloadavg()
    results = {book: measure(book, args.rounds) for book in args.books.split(",")}
    print(f"load average at the start {load[0]:.2f} / {load[1]:.2f} / {load[2]:.2f}, at the end {os.getloadavg()}")
    print(
        "| book | NumPy read ms | _engine ms | backtest ms | backtest.stats ms | engine reads | backtest reads "
        "| .stats / engine | equity = engine |"
    )
    print("|---|--:|--:|--:|--:|--:|--:|--:|---|")
    for book, f in results.items():
        m = f["best_ms"]
        print(
            f"| {book} | {m['numpy_read']:.2f} | {m['engine']:.2f} | {m['backtest']:.2f} | {m['backtest_stats']:.2f} "
            f"| {f['engine_reads']:.2f} | {f['backtest_reads']:.2f} | {f['stats_over_engine']:.2f} "
            f"({f['stats_over_engine_medians']:.2f}) "
            f"| {'yes' if f['equity_equals_engine'] else 'NO'} |"
        )
    for book, f in results.items():
        print(f"{book}: {f['stats_target']}: {'met' if f['stats_met'] else 'NOT met'} ({f['stats_over_engine']:.2f}x)")
        if "reads_target" in f:
            print(f"{book}: {f['reads_target']}: {'met' if f['reads_met'] else 'NOT met'} ({f['backtest_reads']:.2f})")
    if args.json:
        Path(args.json).write_text(json.dumps(results, indent=2))


if __name__ == "__main__":
    main()
