"""Runs the benchmark suite and writes benchmarks/results/<machine>-<date>.{json,md}.

    python benchmarks/run.py [--quick] [--workloads S,M,L] [--no-scaling]
                             [--no-peer] [--peer-configs NAME,...] [--update-reference]

A result counts only when the run's value series, trade list and excursion
records hash to the stored reference of its workload; otherwise it is marked
invalid and the runner exits with status 1. The package's array entry and the
whole `vantrel.backtest` call must reproduce `backtest_`'s output bit for bit,
and vectorbt's fastest configuration must agree with our final value.
"""

from __future__ import annotations

import argparse
import dataclasses
import datetime
import functools
import json
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
if str(REPO) not in sys.path:
    sys.path.insert(0, str(REPO))

from benchmarks import baselines, peer  # noqa: E402
from benchmarks.engine import (  # noqa: E402
    digest,
    fast_engine,
    fast_engine_trades,
    last_trades,
    package_arguments,
    run_backtest,
    run_fast_engine,
)
from benchmarks.machine import describe, load_average  # noqa: E402
from benchmarks.package import package_call, pandas_market  # noqa: E402
from benchmarks.report import markdown  # noqa: E402
from benchmarks.strategies import (  # noqa: E402
    held_with_touched_stops,
    monthly_top,
    standard_strategies,
    without_stops,
)
from benchmarks.timing import measure, measure_together  # noqa: E402
from benchmarks.workloads import SIZES, market_for, scaling_case, scaling_grid  # noqa: E402

REFERENCE = HERE / "reference_hashes.json"
RESULTS = HERE / "results"
PEER_FEE = 0.001425
REPEATS = {"S": 9, "M": 5, "L": 3}
QUICK_REPEATS = {"S": 3, "M": 2, "L": 1}
# The end-to-end rows take turns with the NumPy read they are divided by; they are
# quick, so more samples steady the medians on a shared machine.
TOGETHER_REPEATS = {"S": 21, "M": 11, "L": 7}
QUICK_TOGETHER_REPEATS = {"S": 5, "M": 3, "L": 3}


class Gate:
    """Compares every run's hashes with the stored reference."""

    def __init__(self, path: Path, update: bool) -> None:
        self.path = path
        self.update = update
        self.reference = json.loads(path.read_text()) if path.exists() else {}
        self.failures: list[str] = []

    def check(self, key: str, hashes: dict[str, str]) -> str:
        if self.update:
            self.reference[key] = hashes
            return "reference updated"
        expected = self.reference.get(key)
        if expected is None:
            self.failures.append(f"{key}: no stored reference")
            return "INVALID (no reference)"
        if expected != hashes:
            wrong = ", ".join(k for k in hashes if expected.get(k) != hashes[k])
            self.fail(f"{key}: {wrong} differ from the reference")
            return f"INVALID ({wrong})"
        return "ok"

    def same(self, key: str, what: str, equal: bool) -> str:
        """Gate for a route that must reproduce `backtest_`'s output of this run exactly."""
        if equal:
            return "ok (= backtest_)"
        self.fail(f"{key}: {what} differs from backtest_'s output")
        return "INVALID (differs from backtest_)"

    def fail(self, message: str) -> None:
        if message not in self.failures:
            self.failures.append(message)

    def save(self) -> None:
        if self.update:
            self.path.write_text(json.dumps(self.reference, indent=1, sort_keys=True) + "\n")


def peak_memory(bars: int, stocks: int, strategy: str) -> dict:
    done = subprocess.run(
        [sys.executable, "-m", "benchmarks.memory_probe", str(bars), str(stocks), strategy],
        capture_output=True,
        text=True,
        cwd=REPO,
        check=False,
    )
    if done.returncode != 0:
        return {"error": done.stderr.strip().splitlines()[-1]}
    return json.loads(done.stdout)


def bench_workload(name: str, repeats: int, together: int, gate: Gate, vbt: dict | None) -> dict:
    market = market_for(name)
    bars, stocks = SIZES[name]
    print(f"[{name}] {bars} bars x {stocks} stocks", flush=True)
    rows = []
    for strategy in standard_strategies(market):
        timing = measure(lambda s=strategy: run_backtest(market, s), repeats)
        values = run_backtest(market, strategy)
        trades = last_trades()
        held = trades.held_stock_bars(market.n_bars)
        row = {
            "strategy": strategy.name,
            **timing,
            "trades": len(trades),
            "held_stock_bars": held,
            "ns_per_held_stock_bar": timing["median_s"] * 1e9 / held if held else None,
            "trades_per_s": len(trades) / timing["median_s"],
            "final_value": float(values[-1]),
            "memory": peak_memory(bars, stocks, strategy.name),
            "gate": gate.check(f"{name}/{strategy.name}", digest(values, trades)),
        }
        print(f"  {strategy.name:26s} {timing['median_s'] * 1e3:10.2f} ms  {row['gate']}", flush=True)
        rows.append(row)

    book = monthly_top(market)
    plain = without_stops(book, "monthly_top50_plain", PEER_FEE)
    held = held_with_touched_stops(book)
    prices = pandas_market(market)
    columns = column_major(market) if fast_engine() is not None else None
    books = {b.name: bench_book(name, market, columns, prices, b, together, gate) for b in (book, plain, held)}
    result = {
        "bars": bars,
        "stocks": stocks,
        "strategies": rows,
        "end_to_end": books,
        "numpy_read": books[book.name]["timings"]["numpy_read"],
        "numpy_equity": measure(lambda: baselines.numpy_equity(market, book), max(repeats, 3)),
    }
    if vbt is not None:
        result["peer"] = bench_peer(market, plain, books[plain.name], repeats, gate, vbt)
        result["peer_stops"] = bench_peer(market, held, books[held.name], repeats, gate, vbt)
    return result


