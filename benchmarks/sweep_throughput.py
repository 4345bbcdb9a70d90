"""Sweep throughput: variants per second in one process, on the local pool and on a local Dask cluster.

Workload M: 10 years of business days x 500 stocks (the synthetic market),
monthly top-50 momentum with equal weights and a stop-loss; the variants
sweep the stop level around 10%. Each route runs the same variants and must
return the same table as the sequential run, or its figures do not count.

Each route runs a half and a full sweep. Reported: variants per second over
the whole call (for the pool its start-up included; the Dask cluster is
started beforehand, scattering the market is included), the steady rate (the
slope between the two sweeps) and the fixed cost left over, the overhead per
variant (worker-seconds per variant beyond the cost of a variant in one
process), and the peak resident memory of each worker process.

    python benchmarks/sweep_throughput.py [--variants 64] [--workers 2] [--json out.json]
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pandas as pd

import vantrel
from vantrel.datasets import synthetic_market
from vantrel.demo import momentum_weights

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from benchmarks.processes import descendants  # noqa: E402


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
    """Samples the resident memory of every process below this one; keeps each one's peak."""

    def __init__(self, interval: float = 0.1) -> None:
        self.interval, self.peaks = interval, {}
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._sample, daemon=True)

    def _sample(self) -> None:
        while not self._stop.wait(self.interval):
            for pid in descendants(os.getpid()):
                self.peaks[pid] = max(self.peaks.get(pid, 0.0), _resident_mib(pid))

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc) -> None:
        self._stop.set()
        self._thread.join()

    def largest(self, count: int) -> list[float]:
        return sorted(self.peaks.values(), reverse=True)[:count]


def _timed(call):
    started = time.perf_counter()
    result = call()
    return result, time.perf_counter() - started


def _measure(sweep_with, variants: int, workers: int, reference=None) -> dict:
    """Wall time of a half and a full sweep: the slope is the steady cost of a variant, the rest a fixed cost."""
    _, half = _timed(lambda: sweep_with(variants // 2))
    with PeakMemory() as memory:
        result, full = _timed(lambda: sweep_with(variants))
    if reference is not None:
        pd.testing.assert_frame_equal(result.table, reference.table)
    slope = (full - half) / (variants - variants // 2)
    return dict(result=result, variants_per_second=variants / full, steady_variants_per_second=1 / slope,
                fixed_s=full - variants * slope, worker_seconds_per_variant=slope * workers,
                worker_peak_mib=memory.largest(workers) or [_resident_mib(os.getpid(), "VmHWM")])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--variants", type=int, default=64)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()

    market = synthetic_market(500, 2520, seed=1)
    stops = np.round(np.linspace(0.05, 0.15, args.variants), 4)

    def sweep_with(count, **route):
        grid = {"stop_loss": stops[:count], "rebalance": "ME"}
        return vantrel.sweep(market, grid, strategy=top50, **route)

    routes = {"sequential": (dict(workers=1), 1), "local pool": (dict(workers=args.workers), args.workers)}
    figures = {}
    for name, (route, workers) in routes.items():
        reference = figures.get("sequential", {}).get("result")
        figures[name] = _measure(lambda n: sweep_with(n, **route), args.variants, workers, reference)
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        print("dask.distributed is not installed: no Dask figures")
    else:
        with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                          dashboard_address=None, silence_logs=50) as cluster, Client(cluster) as client:
            figures["Dask"] = _measure(lambda n: sweep_with(n, executor=client), args.variants, args.workers,
                                       figures["sequential"]["result"])

    cost = figures["sequential"]["worker_seconds_per_variant"]
    print(f"M workload (2520 bars x 500 stocks, monthly top-50, stop-loss 5%..15%), {args.variants} variants, "
          f"{args.workers} workers, {os.cpu_count()} CPUs; a variant costs {cost:.3f} s in one process\n")
    print("| route | variants/s (whole call) | variants/s (steady) | fixed cost | overhead per variant "
          "| peak memory per worker |")
    print("|---|---:|---:|---:|---:|---:|")
    for name, f in figures.items():
        f.pop("result")
        f["overhead_ms"] = 1000 * (f["worker_seconds_per_variant"] - cost)
        peak = ", ".join(f"{m:.0f}" for m in f["worker_peak_mib"])
        print(f"| {name} | {f['variants_per_second']:.2f} | {f['steady_variants_per_second']:.2f} | "
              f"{f['fixed_s']:.2f} s | {f['overhead_ms']:.0f} ms | {peak} MiB |")
    if args.json:
        with open(args.json, "w") as out:
            json.dump(dict(variants=args.variants, workers=args.workers, routes=figures), out, indent=2)


if __name__ == "__main__":
    main()
