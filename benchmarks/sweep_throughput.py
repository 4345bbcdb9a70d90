"""Sweep throughput: variants per second in one process, on threads, on worker processes and on Dask.

Sweep efficiency (``--efficiency``, the default workloads ``stops48`` and ``M24``): the
default route's variants per second x the array entry's time for one variant (measured
in the same run, the two taking turns) / the cores. 1.0 would be every core running the
engine all the time; the target is at least 0.8.

- ``stops48``: the synthetic market of 120 stocks x 800 days, monthly top-20 momentum
  (one weight table), 48 stop-loss levels from 2% to 25%.
- ``M24``: 2,520 bars x 500 stocks, monthly top-50, 24 stop-loss levels from 5% to 15%.

Each also reports the native batch alone on 1 and 2 threads (``_engine.run_batch``), so
the part the sweep adds shows, and the process's CPU time per variant.

Route throughput (``--workload grid48|M|both``), each against its target:

- ``grid48``: the synthetic market of 120 stocks x 800 days; monthly top-N
  momentum, 48 variants (4 book sizes x 4 stop levels x 3 rebalance
  calendars). Target: the default route (threads) reaches at least 0.9 of
  twice the sequential in-process rate.
- ``M``: 10 years of business days x 500 stocks; monthly top-50 momentum
  with a stop-loss, the variants sweeping the stop level from 5% to 15%.
  Target: at least 150 variants per second on the default route.

Every route must return the same table as the sequential run, or its
figures do not count. Each route runs ``--repeat`` times; the best whole-call
rate is reported (the machine is shared, so the best run is the one least
disturbed). For worker processes the rate includes starting them; the Dask
cluster is started beforehand and scattering the market is included. Peak
resident memory is sampled for every process below this one (for threads
and the sequential route: this process, which also built the market).

    python benchmarks/sweep_throughput.py [--workload stops48|M24|grid48|M|all] [--workers 2] [--repeat 3]
                                          [--memory] [--json out.json]

``--memory``: peak resident memory of a 10,000-variant stop sweep of the M book in a
fresh process: the table only, the default (every variant's returns kept for
``SweepResult.returns``), and with every equity curve (``keep_equity``).
"""

from __future__ import annotations

import argparse
import functools
import json
import os
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pandas as pd

import vantrel
from vantrel._sweep.variants import expand_variants, split_parameters
from vantrel.datasets import synthetic_market
from vantrel.demo import momentum_weights

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from benchmarks.processes import descendants


def momentum(market, *, top=20):
    return momentum_weights(market.close, top=top)


def top50(market, *, top=50):
    return momentum_weights(market.close, top=top)


def _resident_mib(pid: int, field: str = "VmRSS") -> float:
    """Resident memory now (VmRSS) or at its peak (VmHWM)."""
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith(f"{field}:"):
                    return int(line.split()[1]) / 1024
    except FileNotFoundError:
        pass
    return 0.0


class PeakMemory:
    """Samples the resident memory of every process started below this one while it runs; keeps each one's peak."""

    def __init__(self, interval: float = 0.1) -> None:
        self.interval, self.peaks = interval, {}
        self._before = set(descendants(os.getpid()))  # e.g. a Dask cluster's workers: not ours to count
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._sample, daemon=True)

    def _sample(self) -> None:
        while not self._stop.wait(self.interval):
            for pid in set(descendants(os.getpid())) - self._before:
                self.peaks[pid] = max(self.peaks.get(pid, 0.0), _resident_mib(pid))

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self._stop.set()
        self._thread.join()

    def largest(self, count: int) -> list[float]:
        return sorted(self.peaks.values(), reverse=True)[:count]


def _best_rate(call, variants: int, repeat: int, reference, workers: int, cluster_pids=()) -> dict:
    best = None
    with PeakMemory() as memory:
        memory._before -= set(cluster_pids)
        for _ in range(repeat):
            started = time.perf_counter()
            result = call()
            seconds = time.perf_counter() - started
            if reference is not None:
                pd.testing.assert_frame_equal(result.table, reference.table)
            best = seconds if best is None else min(best, seconds)
    peaks = memory.largest(workers) or [_resident_mib(os.getpid(), "VmHWM")]
    return dict(result=result, seconds=best, variants_per_second=variants / best, peak_mib=peaks)


