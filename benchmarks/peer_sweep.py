"""A stop-loss sweep on vantrel and on vectorbt, in the same run: variants per second.

The book is the one both can express exactly: the M workload's first monthly top-50
row bought at the open and held, leaving by a touched stop-loss (the swept level) or
a touched 20% take-profit, no costs (vectorbt's stops cannot express the rebalanced
books: a stock resized at every rebalance, or kept out after a stop until the weights
change). vantrel runs ``vantrel.sweep`` on its default route (native batches on the
machine's cores) and returns the statistics table; vectorbt runs
``Portfolio.from_signals`` with the levels broadcast over tiled columns in one call
(its fastest way to sweep a parameter) or called once per level, with its numba and
its Rust kernels, and returns the value series. Each vectorbt configuration counts
when every level's final value agrees with vantrel's to 1e-9 relative; its first
call (numba's compile) is reported apart.

Beside it, the rebalanced monthly top-50 book itself: vantrel sweeps the same stop
levels over it (close-mode stops, fees and tax), while vectorbt's fastest route on that
book, its numba kernel called directly with callbacks (``flex_simulate_nb``), can run it
only without stops (its stops cannot express the book's), one variant per call; its
rate there bounds from above what a stop sweep of that book could reach on vectorbt.

    python -m benchmarks.peer_sweep [--levels 24] [--repeat 5] [--json out.json]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

if __package__ in (None, ""):
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from benchmarks import peer

TARGET = 30.0  # vantrel's variants/s over vectorbt's


def main() -> None:
    import vantrel
    from benchmarks.package import package_call
    from benchmarks.strategies import held_with_touched_stops
    from benchmarks.workloads import market_for, strategy_named

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--levels", type=int, default=24)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--json")
    args = parser.parse_args()
    load = os.getloadavg()
    market = market_for("M")
    book = held_with_touched_stops(strategy_named(market, "monthly_top50"))
    call = package_call(market, book)
    levels = np.round(np.linspace(0.05, 0.15, args.levels), 6)
    options = {k: v for k, v in call.keywords.items() if k != "stop_loss"}

    def ours():
        return vantrel.sweep(call.market, {"stop_loss": levels}, weights=call.weights, options=options)

    ours()  # warm
    seconds = []
    for _ in range(args.repeat):
        started = time.perf_counter()
        table = ours().table
        seconds.append(time.perf_counter() - started)
    ours_s = statistics.median(seconds)
    finals = (1.0 + table["total_return"]).to_numpy()

    out: dict = {
        "book": "M (2,520 x 500): the first top-50 row held, touched stop-loss swept, take-profit 20%, no costs",
        "levels": len(levels),
        "vantrel": {"median_s": ours_s, "variants_per_second": len(levels) / ours_s},
    }
    if not peer.available():
        out["vectorbt"] = {"error": "vectorbt is not installed: python -m benchmarks.peer --setup"}
    else:
        signals = peer.signal_inputs(market, book)
        with tempfile.TemporaryDirectory(prefix="vantrel-bench-") as tmp, tempfile.TemporaryDirectory() as cache:
            archive = Path(tmp) / "workload.npz"
            np.savez(
                archive,
                open=market.open,
                close=market.close,
                high=market.high,
                low=market.low,
                fee=np.float64(0.0),
                sl_stop=np.float64(levels[0]),
                tp_stop=np.float64(book.options["take_profit"]),
                sl_stops=levels,
                **signals,
            )
            done = subprocess.run(
                [str(peer.VBT_PYTHON), str(peer.SCRIPT), str(archive), str(args.repeat)],
                capture_output=True,
                text=True,
                timeout=3600,
                check=False,
                env={**os.environ, "NUMBA_CACHE_DIR": cache},
            )
        if done.returncode != 0:
            out["vectorbt"] = {"error": (done.stderr.strip().splitlines() or ["failed"])[-1]}
        else:
            found = json.loads(done.stdout.strip().splitlines()[-1])
            for config in found["configs"].values():
                if "error" in config:
                    continue
                theirs = np.asarray(config.get("final_values_no_fee", []))
                worst = float(np.max(np.abs(theirs - finals) / finals)) if len(theirs) == len(finals) else np.inf
                config["agreement"] = worst
                config["agrees"] = worst <= peer.AGREEMENT_RTOL
                config["variants_per_second"] = len(levels) / config["median_s"]
            faithful = {n: c for n, c in found["configs"].items() if c.get("agrees")}
            fastest = min(faithful, key=lambda n: faithful[n]["median_s"], default=None)
            out["vectorbt"] = {**found, "fastest": fastest}
            if fastest is not None:
                ratio = out["vantrel"]["variants_per_second"] / faithful[fastest]["variants_per_second"]
                out["ratio"] = ratio
                out["met"] = ratio >= TARGET
    out["rebalanced"] = _rebalanced(market, levels, args.repeat)
    out["load_average"] = {"start": load, "end": os.getloadavg()}
    _print(out)
    if args.json:
        Path(args.json).write_text(json.dumps(out, indent=2, default=float))


def _rebalanced(market, levels, repeat: int) -> dict:
    import vantrel
    from benchmarks.package import package_call
    from benchmarks.strategies import without_stops
    from benchmarks.workloads import strategy_named

    strategy = strategy_named(market, "monthly_top50")
    call = package_call(market, strategy)
    options = {k: v for k, v in call.keywords.items() if k != "stop_loss"}

    def ours():
        return vantrel.sweep(call.market, {"stop_loss": levels}, weights=call.weights, options=options)

    ours()
    seconds = []
    for _ in range(repeat):
        started = time.perf_counter()
        ours()
        seconds.append(time.perf_counter() - started)
    out = {"vantrel_variants_per_second": len(levels) / statistics.median(seconds)}
    if peer.available():
        book = without_stops(strategy, "monthly_top50_no_stops", strategy.options.get("fee_ratio", 0.001425))
        with tempfile.TemporaryDirectory() as cache:
            found = peer.run_vectorbt(market, book, 0.001425, repeat, Path(cache), ["flex_simulate_nb"])
        config = found.get("configs", {}).get("flex_simulate_nb", {})
        if "median_s" in config:
            out["vectorbt_flex_simulate_nb_s"] = config["median_s"]
            out["vectorbt_variants_per_second"] = 1.0 / config["median_s"]
            out["ratio"] = out["vantrel_variants_per_second"] / out["vectorbt_variants_per_second"]
        else:
            out["vectorbt_error"] = found.get("error") or config.get("error", "no figures")
    return out


def _print(out: dict) -> None:
    print(f"{out['book']}; {out['levels']} stop-loss levels 5%..15%")
    start, end = out["load_average"]["start"], out["load_average"]["end"]
    print(f"load average {start[0]:.2f} / {start[1]:.2f} / {start[2]:.2f} at the start, {end[0]:.2f} at the end\n")
    print("| who | configuration | median s | variants/s | first call s | agreement |")
    print("|---|---|--:|--:|--:|--:|")
    v = out["vantrel"]
    print(f"| vantrel | vantrel.sweep (default route) | {v['median_s']:.3f} | {v['variants_per_second']:.0f} | - | - |")
    vbt = out["vectorbt"]
    if "error" in vbt:
        print(f"\nvectorbt: {vbt['error']}")
        return
    for name, c in vbt["configs"].items():
        if "error" in c:
            print(f"| vectorbt {vbt['version']} | {name} | error: {c['error']} | | | |")
            continue
        mark = " **(fastest)**" if name == vbt["fastest"] else ""
        print(
            f"| vectorbt {vbt['version']} | {name}{mark} | {c['median_s']:.3f} | {c['variants_per_second']:.1f} "
            f"| {c['first_call_s']:.1f} | {c['agreement']:.1e} |"
        )
    if "ratio" in out:
        print(
            f"\nvantrel's variants/s over vectorbt's fastest faithful ({vbt['fastest']}): {out['ratio']:.1f}x; "
            f"target {TARGET:g}x: {'met' if out['met'] else 'NOT met'}"
        )
    r = out["rebalanced"]
    print(
        f"\nthe rebalanced M book, {out['levels']} stop levels: vantrel.sweep {r['vantrel_variants_per_second']:.0f}/s"
    )
    if "ratio" in r:
        print(
            f"vectorbt's flex_simulate_nb on that book without stops: "
            f"{r['vectorbt_flex_simulate_nb_s'] * 1e3:.1f} ms a variant, "
            f"{r['vectorbt_variants_per_second']:.0f}/s at most; vantrel {r['ratio']:.1f}x that bound"
        )
    else:
        print(f"vectorbt: {r.get('vectorbt_error', 'not installed')}")


if __name__ == "__main__":
    main()
