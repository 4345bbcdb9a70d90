"""Scaling of the array entry: its cost against the book's shape, and a batch against
variants and threads.

1. **Cost model.** The monthly top-k book (close-mode 10% stop) on markets whose bars,
   universe, held count and rebalancing period change one at a time, from 1,260 bars x
   500 stocks x 50 held rebalanced monthly. A least-squares fit of the median times to
   ``a x bars x held + b x universe x rebalances + c`` shows what a run's cost grows
   with: the fit's error and the term that ``bars x universe`` would add are printed.
2. **Variants x threads.** ``_engine.run_batch`` over 1 to 64 stop levels of the M book
   (2,520 x 500, monthly top-50) on 1 and 2 threads: variants per second, and the speed-up
   of the second thread.

    python -m benchmarks.scaling_batch [--repeat 5] [--json out.json]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
import time
from dataclasses import replace
from pathlib import Path

import numpy as np

if __package__ in (None, ""):
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from benchmarks.engine import package_arguments
from benchmarks.market import make_market
from benchmarks.strategies import MONTHLY_LOOKBACK, monthly_top, top_k_weights

BASE = {"bars": 1260, "universe": 500, "held": 50, "period": 21}  # period: bars between rebalances


def _book(sizes: dict):
    market = make_market(sizes["bars"], sizes["universe"])
    if sizes["period"] == 21:
        strategy = monthly_top(market, held=sizes["held"])
    else:
        ends = np.arange(MONTHLY_LOOKBACK, market.n_bars, sizes["period"])
        strategy = replace(
            monthly_top(market, held=sizes["held"]),
            pos_values=top_k_weights(market, ends, MONTHLY_LOOKBACK, sizes["held"]),
            pos_index=market.index[ends],
            resample=market.index[ends],
        )
    return market, strategy


def _median_seconds(call, repeat: int) -> float:
    call()
    samples = []
    for _ in range(repeat):
        started = time.perf_counter()
        call()
        samples.append(time.perf_counter() - started)
    return statistics.median(samples)


def cost_model(repeat: int) -> dict:
    from vantrel.core import _engine

    points = [dict(BASE)]
    for axis, factors in (("bars", (2, 4)), ("universe", (2, 4, 8)), ("held", (2, 4)), ("period", (1 / 4, 1 / 21))):
        for factor in factors:
            sizes = dict(BASE)
            sizes[axis] = max(1, round(sizes[axis] * factor))
            points.append(sizes)
    rows = []
    for sizes in points:
        market, strategy = _book(sizes)
        arguments = package_arguments(market, strategy)
        seconds = _median_seconds(lambda arguments=arguments: _engine.run(**arguments), repeat)
        rebalances = len(strategy.pos_index)
        rows.append(dict(sizes, rebalances=rebalances, seconds=seconds))
    held_bars = np.array([r["bars"] * r["held"] for r in rows], dtype=float)
    universe_rebalances = np.array([r["universe"] * r["rebalances"] for r in rows], dtype=float)
    universe_bars = np.array([r["bars"] * r["universe"] for r in rows], dtype=float)
    seconds = np.array([r["seconds"] for r in rows])
    design = np.column_stack([held_bars, universe_rebalances, np.ones(len(rows))])
    (a, b, c), *_ = np.linalg.lstsq(design, seconds, rcond=None)
    fitted = design @ np.array([a, b, c])
    # The same fit with bars x universe in place of universe x rebalances, for comparison.
    other = np.column_stack([held_bars, universe_bars, np.ones(len(rows))])
    coefficients, *_ = np.linalg.lstsq(other, seconds, rcond=None)
    other_fit = other @ coefficients
    for row, f, g in zip(rows, fitted, other_fit, strict=True):
        row["fitted_seconds"] = float(f)
        row["bars_x_universe_fit_seconds"] = float(g)
    return dict(
        rows=rows,
        ns_per_held_stock_bar=1e9 * a,
        ns_per_universe_stock_rebalance=1e9 * b,
        fixed_ms=1e3 * c,
        worst_relative_error=float(np.max(np.abs(fitted - seconds) / seconds)),
        worst_relative_error_bars_x_universe=float(np.max(np.abs(other_fit - seconds) / seconds)),
    )


def variants_and_threads(repeat: int) -> dict:
    from vantrel.core import _engine

    market = make_market(2520, 500)
    strategy = monthly_top(market, held=50)
    shared = {k: v for k, v in package_arguments(market, strategy).items() if k not in ("stop_loss", "stop_loss_rows")}
    shared = {k: v for k, v in shared.items() if v is not None}
    rows = np.zeros(len(market.index), dtype=np.int64)
    out = []
    for count in (1, 4, 16, 64):
        levels = np.linspace(0.05, 0.15, count)
        variants = [{"stop_loss": np.full((1, market.n_stocks), level), "stop_loss_rows": rows} for level in levels]
        figures = {"variants": count}
        for threads in (1, 2):
            seconds = _median_seconds(
                lambda variants=variants, threads=threads: _engine.run_batch(shared, variants, threads=threads),
                max(2, repeat // 2),
            )
            figures[f"variants_per_second_{threads}_threads"] = count / seconds
        figures["speedup_of_two_threads"] = (
            figures["variants_per_second_2_threads"] / figures["variants_per_second_1_threads"]
        )
        out.append(figures)
    return dict(book="M (2520 x 500), monthly top-50, stop-loss levels 5%..15%", rows=out)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--json")
    args = parser.parse_args()
    load = os.getloadavg()
    model = cost_model(args.repeat)
    batches = variants_and_threads(args.repeat)
    print(
        f"load average {load[0]:.2f} / {load[1]:.2f} / {load[2]:.2f} at the start, {os.getloadavg()[0]:.2f} at the end"
    )
    print("\n| bars | universe | held | rebalances | median ms | fit ms | bars x universe fit ms |")
    print("|--:|--:|--:|--:|--:|--:|--:|")
    for r in model["rows"]:
        print(
            f"| {r['bars']} | {r['universe']} | {r['held']} | {r['rebalances']} | {1e3 * r['seconds']:.2f} "
            f"| {1e3 * r['fitted_seconds']:.2f} | {1e3 * r['bars_x_universe_fit_seconds']:.2f} |"
        )
    print(
        f"\nfit: {model['ns_per_held_stock_bar']:.1f} ns per held stock-bar + "
        f"{model['ns_per_universe_stock_rebalance']:.1f} ns per universe stock and rebalance + "
        f"{model['fixed_ms']:.2f} ms; worst error {model['worst_relative_error']:.0%} "
        f"(with bars x universe in place of universe x rebalances: {model['worst_relative_error_bars_x_universe']:.0%})"
    )
    print(f"\n{batches['book']}\n\n| variants | variants/s, 1 thread | 2 threads | speed-up |\n|--:|--:|--:|--:|")
    for r in batches["rows"]:
        print(
            f"| {r['variants']} | {r['variants_per_second_1_threads']:.0f} | {r['variants_per_second_2_threads']:.0f} "
            f"| {r['speedup_of_two_threads']:.2f} |"
        )
    if args.json:
        Path(args.json).write_text(json.dumps({"cost_model": model, "batches": batches}, indent=2))


if __name__ == "__main__":
    main()