def column_major(market):
    """The market's price matrices in column-major order, as a `vantrel.Market` holds
    its frames: one stock's bars are contiguous."""
    return dataclasses.replace(
        market, **{k: np.asfortranarray(getattr(market, k)) for k in ("open", "high", "low", "close")}
    )


def bench_book(workload: str, market, columns, prices, strategy, repeats: int, gate: Gate) -> dict:
    """backtest_, the array entry (on row-major prices and, as `columns`, on column-major
    ones) and vantrel.backtest on one book, taking turns with one NumPy read of the
    trading prices; each as a ratio to that read."""
    call = package_call(market, strategy, prices)
    routes = {
        "numpy_read": lambda: baselines.read_prices_once(market),
        "backtest_": lambda: run_backtest(market, strategy),
    }
    if columns is not None:
        engine = fast_engine()
        row_major, column_major = package_arguments(market, strategy), package_arguments(columns, strategy)
        routes["_engine"] = lambda: engine.run(**row_major)
        routes["_engine (column-major)"] = lambda: engine.run(**column_major)
    routes["vantrel.backtest"] = call.run
    timings = measure_together(routes, repeats)

    key = f"{workload}/{strategy.name}"
    values = run_backtest(market, strategy)
    hashes = digest(values, last_trades())
    gates = {"backtest_": gate.check(key, hashes)}
    if columns is not None:
        for route, prices_in in (("_engine", market), ("_engine (column-major)", columns)):
            out = run_fast_engine(prices_in, strategy)
            gates[route] = gate.same(key, f"{route}'s output", digest(out.values, fast_engine_trades(out)) == hashes)
    equity = call.run().equity.to_numpy()
    gates["vantrel.backtest"] = gate.same(
        key, "vantrel.backtest's equity", bool(np.array_equal(equity, values[call.first_bar :]))
    )
    read = timings["numpy_read"]["median_s"]
    ratios = {route: t["median_s"] / read for route, t in timings.items() if route != "numpy_read"}
    print(
        f"  {strategy.name}: " + ", ".join(f"{route} {t['median_s'] * 1e3:.2f} ms" for route, t in timings.items()),
        flush=True,
    )
    return {
        "timings": timings,
        "ratio_to_read": ratios,
        "gates": gates,
        "final_value": float(values[-1]),
    }


def bench_peer(market, book, ours: dict, repeats: int, gate: Gate, vbt: dict) -> dict:
    """vectorbt's configurations on a book it can run exactly, against our routes."""
    fee = book.options["fee_ratio"]
    no_fee = book.with_options("no_fee", fee_ratio=0.0)
    ours_no_fee = float(run_backtest(market, no_fee)[-1])
    theirs = peer.run_vectorbt(market, book, fee, repeats, vbt["cache"], vbt["configs"])
    out = {"strategy": book.name, "vectorbt": theirs, "ours_final_no_fee": ours_no_fee}
    if "error" in theirs:
        print(f"  vectorbt: {theirs['error']}", flush=True)
        return out
    for name, config in theirs["configs"].items():
        if "error" not in config:
            config["agreement"] = peer.agreement(ours_no_fee, config["final_value_no_fee"])
            config["agreement_with_fee"] = peer.agreement(ours["final_value"], config["final_value_with_fee"])
        print(
            f"  vectorbt {name:28s} "
            + (
                config["error"]
                if "error" in config
                else f"{config['median_s'] * 1e3:10.2f} ms, first call {config['first_call_s']:.2f} s, "
                f"agreement {config['agreement']['relative_difference']:.1e}"
            ),
            flush=True,
        )
    fastest = peer.fastest_faithful(theirs["configs"])
    out["fastest"] = fastest
    if fastest is None:
        gate.fail(f"{book.name}: no vectorbt configuration agrees with our final value")
        return out
    ours_routes = {route: t["median_s"] for route, t in ours["timings"].items() if route != "numpy_read"}
    best = theirs["configs"][fastest]["median_s"]
    out["speedup"] = {route: best / t for route, t in ours_routes.items()}
    # The same for the fastest route that leaves a Portfolio to ask for trades and stats.
    with_portfolio = peer.fastest_faithful(theirs["configs"], exclude=peer.KERNEL_ONLY)
    if with_portfolio is not None and with_portfolio != fastest:
        out["fastest_portfolio"] = with_portfolio
        best = theirs["configs"][with_portfolio]["median_s"]
        out["speedup_portfolio"] = {route: best / t for route, t in ours_routes.items()}
    return out


