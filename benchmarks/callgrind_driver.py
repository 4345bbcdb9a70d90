"""Runs strategies of a workload for callgrind, one profile dump per backtest.

Usage (under valgrind --tool=callgrind --instr-atstart=no):
    python -m benchmarks.callgrind_driver WORKLOAD STRATEGY[,STRATEGY...] [--array]
With --array the runs go through the package's array entry instead of `backtest_`;
there a strategy `exec:FEATURE` is the monthly top-50 book with an execution
feature of benchmarks.execution_cost on, named by its first word (e.g.
`exec:impact`, `exec:all` for the target's set).
Instrumentation is switched on only after the inputs exist and the engine has
run once, so start-up, workload generation and first-call set-up do not count.
"""

from __future__ import annotations

import functools
import os
import subprocess
import sys
from collections.abc import Callable

from benchmarks.engine import run_backtest, run_fast_engine
from benchmarks.workloads import market_for, strategy_named


def callgrind_control(*args: str) -> None:
    subprocess.run(["callgrind_control", *args, str(os.getpid())], check=True, capture_output=True)


def execution_calls(market, names: list[str]) -> dict[str, Callable[[], object]]:
    from benchmarks.execution_cost import engine_calls, synthetic_volume

    calls = engine_calls(market, synthetic_volume(market))
    by_name = {f"exec:{feature.split()[0]}": call for feature, call in calls.items()}
    return {name: by_name[name] for name in names}


def main() -> None:
    market = market_for(sys.argv[1])
    names = sys.argv[2].split(",")
    if "--array" in sys.argv[3:]:
        wanted = [n for n in names if n.startswith("exec:")]
        # Built only when asked for: the volume matrix moves the heap the runs allocate from.
        features = execution_calls(market, wanted) if wanted else {}
        calls = {
            n: features[n] if n in features else functools.partial(run_fast_engine, market, strategy_named(market, n))
            for n in names
        }
    else:
        calls = {n: functools.partial(run_backtest, market, strategy_named(market, n)) for n in names}
    next(iter(calls.values()))()
    callgrind_control("--instr=on")
    for name, call in calls.items():
        call()
        callgrind_control(f"--dump={name}")


if __name__ == "__main__":
    main()