def _workload(name: str):
    if name == "grid48":
        market = synthetic_market(120, 800, seed=7)
        grid = {"top": [5, 10, 20, 40], "stop_loss": [0.05, 0.10, 0.15, 0.20], "rebalance": ["ME", "W-FRI", "QE"]}
        return market, grid, momentum, "synthetic market 120 stocks x 800 days, momentum top 5..40, stops, 3 calendars"
    market = synthetic_market(500, 2520, seed=1)
    grid = {"stop_loss": np.round(np.linspace(0.05, 0.15, 96), 4), "rebalance": "ME"}
    return market, grid, top50, "2520 bars x 500 stocks, monthly top-50, stop-loss 5%..15%"


def _plain_loop(market, grid, strategy) -> float:
    """Seconds for the same variants as plain ``vantrel.backtest`` calls, weights built once per strategy set."""
    started = time.perf_counter()
    built = {}
    for variant in expand_variants(grid)[1]:
        engine, own = split_parameters(variant)
        key = tuple(sorted(own.items()))
        if key not in built:
            built[key] = strategy(market, **own)
        _ = vantrel.backtest(built[key], market, **engine).stats
    return time.perf_counter() - started


def _engine_share(call) -> tuple[float, float]:
    """(seconds in the engine, seconds in all) of one call: the engine is the part that runs without the GIL."""
    import vantrel._backtest.backtest as backtest_module

    original, spent = backtest_module.run_engine, []

    def timed(*args, **kwargs):
        started = time.perf_counter()
        try:
            return original(*args, **kwargs)
        finally:
            spent.append(time.perf_counter() - started)

    backtest_module.run_engine = timed
    try:
        started = time.perf_counter()
        call()
        total = time.perf_counter() - started
    finally:
        backtest_module.run_engine = original
    return sum(spent), total


EFFICIENCY_TARGET = 0.8


def _efficiency_workload(name: str):
    if name == "stops48":
        market = synthetic_market(120, 800, seed=7)
        weights = momentum_weights(market.close, top=20)
        levels = np.round(np.linspace(0.02, 0.25, 48), 4)
        text = "synthetic market 120 stocks x 800 days, monthly top-20, 48 stop-loss levels 2%..25%"
    else:
        market = synthetic_market(500, 2520, seed=1)
        weights = momentum_weights(market.close, top=50)
        levels = np.round(np.linspace(0.05, 0.15, 24), 4)
        text = "2520 bars x 500 stocks, monthly top-50, 24 stop-loss levels 5%..15%"
    return market, weights, {"stop_loss": levels, "rebalance": "ME"}, text


def _interleaved(calls: dict, rounds: int) -> dict:
    """Each call's best wall time (and that call's CPU time), the calls taking turns round by
    round so that a change in the machine's load falls on all of them alike."""
    best: dict = {}
    for _ in range(rounds):
        for name, call in calls.items():
            cpu, wall = time.process_time(), time.perf_counter()
            call()
            wall, cpu = time.perf_counter() - wall, time.process_time() - cpu
            if name not in best or wall < best[name][0]:
                best[name] = (wall, cpu)
    return best


