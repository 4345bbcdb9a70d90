"""Runs strategies of a workload for callgrind, one profile dump per backtest.

Usage (under valgrind --tool=callgrind --instr-atstart=no):
    python -m benchmarks.callgrind_driver WORKLOAD STRATEGY[,STRATEGY...] [--array]
With --array the runs go through the package's array entry instead of `backtest_`.
Instrumentation is switched on only after the inputs exist and the engine has
run once, so start-up, workload generation and first-call set-up do not count.
"""

from __future__ import annotations

import os
import subprocess
import sys

from benchmarks.engine import run_backtest, run_fast_engine
from benchmarks.workloads import market_for, strategy_named


def callgrind_control(*args: str) -> None:
    subprocess.run(["callgrind_control", *args, str(os.getpid())], check=True, capture_output=True)


def main() -> None:
    market = market_for(sys.argv[1])
    strategies = [strategy_named(market, name) for name in sys.argv[2].split(",")]
    run = run_fast_engine if "--array" in sys.argv[3:] else run_backtest
    run(market, strategies[0])
    callgrind_control("--instr=on")
    for strategy in strategies:
        run(market, strategy)
        callgrind_control(f"--dump={strategy.name}")


if __name__ == "__main__":
    main()
