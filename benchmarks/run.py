"""Runs the benchmark suite and writes benchmarks/results/<machine>-<date>.{json,md}.

    python benchmarks/run.py [--quick] [--workloads S,M,L] [--no-scaling]
                             [--no-peer] [--update-reference]

A result counts only when the run's value series, trade list and excursion
records hash to the stored reference of its workload; otherwise it is marked
invalid and the runner exits with status 1.
"""

from __future__ import annotations

import argparse
import datetime
import json
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent
if str(REPO) not in sys.path:
    sys.path.insert(0, str(REPO))

from benchmarks import baselines, peer  # noqa: E402
from benchmarks.engine import digest, last_trades, run_backtest  # noqa: E402
from benchmarks.machine import describe  # noqa: E402
from benchmarks.report import markdown  # noqa: E402
from benchmarks.strategies import monthly_top, standard_strategies, without_stops  # noqa: E402
from benchmarks.timing import measure  # noqa: E402
from benchmarks.workloads import SIZES, market_for, scaling_case, scaling_grid  # noqa: E402

REFERENCE = HERE / "reference_hashes.json"
RESULTS = HERE / "results"
PEER_FEE = 0.001425
REPEATS = {"S": 9, "M": 5, "L": 3}
QUICK_REPEATS = {"S": 3, "M": 2, "L": 1}


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
            self.failures.append(f"{key}: {wrong} differ from the reference")
            return f"INVALID ({wrong})"
        return "ok"

    def save(self) -> None:
        if self.update:
            self.path.write_text(json.dumps(self.reference, indent=1, sort_keys=True) + "\n")


def peak_memory(bars: int, stocks: int, strategy: str) -> dict:
    done = subprocess.run(
        [sys.executable, "-m", "benchmarks.memory_probe", str(bars), str(stocks), strategy],
        capture_output=True, text=True, cwd=REPO,
    )
    if done.returncode != 0:
        return {"error": done.stderr.strip().splitlines()[-1]}
    return json.loads(done.stdout)


def bench_workload(name: str, repeats: int, gate: Gate, with_peer: bool) -> dict:
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
        print(f"  {strategy.name:26s} {timing['median_s'] * 1e3:10.2f} ms  {row['gate']}",
              flush=True)
        rows.append(row)

    book = monthly_top(market)
    result = {
        "bars": bars,
        "stocks": stocks,
        "strategies": rows,
        "numpy_read": measure(lambda: baselines.read_prices_once(market), max(repeats, 5)),
        "numpy_equity": measure(lambda: baselines.numpy_equity(market, book), max(repeats, 3)),
    }
    if with_peer and peer.available():
        result["peer"] = bench_peer(market, book, repeats, gate)
    return result


def bench_peer(market, book, repeats: int, gate: Gate) -> dict:
    with_fee = without_stops(book, "monthly_top50_plain", PEER_FEE)
    no_fee = without_stops(book, "monthly_top50_no_fee", 0.0)
    ours = measure(lambda: run_backtest(market, with_fee), repeats)
    ours_no_fee = float(run_backtest(market, no_fee)[-1])
    theirs = peer.run_vectorbt(market, book, PEER_FEE, repeats)
    out = {"strategy": with_fee.name, "ours": ours, "vectorbt": theirs}
    if "error" not in theirs:
        out["speedup"] = theirs["median_s"] / ours["median_s"]
        out["agreement"] = peer.agreement(ours_no_fee, theirs["final_value_no_fee"])
        if not out["agreement"]["agrees"]:
            gate.failures.append(f"vectorbt final value disagrees: {out['agreement']}")
    print(f"  vectorbt: {theirs}", flush=True)
    return out


def bench_scaling(repeats: int, gate: Gate) -> list[dict]:
    points = []
    for axis, factor, sizes in scaling_grid():
        market, strategy = scaling_case(sizes)
        timing = measure(lambda: run_backtest(market, strategy), repeats)
        values = run_backtest(market, strategy)
        trades = last_trades()
        key = "scaling/{bars}x{universe}/held{held}".format(**sizes)
        points.append({
            "axis": axis, "factor": factor, **sizes, **timing,
            "held_stock_bars": trades.held_stock_bars(market.n_bars),
            "trades": len(trades),
            "gate": gate.check(key, digest(values, trades)),
        })
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
    parser.add_argument("--update-reference", action="store_true",
                        help="store this run's hashes as the reference (after checking them)")
    args = parser.parse_args()

    workloads = (args.workloads or ("S" if args.quick else "S,M,L")).split(",")
    repeats = QUICK_REPEATS if args.quick else REPEATS
    gate = Gate(REFERENCE, args.update_reference)
    report = {
        "machine": describe(REPO),
        "date": datetime.datetime.now().isoformat(timespec="seconds"),
        "command": " ".join(sys.argv),
        "workloads": {w: bench_workload(w, repeats[w], gate, not args.no_peer) for w in workloads},
    }
    if not args.no_scaling:
        report["scaling"] = bench_scaling(repeats["M"], gate)
    if args.no_peer:
        report["peer_status"] = "skipped (--no-peer)"
    elif not peer.available():
        report["peer_status"] = f"skipped: no interpreter at {peer.VBT_PYTHON}"
    report["valid"] = not gate.failures
    report["gate_failures"] = gate.failures
    gate.save()

    RESULTS.mkdir(exist_ok=True)
    stem = f"{report['machine']['machine']}-{datetime.date.today().isoformat()}"
    (RESULTS / f"{stem}.json").write_text(json.dumps(report, indent=1) + "\n")
    (RESULTS / f"{stem}.md").write_text(markdown(report))
    print(f"wrote {RESULTS / stem}.json and .md")
    for failure in gate.failures:
        print(f"INVALID: {failure}", file=sys.stderr)
    return 0 if report["valid"] else 1


if __name__ == "__main__":
    sys.exit(main())