def bench_compile() -> dict:
    """vectorbt's one-time compile per route, measured on the S workload."""
    market = market_for("S")
    book = monthly_top(market)
    times = peer.compile_times(
        market, without_stops(book, "monthly_top50_plain", PEER_FEE), held_with_touched_stops(book)
    )
    for name, t in times.items():
        print(
            f"[compile] vectorbt {name}: " + (t["error"] if "error" in t else f"first call {t['first_call_s']:.1f} s"),
            flush=True,
        )
    return times


def bench_scaling(repeats: int, gate: Gate) -> list[dict]:
    points = []
    for axis, factor, sizes in scaling_grid():
        market, strategy = scaling_case(sizes)
        timing = measure(functools.partial(run_backtest, market, strategy), repeats)
        values = run_backtest(market, strategy)
        trades = last_trades()
        key = "scaling/{bars}x{universe}/held{held}".format(**sizes)
        points.append(
            {
                "axis": axis,
                "factor": factor,
                **sizes,
                **timing,
                "held_stock_bars": trades.held_stock_bars(market.n_bars),
                "trades": len(trades),
                "gate": gate.check(key, digest(values, trades)),
            }
        )
        print(f"[scaling] {axis} x{factor}: {timing['median_s'] * 1e3:.2f} ms", flush=True)
    base = points[0]["median_s"]
    for p in points:
        p["ratio_to_base"] = p["median_s"] / base
    return points


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="S only unless --workloads, fewer repeats")
    parser.add_argument("--workloads", default=None, help="comma-separated, e.g. S,M,L")
    parser.add_argument("--no-scaling", action="store_true")
    parser.add_argument("--no-peer", action="store_true", help="skip vectorbt")
    parser.add_argument(
        "--peer-configs", default=None, help="vectorbt configurations to run, comma-separated (default: all)"
    )
    parser.add_argument(
        "--update-reference", action="store_true", help="store this run's hashes as the reference (after checking them)"
    )
    args = parser.parse_args()

    workloads = (args.workloads or ("S" if args.quick else "S,M,L")).split(",")
    repeats = QUICK_REPEATS if args.quick else REPEATS
    together = QUICK_TOGETHER_REPEATS if args.quick else TOGETHER_REPEATS
    gate = Gate(REFERENCE, args.update_reference)
    vbt = None
    if not args.no_peer and peer.available():
        # One numba cache for the run, empty at the start: the first workload's first
        # calls show the compile a new user waits for.
        vbt = {
            "cache": Path(tempfile.mkdtemp(prefix="vantrel-numba-")),
            "configs": args.peer_configs.split(",") if args.peer_configs else None,
        }
    try:
        report = {
            "machine": describe(REPO),
            "date": datetime.datetime.now().isoformat(timespec="seconds"),
            "command": " ".join(sys.argv),
            "fast_engine": "vantrel.core._engine" if fast_engine() is not None else "not in this build",
            "workloads": {w: bench_workload(w, repeats[w], together[w], gate, vbt) for w in workloads},
        }
    finally:
        if vbt is not None:
            shutil.rmtree(vbt["cache"], ignore_errors=True)
    if vbt is not None:
        report["vectorbt_compile"] = bench_compile()
    if not args.no_scaling:
        report["scaling"] = bench_scaling(repeats["M"], gate)
    if args.no_peer:
        report["peer_status"] = "skipped (--no-peer)"
    elif not peer.available():
        report["peer_status"] = (
            f"skipped: no interpreter at {peer.VBT_PYTHON} (python -m benchmarks.peer --setup makes it)"
        )
    report["machine"]["load_average_at_end"] = load_average()
    report["valid"] = not gate.failures
    report["gate_failures"] = gate.failures
    gate.save()

    RESULTS.mkdir(exist_ok=True)
    # A quick run is a check, not a record: it never replaces the day's full results.
    stem = f"{report['machine']['machine']}-{datetime.date.today().isoformat()}"
    if args.quick:
        stem += "-quick"
    (RESULTS / f"{stem}.json").write_text(json.dumps(report, indent=1) + "\n")
    (RESULTS / f"{stem}.md").write_text(markdown(report))
    print(f"wrote {RESULTS / stem}.json and .md")
    for failure in gate.failures:
        print(f"INVALID: {failure}", file=sys.stderr)
    return 0 if report["valid"] else 1


if __name__ == "__main__":
    sys.exit(main())