def run_efficiency(name: str, workers: int, repeat: int) -> dict:
    from vantrel._backtest import CheckedWeights
    from vantrel._backtest.backtest import prepare_backtest
    from vantrel._backtest.engine import run_engine_batch
    from vantrel.core import _engine

    market, weights, grid, description = _efficiency_workload(name)
    levels = grid["stop_loss"]
    book = CheckedWeights(weights, market)
    runs = [prepare_backtest(book, market, stop_loss=level, rebalance="ME") for level in levels]
    middle = runs[len(runs) // 2].engine
    engine_rounds = 9

    def engine_once():
        for _ in range(engine_rounds):
            _engine.run(**middle)

    calls = {
        "engine": engine_once,
        "sweep": lambda: vantrel.sweep(market, grid, weights=weights),
        "sweep_sequential": lambda: vantrel.sweep(market, grid, weights=weights, workers=1),
        "batch_1_thread": lambda: run_engine_batch([r.engine for r in runs], threads=1),
        f"batch_{workers}_threads": lambda: run_engine_batch([r.engine for r in runs], threads=workers),
    }
    for call in calls.values():
        call()  # warm: imports, the market's caches
    timed = _interleaved(calls, max(repeat, 3) * 2)
    one = timed["engine"][0] / engine_rounds
    variants = len(levels)
    rate = variants / timed["sweep"][0]
    efficiency = rate * one / workers
    return dict(
        description=description,
        variants=variants,
        workers=workers,
        engine_ms=1000 * one,
        routes={
            route: dict(
                variants_per_second=variants / wall,
                cpu_ms_per_variant=1000 * cpu / variants,
                efficiency=variants / wall * one / (1 if route in ("sweep_sequential", "batch_1_thread") else workers),
            )
            for route, (wall, cpu) in timed.items()
            if route != "engine"
        },
        efficiency=efficiency,
        # The share of the process's CPU time that is the engine's: the part the sweep adds
        # beside the runs, whatever the machine's load.
        cpu_efficiency=one * variants / timed["sweep"][1] if timed["sweep"][1] > 0 else float("nan"),
        target=f"default route: variants/s x engine time / cores >= {EFFICIENCY_TARGET}",
        met=efficiency >= EFFICIENCY_TARGET,
    )


MEMORY_PROBE = """
import json, resource, sys
import numpy as np
import vantrel
from vantrel.datasets import synthetic_market
from vantrel.demo import momentum_weights
market = synthetic_market(500, 2520, seed=1)
weights = momentum_weights(market.close, top=50)
vantrel.sweep(market, {"stop_loss": [0.1]}, weights=weights)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
levels = np.linspace(0.01, 0.3, int(sys.argv[1]))
grid = {"stop_loss": levels, "rebalance": "ME"}
kept = dict(keep_equity=sys.argv[2] == "1", keep_returns=sys.argv[3] == "1")
result = vantrel.sweep(market, grid, weights=weights, **kept)
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps(dict(before_mib=before / 1024, peak_mib=peak / 1024, rows=len(result.table),
                      table_mib=result.table.memory_usage(deep=True).sum() / 2**20)))
"""


def run_memory(variants: int = 10_000) -> dict:
    import subprocess

    out = {}
    # Only the table; the default (the returns of every variant, for SweepResult.returns);
    # and every equity curve.
    for label, keep_equity, keep_returns in (
        ("table only (keep_returns=False)", "0", "0"),
        ("default (keep_returns=True)", "0", "1"),
        ("keep_equity=True", "1", "1"),
    ):
        started = time.perf_counter()
        done = subprocess.run(
            [sys.executable, "-c", MEMORY_PROBE, str(variants), keep_equity, keep_returns],
            capture_output=True,
            text=True,
            check=False,
        )
        if done.returncode != 0:
            out[label] = {"error": done.stderr.strip().splitlines()[-1]}
            continue
        figures = json.loads(done.stdout.strip().splitlines()[-1])
        figures["seconds"] = time.perf_counter() - started
        figures["added_mib"] = figures["peak_mib"] - figures["before_mib"]
        out[label] = figures
    return dict(variants=variants, description="M market (2520 x 500), monthly top-50, stop-loss sweep", runs=out)


def _print_efficiency(name: str, figures: dict) -> None:
    print(f"\n{name}: {figures['description']}; {figures['variants']} variants, {figures['workers']} workers")
    print(f"the array entry for one variant: {figures['engine_ms']:.3f} ms (best of the run)\n")
    print("| route | variants/s | CPU ms per variant | efficiency |")
    print("|---|--:|--:|--:|")
    for route, f in figures["routes"].items():
        print(f"| {route} | {f['variants_per_second']:.0f} | {f['cpu_ms_per_variant']:.3f} | {f['efficiency']:.2f} |")
    print(
        f"\ntarget: {figures['target']}; efficiency {figures['efficiency']:.2f} "
        f"(engine's share of the sweep's CPU time {figures['cpu_efficiency']:.2f}): "
        f"{'met' if figures['met'] else 'NOT met'}"
    )


def run_workload(name: str, workers: int, repeat: int, dask_client) -> dict:
    market, grid, strategy, description = _workload(name)
    variants = len(expand_variants(grid)[1])
    vantrel.sweep(market, grid, strategy=strategy, workers=1)  # warm caches and imports
    engine, total = _engine_share(lambda: vantrel.sweep(market, grid, strategy=strategy, workers=1))
    routes = {
        "sequential (workers=1)": (dict(workers=1), 1),
        f"threads (default, workers={workers})": (dict(workers=workers), 1),
        f"processes (workers={workers})": (dict(workers=workers, executor="processes"), workers),
    }
    cluster_pids = ()
    if dask_client is not None:
        routes[f"Dask ({workers} workers)"] = (dict(executor=dask_client), workers)
        cluster_pids = list(dask_client.run(os.getpid).values())
    figures = {}
    reference = None
    for route, (options, processes) in routes.items():
        figures[route] = _best_rate(
            functools.partial(vantrel.sweep, market, grid, strategy=strategy, **options),
            variants,
            repeat,
            reference,
            processes,
            cluster_pids if "Dask" in route else (),
        )
        reference = reference or figures[route]["result"]
    loop = min(_plain_loop(market, grid, strategy) for _ in range(repeat))
    sequential = figures["sequential (workers=1)"]["variants_per_second"]
    default = figures[f"threads (default, workers={workers})"]["variants_per_second"]
    out = dict(
        description=description,
        variants=variants,
        workers=workers,
        plain_loop_variants_per_second=variants / loop,
        ms_per_variant=1000 * total / variants,
        engine_ms_per_variant=1000 * engine / variants,
        # Amdahl: only the engine runs outside the GIL, so threads cannot beat this.
        threads_bound_variants_per_second=variants / max(total - engine, total / workers),
        routes={route: {k: v for k, v in f.items() if k != "result"} for route, f in figures.items()},
    )
    if name == "grid48":
        out["target"] = "threads >= 0.9 x (2 x sequential)"
        out["ratio"] = default / (2 * sequential)
        out["met"] = out["ratio"] >= 0.9
    else:
        out["target"] = "threads >= 150 variants/s"
        out["met"] = default >= 150
    return out


def _print(name: str, figures: dict) -> None:
    print(f"\n{name}: {figures['description']}; {figures['variants']} variants, {os.cpu_count()} CPUs")
    print(f"plain vantrel.backtest loop in one process: {figures['plain_loop_variants_per_second']:.1f} variants/s")
    print(
        f"a variant in one process: {figures['ms_per_variant']:.1f} ms, "
        f"of which {figures['engine_ms_per_variant']:.1f} ms "
        f"in the engine without the GIL: threads can reach at most "
        f"{figures['threads_bound_variants_per_second']:.1f} variants/s\n"
    )
    print("| route | variants/s | seconds | peak memory (MiB) |")
    print("|---|---:|---:|---:|")
    for route, f in figures["routes"].items():
        peaks = ", ".join(f"{m:.0f}" for m in f["peak_mib"])
        print(f"| {route} | {f['variants_per_second']:.1f} | {f['seconds']:.2f} | {peaks} |")
    ratio = f"; ratio {figures['ratio']:.2f}" if "ratio" in figures else ""
    print(f"\ntarget: {figures['target']}{ratio}: {'met' if figures['met'] else 'NOT met'}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--workload", choices=["efficiency", "stops48", "M24", "grid48", "M", "both", "all"], default="efficiency"
    )
    parser.add_argument("--memory", action="store_true", help="also the 10,000-variant sweep's peak memory")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--no-dask", action="store_true", help="skip the Dask route")
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()

    chosen = {"efficiency": ["stops48", "M24"], "both": ["grid48", "M"], "all": ["stops48", "M24", "grid48", "M"]}
    names = chosen.get(args.workload, [args.workload])
    efficiency = {name: run_efficiency(name, args.workers, args.repeat) for name in names if name in ("stops48", "M24")}
    names = [name for name in names if name not in efficiency]
    cluster = client = None
    if not args.no_dask and names:
        try:
            from distributed import Client, LocalCluster
        except ImportError:
            print("dask.distributed is not installed: no Dask figures")
        else:
            cluster = LocalCluster(
                n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=None, silence_logs=50
            )
            client = Client(cluster)
    try:
        results = {name: run_workload(name, args.workers, args.repeat, client) for name in names}
    finally:
        if client is not None:
            client.close()
            cluster.close()
    memory = run_memory() if args.memory else None
    print(f"vantrel {vantrel.__version__}, Python {sys.version.split()[0]}; load average {os.getloadavg()}")
    for name, figures in efficiency.items():
        _print_efficiency(name, figures)
    for name, figures in results.items():
        _print(name, figures)
    if memory is not None:
        print(f"\n{memory['variants']:,} variants, {memory['description']}:")
        for run, figures in memory["runs"].items():
            print(f"  {run}: {figures}")
    if args.json:
        with open(args.json, "w") as out:
            json.dump({**efficiency, **results, **({"memory": memory} if memory else {})}, out, indent=2)


if __name__ == "__main__":
    main()
