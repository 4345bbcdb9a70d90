"""Runs a benchmark workload on vectorbt; executed in vectorbt's own venv.

Usage: python peer_vectorbt.py WORKLOAD.npz REPEATS
Reads the trading prices, closes, target-percent orders and the fee from the
archive written by the runner, and prints one JSON object: the median and
spread of the simulation time (value series included) with the fee, and the
final portfolio values with the fee and without it.
"""

from __future__ import annotations

import json
import statistics
import sys
import time

import numpy as np
import vectorbt as vbt


def simulate(data, fee: float) -> np.ndarray:
    portfolio = vbt.Portfolio.from_orders(
        close=data["close"],
        size=data["orders"],
        size_type="targetpercent",
        price=data["open"],
        fees=fee,
        init_cash=1.0,
        min_size=0.0,
        cash_sharing=True,
        group_by=True,
        call_seq="auto",  # sells before buys, as a cash-sharing rebalance needs
    )
    return np.asarray(portfolio.value())


def main() -> None:
    path, repeats = sys.argv[1], int(sys.argv[2])
    with np.load(path) as archive:
        data = {k: archive[k] for k in ("open", "close", "orders")}
        fee = float(archive["fee"])
    simulate(data, fee)  # compiles the kernels
    samples = []
    for _ in range(repeats):
        start = time.perf_counter_ns()
        simulate(data, fee)
        samples.append((time.perf_counter_ns() - start) * 1e-9)
    samples.sort()
    print(json.dumps({
        "version": vbt.__version__,
        "median_s": statistics.median(samples),
        "min_s": samples[0],
        "max_s": samples[-1],
        "repeats": repeats,
        "final_value_with_fee": float(simulate(data, fee)[-1]),
        "final_value_no_fee": float(simulate(data, 0.0)[-1]),
    }))


if __name__ == "__main__":
    main()
